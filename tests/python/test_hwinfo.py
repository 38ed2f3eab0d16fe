import os
import pathlib
import shutil

import numpy as np
import psutil
import pytest

import pelorin._core as core

MiB = 1 << 20
PSI = pathlib.Path("/proc/pressure/memory")


def test_cpu_against_psutil_and_cpuinfo():
    cpu = core.hwinfo_cpu()
    assert list(cpu) == ["brand", "logical_cpus"]
    assert cpu["logical_cpus"] == psutil.cpu_count(logical=True)
    names = [line.split(":", 1)[1].strip() for line in
             pathlib.Path("/proc/cpuinfo").read_text().splitlines()
             if line.split(":", 1)[0].strip() == "model name"]
    assert cpu["brand"] == (names[0] if names else cpu["brand"].strip())


def own_cgroup_limit():
    """The memory limit of this process's group, read from the usual mount points, or None."""
    for line in pathlib.Path("/proc/self/cgroup").read_text().splitlines():
        ident, controllers, path = line.split(":", 2)
        if ident == "0" and not controllers:
            f = pathlib.Path("/sys/fs/cgroup" + path.rstrip("/")) / "memory.max"
        elif "memory" in controllers.split(","):
            f = pathlib.Path("/sys/fs/cgroup/memory" + path.rstrip("/")) / "memory.limit_in_bytes"
        else:
            continue
        if f.exists():
            text = f.read_text().strip()
            if text != "max" and int(text) < 1 << 62:
                return int(text)
    return None


def test_memory_against_psutil():
    m = core.hwinfo_memory()
    vm, swap = psutil.virtual_memory(), psutil.swap_memory()
    assert list(m) == ["total_bytes", "available_bytes", "kernel_available_bytes",
                       "swap_total_bytes", "swap_free_bytes", "cgroup_limit_bytes",
                       "cgroup_free_bytes", "usable_bytes"]
    assert m["total_bytes"] == vm.total
    assert m["swap_total_bytes"] == swap.total
    assert abs(m["swap_free_bytes"] - swap.free) <= 64 * MiB
    assert abs(m["kernel_available_bytes"] - vm.available) <= 64 * MiB
    assert 0 < m["available_bytes"] <= m["kernel_available_bytes"] <= m["total_bytes"]
    assert m["cgroup_limit_bytes"] == own_cgroup_limit()
    if m["cgroup_limit_bytes"] is None:
        assert m["cgroup_free_bytes"] is None
        assert m["usable_bytes"] == m["available_bytes"]
    else:
        assert m["cgroup_free_bytes"] <= m["cgroup_limit_bytes"]
        assert m["usable_bytes"] == min(m["cgroup_free_bytes"], m["available_bytes"])


def test_resident_size_is_fresh_and_agrees_with_psutil():
    proc = psutil.Process()
    before = core.hwinfo_process_rss()
    assert abs(before - proc.memory_info().rss) <= 8 * MiB
    block = np.ones(128 * MiB, dtype=np.uint8)  # every page touched
    rss, footprint = core.hwinfo_process_rss(), core.process_footprint()
    assert abs(rss - proc.memory_info().rss) <= 8 * MiB
    assert rss >= before + 120 * MiB
    assert abs(footprint - rss) <= 8 * MiB
    del block


@pytest.mark.parametrize("make", [lambda d: "/", lambda d: d, lambda d: str(d),
                                  lambda d: os.fsencode(d)], ids=["root", "path", "str", "bytes"])
def test_disk_against_shutil(tmp_path, make):
    given = make(tmp_path)
    d = core.hwinfo_disk(given)
    usage = shutil.disk_usage(given)
    assert list(d) == ["path", "total_bytes", "available_bytes"]
    assert d["path"] == pathlib.Path(os.fsdecode(given))
    assert d["total_bytes"] == usage.total
    assert abs(d["available_bytes"] - usage.free) <= 64 * MiB
    assert d["total_bytes"] >= d["available_bytes"] > 0


@pytest.mark.parametrize("path,error,text", [
    ("/nonexistent/pelorin", OSError, "No such file or directory (os error 2)"),
    ("/tmp/a\0b", ValueError, 'invalid argument: path contains a NUL byte: "/tmp/a\\0b"'),
])
def test_disk_errors(path, error, text):
    with pytest.raises(error) as info:
        core.hwinfo_disk(path)
    assert type(info.value) is error and info.value.args == (text,)


@pytest.mark.parametrize("fn", [core.hwinfo_cpu, core.hwinfo_memory, core.hwinfo_process_rss,
                                core.process_footprint, core.pressure_current])
def test_no_arguments(fn):
    with pytest.raises(TypeError):
        fn(1)


def psi_avg10():
    figures = {}
    for line in PSI.read_text().splitlines():
        kind, *fields = line.split()
        figures[kind] = float(dict(f.split("=") for f in fields)["avg10"])
    return figures["some"], figures.get("full")


@pytest.mark.skipif(not PSI.exists(), reason="this kernel has no /proc/pressure/memory")
def test_pressure_against_psi():
    before = psi_avg10()
    p = core.pressure_current()
    after = psi_avg10()
    assert list(p) == ["level", "source", "some_avg10", "full_avg10", "raw_level"]
    assert p["source"] == "psi"
    # The kernel refreshes avg10 every 2 s: the figures are those of one of the two reads.
    some, full = (p["some_avg10"], p["full_avg10"])
    assert (some, full) in (before, after)
    if full >= 10 or some >= 40:
        level = "critical"
    elif some >= 10 or full >= 1:
        level = "warning"
    else:
        level = "normal"
    assert p["level"] == level
    assert p["raw_level"] == {"normal": 1, "warning": 2, "critical": 4}[level]


@pytest.mark.skipif(PSI.exists(), reason="this kernel has /proc/pressure/memory")
def test_pressure_without_psi_is_an_os_error():
    with pytest.raises(OSError, match=r"\(os error \d+\)$"):
        core.pressure_current()
