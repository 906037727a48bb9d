"""The meridel rows of `make bench`; runs under the interpreter being measured.

    meridel_bench.py open PATH ROUNDS              median seconds of meridel.open(PATH), in rounds
                                                   of thirty openings
    meridel_bench.py iterate PATH ROUNDS THREADS [centroid]
                                                   median wall seconds to iterate every spectrum,
                                                   touching both buffers, keeping none; with
                                                   "centroid", acq.iter(centroid=True)
    meridel_bench.py iterate-rss PATH              peak RSS growth (bytes) over the interpreter's
                                                   own while iterating every spectrum
    meridel_bench.py tic PATH ROUNDS THREADS       median wall seconds of acq.tic(ms_level=1)
    meridel_bench.py xic PATH ROUNDS THREADS       median wall seconds of acq.xic(100 targets, 10 ppm)
    meridel_bench.py arrays PATH ROUNDS            median wall seconds of acq.arrays()
    meridel_bench.py arrays-rss PATH               payload and peak RSS growth (bytes) of one acq.arrays()
    meridel_bench.py report PATH ROUNDS THREADS    median wall seconds of acq.report(file) and of
                                                   acq.tic() + acq.bpc(), taken in alternate
                                                   rounds, and the page's size in bytes
    meridel_bench.py random PATH N                 microseconds per acq[i], N random i (seeded)
    meridel_bench.py xic-lists PATH                seconds of the same XICs by a Python loop over
                                                   corvane.RawReader lists (RawReader included)
    meridel_bench.py xic-pymzml MZML               seconds of the same XICs by pymzml over mzML

The module is found through PYTHONPATH (the interpreter's own build folder). Times are
wall-clock: the threaded rows are about wall time.
"""

import bisect
import gc
import random
import resource
import sys
import time

import meridel


def rss():
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def timed(call, rounds):
    times = []
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return median(times)


def targets(path, count=100):
    """count m/z values spread over the MS1 scans' m/z range, the same in every row."""
    with meridel.open(path) as acq:
        cols = acq.scans()
        lows = [lo for lo, level in zip(cols["mz_first"], cols["ms_level"]) if level == 1 and lo == lo]
        highs = [hi for hi, level in zip(cols["mz_last"], cols["ms_level"]) if level == 1 and hi == hi]
    lo, hi = (min(lows), max(highs)) if lows else (100.0, 1000.0)
    step = (hi - lo) / (count + 1)
    return [lo + step * (k + 1) for k in range(count)]


def touch_all(acq, threads, centroid=False):
    points = 0
    for s in acq.iter(threads=threads, centroid=centroid):
        mz, intensity = memoryview(s.mz), memoryview(s.intensity)
        if len(mz):
            points += len(mz) + (mz[-1] > 0) + (intensity[-1] >= 0)
    return points


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    cmd, path = argv[1], argv[2]
    if cmd == "open":
        # The first openings grow the allocator's heap to the index's size; the C++ side
        # settles its allocator before timing, so this side does too. The C++ side opens
        # again and again with nothing in between, so each round here times a batch of
        # thirty openings after its collection: a collection before each opening of half a
        # millisecond would leave the caches to it cold.
        for _ in range(3):
            meridel.open(path).close()

        def batch():
            for _ in range(30):
                meridel.open(path).close()

        print("%.6f" % (timed(batch, max(int(argv[3]), 9)) / 30))
    elif cmd == "iterate":
        acq = meridel.open(path)
        centroid = argv[5:6] == ["centroid"]
        print("%.6f" % timed(lambda: touch_all(acq, int(argv[4]), centroid), int(argv[3])))
    elif cmd == "iterate-rss":
        acq = meridel.open(path)
        base = rss()
        touch_all(acq, 1)
        print(rss() - base)
    elif cmd in ("tic", "xic"):
        acq = meridel.open(path)
        threads = int(argv[4])
        if cmd == "tic":
            call = lambda: acq.tic(ms_level=1, threads=threads)
        else:
            mzs = targets(path)
            call = lambda: acq.xic(mzs, ppm=10, ms_level=1, threads=threads)
        print("%.6f" % timed(call, int(argv[3])))
    elif cmd == "report":
        import os
        import tempfile
        acq = meridel.open(path)
        threads = int(argv[4])
        with tempfile.TemporaryDirectory() as folder:
            page = os.path.join(folder, "report.html")
            report, chromatograms = [], []
            for _ in range(int(argv[3])):
                chromatograms.append(timed(lambda: (acq.tic(threads=threads), acq.bpc(threads=threads)), 1))
                report.append(timed(lambda: acq.report(page, threads=threads), 1))
            print("%.6f %.6f %d" % (median(report), median(chromatograms), os.path.getsize(page)))
    elif cmd == "arrays":
        acq = meridel.open(path)
        print("%.6f" % timed(lambda: acq.arrays(), int(argv[3])))
    elif cmd == "arrays-rss":
        # A fresh process that makes the arrays once: payload and peak RSS growth.
        acq = meridel.open(path)
        base = rss()
        a = acq.arrays()
        payload = sum(memoryview(b).nbytes for b in (a.offsets, a.mz, a.intensity, a.scan_index))
        print("%d %d" % (payload, rss() - base))
    elif cmd == "random":
        acq = meridel.open(path)
        n = int(argv[3])
        rng = random.Random(1)
        picks = [rng.randrange(len(acq)) for _ in range(n)]
        for i in picks[: n // 10]:   # warm-up, as the C++ side has (and PyPy's JIT needs)
            acq[i]
        gc.collect()
        start = time.perf_counter()
        for i in picks:
            acq[i]
        print("%.3f" % ((time.perf_counter() - start) / n * 1e6))
    elif cmd == "xic-lists":
        import corvane
        mzs = sorted(targets(path))
        start = time.perf_counter()
        reader = corvane.RawReader(path)
        out = [[] for _ in mzs]
        for i in range(reader.scan_count):
            s = reader.read_spectrum(i)
            if s.ms_level != 1:
                continue
            mz, intensity = s.mz, s.intensity
            for k, m in enumerate(mzs):
                lo, hi = m - m * 1e-5, m + m * 1e-5
                a, b = bisect.bisect_left(mz, lo), bisect.bisect_right(mz, hi)
                out[k].append(sum(intensity[a:b]))
        print("%.6f" % (time.perf_counter() - start))
    elif cmd == "xic-pymzml":
        import pymzml
        mzs = sorted(targets_from_mzml(path))
        start = time.perf_counter()
        run = pymzml.run.Reader(path)
        out = [[] for _ in mzs]
        for spectrum in run:
            if spectrum.ms_level != 1:
                continue
            mz, intensity = spectrum.mz, spectrum.i
            for k, m in enumerate(mzs):
                lo, hi = m - m * 1e-5, m + m * 1e-5
                a, b = bisect.bisect_left(mz, lo), bisect.bisect_right(mz, hi)
                out[k].append(float(sum(intensity[a:b])))
        print("%.6f" % (time.perf_counter() - start))
    else:
        raise SystemExit(__doc__)


def targets_from_mzml(path):
    # The run the mzML came from sits beside it as <name>.d (scripts/bench.sh writes both).
    return targets(path[: -len(".mzML")] + ".d")


if __name__ == "__main__":
    main(sys.argv)
