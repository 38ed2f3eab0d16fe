"""Measures pelorin's buffer runtime beside plain baselines, on the same data, in one run.

Run with Debian's interpreter after a build:  /usr/bin/python3 bench/runtime_bench.py

1. Pin round trip of a resident buffer (pin, NumPy view, drop the view, release) beside the
   same round trip through a memoryview of a bytearray of the same size.
2. Restore and compression of a 64 MiB float32 buffer of smooth data: `rt.pin` of a
   compressed buffer and `rt.evict` of a resident one, beside the codec run by hand one
   4 MiB chunk at a time on one thread (`codec_pack(chunk, 4)` / `Compressed.unpack_into`).
   Compression done by make_room (an alloc that needs room compresses a victim) is read
   from the runtime's stats and compared with the same baseline.
3. A cyclic workload: 16 buffers of 64 MiB behind a 256 MiB budget, pinned round-robin with
   NumPy work between pins that takes about as long as one restore, run with prefetch=False
   and with prefetch=True on the same data, beside the same loop over plain NumPy arrays
   that all fit in memory. It reports seconds per cycle, prefetch hits per pin and
   predict()'s "seconds" beside the measured cycle.

Each time is the best of several runs; GB/s is 1e9 bytes of raw (uncompressed) data per
second. Takes about two minutes on two cores.
"""

import mmap
import os
import platform
import sys
import time

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)
import pelorin._core as core  # noqa: E402

MIB = 1 << 20
PIECE = 4 * MIB
BIG = 64 * MIB
LEVEL = 1
GOAL = 0.9  # least runtime/baseline speed ratio for restore and compression

verdicts = []  # (what, ratio, goal)
summary = []   # (what, runtime figure, baseline figure, ratio)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def loadavg():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "n/a"


def gbps(nbytes, seconds):
    return nbytes / seconds / 1e9 if seconds > 0 else float("inf")


def smooth_signal(nbytes, seed=1):
    """float32 samples: sine of a slowly varying phase plus small noise, rounded to 1/64."""
    n = nbytes // 4
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    phase = 2 * np.pi * t / 8192.0 * (1.0 + 0.25 * np.sin(t / 3.0e6))
    x = 8.0 * np.sin(phase) + rng.normal(0.0, 0.005, n)
    return (np.round(x * 64.0) / 64.0).astype(np.float32)


def fill(rt, bid, src):
    """Writes `src` into buffer `bid` through a write pin, then releases it."""
    p = rt.pin(bid, write=True)
    v = np.frombuffer(p, np.float32)
    v[:] = src
    del v
    p.release()


def delta(after, before, *keys):
    return {k: after[k] - before[k] for k in keys}


# ---------------------------------------------------------------------------- 1. pin round trip

def bench_pin(size=MIB, iters=20000, runs=7):
    rt = core.RtRuntime(256 * MIB, compress_level=LEVEL, prefetch=False)
    bid = rt.alloc(size, 1)
    fill(rt, bid, np.zeros(size // 4, np.float32))
    ba = bytearray(size)
    frombuffer, u8 = np.frombuffer, np.uint8
    pin = rt.pin

    def run_rt():
        t0 = time.perf_counter_ns()
        for _ in range(iters):
            p = pin(bid)
            a = frombuffer(p, u8)
            del a
            p.release()
        return (time.perf_counter_ns() - t0) / iters

    def run_mv():
        t0 = time.perf_counter_ns()
        for _ in range(iters):
            m = memoryview(ba)
            a = frombuffer(m, u8)
            del a
            m.release()
        return (time.perf_counter_ns() - t0) / iters

    rt_ns, mv_ns = [], []
    for _ in range(runs):  # interleaved so both see the same machine state
        rt_ns.append(run_rt())
        mv_ns.append(run_mv())
    best_rt, best_mv = min(rt_ns), min(mv_ns)
    assert rt.state(bid) == "resident"
    print("\n1. Pin round trip of a resident %d KiB buffer (best of %d runs of %d)"
          % (size // 1024, runs, iters))
    print("   rt.pin + frombuffer + release      %8.0f ns" % best_rt)
    print("   memoryview + frombuffer + release  %8.0f ns" % best_mv)
    print("   ratio runtime/memoryview           %8.2fx" % (best_rt / best_mv))
    summary.append(("pin round trip (ns)", "%.0f" % best_rt, "%.0f" % best_mv,
                    "%.2fx time" % (best_rt / best_mv)))
    rt.free(bid)


# ------------------------------------------------------------------- 2. restore and compression

def baseline_pack(data_u8):
    """Single-thread codec, one 4 MiB chunk per call; returns (seconds, pieces)."""
    t0 = time.perf_counter()
    pieces = [core.codec_pack(data_u8[o:o + PIECE], 4, level=LEVEL)
              for o in range(0, len(data_u8), PIECE)]
    return time.perf_counter() - t0, pieces


def baseline_unpack(pieces, out_u8):
    t0 = time.perf_counter()
    o = 0
    for c in pieces:
        n = c.raw_bytes
        c.unpack_into(out_u8[o:o + n])
        o += n
    return time.perf_counter() - t0


def bench_restore(data, reps=7):
    nbytes = data.nbytes
    data_u8 = data.view(np.uint8)
    rt = core.RtRuntime(1024 * MIB, compress_level=LEVEL, prefetch=False)
    bid = rt.alloc(nbytes, 4)
    warm = np.empty(nbytes, np.uint8)
    warm[:] = 1  # pages faulted in

    ev_wall, ev_stat, rs_wall, rs_stat = [], [], [], []
    pk, up_warm, up_fresh, up_mmap = [], [], [], []
    stored = base_stored = None
    for _ in range(reps):  # runtime and baseline interleaved, so both see the same machine
        fill(rt, bid, data)  # a write pin each time, so the next evict has to compress
        s0 = rt.stats()
        t0 = time.perf_counter()
        ok = rt.evict(bid)
        t1 = time.perf_counter()
        s1 = rt.stats()
        assert ok and rt.state(bid) == "compressed", (ok, rt.state(bid))
        d = delta(s1, s0, "compressions", "compress_in", "compress_out", "compress_seconds")
        assert d["compress_in"] == nbytes, d
        ev_wall.append(t1 - t0)
        ev_stat.append(d["compress_seconds"])
        stored = d["compress_out"]

        t0 = time.perf_counter()
        p = rt.pin(bid)
        t1 = time.perf_counter()
        s2 = rt.stats()
        d = delta(s2, s1, "decompress_bytes", "decompress_seconds", "restore_seconds")
        assert d["decompress_bytes"] == nbytes, d
        a = np.frombuffer(p, np.float32)
        assert np.array_equal(a, data)
        del a
        p.release()
        rs_wall.append(t1 - t0)
        rs_stat.append(d["decompress_seconds"])

        s, pieces = baseline_pack(data_u8)
        pk.append(s)
        base_stored = sum(c.stored_bytes for c in pieces)
        up_warm.append(baseline_unpack(pieces, warm))
        assert np.array_equal(warm, data_u8)
        fresh = np.empty(nbytes, np.uint8)  # untouched pages (NumPy asks for huge pages)
        up_fresh.append(baseline_unpack(pieces, fresh))
        del fresh
        m = mmap.mmap(-1, nbytes)  # untouched anonymous pages, no madvise
        mv = np.frombuffer(m, np.uint8)
        up_mmap.append(baseline_unpack(pieces, mv))
        del mv
        m.close()
        del pieces
    rt.free(bid)

    r_ev, r_evs = gbps(nbytes, min(ev_wall)), gbps(nbytes, min(ev_stat))
    r_rs, r_rss = gbps(nbytes, min(rs_wall)), gbps(nbytes, min(rs_stat))
    b_pk = gbps(nbytes, min(pk))
    b_upw, b_upf = gbps(nbytes, min(up_warm)), gbps(nbytes, min(up_fresh))
    b_upm = gbps(nbytes, min(up_mmap))
    print("\n2. Restore and compression of a %d MiB float32 buffer of smooth data (best of %d)"
          % (nbytes // MIB, reps))
    print("   compressed size: runtime %.1f MiB (%.2fx), chunk-by-chunk codec %.1f MiB (%.2fx)"
          % (stored / MIB, nbytes / stored, base_stored / MIB, nbytes / base_stored))
    print("   restore  rt.pin, wall                 %6.2f GB/s" % r_rs)
    print("   restore  decompress_seconds (stats)   %6.2f GB/s" % r_rss)
    print("   baseline unpack_into, warm output     %6.2f GB/s   ratio %.2fx" % (b_upw, r_rs / b_upw))
    print("   baseline unpack_into, np.empty output %6.2f GB/s   ratio %.2fx" % (b_upf, r_rs / b_upf))
    print("   baseline unpack_into, fresh mmap      %6.2f GB/s   ratio %.2fx" % (b_upm, r_rs / b_upm))
    print("   compress rt.evict, wall               %6.2f GB/s" % r_ev)
    print("   compress compress_seconds (stats)     %6.2f GB/s" % r_evs)
    print("   baseline codec_pack per 4 MiB chunk   %6.2f GB/s   ratio %.2fx" % (b_pk, r_ev / b_pk))
    summary.append(("restore (rt.pin) GB/s", "%.2f" % r_rs, "%.2f" % b_upw, "%.2fx" % (r_rs / b_upw)))
    summary.append(("compress (rt.evict) GB/s", "%.2f" % r_ev, "%.2f" % b_pk, "%.2fx" % (r_ev / b_pk)))
    verdicts.append(("restore vs single-thread unpack (warm output)", r_rs / b_upw, GOAL))
    verdicts.append(("compress under evict vs single-thread pack", r_ev / b_pk, GOAL))
    return b_pk


def bench_make_room(data, base_pack_gbps, reps=4):
    """Budget holds two 64 MiB buffers; a third alloc makes room by compressing a victim."""
    nbytes = data.nbytes
    speeds, walls = [], []
    for _ in range(reps):
        rt = core.RtRuntime(2 * nbytes + 32 * MIB, compress_level=LEVEL, prefetch=False)
        ids = [rt.alloc(nbytes, 4) for _ in range(2)]
        for b in ids:
            fill(rt, b, data)
        s0 = rt.stats()
        assert s0["compressions"] == 0, s0
        t0 = time.perf_counter()
        new = rt.alloc(nbytes, 4)
        t1 = time.perf_counter()
        s1 = rt.stats()
        d = delta(s1, s0, "compressions", "compress_in", "compress_seconds")
        assert d["compress_in"] >= nbytes, d
        states = [rt.state(b) for b in ids]
        assert "compressed" in states, states
        speeds.append(gbps(d["compress_in"], d["compress_seconds"]))
        walls.append(gbps(d["compress_in"], t1 - t0))
        for b in ids + [new]:
            rt.free(b)
        del rt
    best, best_wall = max(speeds), max(walls)
    print("\n   Compression under make_room (alloc of a third 64 MiB buffer, budget %d MiB, best of %d)"
          % ((2 * nbytes + 32 * MIB) // MIB, reps))
    print("   compress_in/compress_seconds (stats)  %6.2f GB/s   ratio %.2fx vs %.2f GB/s"
          % (best, best / base_pack_gbps, base_pack_gbps))
    print("   compress_in / alloc wall time         %6.2f GB/s   ratio %.2fx"
          % (best_wall, best_wall / base_pack_gbps))
    summary.append(("compress (make_room) GB/s", "%.2f" % best, "%.2f" % base_pack_gbps,
                    "%.2fx" % (best / base_pack_gbps)))
    verdicts.append(("compress under make_room vs single-thread pack", best / base_pack_gbps, GOAL))


# ---------------------------------------------------------------------------- 3. cyclic workload

def make_cyclic(data, nbuf, budget, prefetch):
    rt = core.RtRuntime(budget, compress_level=LEVEL, prefetch=prefetch)
    ids = []
    for k in range(nbuf):
        b = rt.alloc(data.nbytes, 4)
        p = rt.pin(b, write=True)
        v = np.frombuffer(p, np.float32)
        np.add(data, np.float32(k), out=v)  # exact: values stay on the 1/64 grid
        del v
        p.release()
        ids.append(b)
    return rt, ids


def run_cycles(rt, ids, work, cycles):
    """Best seconds per cycle after one warm-up cycle, the stats delta, the last prediction
    and the checksum of the last cycle."""
    def one_cycle():
        acc = 0.0
        for b in ids:
            p = rt.pin(b)
            a = np.frombuffer(p, np.float32)
            acc += work(a)
            del a
            p.release()
        return acc

    one_cycle()  # warm-up: the first pass settles the pin history and what is resident
    s0 = rt.stats()
    times, predicted = [], []
    for _ in range(cycles):
        t0 = time.perf_counter()
        acc = one_cycle()
        times.append(time.perf_counter() - t0)
        predicted.append(rt.predict()["seconds"])
    d = delta(rt.stats(), s0, "decompress_bytes", "decompressions", "compress_in", "compressions",
              "decompress_seconds", "compress_seconds", "pins", "prefetches", "prefetch_hits",
              "prefetch_wasted", "prefetch_skipped", "restore_seconds")
    return times, d, predicted, acc


def bench_cyclic(data, nbuf=16, budget=256 * MIB, cycles=3):
    """The same cyclic workload with and without the service thread. Between pins the loop
    computes for about as long as a pin without prefetching takes to bring a buffer back."""
    nbytes = data.nbytes
    total = nbuf * nbytes

    # How long bringing one buffer back takes on the caller (decompressing it and making
    # room by compressing another), and a NumPy reduction repeated to take as long.
    rt, ids = make_cyclic(data, nbuf, budget, False)
    _, d0, _, _ = run_cycles(rt, ids, lambda a: float(a.max()), 2)
    rt = None
    restore = d0["restore_seconds"] / d0["pins"]
    probe = data + np.float32(0)
    t0 = time.perf_counter()
    for _ in range(5):
        float(np.abs(probe).sum())
    unit = (time.perf_counter() - t0) / 5
    reps = max(1, round(restore / unit))
    work = lambda a: sum(float(np.abs(a).sum()) for _ in range(reps))  # noqa: E731

    results = {}
    for prefetch in (False, True):
        rt, ids = make_cyclic(data, nbuf, budget, prefetch)
        results[prefetch] = run_cycles(rt, ids, work, cycles)
        rt = None

    arrays = [data + np.float32(k) for k in range(nbuf)]

    def np_cycle():
        return sum(work(a) for a in arrays)

    np_cycle()
    np_times = []
    for _ in range(cycles):
        t0 = time.perf_counter()
        acc_np = np_cycle()
        np_times.append(time.perf_counter() - t0)
    arrays = None
    for prefetch, (_, _, _, acc) in results.items():
        assert acc == acc_np, (prefetch, acc, acc_np)

    print("\n3. Cyclic workload: %d x %d MiB float32 (%d MiB, %.0fx the %d MiB budget), pinned"
          % (nbuf, nbytes // MIB, total // MIB, total / budget, budget // MIB))
    print("   round-robin; between pins np.abs(a).sum() x %d = %.0f ms of computation, about one"
          % (reps, reps * unit * 1e3))
    print("   restore on the caller (%.0f ms measured); best of %d cycles after one warm-up"
          % (restore * 1e3, cycles))
    np_s = min(np_times)
    for prefetch in (False, True):
        times, d, predicted, _ = results[prefetch]
        best = min(times)
        last = predicted[times.index(best)]
        print("   prefetch=%-5s %6.2f s/cycle   predict() %5.2f s (%+.0f%%)   hits %d/%d pins   "
              "restored %4.0f MiB/cycle   skipped %d, wasted %d"
              % (prefetch, best, last, (last / best - 1) * 100, d["prefetch_hits"], d["pins"],
                 d["decompress_bytes"] / cycles / MIB, d["prefetch_skipped"], d["prefetch_wasted"]))
        summary.append(("cyclic s/cycle, prefetch=%s" % prefetch, "%.2f" % best, "%.2f" % np_s,
                        "%.2fx time" % (best / np_s)))
        verdicts.append(("predict() accuracy (1 - relative error), prefetch=%s" % prefetch,
                         1 - abs(last / best - 1), 0.7))
    print("   plain NumPy arrays (all in memory)    %6.2f s/cycle" % np_s)
    off, on = min(results[False][0]), min(results[True][0])
    print("   prefetching speed-up                  %6.2fx" % (off / on))
    verdicts.append(("cyclic: prefetch on vs off, per cycle", off / on, 1.3))


def main():
    t_start = time.perf_counter()
    print("pelorin runtime benchmark (core %s)" % core.core_version())
    print("machine: %d CPUs, %s; Python %s, NumPy %s"
          % (os.cpu_count(), cpu_model(), platform.python_version(), np.__version__))
    print("load average before: %s" % loadavg())
    print("codec: byte shuffle + zstd level %d, 4 MiB pieces, single-threaded on the caller" % LEVEL)

    bench_pin()
    data = smooth_signal(BIG)
    base_pack = bench_restore(data)
    bench_make_room(data, base_pack)
    bench_cyclic(data)

    print("\nSummary (runtime beside its baseline; speeds are ratios of GB/s, times of seconds)")
    w = max(len(r[0]) for r in summary)
    print("   %-*s  %10s  %10s  %12s" % (w, "figure", "runtime", "baseline", "ratio"))
    for name, a, b, r in summary:
        print("   %-*s  %10s  %10s  %12s" % (w, name, a, b, r))
    print("\nGoals")
    for what, ratio, goal in verdicts:
        print("   %-48s %5.2fx  (goal >= %.2fx)  %s"
              % (what, ratio, goal, "MET" if ratio >= goal else "MISSED"))
    print("\nload average after: %s" % loadavg())
    print("total time: %.1f s" % (time.perf_counter() - t_start))


if __name__ == "__main__":
    main()
