import gc
import random
import threading
import time

import numpy as np
import pytest

import pelorin._core as core
import pelorin._errors as errors
from conftest import threads_named

MiB = 1 << 20
PAGE = 4096


@pytest.fixture
def rt():
    return core.RtRuntime(64 * MiB, prefetch=False)


def fill(rt, id, values):
    p = rt.pin(id, write=True)
    a = np.frombuffer(p, dtype=values.dtype)
    a[:] = values
    del a
    p.release()


def read(rt, id, dtype):
    p = rt.pin(id)
    out = np.frombuffer(p, dtype=dtype).copy()
    p.release()
    return out


def test_ids_and_accounting(rt):
    a, b = rt.alloc(1, 1), rt.alloc(3 * PAGE + 1, 1)
    assert (a, b) == (1, 2)
    s = rt.stats()
    assert s["used"] == 5 * PAGE and s["buffers"] == 2 and s["resident_bytes"] == 5 * PAGE
    assert (rt.nbytes(a), rt.state(a)) == (1, "resident")
    rt.free(a)
    assert rt.alloc(8, 8) == 3  # never reused
    assert rt.stats()["used"] == 5 * PAGE
    assert read(rt, 3, np.uint8).tolist() == [0] * 8


STATS_KEYS = [
    "budget", "reserve", "used", "peak_used", "buffers", "resident_bytes", "compressed_bytes",
    "pinned_bytes", "loads", "load_bytes", "rereads", "reread_bytes", "read_seconds", "drops",
    "drop_bytes", "compressions", "compress_in", "compress_out", "compress_seconds",
    "decompressions", "decompress_bytes", "decompress_seconds", "incompressible", "evictions",
    "refusals", "restore_seconds", "pins", "recomputes", "recompute_bytes", "recompute_seconds",
    "prefetches", "prefetch_bytes", "prefetch_hits", "prefetch_wasted", "prefetch_skipped",
    "written_bytes", "outside_peak", "limit_low",
]


def test_stats_keys_and_types(rt):
    s = rt.stats()
    assert list(s) == STATS_KEYS
    assert all(type(v) is (float if k.endswith("_seconds") else int) for k, v in s.items())
    assert (s["budget"], s["reserve"], s["written_bytes"]) == (64 * MiB, 4210688, 0)


@pytest.mark.parametrize("call,text", [
    (lambda rt: rt.alloc(0, 1), "a buffer holds at least one byte"),
    (lambda rt: rt.alloc(12, 8), "element size 8 must be 1, 2, 4, 8 or 16 and divide 12 bytes"),
    (lambda rt: rt.alloc(12, 3), "element size 3 must be 1, 2, 4, 8 or 16 and divide 12 bytes"),
    (lambda rt: rt.alloc(16, 32), "element size 32 must be 1, 2, 4, 8 or 16 and divide 16 bytes"),
    (lambda rt: rt.free(7), "unknown buffer 7"),
    (lambda rt: rt.pin(7), "unknown buffer 7"),
    (lambda rt: rt.state(7), "unknown buffer 7"),
    (lambda rt: rt.nbytes(7), "unknown buffer 7"),
    (lambda rt: rt.evict(7), "unknown buffer 7"),
])
def test_invalid_arguments(rt, call, text):
    with pytest.raises(errors.InvalidArgument) as info:
        call(rt)
    assert str(info.value) == "invalid argument: " + text


def test_budget_refusals(rt):
    with pytest.raises(errors.BudgetExceeded) as info:
        rt.alloc(128 * MiB, 1)
    assert str(info.value) == ("budget exceeded: one buffer needs 128.00 MiB, more than the budget"
                               " 64.00 MiB minus the runtime's 4.02 MiB headroom")
    pins = [rt.pin(rt.alloc(16 * MiB, 1)) for _ in range(3)]
    with pytest.raises(errors.BudgetExceeded, match=r"^budget exceeded: need 16\.00 MiB more, "
                       r"48\.00 MiB of 59\.98 MiB in use \(48\.00 MiB pinned, 0\.00 MiB that"):
        rt.alloc(16 * MiB, 1)
    assert rt.stats()["refusals"] == 2
    del pins


def test_views_share_the_runtime_memory(rt):
    id = rt.alloc(1 * MiB, 4)
    p = rt.pin(id, write=True)
    a = np.frombuffer(p, np.float32)
    assert a.ctypes.data == p.address and p.address % PAGE == 0 and a.flags.writeable
    assert (p.nbytes, p.writable, p.views) == (MiB, True, 1)
    a[:] = 7
    b = np.frombuffer(rt.pin(id), np.float32)  # a second, read-only pin at the same address
    assert b.ctypes.data == p.address and not b.flags.writeable and b[123] == 7
    del a, b
    assert p.views == 0


def test_release_waits_for_the_last_view(rt):
    id = rt.alloc(PAGE, 1)
    p = rt.pin(id)
    arr = np.frombuffer(p, np.uint8)
    p.release()
    assert (p.unpinned, p.views) == (False, 1)
    with pytest.raises(errors.InvalidArgument, match="buffer 1 is pinned"):
        rt.free(id)
    with pytest.raises(BufferError, match="^this pin was released$"):
        memoryview(p)
    assert arr.sum() == 0  # still valid
    del arr
    assert (p.unpinned, p.views) == (True, 0)
    p.release()  # again: nothing more happens
    rt.free(id)


def test_read_only_pins_refuse_writable_views(rt, hooks):
    p = rt.pin(rt.alloc(64, 1))
    with pytest.raises(BufferError, match="^the buffer is pinned read-only; pin it with write=True$"):
        hooks.writable_view(p)
    hooks.writable_view(rt.pin(1, write=True))
    m = memoryview(p)
    assert m.readonly and m.format == "B" and m.shape == (64,)
    m.release()
    assert p.views == 0


def test_collecting_a_pin_unpins(rt):
    id = rt.alloc(PAGE, 1)
    rt.pin(id)
    gc.collect()
    rt.free(id)  # no pin left behind


def test_write_pin_alongside_read_pin(rt):
    id = rt.alloc(PAGE, 1)
    r = rt.pin(id)
    w = rt.pin(id, write=True)
    assert r.address == w.address and rt.stats()["pinned_bytes"] == PAGE
    with pytest.raises(TypeError) as info:
        rt.pin(id, write=1)
    assert info.value.__notes__ == ["while processing 'write'"]
    assert rt.pin(id, write=np.bool_(False)).writable is False


def test_pins_outlive_the_runtime():
    before = threads_named("pelorin-rt")
    rt = core.RtRuntime(64 * MiB)
    id = rt.alloc(MiB, 1)
    fill(rt, id, np.full(MiB, 5, np.uint8))
    p = rt.pin(id, write=True)
    arr = np.frombuffer(p, np.uint8)
    del rt
    gc.collect()
    assert threads_named("pelorin-rt") == before
    assert arr[0] == 5 and arr[-1] == 5
    arr[:] = 6  # still writable memory
    del arr
    p.release()


def smooth(n_floats, seed=0):
    x = np.arange(n_floats, dtype=np.float64)
    return np.round(np.sin(x * 1e-4 + seed) * 64).astype(np.float32)


def test_compress_and_restore_through_pins():
    rt = core.RtRuntime(40 * MiB, prefetch=False)
    ids = [rt.alloc(12 * MiB + 4, 4) for _ in range(6)]
    for i, id in enumerate(ids):
        fill(rt, id, smooth((12 * MiB + 4) // 4, i))
    s = rt.stats()
    assert s["compressions"] >= 3 and s["used"] <= rt.limit()
    assert "compressed" in {rt.state(id) for id in ids}
    for i, id in enumerate(ids):
        assert np.array_equal(read(rt, id, np.float32), smooth((12 * MiB + 4) // 4, i))
        assert rt.state(id) == "resident"
    s = rt.stats()
    assert s["decompressions"] >= 3 and s["used"] == s["resident_bytes"] + s["compressed_bytes"]


def test_evict():
    rt = core.RtRuntime(64 * MiB, prefetch=False)
    a, b, c = rt.alloc(8 * MiB, 4), rt.alloc(8 * MiB, 1), rt.alloc(8 * MiB, 4)
    fill(rt, a, smooth(2 * MiB))
    fill(rt, b, np.random.default_rng(1).integers(0, 256, 8 * MiB, dtype=np.uint8))
    assert rt.evict(a) is True and rt.state(a) == "compressed"
    assert rt.evict(a) is False  # already compressed, with no other way back
    assert rt.evict(b) is False and rt.state(b) == "resident"  # does not pay
    p = rt.pin(c)
    assert rt.evict(c) is False
    del p
    assert rt.evict(c) is True  # zeros
    assert np.array_equal(read(rt, a, np.float32), smooth(2 * MiB))
    assert rt.stats()["compressions"] == 2


def test_long_calls_release_the_interpreter_lock():
    from conftest import ticks_during

    rt = core.RtRuntime(1 << 30, prefetch=False)
    id = rt.alloc(256 * MiB, 4)
    fill(rt, id, smooth(64 * MiB))
    assert ticks_during(lambda: rt.evict(id)) > 3
    assert ticks_during(lambda: rt.pin(id).release()) > 3


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def test_the_budget_is_real():
    budget = 64 * MiB
    rt = core.RtRuntime(budget, prefetch=False)
    chunk = smooth(2 * MiB)  # 8 MiB of compressible floats, made once
    gc.collect()
    base = rss()
    peak = base
    ids = []
    for i in range(64):  # 512 MiB written through the budget
        id = rt.alloc(8 * MiB, 4)
        p = rt.pin(id, write=True)
        a = np.frombuffer(p, np.float32)
        a[:] = chunk
        a[0] = i
        del a
        p.release()
        ids.append(id)
        peak = max(peak, rss())
    s = rt.stats()
    assert s["used"] == s["resident_bytes"] + s["compressed_bytes"] <= rt.limit()
    assert peak - base <= budget + 32 * MiB, (peak - base) / MiB
    for i in (0, 31, 63):
        back = read(rt, ids[i], np.float32)
        assert back[0] == i and np.array_equal(back[1:], chunk[1:])
    assert rss() - base <= budget + 32 * MiB


def test_stress_nothing_lost_under_pressure():
    """Threads pin, check, write, evict and free at random over 4x the budget."""
    budget = 32 * MiB
    rt = core.RtRuntime(budget, prefetch=False)
    n_bufs, size = 16, 8 * MiB
    lock = threading.Lock()
    # id -> (digest of the last content written, version); a buffer is taken by one thread at
    # a time for checking so that its expected digest stays meaningful.
    expected = {}
    taken = set()
    failures = []
    refusals = [0]

    def content(version):
        return np.full(size // 4, version, np.float32) + np.arange(size // 4, dtype=np.float32) % 97

    def new_buffer():
        id = rt.alloc(size, 4)
        fill(rt, id, content(0))
        return id

    for _ in range(n_bufs):
        id = new_buffer()
        expected[id] = core.engine_digest(memoryview(content(0)).cast("B"))

    def worker(seed):
        rnd = random.Random(seed)
        for _ in range(60):
            with lock:
                free_ids = [i for i in expected if i not in taken]
                if not free_ids:
                    continue
                id = rnd.choice(free_ids)
                taken.add(id)
            try:
                op = rnd.random()
                if op < 0.45:
                    p = rt.pin(id)
                    got = core.engine_digest(p)
                    p.release()
                    if got != expected[id]:
                        failures.append(("mismatch", id))
                elif op < 0.75:
                    v = rnd.randrange(1, 1000)
                    data = content(v)
                    p = rt.pin(id, write=True)
                    np.frombuffer(p, np.float32)[:] = data
                    p.release()
                    expected[id] = core.engine_digest(memoryview(data).cast("B"))
                elif op < 0.9:
                    rt.evict(id)
                else:
                    rt.free(id)
                    with lock:
                        del expected[id]
                    new = new_buffer()
                    with lock:
                        expected[new] = core.engine_digest(memoryview(content(0)).cast("B"))
            except errors.BudgetExceeded:
                refusals[0] += 1
            except Exception as e:  # noqa: BLE001
                failures.append(repr(e))
            finally:
                with lock:
                    taken.discard(id)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 240
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "deadlock: workers did not finish"
    assert not failures, failures[:5]
    assert refusals[0] < 60
    for id, digest in expected.items():
        p = rt.pin(id)
        assert core.engine_digest(p) == digest
        p.release()
    s = rt.stats()
    assert s["used"] == s["resident_bytes"] + s["compressed_bytes"] <= rt.limit()
    assert s["compressions"] > 0 and s["decompressions"] > 0
