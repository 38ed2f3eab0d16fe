"""Measures pelorin's codec and engine beside their peers, on the same data, in one run.

Run with Debian's interpreter after a build:  /usr/bin/python3 bench/engine_bench.py

Peers: python-blosc and numcodecs' Blosc (zstd level 1, byte shuffle, 4 MiB blocks, one
thread per core) for compression; xxhash's xxh3_128 (one thread) for the digest; NumPy's
tofile and an unbuffered readinto for the spill file. Each time is the best of REPS runs;
GB/s is 1e9 bytes of raw (uncompressed) data per second.
"""

import os
import shutil
import sys
import tempfile
import time

import blosc
import numcodecs
import numcodecs.blosc as ncblosc
import numpy as np
import xxhash

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import pelorin._core as core  # noqa: E402

MIB = 1 << 20
SIZE = 256 * MIB
BLOCK = 4 * MIB
REPS = 5
THREADS = os.cpu_count()

GOALS = {  # operation -> (least pelorin/peer ratio, what is compared)
    "compress": (1.2, "speed"),
    "decompress": (1.5, "speed"),
    "comp. ratio": (0.9, "raw/stored"),
    "digest": (1.7, "speed"),
    "write": (0.8, "speed"),
    "verified read": (0.8, "speed"),
}
verdicts = []  # (operation, data set, pelorin/peer, peer), one per goal checked


def timed(fn, reps=REPS, before=None):
    """Best wall time of `reps` calls of fn(); `before()` runs untimed ahead of each call."""
    times, result = [], None
    for _ in range(reps):
        if before is not None:
            before()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def gbps(seconds, nbytes=SIZE):
    return nbytes / seconds / 1e9


def touched(nbytes):
    """A preallocated output whose pages are already faulted in."""
    out = np.empty(nbytes, dtype=np.uint8)
    out.fill(1)
    return out


def make_data():
    rng = np.random.default_rng(20240601)
    n = SIZE // 4
    t = np.arange(n, dtype=np.float64)
    phase = 2 * np.pi * t / 5000.0 * (1.0 + 0.2 * np.sin(t / 3.0e6))
    signal = 100.0 * np.sin(phase) + rng.normal(0.0, 0.05, n)
    smooth = (np.round(signal * 64.0) / 64.0).astype(np.float32)  # sensor-like steps of 1/64
    del t, phase, signal
    counts = rng.poisson(3.0, SIZE // 2).astype(np.int16)
    noise = np.frombuffer(rng.bytes(SIZE), dtype=np.uint8)
    return [("float32 smooth", smooth), ("int16 counts", counts), ("uint8 random", noise)]


def as_bytes(arr):
    return arr.view(np.uint8).reshape(-1)


# -- compression and decompression ------------------------------------------------------

def blosc_compress(arr):
    blosc.set_nthreads(THREADS)
    blosc.set_blocksize(BLOCK)  # set on every call: the library's settings are global
    return blosc.compress_ptr(arr.ctypes.data, arr.size, typesize=arr.itemsize, clevel=1,
                              shuffle=blosc.SHUFFLE, cname="zstd")


def blosc_header_blocksize(frame):
    return int.from_bytes(bytes(frame[8:12]), "little")


def bench_codec(name, arr, rows):
    raw = as_bytes(arr)
    dst = touched(SIZE)
    nc = numcodecs.Blosc(cname="zstd", clevel=1, shuffle=numcodecs.Blosc.SHUFFLE, blocksize=BLOCK)
    ncblosc.use_threads = True
    ncblosc.set_nthreads(THREADS)

    def ours_unpack(c):
        return lambda: c.unpack_into(dst)

    contestants = [
        ("pelorin", lambda: core.codec_pack(raw, arr.itemsize, 1),
         lambda c: c.stored_bytes, ours_unpack),
        ("python-blosc", lambda: blosc_compress(arr), len,
         lambda f: lambda: blosc.decompress_ptr(f, dst.ctypes.data)),
        ("numcodecs", lambda: nc.encode(arr), len,
         lambda f: lambda: nc.decode(f, out=dst)),
    ]
    found = {}
    for who, pack, stored, unpack in contestants:
        t_pack, packed = timed(pack)
        t_unpack, _ = timed(unpack(packed))
        if not np.array_equal(dst, raw):
            raise SystemExit(f"{who}: round trip of {name} differs")
        dst.fill(1)
        if who != "pelorin" and blosc_header_blocksize(packed) != BLOCK:
            print(f"  note: {who} used blocksize {blosc_header_blocksize(packed)} on {name}")
        found[who] = (gbps(t_pack), gbps(t_unpack), SIZE / stored(packed))
        del packed

    ours = found.pop("pelorin")
    for col, op in ((0, "compress"), (1, "decompress")):
        best_peer = max(found, key=lambda w: found[w][col])
        for who, vals in found.items():
            mark = "*" if who == best_peer else " "
            cr = (ours[2], vals[2], ours[2] / vals[2]) if op == "compress" else None
            rows.append((op, name, ours[col], who + mark, vals[col], ours[col] / vals[col], cr))
        peer = found[best_peer]
        verdicts.append((op, name, ours[col] / peer[col], best_peer))
        if op == "compress":
            verdicts.append(("comp. ratio", name, ours[2] / peer[2], best_peer))


# -- digest, spill write and verified read --------------------------------------------

def bench_engine(name, arr, tmpdir, rows):
    raw = as_bytes(arr)
    t_ours, _ = timed(lambda: core.engine_digest(raw))
    t_peer, _ = timed(lambda: xxhash.xxh3_128(raw).digest())
    add(rows, "digest", name, t_ours, "xxh3_128 (1 thread)", t_peer)

    written = []

    def drop_written():
        while written:
            os.unlink(written.pop())
        os.sync()

    def ours_write():
        path, length, digest = core.engine_write(raw, tmpdir)
        written.append(path)
        return path, length, digest

    peer_path = os.path.join(tmpdir, "peer.bin")

    def peer_write():
        arr.tofile(peer_path)
        written.append(peer_path)

    t_ours, _ = timed(ours_write, before=drop_written)
    t_peer, _ = timed(peer_write, before=drop_written)
    drop_written()
    add(rows, "write", name, t_ours, "ndarray.tofile", t_peer)

    path, length, digest = core.engine_write(raw, tmpdir)  # stays in the page cache
    assert length == SIZE
    dst = touched(SIZE)

    def peer_read():
        with open(path, "rb", buffering=0) as f:
            n = f.readinto(dst)
        assert n == SIZE

    peer_read()  # both contestants read a file that is wholly in the page cache
    t_ours, got = timed(lambda: core.engine_read_source_into(path, 0, dst, expected=digest))
    assert got == digest and np.array_equal(dst, raw)
    t_peer, _ = timed(peer_read)
    add(rows, "verified read", name, t_ours, "readinto (unverified)", t_peer)
    os.unlink(path)


def add(rows, op, name, t_ours, peer, t_peer):
    rows.append((op, name, gbps(t_ours), peer, gbps(t_peer), t_peer / t_ours, None))
    verdicts.append((op, name, t_peer / t_ours, peer))


# -- report ---------------------------------------------------------------------------


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def print_table(rows):
    head = ("operation", "data set", "pelorin GB/s", "peer", "peer GB/s", "ratio",
            "CR pelorin", "CR peer", "CR ratio")
    fmt = "{:<14}{:<16}{:>13}  {:<24}{:>10}{:>8}{:>12}{:>9}{:>10}"
    print(fmt.format(*head))
    print("-" * 118)
    for op, name, ours, peer, theirs, ratio, cr in rows:
        crs = [f"{cr[0]:.3f}", f"{cr[1]:.3f}", f"{cr[2]:.3f}x"] if cr else ["", "", ""]
        print(fmt.format(op, name, f"{ours:.2f}", peer, f"{theirs:.2f}", f"{ratio:.2f}x", *crs))


def print_summary():
    print("\nGoals (pelorin / faster peer):")
    met_all = True
    for op, name, ratio, peer in sorted(verdicts, key=lambda v: list(GOALS).index(v[0])):
        goal, what = GOALS[op]
        met = ratio >= goal
        met_all &= met
        print(f"  {op:<14}{what:<11}>= {goal:.1f}x  {name:<16}{ratio:6.2f}x vs {peer:<24}"
              f"{'MET' if met else 'MISSED'}")
    print("all goals met" if met_all else "some goals MISSED")


def main():
    print(f"machine: {cpu_model()}, os.cpu_count() = {THREADS}; pelorin {core.core_version()}, "
          f"blosc {blosc.__version__} (lib {blosc.blosclib_version}), numcodecs "
          f"{numcodecs.__version__}, xxhash {xxhash.VERSION}, numpy {np.__version__}")
    print(f"buffers of {SIZE // MIB} MiB; best of {REPS} runs; outputs preallocated and touched; "
          f"reads are from the page cache; * marks the faster peer")
    print("load average before: %.2f %.2f %.2f (other work on the machine skews results)\n"
          % os.getloadavg())
    data = make_data()
    rows = []
    for name, arr in data:
        bench_codec(name, arr, rows)
    tmpdir = tempfile.mkdtemp(dir="/tmp")
    try:
        for name, arr in data:
            bench_engine(name, arr, tmpdir, rows)
    finally:
        shutil.rmtree(tmpdir, ignore_errors=True)
    rows.sort(key=lambda r: list(GOALS).index(r[0]))
    print_table(rows)
    print_summary()
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
