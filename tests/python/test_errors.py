import errno
import os
import pathlib
import sys
import types

import numpy as np
import pytest

import pelorin._core as core
import pelorin._errors as errors

# (kind, rt_err class, to_py_err class, prefix)
VARIANTS = [
    ("InvalidArgument", errors.InvalidArgument, ValueError, "invalid argument: "),
    ("Integrity", errors.IntegrityError, RuntimeError, "integrity check failed: "),
    ("Budget", errors.BudgetExceeded, errors.BudgetExceeded, "budget exceeded: "),
    ("NotSupported", NotImplementedError, NotImplementedError, "not supported here: "),
]


@pytest.mark.parametrize("kind,rt_cls,py_cls,prefix", VARIANTS)
def test_both_mappings(hooks, kind, rt_cls, py_cls, prefix):
    for mapping, cls in (("rt", rt_cls), ("py", py_cls)):
        with pytest.raises(Exception) as info:
            hooks.raise_error(mapping, kind, "what happened")
        assert type(info.value) is cls, mapping
        assert info.value.args == (prefix + "what happened",)
    # The general mapping gives built-ins only, except for the budget.
    if kind != "Budget":
        with pytest.raises(Exception) as info:
            hooks.raise_error("py", kind, "x")
        assert type(info.value).__module__ == "builtins"


def test_not_implemented_text(hooks):
    for mapping in ("rt", "py"):
        with pytest.raises(NotImplementedError,
                           match=r"^the feature is not implemented yet \(planned: the plan\)$"):
            hooks.raise_error(mapping, "NotImplemented")


@pytest.mark.parametrize("mapping", ["rt", "py"])
def test_io_errors_carry_the_os_text_without_errno(hooks, mapping):
    with pytest.raises(OSError) as info:
        hooks.raise_error(mapping, "Io", "", errno.ENOENT)
    assert type(info.value) is OSError
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
    assert info.value.errno is None
    with pytest.raises(OSError, match="^short read$"):
        hooks.raise_error(mapping, "Io", "short read")


def missing_module():
    return None  # `import` of a None entry in sys.modules raises ImportError


def module_without_classes():
    return types.ModuleType("pelorin._errors")


def module_with_non_types():
    m = types.ModuleType("pelorin._errors")
    m.InvalidArgument = m.IntegrityError = m.BudgetExceeded = "not a class"
    return m


@pytest.mark.parametrize("replacement", [missing_module, module_without_classes,
                                         module_with_non_types])
def test_fallback_to_runtime_error(hooks, monkeypatch, replacement):
    monkeypatch.setitem(sys.modules, "pelorin._errors", replacement())
    for kind, _, _, prefix in VARIANTS[:3]:
        for mapping in ("rt", "py") if kind == "Budget" else ("rt",):
            with pytest.raises(Exception) as info:
                hooks.raise_error(mapping, kind, "x")
            assert type(info.value) is RuntimeError
            assert str(info.value) == prefix + "x"
    with pytest.raises(Exception) as info:
        core.RtRuntime(1 << 30, policy="LRU")
    assert type(info.value) is RuntimeError


def test_lookup_is_not_cached(hooks, monkeypatch):
    monkeypatch.setitem(sys.modules, "pelorin._errors", None)
    with pytest.raises(RuntimeError):
        hooks.raise_error("rt", "InvalidArgument", "x")
    monkeypatch.undo()
    with pytest.raises(errors.InvalidArgument):
        hooks.raise_error("rt", "InvalidArgument", "x")


def test_fatal_error_is_not_an_exception(hooks, capfd):
    with pytest.raises(BaseException) as info:
        try:
            hooks.fatal("a busy buffer vanished")
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("the fatal error was caught as an Exception")
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("a busy buffer vanished",)
    assert "a busy buffer vanished" in capfd.readouterr().err


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 0.25


# (kind, value, result or exception type)
CONVERSIONS = [
    ("u64", 0, 0), ("u64", 2**64 - 1, 2**64 - 1), ("u64", Index(), 7), ("u64", np.uint64(5), 5),
    ("u64", -1, OverflowError), ("u64", 2**64, OverflowError), ("u64", 1.0, TypeError),
    ("u64", "1", TypeError),
    ("i32", -2**31, -2**31), ("i32", 2**31 - 1, 2**31 - 1), ("i32", 2**31, OverflowError),
    ("i32", -2**31 - 1, OverflowError), ("i32", 1.5, TypeError),
    ("f64", 1, 1.0), ("f64", 0.5, 0.5), ("f64", Floaty(), 0.25), ("f64", "0.5", TypeError),
    ("bool", True, True), ("bool", False, False), ("bool", np.bool_(True), True),
    ("bool", 1, TypeError), ("bool", None, TypeError),
    ("str", "reuse", b"reuse"), ("str", "\u00e9", "\u00e9".encode()), ("str", b"reuse", TypeError),
    ("path", "/tmp/x", b"/tmp/x"), ("path", pathlib.Path("/tmp/y"), b"/tmp/y"),
    ("path", b"/tmp/z", b"/tmp/z"), ("path", 3, TypeError), ("path", "a\0b", b"a\0b"),
    ("opt_u64", None, None), ("opt_u64", 3, 3), ("opt_u64", -3, OverflowError),
]


@pytest.mark.parametrize("kind,value,expected", CONVERSIONS)
def test_conversions(hooks, kind, value, expected):
    if isinstance(expected, type) and issubclass(expected, Exception):
        with pytest.raises(expected) as info:
            hooks.convert(kind, value, "size")
        assert info.value.__notes__ == ["while processing 'size'"]
        with pytest.raises(expected) as info:
            hooks.convert(kind, value)  # unnamed: no note
        assert not getattr(info.value, "__notes__", None)
    else:
        got = hooks.convert(kind, value, "size")
        assert got == expected and type(got) is type(expected)


def test_path_uses_the_file_system_encoding(hooks):
    name = os.fsdecode(b"/tmp/\xff")  # a surrogate escape survives the round trip
    assert hooks.convert("path", name) == b"/tmp/\xff"


def test_borrow_accepts_byte_buffers(hooks):
    data = bytearray(b"abcdef")
    addr, length = hooks.borrow(data, True)
    assert length == 6 and data[0] == 0xEE
    assert hooks.borrow(b"", False)[1] == 0
    arr = np.arange(16, dtype=np.uint8)
    addr, length = hooks.borrow(arr, True)
    assert (addr, length) == (arr.ctypes.data, 16) and arr[0] == 0xEE
    assert hooks.borrow(memoryview(np.zeros(4, np.float32)).cast("B"), False)[1] == 16
    assert hooks.borrow(memoryview(data)[1:4], False)[1] == 3


@pytest.mark.parametrize("obj,writable,exc,text", [
    (b"abc", True, ValueError, "destination buffer is read-only"),
    (memoryview(bytearray(8))[::2], False, ValueError, "buffer must be C-contiguous"),
    (np.zeros((4, 4), np.uint8)[:, 1], False, ValueError, "buffer must be C-contiguous"),
    (memoryview(np.zeros(2, np.float64)), False, BufferError,
     "buffer contents are not compatible with u8"),
    (np.zeros(4, np.int8), False, BufferError, "buffer contents are not compatible with u8"),
    ("text", False, TypeError, None),
    (12, False, TypeError, None),
])
def test_borrow_refuses(hooks, obj, writable, exc, text):
    with pytest.raises(exc) as info:
        hooks.borrow(obj, writable)
    if text is not None:
        assert str(info.value) == text


def test_borrow_releases_the_buffer(hooks):
    # memoryview.release() refuses while any export of it is still held.
    for writable, fails in ((False, False), (True, True)):
        view = memoryview(bytearray(4)).toreadonly()
        if fails:
            with pytest.raises(ValueError):
                hooks.borrow(view, writable)
        else:
            hooks.borrow(view, writable)
        view.release()


def test_memory_exhaustion_aborts_with_the_request_size():
    import signal
    import subprocess
    from conftest import BUILD, ROOT

    code = ("import sys; sys.path[:0] = [%r, %r]; import _pelorin_testhooks as h; "
            "h.exhaust(1 << 62)" % (str(BUILD / "testhooks"), str(ROOT)))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == -signal.SIGABRT
    assert "memory allocation of 4611686018427387904 bytes failed" in out.stderr
