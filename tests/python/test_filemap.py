import ctypes
import mmap
import os
import pathlib
import subprocess

import pytest

import pelorin._core as core
import pelorin._errors as errors
from conftest import ticks_during

PAGE = mmap.PAGESIZE
MiB = 1 << 20


def write_file(path, size):
    data = os.urandom(size)
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())  # dirty pages cannot be dropped from the cache
    return data


def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def fincore_share(path):
    """Share of the file's pages in the page cache, as util-linux's fincore counts them."""
    out = subprocess.run(["fincore", "-n", "-r", "-b", "-o", "PAGES,SIZE", str(path)],
                         capture_output=True, text=True, check=True).stdout.split()
    pages, size = int(out[0]), int(out[1])
    return pages / max(-(-size // PAGE), 1)


def held_by_process(path):
    """Descriptors and mappings of this process that refer to `path`."""
    real = os.path.realpath(path)
    fds = sum(1 for fd in os.listdir("/proc/self/fd")
              if os.path.realpath(f"/proc/self/fd/{fd}") == real)
    maps = sum(1 for line in open("/proc/self/maps") if line.rstrip().endswith(real))
    return fds, maps


@pytest.mark.parametrize("size", [1, PAGE, PAGE + 1, 3 * MiB + 5])
def test_maps_the_whole_file(tmp_path, size):
    path = tmp_path / "f"
    data = write_file(path, size)
    m = core.FileMap(path)
    assert m.addr % PAGE == 0
    assert m.file_length == size
    assert m.length == -(-size // PAGE) * PAGE
    assert ctypes.string_at(m.addr, size) == data
    assert 0.0 <= m.resident() <= 1.0


def test_resident_follows_the_page_cache(tmp_path):
    path = tmp_path / "f"
    size = 32 * MiB + 123
    write_file(path, size)
    m = core.FileMap(str(path))
    drop_cache(path)
    if fincore_share(path) > 0.5:
        pytest.skip("this file system keeps its files' pages in memory (tmpfs)")
    assert m.resident() < 0.05 and fincore_share(path) < 0.05
    assert m.prefetch(0, 2**64 - 1) == size
    share = m.resident()
    assert share > 0.95
    assert abs(share - fincore_share(path)) < 0.02
    drop_cache(path)  # the map never touched its pages, so they can go again
    assert m.resident() < 0.05


@pytest.mark.parametrize("offset,length,expected", [
    (0, 0, 0),
    (0, 2**64 - 1, 9 * MiB + 7),
    (2**64 - 1, 2**64 - 1, 0),
    (9 * MiB + 7, 1, 0),
    (10 * MiB, 5, 0),
    (9 * MiB, 2**20, 7),
    (1, 9 * MiB, 9 * MiB),  # more than one 8 MiB buffer
])
def test_prefetch_clips_to_the_file(tmp_path, offset, length, expected):
    path = tmp_path / "f"
    write_file(path, 9 * MiB + 7)
    assert core.FileMap(path).prefetch(offset, length) == expected


def test_prefetch_releases_the_interpreter_lock(tmp_path):
    path = tmp_path / "f"
    write_file(path, 256 * MiB)
    m = core.FileMap(path)
    drop_cache(path)
    assert ticks_during(lambda: m.prefetch(0, 2**64 - 1)) > 3


@pytest.mark.parametrize("args,error", [((-1, 1), OverflowError), ((0, 2**64), OverflowError),
                                        ((0.5, 1), TypeError), ((0,), TypeError)])
def test_prefetch_argument_errors(tmp_path, args, error):
    path = tmp_path / "f"
    write_file(path, 10)
    with pytest.raises(error):
        core.FileMap(path).prefetch(*args)


def test_open_errors_leave_nothing_open(tmp_path):
    empty = tmp_path / "empty"
    empty.touch()
    with pytest.raises(ValueError) as info:
        core.FileMap(empty)
    assert info.value.args == (f"invalid argument: {empty} is empty",)
    assert held_by_process(empty) == (0, 0)

    cases = [(tmp_path / "missing", "No such file or directory (os error 2)"),
             ("a\0b", "file name contained an unexpected NUL byte"),
             (tmp_path, None)]
    for path, text in cases:
        with pytest.raises(OSError) as info:
            core.FileMap(path)
        assert type(info.value) is OSError and info.value.errno is None
        if text is not None:
            assert info.value.args == (text,)
    assert held_by_process(tmp_path)[0] == 0


def test_drop_unmaps_and_closes(tmp_path):
    path = tmp_path / "f"
    write_file(path, PAGE * 3)
    m = core.FileMap(path)
    assert held_by_process(path) == (1, 1)
    del m
    assert held_by_process(path) == (0, 0)


def test_no_metal_device(tmp_path):
    path = tmp_path / "f"
    write_file(path, 10)
    m = core.FileMap(path)
    for _ in range(2):  # a failure stores nothing, so the next call tries again
        with pytest.raises(NotImplementedError) as info:
            m.metal_buffer()
        assert info.value.args == ("not supported here: no Metal device",)


ALIGNMENT = ("invalid argument: a no-copy Metal buffer needs a page-aligned address and a length"
             f" in whole pages ({PAGE} bytes); got ")


@pytest.mark.parametrize("address,length,error,text", [
    (0, PAGE, errors.InvalidArgument, ALIGNMENT + f"0x0, {PAGE}"),
    (PAGE, 100, errors.InvalidArgument, ALIGNMENT + "0x1000, 100"),
    (PAGE, 0, errors.InvalidArgument, ALIGNMENT + "0x1000, 0"),
    (0xABC0001, PAGE, errors.InvalidArgument, ALIGNMENT + f"0xabc0001, {PAGE}"),
    (PAGE, PAGE, NotImplementedError, "not supported here: no Metal device"),
])
def test_metal_wrap_checks_then_has_no_device(address, length, error, text):
    with pytest.raises(error) as info:
        core.metal_wrap(address, length)
    assert type(info.value) is error and info.value.args == (text,)


def test_metal_wrap_argument_types():
    with pytest.raises(OverflowError):
        core.metal_wrap(-PAGE, PAGE)
    with pytest.raises(TypeError):
        core.metal_wrap(PAGE)
    assert core.metal_release(0) is None
    assert core.metal_release(buffer=0) is None
