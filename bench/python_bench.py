"""Python side of `make bench`; runs under the interpreter being measured.

    python_bench.py open PATH ROUNDS   median seconds of RawReader(PATH), one per line
    python_bench.py rss PATH           peak resident set (bytes) of a process that has
                                       done nothing but import corvane and RawReader(PATH)

The module is found through PYTHONPATH (the interpreter's own build folder).
"""

import gc
import resource
import sys
import time

import corvane


def open_median(path, rounds):
    times = []
    for _ in range(rounds):
        gc.collect()
        # CPU time, as the C++ side measures it: other processes' load does not count.
        start = time.process_time()
        reader = corvane.RawReader(path)
        times.append(time.process_time() - start)
        if reader.scan_count <= 0:
            raise SystemExit("no scans in " + path)
        del reader
    times.sort()
    return times[len(times) // 2]


def peak_rss(path):
    reader = corvane.RawReader(path)
    if reader.scan_count <= 0:
        raise SystemExit("no scans in " + path)
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main(argv):
    if len(argv) >= 4 and argv[1] == "open":
        print("%.6f" % open_median(argv[2], int(argv[3])))
    elif len(argv) == 3 and argv[1] == "rss":
        print(peak_rss(argv[2]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
