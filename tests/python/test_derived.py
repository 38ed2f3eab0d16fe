import gc
import os
import weakref

import numpy as np
import pytest

import pelorin._core as core
import pelorin._errors as errors
from conftest import threads_named

MiB = 1 << 20


@pytest.fixture
def rt():
    return core.RtRuntime(64 * MiB, prefetch=False)


def filled(rt, values):
    id = rt.alloc(values.nbytes, values.itemsize)
    p = rt.pin(id, write=True)
    np.frombuffer(p, values.dtype)[:] = values
    p.release()
    return id


def read(rt, id, dtype):
    p = rt.pin(id)
    out = np.frombuffer(p, dtype).copy()
    p.release()
    return out


def doubled(out, inputs):
    np.frombuffer(out, np.float32)[:] = np.frombuffer(inputs[0], np.float32) * 2


def test_computed_dropped_and_computed_again(rt):
    x = np.arange(256 * 1024, dtype=np.float32)
    a = filled(rt, x)
    seen = []

    def func(out, inputs):
        seen.append((out, [type(p).__name__ for p in inputs]))
        doubled(out, inputs)

    d = rt.derive([a], x.nbytes, 4, func)
    assert rt.state(d) == "resident" and np.array_equal(read(rt, d, np.float32), x * 2)
    used = rt.stats()["used"]
    assert rt.evict(d) is True and rt.state(d) == "dropped"
    assert rt.stats()["used"] == used - x.nbytes
    assert np.array_equal(read(rt, d, np.float32), x * 2)
    s = rt.stats()
    assert (s["recomputes"], s["recompute_bytes"]) == (1, x.nbytes) and s["recompute_seconds"] > 0
    assert [names for _, names in seen] == [["RtPin"], ["RtPin"]]
    with pytest.raises(ValueError, match="released"):
        seen[0][0][0]  # the view of the output does not outlive the call


def test_no_inputs_and_repeated_inputs(rt):
    ones = rt.derive([], 65536, 1, lambda out, inputs: np.frombuffer(out, np.uint8).fill(1))
    assert read(rt, ones, np.uint8).sum() == 65536
    counts = []

    def total(out, inputs):
        counts.append(len(inputs))
        np.frombuffer(out, np.uint8)[:] = sum(np.frombuffer(p, np.uint8) for p in inputs)

    twice = rt.derive([ones, ones], 65536, 1, total)
    rt.evict(ones), rt.evict(twice)
    assert read(rt, twice, np.uint8).tolist() == [2] * 65536 and counts == [2, 2]
    rt.evict(twice)
    with pytest.raises(errors.InvalidArgument, match=rf"buffer {ones} .* buffers \[{twice}, {twice}\], which"):
        rt.pin(ones, write=True)
    read(rt, twice, np.uint8)
    rt.pin(twice, write=True).release()  # its own lineage goes, and both entries with it
    assert rt.evict(twice) and rt.state(twice) == "compressed"
    rt.pin(ones, write=True).release()


@pytest.mark.parametrize("clear", ["pin it back", "free it"])
def test_write_pin_of_an_input_waits_for_dropped_dependents(rt, clear):
    x = np.arange(256 * 1024, dtype=np.float32)
    a = filled(rt, x)
    d, e = (rt.derive([a], x.nbytes, 4, doubled) for _ in range(2))
    rt.evict(d), rt.evict(e)
    text = (f"invalid argument: buffer {a} is needed to re-compute buffers [{d}, {e}], which are "
            "not in memory; use them (pin) or free them first")
    for attempt in (lambda: rt.pin(a, write=True), lambda: rt.free(a)):
        with pytest.raises(errors.InvalidArgument) as info:
            attempt()
        assert str(info.value) == text
    for id in (d, e):
        if clear == "pin it back":
            read(rt, id, np.float32)
        else:
            rt.free(id)
    p = rt.pin(a, write=True)
    np.frombuffer(p, np.float32)[:] = 0
    p.release()
    if clear == "pin it back":  # they keep the bytes they had, but no longer a lineage
        assert rt.evict(d) and rt.state(d) == "compressed"
        assert np.array_equal(read(rt, d, np.float32), x * 2)


def test_a_chain_is_rebuilt_from_the_oldest(rt):
    x = np.arange(256 * 1024, dtype=np.float32)
    a = filled(rt, x)
    order = []

    def step(name):
        def func(out, inputs):
            order.append(name)
            np.frombuffer(out, np.float32)[:] = np.frombuffer(inputs[0], np.float32) + 1
        return func

    b = rt.derive([a], x.nbytes, 4, step("b"))
    c = rt.derive([b], x.nbytes, 4, step("c"))
    rt.evict(c), rt.evict(b)
    order.clear()
    assert np.array_equal(read(rt, c, np.float32), x + 2)
    assert order == ["b", "c"] and rt.stats()["recomputes"] == 2


def test_a_computation_that_changes_is_caught(rt):
    calls = []

    def drifting(out, inputs):
        calls.append(1)
        np.frombuffer(out, np.uint8).fill(len(calls))

    d = rt.derive([], 8192, 1, drifting)
    rt.evict(d)
    used = rt.stats()["used"]
    for attempt in (2, 3):
        with pytest.raises(errors.IntegrityError) as info:
            rt.pin(d)
        assert str(info.value) == (
            f"integrity check failed: re-computing buffer {d} gave different data: its "
            "computation is not deterministic or its inputs changed")
        assert len(calls) == attempt and rt.state(d) == "dropped"
        assert rt.stats()["used"] == used and rt.stats()["recomputes"] == 0


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no")


def raise_(e):
    def func(out, inputs):
        raise e
    return func


@pytest.mark.parametrize("func,tail", [
    (raise_(ValueError("boom")), "ValueError: boom"),
    (raise_(BadStr()), "BadStr: <exception str() failed>"),
    (raise_(ValueError("\udcff")), "ValueError: ?"),
    (42, "TypeError: 'int' object is not callable"),
    (lambda out: None, "TypeError: "),
])
def test_a_failing_function_creates_nothing(rt, func, tail):
    a = filled(rt, np.zeros(4096, np.uint8))
    before = rt.stats()
    with pytest.raises(errors.InvalidArgument) as info:
        rt.derive([a], 4096, 1, func)
    assert str(info.value).startswith("invalid argument: the derive function failed: " + tail)
    after = rt.stats()
    assert (after["buffers"], after["used"], after["pinned_bytes"]) == (
        before["buffers"], before["used"], 0)
    rt.pin(a, write=True).release()  # no dependent was recorded


@pytest.mark.parametrize("args,error,text", [
    (("12", 16, 1), TypeError, "expected a sequence of ints, not str"),
    (([-1], 16, 1), OverflowError, ""),
    (([99], 16, 1), errors.InvalidArgument, "unknown buffer 99"),
    (([], 0, 1), errors.InvalidArgument, "a buffer holds at least one byte"),
    (([], 12, 8), errors.InvalidArgument, "element size 8 must be 1, 2, 4, 8 or 16 and divide 12 bytes"),
])
def test_derive_arguments(rt, args, error, text):
    called = []
    with pytest.raises(error, match=text) as info:
        rt.derive(*args, lambda out, inputs: called.append(1))
    if error in (TypeError, OverflowError):
        assert info.value.__notes__ == ["while processing 'inputs'"]
    assert not called and rt.stats()["buffers"] == 0


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("refers_back", [False, True])
def test_a_runtime_with_derived_buffers_goes_away(refers_back):
    gc.collect()
    threads, base = threads_named("pelorin-rt"), rss()
    rt = core.RtRuntime(256 * MiB)
    a = filled(rt, np.ones(16 * MiB, np.float32))

    def func(out, inputs, keep=rt if refers_back else None):
        np.frombuffer(out, np.float32)[:] = np.frombuffer(inputs[0], np.float32)

    d = rt.derive([a], 64 * MiB, 4, func)
    alive = weakref.ref(func)
    del func
    assert threads_named("pelorin-rt") == threads + 1 and rss() - base >= 100 * MiB
    del rt
    if refers_back:
        assert alive() is not None  # only the collector can see the cycle
        gc.collect()
    assert alive() is None
    assert threads_named("pelorin-rt") == threads
    assert rss() - base < 32 * MiB
