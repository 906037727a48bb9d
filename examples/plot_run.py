"""One page of plots of an LC/MS run: TIC, base-peak chromatogram, three XICs, an MS1 and
an MS2 spectrum, drawn with matplotlib from what meridel reads.

    python3 examples/plot_run.py path/to/run.d run.png [--mz MZ [MZ ...]] [--ppm 10] [--check]

Without --mz the XICs follow the three most intense compounds: the base peaks of the MS1
scans, strongest first, skipping any within 2.2 m/z of one already taken (its own isotope
peaks). The MS1 spectrum is the scan at the apex of the first XIC, the MS2 spectrum the
fragment scan of that m/z nearest to it (else the MS2 scan nearest in time). Profile data
is drawn as a line, centroid data as sticks. --check reads the PNG back and exits 1 unless
it is a PNG of more than 30 kB with more than one colour.
"""
import argparse
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)
import numpy as np  # noqa: E402

import meridel  # noqa: E402

ISOTOPE_SPAN = 2.2  # M+2 of charge 1 is 2.007 above M: further apart is another compound


def strongest_compounds(acq, count):
    """The m/z of the `count` most intense compounds, from each MS1 scan's base peak."""
    base = []  # (intensity, m/z) of each MS1 scan's most intense point
    for spectrum in acq.iter(ms_level=1):
        intensity = np.asarray(spectrum.intensity)
        if len(intensity):
            top = int(np.argmax(intensity))
            base.append((float(intensity[top]), float(np.asarray(spectrum.mz)[top])))
    picked = []
    for _, mz in sorted(base, reverse=True):
        if all(abs(mz - other) > ISOTOPE_SPAN for other in picked):
            picked.append(mz)
            if len(picked) == count:
                break
    return picked


def time_axis(seconds):
    """Retention times in minutes for runs longer than five minutes, else in seconds."""
    seconds = np.asarray(seconds)
    if len(seconds) and seconds.max() > 300:
        return seconds / 60.0, "retention time (min)"
    return seconds, "retention time (s)"


def chromatogram_panel(ax, chromatogram, title, colour, zoom=False):
    """A filled line; with zoom, only around where it exceeds 1% of its maximum (an XIC's
    compound, a few seconds of a long run) and never narrower than a twentieth of the run."""
    rt, label = time_axis(chromatogram.rt)
    intensity = np.asarray(chromatogram.intensity)
    ax.plot(rt, intensity, color=colour, linewidth=1)
    ax.fill_between(rt, intensity, color=colour, alpha=0.15, linewidth=0)
    ax.set(title=title, xlabel=label, ylabel="intensity")
    ax.set_ylim(bottom=0)
    if not len(rt):
        return
    low, high = rt.min(), rt.max()
    if zoom and intensity.max() > 0:
        above = rt[intensity > 0.01 * intensity.max()]
        span = max(above.max() - above.min(), (high - low) / 20)
        low = max(low, above.min() - span / 2)
        high = min(high, above.max() + span / 2)
    ax.set_xlim(low, high)


def spectrum_panel(ax, spectrum, title, colour, precursor=None):
    mz = np.asarray(spectrum.mz)
    intensity = np.asarray(spectrum.intensity)
    if spectrum.is_profile:
        ax.plot(mz, intensity, color=colour, linewidth=0.8)
    else:
        ax.vlines(mz, 0, intensity, color=colour, linewidth=0.8)
    if precursor is not None:
        ax.axvline(precursor, color="grey", linestyle="--", linewidth=0.8,
                   label=f"precursor {precursor:.4f}")
        ax.legend(loc="upper left", fontsize="small", frameon=False)
    kind = "profile" if spectrum.is_profile else "centroid"
    ax.set(title=f"{title}: scan {spectrum.scan_id}, {spectrum.retention_time_sec:.2f} s, {kind}",
           xlabel="m/z", ylabel="intensity")
    ax.set_ylim(bottom=0)
    # The scan's own range, widened to show its precursor (often right at the top end).
    ends = [v for v in (spectrum.mz_first, spectrum.mz_last, precursor) if v is not None]
    if ends:
        low, high = min(ends), max(ends)
        pad = 0.02 * (high - low) if high > low and precursor is not None else 0.0
        ax.set_xlim(low, high + pad)


def envelope_inset(ax, spectrum, target):
    """An inset of target's isotope envelope (target - 0.5 to + 2.5), where profile peaks
    show their shape; nothing when the spectrum has no points there."""
    mz = np.asarray(spectrum.mz)
    intensity = np.asarray(spectrum.intensity)
    near = (mz >= target - 0.5) & (mz <= target + 2.5)
    if not near.any() or intensity[near].max() <= 0:
        return
    inset = ax.inset_axes([0.38, 0.45, 0.3, 0.45])
    if spectrum.is_profile:
        inset.plot(mz[near], intensity[near], color="tab:blue", linewidth=0.8)
    else:
        inset.vlines(mz[near], 0, intensity[near], color="tab:blue", linewidth=0.8)
    inset.set_title(f"m/z {target:.4f} isotopes", fontsize="small")
    inset.set_ylim(bottom=0)
    inset.tick_params(labelsize="x-small")
    inset.ticklabel_format(axis="y", style="sci", scilimits=(0, 0))
    inset.yaxis.get_offset_text().set_fontsize("x-small")


def fragment_scan(acq, target, rt, ppm):
    """The MS2 scan of target (within 10x the XIC window) nearest to rt; else the MS2 scan
    nearest to rt; None when the run has no MS2 scans."""
    scans = acq.scans()
    level = np.asarray(scans["ms_level"])
    times = np.asarray(scans["retention_time_sec"])
    precursor = np.asarray(scans["msn_value_1"])
    ms2 = level == 2
    if not ms2.any():
        return None
    ours = ms2 & (np.abs(precursor - target) <= target * ppm * 1e-5)
    pool = np.flatnonzero(ours if ours.any() else ms2)
    return acq[int(pool[np.argmin(np.abs(times[pool] - rt))])]


def plot(acq, targets, ppm):
    tic = acq.tic()
    bpc = acq.bpc()
    xics = acq.xic(targets, ppm=ppm) if targets else []

    figure = plt.figure(figsize=(15, 11), layout="constrained")
    grid = figure.add_gridspec(3, 6)
    figure.suptitle(f"{acq.source_name}: {len(acq)} scans", fontsize="x-large")
    chromatogram_panel(figure.add_subplot(grid[0, :3]), tic, "Total ion chromatogram (MS1)",
                       "tab:blue")
    chromatogram_panel(figure.add_subplot(grid[0, 3:]), bpc, "Base peak chromatogram (MS1)",
                       "tab:purple")
    colours = ["tab:orange", "tab:green", "tab:red"]
    for k in range(3):
        ax = figure.add_subplot(grid[1, 2 * k:2 * k + 2])
        if k < len(xics):
            chromatogram_panel(ax, xics[k], f"XIC m/z {xics[k].target:.4f} \u00b1 {ppm:g} ppm",
                               colours[k], zoom=True)
        else:
            ax.set_axis_off()
            ax.text(0.5, 0.5, "no compound", ha="center", va="center")

    # The MS1 scan at the apex of the first XIC (of the BPC without one), and its fragments.
    apex_from = xics[0] if xics else bpc
    apex_rt = float(np.asarray(apex_from.rt)[int(np.argmax(np.asarray(apex_from.intensity)))]) \
        if len(np.asarray(apex_from.rt)) else 0.0
    ms1 = acq.nearest(apex_rt, ms_level=1)
    ax = figure.add_subplot(grid[2, :3])
    spectrum_panel(ax, ms1, "MS1", "tab:blue")
    if targets:
        envelope_inset(ax, ms1, targets[0])
    ax = figure.add_subplot(grid[2, 3:])
    ms2 = fragment_scan(acq, targets[0], apex_rt, ppm) if targets else None
    if ms2 is None:
        ax.set_axis_off()
        ax.text(0.5, 0.5, "no MS2 scan", ha="center", va="center")
    else:
        spectrum_panel(ax, ms2, "MS2", "tab:red",
                       ms2.precursor.msn_value_1 if ms2.precursor else None)
    for ax in figure.axes:
        if ax.axison:
            ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    return figure


def check_png(path):
    """Problems with the written PNG (empty when it looks like a plot)."""
    with open(path, "rb") as f:
        data = f.read()
    problems = []
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        problems.append("no PNG signature")
    elif len(data) <= 30_000:
        problems.append(f"only {len(data)} bytes")
    else:
        pixels = plt.imread(path)
        if np.ptp(pixels.reshape(-1, pixels.shape[-1]), axis=0).max() == 0:
            problems.append("a single colour")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description="Plot chromatograms and spectra of a run.")
    parser.add_argument("run", help="the run folder (the one holding AcqData)")
    parser.add_argument("png", help="the PNG to write")
    parser.add_argument("--mz", type=float, nargs="+", metavar="MZ",
                        help="XIC targets (default: the three most intense compounds)")
    parser.add_argument("--ppm", type=float, default=10.0, help="XIC half-width (default 10)")
    parser.add_argument("--check", action="store_true",
                        help="read the PNG back and fail unless it looks like a plot")
    args = parser.parse_args(argv)
    if args.ppm <= 0:
        parser.error("--ppm must be positive")

    with meridel.open(args.run) as acq:
        targets = args.mz[:3] if args.mz else strongest_compounds(acq, 3)
        figure = plot(acq, targets, args.ppm)
    figure.savefig(args.png, dpi=100)
    plt.close(figure)
    if args.check:
        problems = check_png(args.png)
        if problems:
            print(f"{args.png}: " + ", ".join(problems), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
