import errno
import os
import pathlib
import stat

import numpy as np
import pytest
import xxhash

import pelorin._core as core
from conftest import ticks_during

CHUNK = core.DIGEST_CHUNK
EMPTY = bytes.fromhex("b26556039db4c345547d14dc998a0a2c")
EIGHT_ZEROS = bytes.fromhex("68450bcf7215926e58cb65718fbf0900")


def le(h):
    """A 128-bit xxhash digest in the engine's byte order: low half first, little-endian."""
    v = h.intdigest()
    return v.to_bytes(16, "little")


def reference_parts(data):
    return b"".join(le(xxhash.xxh3_128(data[i:i + CHUNK])) for i in range(0, len(data), CHUNK))


def reference_digest(data):
    return le(xxhash.xxh3_128(len(data).to_bytes(8, "little") + reference_parts(data)))


def test_known_vectors():
    assert core.engine_digest(b"") == EMPTY
    assert core.engine_digest_parts(b"") == b""
    assert core.engine_digest_combine(0, b"") == EMPTY
    assert core.engine_digest(bytes(8)) == EIGHT_ZEROS
    assert core.engine_digest_parts(bytes(8)) == EMPTY


@pytest.mark.parametrize("n", [1, 17, CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK - 1, 2 * CHUNK,
                               2 * CHUNK + 1, 3 * CHUNK + 12345])
def test_digest_agrees_with_xxhash(n):
    data = np.random.default_rng(n).integers(0, 256, n, dtype=np.uint8).tobytes()
    parts = core.engine_digest_parts(data)
    assert len(parts) == 16 * ((n + CHUNK - 1) // CHUNK)
    assert parts == reference_parts(data)
    assert core.engine_digest(data) == reference_digest(data)
    assert core.engine_digest_combine(n, parts) == reference_digest(data)


def test_combining_pieces():
    rng = np.random.default_rng(5)
    a = rng.integers(0, 256, 2 * CHUNK, dtype=np.uint8).tobytes()
    b = rng.integers(0, 256, 1000, dtype=np.uint8).tobytes()
    whole = core.engine_digest(a + b)
    parts = core.engine_digest_parts(a) + core.engine_digest_parts(b)
    assert core.engine_digest_combine(len(a) + len(b), parts) == whole
    # When the first piece is not a whole number of chunks the boundaries move.
    parts = core.engine_digest_parts(a[:-1]) + core.engine_digest_parts(a[-1:] + b)
    assert core.engine_digest_combine(len(a) + len(b), parts) != whole
    # A part count that does not fit the length is hashed without complaint.
    assert core.engine_digest_combine(5, parts) == le(xxhash.xxh3_128((5).to_bytes(8, "little") + parts))
    assert core.engine_digest_combine(7, b"") == le(xxhash.xxh3_128((7).to_bytes(8, "little")))


class Bytes2(bytes):
    pass


def test_combine_arguments():
    with pytest.raises(ValueError, match="^parts must be 16 bytes each$"):
        core.engine_digest_combine(1, bytes(15))
    assert core.engine_digest_combine(0, Bytes2()) == EMPTY
    for bad, exc in ((bytearray(16), TypeError), ("x" * 16, TypeError)):
        with pytest.raises(exc) as info:
            core.engine_digest_combine(1, bad)
        assert info.value.__notes__ == ["while processing 'parts'"]
    for bad, exc in ((-1, OverflowError), (2**64, OverflowError), (1.0, TypeError)):
        with pytest.raises(exc) as info:
            core.engine_digest_combine(bad, b"")
        assert info.value.__notes__ == ["while processing 'length'"]


@pytest.mark.parametrize("fn", [core.engine_digest, core.engine_digest_parts])
@pytest.mark.parametrize("data,exc,text", [
    (memoryview(bytearray(8))[::2], ValueError, "buffer must be C-contiguous"),
    (memoryview(np.zeros(2, np.float64)), BufferError, "buffer contents are not compatible with u8"),
    (1, TypeError, None),
])
def test_digest_borrow(fn, data, exc, text):
    with pytest.raises(exc) as info:
        fn(data)
    if text:
        assert str(info.value) == text


def test_digest_of_views():
    arr = np.arange(1000, dtype=np.float32)
    assert core.engine_digest(memoryview(arr).cast("B")) == core.engine_digest(arr.tobytes())
    assert core.engine_digest(bytearray(b"abc")) == reference_digest(b"abc")


# Spill files ------------------------------------------------------------------------------

def test_write_and_read_back(tmp_path):
    data = np.random.default_rng(2).integers(0, 256, 2 * CHUNK + 77, dtype=np.uint8).tobytes()
    old = os.umask(0o022)
    try:
        path, length, digest = core.engine_write(data, tmp_path)
    finally:
        os.umask(old)
    assert isinstance(path, pathlib.Path) and path.parent == tmp_path
    assert length == len(data) and digest == core.engine_digest(data) == reference_digest(data)
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert path.read_bytes() == data
    pid, stamp, counter = path.name.removesuffix(".plspill").split("-")
    assert int(pid) == os.getpid() and int(stamp) > 0 and counter.isdigit()

    dst = bytearray(len(data))
    assert core.engine_read_source_into(path, 0, dst, digest) == digest
    assert dst == data
    dst = np.zeros(100, np.uint8)
    assert core.engine_read_source_into(str(path), CHUNK - 50, dst) == \
        reference_digest(data[CHUNK - 50:CHUNK + 50])
    assert dst.tobytes() == data[CHUNK - 50:CHUNK + 50]


def test_names_never_repeat(tmp_path):
    names = [core.engine_write(b"x", str(tmp_path) + "/")[0] for _ in range(20)]
    counters = [int(p.name.removesuffix(".plspill").split("-")[2]) for p in names]
    assert counters == list(range(counters[0], counters[0] + 20))
    assert len(set(names)) == 20 and all(p.parent == tmp_path for p in names)


def test_empty_write(tmp_path):
    path, length, digest = core.engine_write(b"", tmp_path)
    assert (length, digest, path.stat().st_size) == (0, EMPTY, 0)
    assert core.engine_read_source_into(path, 0, bytearray()) == EMPTY


def test_write_into_missing_directory(tmp_path):
    with pytest.raises(OSError) as info:
        core.engine_write(b"abc", tmp_path / "nope")
    assert info.value.errno is None
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
    assert not (tmp_path / "nope").exists()


def test_write_failure_removes_the_file(tmp_path):
    import resource
    import subprocess
    import sys

    # In a child with a small file-size limit the write fails past creation; the file must go.
    code = (
        "import resource, signal, sys\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))\n"
        f"sys.path.insert(0, {str(pathlib.Path(core.__file__).parents[1])!r})\n"
        "import pelorin._core as c\n"
        "try:\n"
        f"    c.engine_write(bytes(8 << 20), {str(tmp_path)!r})\n"
        "except OSError as e:\n"
        "    print('failed:', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.startswith("failed: "), out.stderr
    assert "File too large" in out.stdout
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def spilled(tmp_path):
    data = bytes(range(256)) * 64  # 16 KiB
    path, _, digest = core.engine_write(data, tmp_path)
    return path, data, digest


def test_read_checks(spilled):
    path, data, digest = spilled
    n = len(data)
    # wrong expected digest: bytes still land in dst
    for expected in (digest[:15], bytes(16), list(digest[:-1]) + [digest[-1] ^ 1]):
        dst = bytearray(n)
        with pytest.raises(RuntimeError) as info:
            core.engine_read_source_into(path, 0, dst, expected)
        assert type(info.value) is RuntimeError
        assert str(info.value) == "integrity check failed: data read back does not match its digest"
        assert dst == data
    # expected as any sequence of ints
    assert core.engine_read_source_into(path, 0, bytearray(n), list(digest)) == digest
    assert core.engine_read_source_into(path, 0, bytearray(n), bytearray(digest)) == digest
    # past the end, exactly at the end, empty at the end
    with pytest.raises(RuntimeError) as info:
        core.engine_read_source_into(path, 1, bytearray(n))
    assert str(info.value) == f"integrity check failed: {path} is {n} bytes, shorter than the recorded region"
    assert core.engine_read_source_into(path, 10, bytearray(n - 10)) == core.engine_digest(data[10:])
    assert core.engine_read_source_into(path, n, bytearray()) == EMPTY
    with pytest.raises(RuntimeError):
        core.engine_read_source_into(path, 2**64 - 1, bytearray(2))


def test_read_argument_errors(spilled, tmp_path):
    path, data, digest = spilled
    with pytest.raises(OSError) as info:
        core.engine_read_source_into(tmp_path / "missing", 0, bytearray(1))
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
    with pytest.raises(ValueError, match="^destination buffer is read-only$"):
        core.engine_read_source_into(path, 0, bytes(4))
    with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
        core.engine_read_source_into(str(path) + "\0", 0, bytearray(1))
    with pytest.raises(TypeError) as info:
        core.engine_read_source_into(path, 0, bytearray(4), "abcdefghijklmnop")
    assert info.value.__notes__ == ["while processing 'expected'"]
    for bad, exc in (([256] + [0] * 15, OverflowError), ([-1], OverflowError), (3, TypeError),
                     ([1.0], TypeError)):
        with pytest.raises(exc):
            core.engine_read_source_into(path, 0, bytearray(4), bad)
    with pytest.raises(OverflowError):
        core.engine_read_source_into(path, -1, bytearray(4))


def test_lock_released_for_long_work(tmp_path):
    data = np.random.default_rng(9).integers(0, 256, 256 * CHUNK, dtype=np.uint8)
    written = []
    assert ticks_during(lambda: core.engine_digest(data)) > 3
    assert ticks_during(lambda: written.append(core.engine_write(data, tmp_path))) > 3
    assert ticks_during(lambda: core.engine_read_source_into(written[0][0], 0, data)) > 3
