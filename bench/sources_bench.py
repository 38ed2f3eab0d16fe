"""Measures the runtime's two ways back beside plain baselines, on the same data, in one run.

Run with Debian's interpreter after a build:  /usr/bin/python3 bench/sources_bench.py [dir]

1. First load of a 256 MiB file region (pin of an unloaded file-backed buffer) beside
   `readinto` of the same region into fresh memory, both with the file's pages dropped from
   the page cache first (posix_fadvise DONTNEED), so both read the disk.
2. Verified re-read (pin of a dropped file-backed buffer, checked against the digest of the
   first load) beside the first load of the same region.
3. Re-computation of a 64 MiB derived buffer (pin of a dropped one) beside calling the same
   function directly on NumPy arrays: what the runtime adds per re-computation (pinning the
   input, the output region, the digest check).

The scratch file goes to `dir` (default: the system's temporary directory); on tmpfs the
reads come from memory. Each figure is the best of several interleaved runs.
"""

import os
import sys
import tempfile
import time

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)
import pelorin._core as core  # noqa: E402

MIB = 1 << 20
REGION = 256 * MIB
OFFSET = 4 * MIB
DERIVED = 64 * MIB
GOAL = 0.9


def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def gbps(seconds, nbytes=REGION):
    return nbytes / seconds / 1e9


def main():
    where = sys.argv[1] if len(sys.argv) > 1 else tempfile.gettempdir()
    fd, path = tempfile.mkstemp(dir=where, suffix=".bin")
    try:
        with os.fdopen(fd, "wb") as f:
            rng = np.random.default_rng(5)
            for _ in range((REGION + 2 * OFFSET) // (64 * MIB) + 1):
                f.write(rng.integers(0, 256, 64 * MIB, dtype=np.uint8).tobytes())
        expected = None
        load, reread, base = [], [], []
        for _ in range(5):
            rt = core.RtRuntime(1024 * MIB, prefetch=False)
            bid = rt.add_file(path, OFFSET, REGION, 1)
            drop_cache(path)
            load.append(timed(lambda: rt.pin(bid).release()))
            assert rt.evict(bid) and rt.state(bid) == "dropped"
            drop_cache(path)
            reread.append(timed(lambda: rt.pin(bid).release()))
            s = rt.stats()
            assert (s["loads"], s["rereads"]) == (1, 1)
            if expected is None:
                p = rt.pin(bid)
                expected = bytes(memoryview(p)[:4096])
                p.release()
            del rt

            drop_cache(path)

            def plain():
                out = np.empty(REGION, np.uint8)
                with open(path, "rb", buffering=0) as f:
                    f.seek(OFFSET)
                    assert f.readinto(out) == REGION
                assert bytes(out[:4096]) == expected

            base.append(timed(plain))

        first, again, peer = min(load), min(reread), min(base)
        print("File region of %d MiB in %s, page cache dropped before each read" % (REGION // MIB, where))
        print("  1. first load (pin of unloaded)   %6.3f s  %5.2f GB/s" % (first, gbps(first)))
        print("     readinto of the same region    %6.3f s  %5.2f GB/s" % (peer, gbps(peer)))
        print("     ratio first load / readinto    %6.2fx  (goal %.1fx or better)" % (peer / first, GOAL))
        print("  2. verified re-read               %6.3f s  %5.2f GB/s" % (again, gbps(again)))
        print("     ratio re-read / first load     %6.2fx  (goal %.1fx or better)" % (first / again, GOAL))
    finally:
        os.unlink(path)

    x = np.random.default_rng(6).random(DERIVED // 4, dtype=np.float32)

    def func(out, inputs):
        np.multiply(np.frombuffer(inputs[0], np.float32), 3.0, out=np.frombuffer(out, np.float32))

    rt = core.RtRuntime(1024 * MIB, prefetch=False)
    a = rt.alloc(DERIVED, 4)
    p = rt.pin(a, write=True)
    np.frombuffer(p, np.float32)[:] = x
    p.release()
    d = rt.derive([a], DERIVED, 4, func)
    out = np.empty(DERIVED, np.uint8)
    recompute, direct = [], []
    for _ in range(7):
        assert rt.evict(d)
        recompute.append(timed(lambda: rt.pin(d).release()))
        direct.append(timed(lambda: func(memoryview(out), [x])))
    rc, dr = min(recompute), min(direct)
    assert rt.stats()["recomputes"] == 7
    print("Derived buffer of %d MiB (float32 times 3)" % (DERIVED // MIB))
    print("  3. re-computation (pin of dropped) %6.3f s" % rc)
    print("     func on NumPy arrays            %6.3f s" % dr)
    print("     runtime overhead per re-computation %6.1f ms (%.2fx the bare call)"
          % ((rc - dr) * 1e3, rc / dr))


if __name__ == "__main__":
    main()
