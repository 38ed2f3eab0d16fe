import numpy as np
import pytest
import zstandard

import pelorin._core as core
from conftest import ticks_during

CHUNK = 4194304


def smooth(n_bytes, dtype=np.float32):
    n = n_bytes // np.dtype(dtype).itemsize
    return (np.sin(np.arange(n) * 1e-4) * 1000).astype(dtype)


@pytest.mark.parametrize("itemsize,dtype", [(1, np.uint8), (2, np.int16), (4, np.float32),
                                            (8, np.float64), (16, np.complex128)])
@pytest.mark.parametrize("n_bytes", [0, 16, CHUNK - 16, CHUNK, CHUNK + 16, 2 * CHUNK + 48])
def test_round_trip(itemsize, dtype, n_bytes):
    arr = smooth(n_bytes, dtype)
    c = core.codec_pack(memoryview(arr).cast("B"), itemsize)
    assert c.raw_bytes == n_bytes
    out = np.empty_like(arr)
    assert c.unpack_into(memoryview(out).cast("B")) is None
    assert out.tobytes() == arr.tobytes()


def test_levels_and_random_data():
    rng = np.random.default_rng(1)
    data = rng.integers(0, 256, CHUNK + 5, dtype=np.uint8).tobytes()
    for level in (-3, 1, 9):
        c = core.codec_pack(data, 1, level=level)
        out = bytearray(len(data))
        c.unpack_into(out)
        assert bytes(out) == data
    # incompressible: every piece is a full frame, so the copy can be larger
    assert c.stored_bytes > c.raw_bytes


def test_empty_buffer():
    c = core.codec_pack(b"", 4)
    assert (c.raw_bytes, c.stored_bytes) == (0, 0)
    c.unpack_into(bytearray())


@pytest.mark.parametrize("itemsize", [1, 2, 4, 8, 16])
def test_pieces_are_plain_zstd_frames_of_shuffled_chunks(hooks, itemsize):
    """Decode the pieces with the zstandard package and NumPy alone."""
    raw = smooth(CHUNK + 4096 * 16, np.float32).tobytes()
    pieces = hooks.codec_pieces(raw, itemsize, 1)
    assert len(pieces) == 2
    assert sum(map(len, pieces)) == core.codec_pack(raw, itemsize).stored_bytes
    dctx = zstandard.ZstdDecompressor()
    restored = b""
    for piece in pieces:
        assert zstandard.frame_content_size(piece) in (CHUNK, len(raw) - CHUNK)
        planes = np.frombuffer(dctx.decompress(piece), dtype=np.uint8)
        restored += planes.reshape(itemsize, -1).T.tobytes()  # unshuffle
    assert restored == raw


@pytest.mark.parametrize("itemsize,n", [(3, 24), (0, 24), (32, 64), (8, 12), (16, 8)])
def test_bad_itemsize(itemsize, n):
    with pytest.raises(ValueError) as info:
        core.codec_pack(bytes(n), itemsize)
    assert str(info.value) == f"element size {itemsize} does not divide the buffer ({n} bytes)"


@pytest.mark.parametrize("delta", [-1, 1])
def test_destination_size_must_match(delta):
    c = core.codec_pack(bytes(64), 4)
    out = bytearray(b"\x07" * (64 + delta))
    with pytest.raises(ValueError) as info:
        c.unpack_into(out)
    assert str(info.value) == f"destination holds {64 + delta} bytes, compressed data expands to 64"
    assert out == b"\x07" * (64 + delta)


@pytest.mark.parametrize("dst,exc,text", [
    (bytes(64), ValueError, "destination buffer is read-only"),
    (bytes(63), ValueError, "destination buffer is read-only"),  # borrow before length
    (memoryview(bytearray(128))[::2], ValueError, "buffer must be C-contiguous"),
    (memoryview(np.zeros(8, np.float64)), BufferError, "buffer contents are not compatible with u8"),
])
def test_destination_borrow(dst, exc, text):
    c = core.codec_pack(bytes(64), 4)
    with pytest.raises(exc, match=text):
        c.unpack_into(dst)


@pytest.mark.parametrize("data,exc", [
    (memoryview(bytearray(16))[::2], ValueError),
    (memoryview(np.zeros(2, np.float64)), BufferError),
    ("text", TypeError),
])
def test_source_borrow(data, exc):
    with pytest.raises(exc):
        core.codec_pack(data, 1)


def test_argument_conversions():
    with pytest.raises(OverflowError) as info:
        core.codec_pack(b"", -1)
    assert info.value.__notes__ == ["while processing 'itemsize'"]
    with pytest.raises(OverflowError) as info:
        core.codec_pack(b"", 1, level=2**31)
    assert info.value.__notes__ == ["while processing 'level'"]


def test_compressed_is_immutable_and_independent():
    src = bytearray(smooth(CHUNK * 2).tobytes())
    c = core.codec_pack(src, 4)
    expected = bytes(src)
    src[:] = bytes(len(src))  # the copy does not refer to its source
    out = bytearray(len(src))
    c.unpack_into(out)
    assert out == expected
    with pytest.raises(AttributeError):
        c.raw_bytes = 1


def test_interpreter_lock_released_while_packing():
    data = np.random.default_rng(3).integers(0, 256, 64 * CHUNK, dtype=np.uint8)
    out = np.empty_like(data)
    packed = []
    assert ticks_during(lambda: packed.append(core.codec_pack(data, 1))) > 3
    assert ticks_during(lambda: packed[0].unpack_into(out)) > 3
    assert np.array_equal(out, data)
