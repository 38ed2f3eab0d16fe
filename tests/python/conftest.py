import os
import pathlib
import sys

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
