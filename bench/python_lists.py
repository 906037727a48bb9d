"""Time reading Spectrum.mz and Spectrum.intensity of a 100,000-point spectrum, against
array.array(code, raw).tolist() of the same bytes on the same interpreter.

    PYTHONPATH=<build>/python/pypy    pypy3           bench/python_lists.py <build>/tests/corvane-fixture
    PYTHONPATH=<build>/python/cpython /usr/bin/python3 bench/python_lists.py <build>/tests/corvane-fixture

Prints one line per operation: median and best time of one call, and the ratio of the
median to the array baseline of the same element type.
"""
import array
import json
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time

import corvane

POINTS = 100_000
ROUNDS = 200
WARMUP = 50  # lets PyPy's JIT compile the loops before timing


def make_acquisition(tool, directory):
    rng = random.Random(7)
    mz = [rng.uniform(50.0, 2000.0) for _ in range(POINTS)]
    bits = [rng.getrandbits(31) & 0x7F7FFFFF for _ in range(POINTS)]
    description = {"scans": [{"scan_id": 1, "rt_min": 1.0, "ms_level": 1,
                              "peaks": {"format": 3, "mz": mz, "intensity_bits": bits}}]}
    path = directory + "/lists.d"
    subprocess.run([tool, path], input=json.dumps(description).encode(), check=True)
    return path


def timed(calls):
    """Median and best time of one call of each, rounds interleaved so that garbage
    collections and the JIT's compilations spread over all of them alike."""
    for _ in range(WARMUP):
        for call in calls:
            call()
    samples = [[] for _ in calls]
    for _ in range(ROUNDS):
        for call, times in zip(calls, samples):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
    return [(statistics.median(times), min(times)) for times in samples]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as tmp:
        spectrum = corvane.RawReader(make_acquisition(sys.argv[1], tmp)).read_spectrum(0)
    raw_d = array.array("d", spectrum.mz).tobytes()
    raw_f = array.array("f", spectrum.intensity).tobytes()
    assert array.array("d", raw_d).tolist() == spectrum.mz

    rows = [
        ("array('d', raw).tolist()", lambda: array.array("d", raw_d).tolist(), None),
        ("Spectrum.mz", lambda: spectrum.mz, "array('d', raw).tolist()"),
        ("array('f', raw).tolist()", lambda: array.array("f", raw_f).tolist(), None),
        ("Spectrum.intensity", lambda: spectrum.intensity, "array('f', raw).tolist()"),
    ]
    print("%s %s, %d points, median of %d calls" % (
        platform.python_implementation(), platform.python_version(), POINTS, ROUNDS))
    results = dict(zip([name for name, _, _ in rows], timed([call for _, call, _ in rows])))
    for name, _, baseline in rows:
        median, best = results[name]
        ratio = "" if baseline is None else "  %.2fx array" % (median / results[baseline][0])
        print("  %-26s median %8.3f ms  best %8.3f ms%s" % (name, median * 1e3, best * 1e3, ratio))

if __name__ == "__main__":
    main()
