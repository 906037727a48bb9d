"""Many runs at once on a Dask cluster: one task per acquisition, small results back.

    summaries(paths, client=None)             -> DataFrame, one row per run
    xics(paths, targets, ppm=None, da=None)   -> DataFrame, one row per chromatogram point
    convert(paths, out_dir, format="mzml")    -> DataFrame, what was converted, skipped or failed
    local_cluster(workers=None)               -> LocalCluster on 127.0.0.1, TLS, one process per worker

Each call takes a `distributed.Client` (or a scheduler address, connected with the TLS
settings of Dask's config), or None: then it starts a local cluster of single-threaded
worker processes, one per core, listening on 127.0.0.1 only behind TLS with credentials
made for it alone, and stops it on return.

A task takes a path and returns plain data; it opens the run on the worker, so the
workers must see the acquisitions (a shared file system or the same local copies). A run
that cannot be opened or read gives its row with the error text; the other runs still
complete. A worker that dies takes none of its runs with it: the scheduler runs them again
on another worker.

Needs CPython with Dask (Debian: python3-distributed) and pandas; PyPy has neither here.
"""
from __future__ import annotations

import contextlib
import errno
import os
import shutil
import sys
import time
import uuid
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

try:
    import dask
    import numpy as np
    import pandas as pd
    from distributed import Client, LocalCluster, as_completed
    from distributed.security import Security
except ImportError as e:  # pragma: no cover - depends on the interpreter
    raise ImportError("meridel.batch needs NumPy, pandas and Dask's distributed scheduler "
                      "(Debian: python3-numpy python3-pandas python3-distributed, for CPython): %s" % e) from e

import meridel

__all__ = ["convert", "local_cluster", "output_name", "output_path", "summaries", "xics"]

_Path = Union[str, "os.PathLike[str]", "meridel.Acquisition"]
_ClientLike = Union[None, str, Client]

# Finished files appear under their final name by one rename; until then they are written
# here, one folder per batch, which the batch removes when it ends (with whatever a killed
# worker left behind).
STAGING = ".corvane-batch"


# ---------------------------------------------------------------------------------------
# Clusters

def local_cluster(workers: Optional[int] = None, threads_per_worker: int = 1, **kwargs: Any) -> LocalCluster:
    """A cluster of worker processes on this machine that listens on 127.0.0.1 only, with
    no dashboard. A scheduler runs whatever any client that reaches it sends, and every
    local user can reach 127.0.0.1: so scheduler, workers and clients speak TLS with a
    key and certificate made for this cluster, held in memory by this process (and handed
    to the workers it starts) and required of every connection. Client(cluster) takes
    them from the cluster (cluster.security). workers: the number of processes (None: one
    per core available to this process)."""
    if workers is None:
        workers = _cores()
    if workers < 1:
        raise ValueError("workers must be at least 1, not %d" % workers)
    # Scheduler and workers serve HTTP (health, metrics) even without a dashboard: the
    # scheduler by default on port 8787 of its host, a worker without a dashboard address on
    # every interface. Both get a free port on loopback instead; the scheduler no dashboard.
    options = dict(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                   host="127.0.0.1", dashboard_address=None, worker_dashboard_address="127.0.0.1:0",
                   scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
                   protocol="tls://", security=_temporary_security())
    options.update(kwargs)
    # Dask starts worker processes with MALLOC_TRIM_THRESHOLD_=65536, which also switches off
    # glibc's adaptive mmap threshold: every spectrum buffer over 128 KiB is then mapped and
    # unmapped anew, page faults and all, several times slower than a reused heap. The
    # workers get the settings meridel is measured with instead (a variable set in this
    # process's environment still wins, as Dask has it).
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"), **WORKER_ALLOCATOR)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(**options)


def _temporary_security() -> Security:
    try:
        return Security.temporary()
    except ImportError as e:
        raise ImportError("the local cluster's TLS credentials need the cryptography package "
                          "(Debian: python3-cryptography): %s" % e) from e


# glibc's malloc in worker processes: buffers up to 32 MiB from the heap, and up to 256 MiB
# of freed memory kept for the next spectrum rather than returned at once.
WORKER_ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}


def _cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


@contextlib.contextmanager
def _connected(client: _ClientLike, workers: Optional[int]) -> Iterator[Client]:
    """The client to use: the one given, one connected to the address given (security
    from Dask's config), or one of a local cluster started here; what was started here is
    stopped again."""
    if isinstance(client, Client):
        yield client
        return
    if client is not None:
        if not isinstance(client, str):
            raise TypeError("client must be a distributed.Client, a scheduler address or None, not %s"
                            % type(client).__name__)
        with Client(client) as connected:
            yield connected
        return
    with local_cluster(workers) as cluster, Client(cluster) as connected:
        yield connected


def _run_paths(paths: Iterable[_Path]) -> List[str]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a list of acquisition paths, not a single path")
    runs = []
    for p in paths:
        if isinstance(p, meridel.Acquisition):
            p = p.path
        runs.append(os.fspath(p))
    for p in runs:
        if not isinstance(p, str):
            raise TypeError("acquisition paths must be str or os.PathLike giving str, not %s" % type(p).__name__)
    return runs


def _error_text(error: BaseException) -> str:
    return "%s: %s" % (type(error).__name__, error)


def _run_all(client: Client, task: Callable[..., Dict[str, Any]], runs: Sequence[str], progress: bool,
             what: str, **kwargs: Any) -> List[Dict[str, Any]]:
    """task(run, **kwargs) for every run, one task each, results in the order of runs. A
    task that fails on the cluster (a worker lost too often, say) gives {"error": ...}."""
    # Absolute on the client: a relative path means the same on every local worker, and
    # remote workers have no idea of the client's folder.
    futures = client.map(task, [os.path.abspath(r) for r in runs], pure=False, **kwargs)
    position = {f.key: i for i, f in enumerate(futures)}
    results: List[Optional[Dict[str, Any]]] = [None] * len(runs)
    bar = _progress_bar(len(runs), what) if progress else None
    try:
        for future in as_completed(futures):
            i = position[future.key]
            try:
                results[i] = future.result()
            except Exception as e:  # the task never raises for its run; this is the cluster
                results[i] = {"error": _error_text(e)}
            future.release()
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    for row, run in zip(results, runs):
        assert row is not None
        row["path"] = run  # as the caller gave it
    return results  # type: ignore[return-value]


def _progress_bar(total: int, what: str) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:  # pragma: no cover - python3-tqdm is a test dependency
        return None
    return tqdm(total=total, desc=what, unit="run", file=sys.stderr, leave=True)


# ---------------------------------------------------------------------------------------
# Summaries

SUMMARY_COLUMNS = ["path", "source_name", "instrument", "instrument_accession", "acquired_time", "scans"]
SUMMARY_TAIL = ["rt_min_sec", "rt_max_sec", "points", "tic_area", "damaged_scans", "error"]


def summarize_run(path: str, threads: Optional[int] = 1) -> Dict[str, Any]:
    """One run's summary row as a dict; never raises for the run's own faults (its
    "error" says what went wrong). The task behind summaries()."""
    row: Dict[str, Any] = {"path": path, "error": None}
    try:
        with meridel.open(path) as acq:
            row["source_name"] = acq.source_name
            row["instrument"] = acq.instrument.name
            row["instrument_accession"] = acq.instrument.accession
            row["acquired_time"] = acq.acquired_time
            columns = acq.scans()
            levels = np.asarray(columns["ms_level"])
            rts = np.asarray(columns["retention_time_sec"], dtype=np.float64)
            row["scans"] = int(levels.size)
            found, counts = np.unique(levels, return_counts=True)
            row["levels"] = {int(level): int(n) for level, n in zip(found, counts)}
            finite = rts[np.isfinite(rts)]
            row["rt_min_sec"] = float(finite.min()) if finite.size else float("nan")
            row["rt_max_sec"] = float(finite.max()) if finite.size else float("nan")
            # One decoding pass gives the points, the MS1 TIC and the damaged scans.
            points = damaged = 0
            tic_rt: List[float] = []
            tic: List[float] = []
            for s in acq.iter(threads=threads):
                points += len(s)
                if s.error is not None:
                    damaged += 1
                if s.ms_level == 1:
                    tic_rt.append(s.retention_time_sec)
                    tic.append(float(np.asarray(s.intensity).sum(dtype=np.float64)))
            row["points"] = points
            row["damaged_scans"] = damaged
            row["tic_area"] = tic_area(tic_rt, tic)
    except Exception as e:  # a damaged or missing run is this row's error, not the batch's
        row["error"] = _error_text(e)
    return row


def tic_area(rt: Sequence[float], intensity: Sequence[float]) -> float:
    """The area under a chromatogram (trapezoids over retention time, seconds), points
    taken in retention time order; points with a retention time that is not finite are
    left out. Fewer than two points: 0.0."""
    t = np.asarray(rt, dtype=np.float64)
    y = np.asarray(intensity, dtype=np.float64)
    keep = np.isfinite(t)
    t, y = t[keep], y[keep]
    if t.size < 2:
        return 0.0
    order = np.argsort(t, kind="stable")
    t, y = t[order], y[order]
    return float(np.sum((t[1:] - t[:-1]) * (y[1:] + y[:-1]) * 0.5))


def summaries(paths: Iterable[_Path], client: _ClientLike = None, *, workers: Optional[int] = None,
              threads: Optional[int] = 1, progress: bool = False) -> "pd.DataFrame":
    """One row per run, in the order given: path (as given), source_name, instrument,
    instrument_accession, acquired_time, scans, ms<N>_scans for every MS level seen,
    rt_min_sec, rt_max_sec, points (decoded), tic_area (MS1, intensity x seconds),
    damaged_scans (decoded without points because of damage) and error (None, or why the
    run could not be read: its other columns are then missing).

    client: a distributed.Client, a scheduler address, or None for a local cluster of
    `workers` processes; threads: decoding threads per task (1 suits one task per core)."""
    runs = _run_paths(paths)
    with _connected(client, workers) as connected:
        rows = _run_all(connected, summarize_run, runs, progress, "summary", threads=threads)
    return summary_frame(rows)


def summary_frame(rows: Sequence[Dict[str, Any]]) -> "pd.DataFrame":
    """The DataFrame of summarize_run() rows."""
    levels = sorted({level for row in rows for level in row.get("levels", {})})
    records = []
    for row in rows:
        record = {name: row.get(name) for name in SUMMARY_COLUMNS + SUMMARY_TAIL}
        for level in levels:
            record["ms%d_scans" % level] = row["levels"].get(level, 0) if "levels" in row else None
        records.append(record)
    level_columns = ["ms%d_scans" % level for level in levels]
    frame = pd.DataFrame.from_records(records, columns=SUMMARY_COLUMNS + level_columns + SUMMARY_TAIL)
    for name in ["scans", "points", "damaged_scans"] + level_columns:
        frame[name] = frame[name].astype("Int64")
    for name in ["rt_min_sec", "rt_max_sec", "tic_area"]:
        frame[name] = frame[name].astype("float64")
    return frame


# ---------------------------------------------------------------------------------------
# XICs

XIC_COLUMNS = ["path", "target", "low", "high", "rt_sec", "intensity", "error"]


def xic_run(path: str, targets: Sequence[float], ppm: Optional[float] = None, da: Optional[float] = None,
            ms_level: Optional[int] = 1, rt_range: Optional[Tuple[float, float]] = None,
            threads: Optional[int] = 1) -> Dict[str, Any]:
    """One run's XICs as {"path", "error", "chromatograms": [(target, low, high, rt, intensity)]}
    with NumPy arrays; never raises for the run's own faults. The task behind xics()."""
    row: Dict[str, Any] = {"path": path, "error": None, "chromatograms": []}
    try:
        with meridel.open(path) as acq:
            for c in acq.xic(list(targets), ppm=ppm, da=da, ms_level=ms_level, rt_range=rt_range, threads=threads):
                low, high = c.window
                row["chromatograms"].append((c.target, low, high, np.array(c.rt, dtype=np.float64),
                                             np.array(c.intensity, dtype=np.float64)))
    except Exception as e:
        row["error"] = _error_text(e)
        row["chromatograms"] = []
    return row


def xics(paths: Iterable[_Path], targets: Union[float, Sequence[float]], ppm: Optional[float] = None,
         da: Optional[float] = None, ms_level: Optional[int] = 1, rt_range: Optional[Tuple[float, float]] = None,
         client: _ClientLike = None, *, workers: Optional[int] = None, threads: Optional[int] = 1,
         progress: bool = False) -> "pd.DataFrame":
    """The XIC of every target in every run, computed on the workers, long form: one row
    per point with path (as given), target, low, high (the m/z window), rt_sec, intensity
    and error (None). A run that could not be read gives one row with its error and the
    other columns missing. Arguments as Acquisition.xic, plus those of summaries()."""
    runs = _run_paths(paths)
    target_list = [float(targets)] if isinstance(targets, (int, float)) else [float(t) for t in targets]
    if not target_list:
        raise ValueError("targets must name at least one m/z")
    # Refuse bad arguments here, not once per run on the cluster: one direct call on no data
    # checks them all the same way (ppm and da exclusive, ranges ordered, ...).
    _check_xic_arguments(target_list, ppm, da, ms_level, rt_range)
    with _connected(client, workers) as connected:
        rows = _run_all(connected, xic_run, runs, progress, "xic", targets=target_list, ppm=ppm, da=da,
                        ms_level=ms_level, rt_range=rt_range, threads=threads)
    return xic_frame(rows)


def _check_xic_arguments(targets: List[float], ppm: Optional[float], da: Optional[float],
                         ms_level: Optional[int], rt_range: Optional[Tuple[float, float]]) -> None:
    if ppm is not None and da is not None:
        raise ValueError("give ppm or da, not both")
    for name, value in (("ppm", ppm), ("da", da)):
        if value is not None and not (float(value) > 0):
            raise ValueError("%s must be positive, not %r" % (name, value))
    if ms_level is not None and int(ms_level) < 1:
        raise ValueError("ms_level must be at least 1, not %r" % ms_level)
    if rt_range is not None:
        low, high = rt_range
        if not float(low) <= float(high):
            raise ValueError("rt_range must be (low, high) with low <= high, not %r" % (rt_range,))


def xic_frame(rows: Sequence[Dict[str, Any]]) -> "pd.DataFrame":
    """The long-form DataFrame of xic_run() rows, in the order of the rows."""
    parts = []
    for row in rows:
        if row.get("error") is not None:
            parts.append(pd.DataFrame({"path": [row["path"]], "target": [np.nan], "low": [np.nan],
                                       "high": [np.nan], "rt_sec": [np.nan], "intensity": [np.nan],
                                       "error": [row["error"]]}))
            continue
        for target, low, high, rt, intensity in row["chromatograms"]:
            n = len(rt)
            parts.append(pd.DataFrame({"path": [row["path"]] * n, "target": np.full(n, target),
                                       "low": np.full(n, low), "high": np.full(n, high), "rt_sec": rt,
                                       "intensity": intensity, "error": [None] * n}))
    if not parts:
        return pd.DataFrame({name: pd.Series(dtype="object" if name in ("path", "error") else "float64")
                             for name in XIC_COLUMNS})
    return pd.concat(parts, ignore_index=True)[XIC_COLUMNS]


# ---------------------------------------------------------------------------------------
# Conversion

CONVERT_COLUMNS = ["path", "output", "status", "seconds", "error"]


def output_name(path: str, format: str = "mzml") -> str:
    """The file name of a run's output in format ("mzml": run.mzML, "mgf": run.mgf): the
    last part of its path less a ".d" or ".D" ending, by the naming rule corvane-convert
    and every writer use ("." and ".." are named after the folder they stand for).
    ValueError when nothing is left to name it after."""
    return meridel._meridel._output_name(path, format)


def output_path(out_dir: str, path: str, format: str = "mzml") -> str:
    """Where the run's output goes: out_dir/<output_name(path, format)>, checked to stay
    inside out_dir with symbolic links resolved (a name that is a link to elsewhere is
    refused). ValueError when it would not."""
    name = output_name(path, format)
    if os.sep in name or (os.altsep and os.altsep in name) or "\0" in name:
        raise ValueError("%s: %r is not a plain file name" % (path, name))
    final = os.path.join(out_dir, name)
    if os.path.dirname(os.path.realpath(final)) != os.path.realpath(out_dir):
        raise ValueError("%s: its output %s would be written outside %s" % (path, final, out_dir))
    return final


def convert_run(path: str, out_dir: str, batch_id: str, compression: Optional[str] = "zlib", redo: bool = False,
                threads: Optional[int] = 1, format: str = "mzml", precursor_mz: Optional[str] = None,
                **filters: Any) -> Dict[str, Any]:
    """Converts one run into out_dir (see convert()); returns its row of the table and
    never raises for the run's own faults. The task behind convert(). filters: centroid,
    ms_level, rt_range, top_n and min_intensity, as to_mzml and to_mgf take them."""
    row: Dict[str, Any] = {"path": path, "output": None, "status": "failed", "seconds": 0.0, "error": None}
    started = time.perf_counter()
    try:
        final = output_path(out_dir, path, format)
        row["output"] = final
        if not redo and os.path.lexists(final):
            row["status"] = "skipped"
            return row
        # One folder per attempt, named by the worker's process id, so that the file is
        # written under its final name (the writer's own temporary file beside it) and a
        # second attempt never meets the remains of a first one.
        attempt = os.path.join(out_dir, STAGING, batch_id, "%d-%s" % (os.getpid(), uuid.uuid4().hex[:12]))
        os.makedirs(attempt)
        staged = os.path.join(attempt, os.path.basename(final))
        try:
            with meridel.open(path, precursor_mz=precursor_mz) as acq:
                if format == "mgf":
                    acq.to_mgf(staged, threads=threads, overwrite=False, **filters)
                else:
                    acq.to_mzml(staged, compression=compression, threads=threads, overwrite=False, **filters)
            row["status"] = "converted" if _publish(staged, final, redo) else "skipped"
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(staged)
            with contextlib.suppress(OSError):
                os.rmdir(attempt)
    except Exception as e:
        row["status"] = "failed"
        row["error"] = _error_text(e)
    row["seconds"] = time.perf_counter() - started
    return row


def _publish(staged: str, final: str, replace: bool) -> bool:
    """Moves the finished file to its final name in one step. Without replace, a file that
    appeared there meanwhile (another batch) is kept and False returned."""
    if replace:
        os.replace(staged, final)
        return True
    try:
        os.link(staged, final)  # fails, atomically, when final exists
    except FileExistsError:
        return False
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        # No hard links on this file system: a rename that may replace a file made in the
        # instant between the check and the rename (by another batch, with the same data).
        if os.path.lexists(final):
            return False
        os.replace(staged, final)
    return True


def remove_staging(out_dir: str, batch: str) -> None:
    """Removes what a batch left in out_dir's staging folder (files of killed workers),
    and the staging folder once no batch uses it."""
    shutil.rmtree(os.path.join(out_dir, STAGING, batch), ignore_errors=True)
    with contextlib.suppress(OSError):
        os.rmdir(os.path.join(out_dir, STAGING))


def convert(paths: Iterable[_Path], out_dir: Union[str, "os.PathLike[str]"], compression: Optional[str] = "zlib",
            redo: bool = False, client: _ClientLike = None, *, workers: Optional[int] = None,
            threads: Optional[int] = 1, progress: bool = False, format: str = "mzml",
            precursor_mz: Optional[str] = None, centroid: bool = False, ms_level: Optional[int] = None,
            rt_range: Optional[Tuple[float, float]] = None, top_n: Optional[int] = None,
            min_intensity: Optional[float] = None) -> "pd.DataFrame":
    """Writes each run as out_dir/<name>.mzML, or <name>.mgf with format="mgf" (the run's
    folder name less ".d"), on the workers, through Acquisition.to_mzml or to_mgf. A file
    appears under its final name only when complete, so a worker killed mid-way leaves no
    partial output, and a run whose output exists is skipped unless redo: running a
    finished batch again converts nothing.

    precursor_mz: the member that holds the precursor m/z (meridel.open); MGF needs it.
    centroid, ms_level, rt_range, top_n, min_intensity: as to_mzml and to_mgf take them.
    Arguments either would refuse raise ValueError or TypeError here, before any cluster
    is reached; compression applies to mzML only.

    Returns one row per run: path (as given), output, status ("converted", "skipped" or
    "failed"), seconds (on the worker) and error. Two runs that would write the same file
    are refused before anything runs (the later one fails). out_dir is made absolute here
    and created by the workers when missing."""
    runs = _run_paths(paths)
    # The checks to_mzml and to_mgf make, once here; the format comes back by its own name.
    format = meridel._meridel._check_convert(format, precursor_mz, centroid, ms_level, rt_range, top_n,
                                             min_intensity)
    filters = dict(centroid=centroid, ms_level=ms_level, rt_range=None if rt_range is None else tuple(rt_range),
                   top_n=top_n, min_intensity=min_intensity)
    target = os.path.abspath(os.fspath(out_dir))
    refused: Dict[int, str] = {}
    claimed: Dict[str, str] = {}
    for i, run in enumerate(runs):
        try:
            name = output_name(os.path.abspath(run), format)
        except ValueError as e:
            refused[i] = _error_text(e)
            continue
        if name in claimed:
            refused[i] = "ValueError: %s and %s would both write %s" % (claimed[name], run, name)
        else:
            claimed[name] = run
    todo = [i for i in range(len(runs)) if i not in refused]
    batch = "%s-%d" % (uuid.uuid4().hex[:12], os.getpid())
    rows: List[Optional[Dict[str, Any]]] = [None] * len(runs)
    with _connected(client, workers) as connected:
        try:
            done = _run_all(connected, convert_run, [runs[i] for i in todo], progress, "convert", out_dir=target,
                            batch_id=batch, compression=compression, redo=redo, threads=threads, format=format,
                            precursor_mz=precursor_mz, **filters)
        finally:
            # Here, and on a worker for a client that does not see the workers' files. A
            # cluster left without workers cannot clean up: staging stays, the batch returns.
            remove_staging(target, batch)
            if todo:
                with contextlib.suppress(Exception):
                    connected.submit(remove_staging, target, batch, pure=False).result(timeout=60)
    for i, row in zip(todo, done):
        rows[i] = row
    for i, error in refused.items():
        rows[i] = {"path": runs[i], "output": None, "status": "failed", "seconds": 0.0, "error": error}
    for row in rows:
        assert row is not None
        row.setdefault("status", "failed")
    return pd.DataFrame.from_records(rows, columns=CONVERT_COLUMNS)
