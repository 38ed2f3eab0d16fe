import os
import pathlib
import sys
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("PELORIN_BUILD_DIR", ROOT / "build"))

sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(BUILD / "testhooks"))


@pytest.fixture(scope="session")
def hooks():
    import _pelorin_testhooks

    return _pelorin_testhooks


def threads_named(name):
    """Threads of this process with `name`, as the kernel reports them."""
    count = 0
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            if (task / "comm").read_text().strip() == name:
                count += 1
        except OSError:
            pass  # the thread ended while we looked
    return count


def ticks_during(work):
    """How often a second Python thread got to run while `work()` ran. It can only run
    when `work` lets go of the interpreter lock."""
    ticks = 0
    running = threading.Event()
    stop = threading.Event()

    def ticker():
        nonlocal ticks
        running.set()
        while not stop.is_set():
            ticks += 1
            stop.wait(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    running.wait()
    try:
        before = ticks
        work()
        return ticks - before
    finally:
        stop.set()
        t.join()
