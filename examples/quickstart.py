"""A first look at an acquisition: what it holds, when, and its strongest peaks.

    pypy3 examples/quickstart.py path/to/run.d
"""
import heapq
import sys
from collections import Counter

import corvane

reader = corvane.RawReader(sys.argv[1] if len(sys.argv) > 1 else "run.d")
print(reader)

spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
levels = Counter(s.ms_level for s in spectra)
print("scans by MS level:", ", ".join(f"MS{level} {count}" for level, count in sorted(levels.items())))

times = [s.retention_time_sec for s in spectra]
print(f"retention time: {min(times):.2f} s to {max(times):.2f} s")

# Each read of .mz or .intensity builds a new list: read them once per spectrum.
ms1 = [(s.retention_time_sec, s.mz, s.intensity) for s in spectra if s.ms_level == 1]
peaks = ((intensity, mz, rt) for rt, mzs, intensities in ms1 for mz, intensity in zip(mzs, intensities))
print("five most intense MS1 peaks:")
for intensity, mz, rt in heapq.nlargest(5, peaks):
    print(f"  m/z {mz:10.4f}  intensity {intensity:12.1f}  at {rt:7.2f} s")

# Total-ion chromatogram: summed MS1 intensity in equal retention-time bins.
rows = 12
start, end = min(times), max(times)
width = (end - start) / rows or 1.0
tic = [0.0] * rows
for rt, _, intensities in ms1:
    tic[min(int((rt - start) / width), rows - 1)] += sum(intensities)
top = max(tic) or 1.0
print("total-ion chromatogram (MS1):")
for row, total in enumerate(tic):
    print(f"  {start + row * width:8.1f} s |{'#' * round(50 * total / top)}")
