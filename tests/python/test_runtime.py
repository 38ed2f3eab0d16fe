import gc
import time

import pytest

import pelorin._core as core
import pelorin._errors as errors
from conftest import threads_named

HEADROOM = 4210688


def wait_for_threads(name, count):
    deadline = time.monotonic() + 5
    while threads_named(name) != count and time.monotonic() < deadline:
        time.sleep(0.01)
    return threads_named(name)


@pytest.mark.parametrize("kwargs,limit", [
    (dict(budget=2 * HEADROOM), HEADROOM),
    (dict(budget=1 << 30), (1 << 30) - HEADROOM),
    (dict(budget=1 << 30, min_saving=0.0, policy="lru", prefetch=False, compress_level=-5,
          lookahead=0, process_budget=None), (1 << 30) - HEADROOM),
    (dict(budget=1 << 30, min_saving=0, prefetch=__import__("numpy").bool_(False),
          process_budget=1 << 31), (1 << 30) - HEADROOM),
])
def test_accepted(kwargs, limit):
    assert core.RtRuntime(**kwargs).limit() == limit


TOO_SMALL = ("invalid argument: a budget of {} is too small: the runtime needs at least 8.03 MiB")


@pytest.mark.parametrize("args,kwargs,cls,text", [
    ((2 * HEADROOM - 1,), {}, errors.InvalidArgument, TOO_SMALL.format("8.03 MiB")),
    ((1048576,), {}, errors.InvalidArgument, TOO_SMALL.format("1.00 MiB")),
    ((1 << 30,), dict(min_saving=1.0), errors.InvalidArgument,
     "invalid argument: min_saving must be in [0, 1)"),
    ((1 << 30,), dict(min_saving=float("nan")), errors.InvalidArgument,
     "invalid argument: min_saving must be in [0, 1)"),
    ((1 << 30,), dict(min_saving=-0.5), errors.InvalidArgument,
     "invalid argument: min_saving must be in [0, 1)"),
    # budget before min_saving; policy before both
    ((1,), dict(min_saving=2.0), errors.InvalidArgument, TOO_SMALL.format("0.00 MiB")),
    ((1,), dict(policy="LRU"), errors.InvalidArgument, "policy must be 'reuse' or 'lru', not \"LRU\""),
    ((1 << 30,), dict(policy='a"b\\c\n\x01'), errors.InvalidArgument,
     "policy must be 'reuse' or 'lru', not \"a\\\"b\\\\c\\n\\u{1}\""),
    ((1 << 30,), dict(policy=""), errors.InvalidArgument, "policy must be 'reuse' or 'lru', not \"\""),
])
def test_refused(args, kwargs, cls, text):
    with pytest.raises(cls) as info:
        core.RtRuntime(*args, **kwargs)
    assert str(info.value) == text


@pytest.mark.parametrize("kwargs,exc,note", [
    (dict(budget=-1), OverflowError, "budget"),
    (dict(budget=2**64), OverflowError, "budget"),
    (dict(budget="1"), TypeError, "budget"),
    (dict(budget=1 << 30, compress_level=2**31), OverflowError, "compress_level"),
    (dict(budget=1 << 30, min_saving="0.1"), TypeError, "min_saving"),
    (dict(budget=1 << 30, policy=b"lru"), TypeError, "policy"),
    (dict(budget=1 << 30, prefetch=1), TypeError, "prefetch"),
    (dict(budget=1 << 30, lookahead=-1), OverflowError, "lookahead"),
    (dict(budget=1 << 30, process_budget=-1), OverflowError, "process_budget"),
    # conversions come first, in argument order
    (dict(budget=1, compress_level="x", policy="bad"), TypeError, "compress_level"),
])
def test_conversion_failures_name_the_argument(kwargs, exc, note):
    with pytest.raises(exc) as info:
        core.RtRuntime(**kwargs)
    assert info.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("args,kwargs", [
    ((), {}), ((1 << 30,), dict(budget=1 << 30)), ((1 << 30,), dict(nope=1)),
    ((1 << 30, 1, 0.1, "reuse", True, 1, None, 9), {}),
])
def test_argument_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        core.RtRuntime(*args, **kwargs)


def test_service_thread_lives_with_the_runtime():
    before = threads_named("pelorin-rt")
    rt = core.RtRuntime(1 << 30)
    assert wait_for_threads("pelorin-rt", before + 1) == before + 1
    del rt
    gc.collect()
    assert threads_named("pelorin-rt") == before  # joined when the object went


def test_no_thread_without_prefetch_or_on_failure():
    before = threads_named("pelorin-rt")
    quiet = core.RtRuntime(1 << 30, prefetch=False)
    with pytest.raises(errors.InvalidArgument):
        core.RtRuntime(1 << 30, min_saving=1.0)
    with pytest.raises(errors.InvalidArgument):
        core.RtRuntime(1)
    time.sleep(0.05)
    assert threads_named("pelorin-rt") == before
    t0 = time.monotonic()
    del quiet
    assert time.monotonic() - t0 < 1.0


def test_many_runtimes_come_and_go():
    before = threads_named("pelorin-rt")
    for _ in range(50):
        core.RtRuntime(1 << 30).limit()
    assert threads_named("pelorin-rt") == before
