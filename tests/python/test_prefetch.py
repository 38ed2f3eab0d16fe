import time

import numpy as np
import pytest

import pelorin._core as core
import pelorin._errors as errors
from conftest import threads_named

MiB = 1 << 20
PAGE = 4096
HEADROOM = 4210688


def smooth(n_floats, seed=0):
    x = np.arange(n_floats, dtype=np.float64)
    return np.round(np.sin(x * 1e-4 + seed) * 64).astype(np.float32)


def compressed(rt, n, nbytes=8 * MiB):
    ids = []
    for i in range(n):
        id = rt.alloc(nbytes, 4)
        p = rt.pin(id, write=True)
        np.frombuffer(p, np.float32)[:] = smooth(nbytes // 4, i)
        p.release()
        assert rt.evict(id) and rt.state(id) == "compressed"
        ids.append(id)
    return ids


def eventually(cond, seconds=20.0):
    end = time.monotonic() + seconds
    while not cond():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def test_without_prefetching_nothing_moves():
    before = threads_named("pelorin-rt")
    rt = core.RtRuntime(256 * MiB, prefetch=False)
    assert threads_named("pelorin-rt") == before
    a, b = compressed(rt, 2)
    for _ in range(3):
        rt.pin(a).release(), rt.pin(b).release()
        rt.evict(a), rt.evict(b)
    assert rt.prefetch(a) is None
    time.sleep(0.05)
    assert rt.state(a) == "compressed" and rt.stats()["prefetches"] == 0
    with pytest.raises(errors.InvalidArgument, match="^invalid argument: unknown buffer 99$"):
        rt.prefetch(99)


def test_prefetch_on_request(tmp_path):
    rt = core.RtRuntime(256 * MiB)
    a, b = compressed(rt, 2)
    path = tmp_path / "f.bin"
    path.write_bytes(bytes(range(256)) * 4096)
    f = rt.add_file(path, 0, MiB, 1)
    d = rt.derive([], MiB, 1, lambda out, inputs: None)
    rt.evict(d)
    for id in (a, a, f, d, b):  # twice queued, restored once; derived buffers are not touched
        rt.prefetch(id)
    assert eventually(lambda: rt.stats()["prefetches"] == 3)
    time.sleep(0.05)
    s = rt.stats()
    assert [rt.state(i) for i in (a, b, f, d)] == ["resident", "resident", "resident", "dropped"]
    assert (s["prefetches"], s["prefetch_bytes"], s["loads"]) == (3, 17 * MiB, 1)
    rt.pin(a).release()
    rt.pin(a).release()  # only the first pin after the prefetch is a hit
    assert rt.stats()["prefetch_hits"] == 1
    rt.prefetch(a)  # resident: the thread has nothing to do
    time.sleep(0.05)
    assert rt.stats()["prefetches"] == 3


def test_prefetching_pays():
    """A loop that computes between pins over more buffers than the budget holds: with the
    service thread, pins find buffers already brought back."""
    results = {}
    for prefetch in (True, False):
        rt = core.RtRuntime(40 * MiB, prefetch=prefetch)
        ids = compressed(rt, 6)
        for cycle in range(4):
            for i, id in enumerate(ids):
                p = rt.pin(id)
                a = np.frombuffer(p, np.float32)
                assert a[12345] == smooth(12346, i)[12345]
                for _ in range(3):
                    np.sqrt(np.abs(a)).sum()
                del a
                p.release()
        s = rt.stats()
        assert s["used"] <= rt.limit()
        results[prefetch] = s["prefetch_hits"]
    assert results[True] > 0 and results[False] == 0


def test_dropping_the_runtime_with_requests_pending():
    before = threads_named("pelorin-rt")
    rt = core.RtRuntime(512 * MiB)
    ids = compressed(rt, 24)
    for id in ids:
        rt.prefetch(id)
    del rt  # joins the thread, which finishes at most the restore under way
    assert threads_named("pelorin-rt") == before


def test_hold_back():
    budget = 64 * MiB
    rt = core.RtRuntime(budget, prefetch=False)
    full = budget - HEADROOM
    assert rt.limit() == full
    ids = [rt.alloc(8 * MiB, 4) for _ in range(6)]
    for i, id in enumerate(ids):
        p = rt.pin(id, write=True)
        np.frombuffer(p, np.float32)[:] = smooth(2 * MiB, i)
        p.release()
    rt.hold_back(24 * MiB)
    assert rt.limit() == full - 24 * MiB and rt.stats()["used"] <= rt.limit()
    assert "compressed" in {rt.state(id) for id in ids}
    rt.hold_back(0)  # replaces the amount, not added to it
    assert rt.limit() == full
    with pytest.raises(errors.BudgetExceeded) as info:
        rt.hold_back(budget)
    assert str(info.value) == (
        "budget exceeded: holding back 64.00 MiB leaves less than 4.02 MiB of a 64.00 MiB budget for buffers")
    assert rt.limit() == full
    pins = [rt.pin(id) for id in ids[:5]]  # 40 MiB that cannot go anywhere
    with pytest.raises(errors.BudgetExceeded, match="unpin buffers or raise the budget"):
        rt.hold_back(40 * MiB)
    assert rt.limit() == full
    del pins
    with pytest.raises(OverflowError):
        rt.hold_back(-1)


KEYS = ["cycle_pins", "cycle_bytes", "restore_bytes", "restore_seconds", "compute_seconds",
        "seconds", "last_seconds", "prefetch"]


def pin_all(rt, ids):
    for id in ids:
        rt.pin(id).release()


def test_predict_finds_the_last_cycle():
    rt = core.RtRuntime(256 * MiB, prefetch=False)
    a, b, c = (rt.alloc(MiB + 1, 1) for _ in range(3))
    assert rt.predict() is None
    pin_all(rt, [a, b, c])
    assert rt.predict() is None
    pin_all(rt, [a])
    p = rt.predict()
    assert list(p) == KEYS
    assert (p["cycle_pins"], p["cycle_bytes"], p["restore_bytes"]) == (3, 3 * (MiB + PAGE), 0)
    assert p["restore_seconds"] == 0.0 and p["seconds"] == p["compute_seconds"]
    assert p["prefetch"] is False and p["last_seconds"] >= p["compute_seconds"] >= 0
    pin_all(rt, [a])
    assert rt.predict()["cycle_pins"] == 1
    pin_all(rt, [b, c, a])
    rt.free(b)
    assert rt.predict()["cycle_pins"] == 2


@pytest.mark.parametrize("prefetch", [False, True])
def test_predict_with_a_capacity_below_one_buffer(prefetch):
    budget = 2 * HEADROOM + 24 * MiB
    rt = core.RtRuntime(budget, prefetch=prefetch)
    ids = compressed(rt, 3, 16 * MiB)
    pin_all(rt, ids + ids[:1])
    rt.hold_back(HEADROOM + 16 * MiB)  # limit 8 MiB: below one buffer, with or without a window
    p = rt.predict()
    assert p["cycle_pins"] == 3 and p["restore_bytes"] == 3 * 16 * MiB
    assert p["restore_seconds"] > 0 and p["prefetch"] is prefetch
    combine = max if prefetch else (lambda x, y: x + y)
    assert p["seconds"] == pytest.approx(combine(p["compute_seconds"], p["restore_seconds"]))


def test_a_prefetch_that_needs_room_held_by_sooner_needs_is_skipped():
    rt = core.RtRuntime(2 * HEADROOM + 12 * MiB)  # a limit of 16 MiB
    a, b = compressed(rt, 2)
    held = rt.pin(a)  # resident and pinned: nothing can make room for b
    filler = rt.alloc(4 * MiB, 1)
    rt.prefetch(b)
    assert eventually(lambda: rt.stats()["prefetch_skipped"] >= 1)  # once per request taken
    assert rt.state(b) == "compressed" and rt.stats()["prefetches"] == 0
    held.release()
    rt.free(filler)
    assert rt.pin(b).nbytes == 8 * MiB
