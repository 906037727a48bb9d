"""A first look at a run with meridel and NumPy: its header, its total-ion chromatogram,
the chromatograms of its strongest ions and the peaks of its busiest spectrum.

    python3 examples/tour.py path/to/run.d
"""
import sys

import numpy as np

import meridel

BAR = 48


def sparkline(values, rows=12):
    """Folds a chromatogram into rows of equal length and draws each row's largest value."""
    values = np.asarray(values)
    folds = np.array_split(values, min(rows, len(values))) if len(values) else []
    top = max((fold.max() for fold in folds), default=0.0) or 1.0
    return [(start, fold.max() / top) for start, fold in
            zip(np.cumsum([0] + [len(f) for f in folds[:-1]]), folds)]


path = sys.argv[1] if len(sys.argv) > 1 else "run.d"
with meridel.open(path) as acq:
    # The header: read from the scan index and the metadata files, no spectrum decoded.
    scans = acq.scans()
    levels = np.asarray(scans["ms_level"])
    rt = np.asarray(scans["retention_time_sec"])
    print(f"run        {acq.source_name}")
    print(f"instrument {acq.instrument.name} ({acq.instrument.accession})")
    print(f"acquired   {acq.acquired_time or 'unknown'}")
    print(f"scans      {len(acq)}: " + ", ".join(
        f"MS{level} {count}" for level, count in zip(*np.unique(levels, return_counts=True))))
    print(f"time       {rt.min():.2f} s to {rt.max():.2f} s")

    # The total-ion chromatogram of the MS1 scans: one pass over the run, on threads.
    tic = acq.tic()
    tic_rt, tic_i = np.asarray(tic.rt), np.asarray(tic.intensity)
    print(f"\ntotal-ion chromatogram (MS1, {len(tic_rt)} scans, apex at {tic_rt[tic_i.argmax()]:.2f} s)")
    for start, height in sparkline(tic_i):
        print(f"  {tic_rt[start]:7.2f} s |{'#' * round(BAR * height)}")

    # The busiest MS1 scan, with its profile points picked into centroid peaks.
    apex = acq[int(scans["index"][int(np.flatnonzero(levels == 1)[tic_i.argmax()])])]
    peaks = apex.centroid()
    mz, intensity = np.asarray(peaks.mz), np.asarray(peaks.intensity)
    kind = "profile points picked into" if apex.is_profile else "centroid scan:"
    print(f"\n{apex.native_id} at {apex.retention_time_sec:.2f} s: {len(apex)} {kind} {len(peaks)} peaks;"
          " the five most intense:")
    top = np.argsort(intensity)[::-1][:5]
    for i in top:
        print(f"  m/z {mz[i]:10.4f}  intensity {intensity[i]:12.1f}")

    # Extracted-ion chromatograms of the three strongest of them, all in one pass (10 ppm).
    targets = [float(mz[i]) for i in top[:3]]
    print("\nextracted-ion chromatograms (10 ppm)")
    for xic in acq.xic(targets, ppm=10):
        x_rt, x_i = np.asarray(xic.rt), np.asarray(xic.intensity)
        width = x_rt[x_i >= x_i.max() / 2] if x_i.max() > 0 else x_rt[:0]
        span = f"{width.min():.2f} to {width.max():.2f} s" if len(width) else "no signal"
        print(f"  m/z {xic.target:10.4f}  apex {x_i.max():12.1f} at {x_rt[x_i.argmax()]:7.2f} s,"
              f" above half height {span}")
