import inspect
import pathlib
import subprocess
import sys

import pytest

import pelorin._core as core

ALL = [
    "__version__", "DIGEST_CHUNK", "core_version", "hwinfo_memory", "hwinfo_cpu",
    "hwinfo_process_rss", "hwinfo_disk", "pressure_current", "engine_digest",
    "engine_digest_parts", "engine_digest_combine", "engine_read_source_into", "engine_write",
    "FileMap", "metal_wrap", "metal_release", "Compressed", "codec_pack", "RtRuntime", "RtPin",
    "RtPager", "process_footprint", "numpy_set_handler",
]
CLASSES = ["RtRuntime", "RtPin", "RtPager", "FileMap", "Compressed"]


def test_attributes_in_registration_order():
    assert core.__all__ == ALL
    assert all(hasattr(core, name) for name in ALL)
    assert core.__version__ == "0.1.0" == core.core_version()
    assert core.DIGEST_CHUNK == 4194304


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final(name):
    cls = getattr(core, name)
    assert cls.__module__ == "pelorin._core" and cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("name", ["RtPin", "Compressed"])
def test_classes_made_only_by_the_core(name):
    with pytest.raises(TypeError):
        getattr(core, name)()


SIGNATURES = {
    core.core_version: "()",
    core.hwinfo_disk: "(path)",
    core.engine_digest_combine: "(length, parts)",
    core.engine_read_source_into: "(path, offset, dst, expected=None)",
    core.codec_pack: "(data, itemsize, level=1)",
    core.numpy_set_handler: "(handler)",
    core.RtRuntime: "(budget, compress_level=1, min_saving=0.15, policy='reuse', prefetch=True,"
    " lookahead=Ellipsis, process_budget=None)",
    core.RtPager: "(budget, chunk=Ellipsis, elem=4, compress_level=1, min_saving=0.15,"
    " threshold=Ellipsis, process_budget=None)",
    core.FileMap: "(path)",
    core.RtRuntime.pin: "(self, /, id, write=False)",
    core.RtRuntime.derive: "(self, /, inputs, nbytes, elem, func)",
    core.FileMap.prefetch: "(self, /, offset, length)",
    core.Compressed.unpack_into: "(self, /, dst)",
    core.RtPin.release: "(self, /)",
    core.RtPager.unmap: "(self, /, address)",
}


def test_every_callable_has_a_signature():
    callables = [getattr(core, n) for n in ALL[2:] if n not in ("RtPin", "Compressed")]
    for cls in CLASSES:
        callables += [m for m in vars(getattr(core, cls)).values() if callable(m)]
    for fn in callables:
        inspect.signature(fn)  # raises ValueError where there is none
    for fn, text in SIGNATURES.items():
        assert str(inspect.signature(fn)) == text, fn


DOCS = [
    (core.RtRuntime, "The runtime (`pelorin.rt.Runtime` wraps it)."),
    (core.RtPin, "A pinned buffer. Exposes the buffer protocol (so `numpy.frombuffer(pin, dtype)`"
     " views it\nwithout copying); the buffer stays pinned while any such view exists, even"
     " after\n`release()` (which only stops new views)."),
    (core.RtPager, "Transparent paging of large NumPy arrays (Linux userfaultfd, macOS signals;\n"
     "`pelorin.rt.transparent`)."),
    (core.FileMap, "A read-only mapping of a whole file (clean, file-backed pages; 0072). On macOS"
     "\n`metal_buffer()` wraps it as an MTLBuffer without copying."),
    (core.RtRuntime.limit, "Bytes buffers may occupy (budget minus the compression headroom and"
     " what is held back)."),
    (core.RtRuntime.hold_back,
     "Keep `nbytes` of the budget for memory the runtime does not own (0165)."),
    (core.RtRuntime.alloc, None),
    (core.RtRuntime.predict, "Predicted cost of repeating the last recorded cycle of pins (None"
     " until a buffer was\npinned twice)."),
    (core.RtPin.address, "Address of the pinned data (page-aligned; valid while the pin is held)."),
    (core.RtPin.nbytes, None),
    (core.Compressed.stored_bytes, "Size held in memory by the compressed chunks."),
    (core.hwinfo_process_rss, None),
    (core.metal_release, None),
    (core.pressure_current, 'Resident set size of this process in bytes.\nCurrent OS memory'
     ' pressure: ``{"level", "source", "some_avg10", "full_avg10", "raw_level"}``.'),
    (core.engine_digest_parts, "Per-chunk hashes of a buffer (16 bytes per `DIGEST_CHUNK`,"
     " concatenated); see\n`engine_digest_combine`. Lets Python verify large tensors piece by"
     " piece (0061 F1)."),
    (core.engine_write, "Write a buffer to a new `0600` spill file in `directory`; returns"
     " `(path, length, digest)`."),
    (core.metal_wrap, "A no-copy `MTLBuffer` over pinned runtime memory (macOS, G4 E1); give it"
     " back with\n`metal_release`. The caller keeps the memory pinned until the GPU no longer"
     " uses it."),
]


@pytest.mark.parametrize("obj,doc", DOCS, ids=lambda v: getattr(v, "__qualname__", "doc"))
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


# Entries that later releases fill in; each says what it is and when it comes.
NOT_YET = [
    (core.RtPager, (1 << 30,)),
    (core.numpy_set_handler, (None,)),
]


@pytest.mark.parametrize("fn,args", NOT_YET, ids=lambda v: getattr(v, "__name__", ""))
def test_not_yet_implemented(fn, args):
    with pytest.raises(NotImplementedError, match=r"^\S+ is not implemented yet \(planned: .+\)$"):
        fn(*args)


def test_exports_only_the_entry_point():
    so = pathlib.Path(core.__file__)
    assert so.name == "_core.abi3.so"
    out = subprocess.run(["nm", "-D", "--defined-only", str(so)], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__core"]


def test_import_needs_neither_errors_module_nor_numpy():
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "sys.modules['pelorin._errors'] = None\n"
        "import pelorin._core as c\n"
        "assert 'numpy' not in sys.modules or sys.modules['numpy'] is None\n"
        "try:\n"
        "    c.RtRuntime(1)\n"
        "except RuntimeError as e:\n"
        "    assert type(e) is RuntimeError and str(e).startswith('invalid argument: '), e\n"
        "print('ok')\n"
    )
    root = pathlib.Path(__file__).resolve().parents[2]
    # Imported as a bare package folder: pelorin/__init__.py would import pelorin._errors.
    out = subprocess.run([sys.executable, "-c", "import types, sys; "
                          f"p = types.ModuleType('pelorin'); p.__path__ = [{str(root / 'pelorin')!r}]; "
                          "sys.modules['pelorin'] = p\n" + code],
                         capture_output=True, text=True, cwd=root)
    assert out.stdout.strip() == "ok", out.stderr
