"""Many runs at once: one task per acquisition, small results back, in this process or on
a Dask cluster.

    summaries(paths, client=None)             -> DataFrame, one row per run
    xics(paths, targets, ppm=None, da=None)   -> DataFrame, one row per chromatogram point
    convert(paths, out_dir, format="mzml")    -> DataFrame, what was converted, skipped or failed
    local_cluster(workers=None)               -> LocalCluster on 127.0.0.1, TLS, one process per worker

Where the tasks run (each call's `client` and `local`):
- a few small runs (their AcqData files LOCAL_LIMIT bytes or less in all), no client:
  threads of this process, one per core, as corvane-convert --jobs does; no cluster is
  started, so nothing pays for one;
- more than that, or local=False: a local cluster of single-threaded worker processes,
  one per core, listening on 127.0.0.1 only behind TLS with credentials made for it
  alone, stopped on return;
- a distributed.Client, or a scheduler address (connected with the TLS settings of
  Dask's config): that cluster. local=True forces this process.

A task takes a path and returns plain data; it opens the run where it runs, so workers
must see the acquisitions (a shared file system or the same local copies). A run that
cannot be opened or read gives its row with the error text; the other runs still
complete. Damaged scans (data that could not be read) and what salvage=True dropped are
counted in each row and told once per run as a meridel.DamagedDataWarning. A worker that
dies takes none of its runs with it: the scheduler runs them again on another worker.

Needs pandas and Dask's distributed scheduler (pip install 'corvane[batch]'; Debian:
python3-pandas python3-distributed, for CPython); tqdm draws the progress bar when there.
Call it from a script under `if __name__ == "__main__":`: worker processes import the
main module again, and a call outside the guard raises RuntimeError at once.
"""
from __future__ import annotations

import ast
import concurrent.futures
import contextlib
import errno
import importlib.util
import multiprocessing
import os
import re
import shutil
import sys
import threading
import time
import tokenize
import uuid
import warnings
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

# What pip should install, named the same way in every message about a missing package.
EXTRA = "pip install 'corvane[batch]'"


def _missing(what: str) -> ImportError:
    return ImportError("corvane-batch needs %s: %s" % (what, EXTRA))


def _importable(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):  # a parent that fails to import; a module set to None
        return False


try:
    import numpy as np
except ImportError:
    raise _missing("NumPy") from None
try:
    import pandas as pd
except ImportError:
    raise _missing("pandas") from None
# Imported when a cluster is used (half a second saved on every in-process batch), but
# its absence is told here, on import, as for pandas.
if not _importable("distributed"):
    raise _missing("dask.distributed")

import meridel
from meridel import DamagedDataWarning

__all__ = ["LOCAL_LIMIT", "convert", "input_size", "local_cluster", "output_name", "output_path", "summaries", "xics"]

_Path = Union[str, "os.PathLike[str]", "meridel.Acquisition"]
_ClientLike = Union[None, str, "distributed.Client"]

# Finished files appear under their final name by one rename; until then they are written
# here, one folder per batch, which the batch removes when it ends (with whatever a killed
# worker left behind).
STAGING = ".corvane-batch"

# Runs whose AcqData files total at most this many bytes are done in this process when no
# client is given. Starting a local cluster costs two to three seconds on two cores;
# converting 1 GiB of acquisitions takes some thirty seconds per core, so above this the
# cluster's start is under a tenth of the batch, and its worker processes (a run that
# takes its worker down is run again elsewhere) are worth having.
LOCAL_LIMIT = 1 << 30


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as e:
        raise _missing("dask.distributed") from e
    return distributed


# ---------------------------------------------------------------------------------------
# Called from a main module that worker processes import again

_GUARD_MESSAGE = (
    "meridel.batch was called from the top level of the main module, outside "
    "'if __name__ == \"__main__\":'. Worker processes import that module again and would each "
    "call it once more: put the call under that guard (docs/scaling.md)")


def _refuse_reimport(depth: int = 2) -> None:
    """RuntimeError when the caller runs at the top level of a main module that a spawned
    or forkserver process imports again: the main module outside its
    `if __name__ == "__main__":` block, or that module being imported by a child
    (named "__mp_main__" there). Raised the same for every way a batch would run, so a
    script does not break only once its batch outgrows this process. depth: frames from
    here to the caller."""
    main = sys.modules.get("__main__")
    frame: Any = sys._getframe(depth)
    while frame is not None:
        if frame.f_code.co_name == "<module>":
            name = frame.f_globals.get("__name__")
            if name == "__mp_main__":
                raise RuntimeError(_GUARD_MESSAGE)
            if (name == "__main__" and main is not None and frame.f_globals is vars(main)
                    and _imported_again(main) and not _under_guard(main, frame.f_lineno)):
                raise RuntimeError(_GUARD_MESSAGE)
        frame = frame.f_back
    # A child's bootstrap importing the main module (multiprocessing's own flag for it).
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise RuntimeError(_GUARD_MESSAGE)


def _imported_again(main: Any) -> bool:
    """Whether a spawned child imports this main module, as multiprocessing decides it: by
    module name (python -m mod), except a package's __main__, or by file."""
    name = getattr(getattr(main, "__spec__", None), "name", None)
    if name is not None:
        return not (name == "__main__" or name.endswith(".__main__"))
    return getattr(main, "__file__", None) is not None


def _under_guard(main: Any, line: int) -> bool:
    """Whether line of the main module's source lies in an `if __name__ == "__main__":`
    block. A source that cannot be read or parsed counts as guarded: no false alarm."""
    try:
        with tokenize.open(main.__file__) as f:
            tree = ast.parse(f.read())
    except (OSError, SyntaxError, ValueError, AttributeError, TypeError):
        return True
    return any(isinstance(node, ast.If) and _is_guard(node.test) and node.lineno <= line <= (node.end_lineno or 0)
               for node in ast.walk(tree))


def _is_guard(test: ast.expr) -> bool:
    if isinstance(test, ast.BoolOp) and isinstance(test.op, ast.And):
        return any(_is_guard(value) for value in test.values)
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = [test.left, test.comparators[0]]
    return (any(isinstance(s, ast.Name) and s.id == "__name__" for s in sides)
            and any(isinstance(s, ast.Constant) and s.value == "__main__" for s in sides))


# ---------------------------------------------------------------------------------------
# Clusters

def local_cluster(workers: Optional[int] = None, threads_per_worker: int = 1, **kwargs: Any) -> Any:
    """A distributed.LocalCluster of worker processes on this machine that listens on
    127.0.0.1 only, with no dashboard. A scheduler runs whatever any client that reaches
    it sends, and every local user can reach 127.0.0.1: so scheduler, workers and clients
    speak TLS with a key and certificate made for this cluster, held in memory by this
    process (and handed to the workers it starts) and required of every connection.
    Client(cluster) takes them from the cluster (cluster.security). workers: the number of
    processes (None: one per core available to this process)."""
    _refuse_reimport()
    return _local_cluster(workers, threads_per_worker, **kwargs)


def _local_cluster(workers: Optional[int], threads_per_worker: int = 1, **kwargs: Any) -> Any:
    if workers is None:
        workers = _cores()
    if workers < 1:
        raise ValueError("workers must be at least 1, not %d" % workers)
    distributed = _distributed()
    import dask
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
        return distributed.LocalCluster(**options)


def _temporary_security() -> Any:
    from distributed.security import Security
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


class _Threads:
    """Tasks on threads of this process: meridel decodes and writes without the
    interpreter lock, so a run per core converts as fast as separate processes would."""

    def __init__(self, count: int) -> None:
        self.count = count


def _check_where(client: _ClientLike, workers: Optional[int], local: Optional[bool]) -> None:
    if local is not None and not isinstance(local, bool):
        raise TypeError("local must be True, False or None, not %s" % type(local).__name__)
    if local and client is not None:
        raise ValueError("local=True runs the batch in this process; it takes no client")
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1, not %d" % workers)
    if client is not None and not isinstance(client, str):
        if not isinstance(client, _distributed().Client):
            raise TypeError("client must be a distributed.Client, a scheduler address or None, not %s"
                            % type(client).__name__)


def input_size(runs: Sequence[str]) -> int:
    """The bytes of the files in each run's AcqData folder, in all (what cannot be read
    counts nothing): what decides, against LOCAL_LIMIT, where a batch runs."""
    total = 0
    for run in runs:
        with contextlib.suppress(OSError), os.scandir(os.path.join(run, "AcqData")) as entries:
            for entry in entries:
                with contextlib.suppress(OSError):
                    if entry.is_file():
                        total += entry.stat().st_size
    return total


@contextlib.contextmanager
def _where(client: _ClientLike, workers: Optional[int], local: Optional[bool], runs: Sequence[str]) -> Iterator[Any]:
    """Where the tasks run: threads of this process, the client given, one connected to
    the address given (security from Dask's config), or one of a local cluster started
    here; what was started here is stopped again."""
    if local is None:
        local = client is None and input_size(runs) <= LOCAL_LIMIT
    if local:
        yield _Threads(_cores() if workers is None else workers)
        return
    distributed = _distributed()
    if isinstance(client, distributed.Client):
        yield client
        return
    if client is not None:
        with distributed.Client(client) as connected:
            yield connected
        return
    with _local_cluster(workers) as cluster, distributed.Client(cluster) as connected:
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


def _run_all(where: Any, task: Callable[..., Dict[str, Any]], runs: Sequence[str], progress: bool,
             what: str, **kwargs: Any) -> List[Dict[str, Any]]:
    """task(run, **kwargs) for every run, one task each, results in the order of runs. A
    task that fails where it runs (a worker lost too often, say) gives {"error": ...}.
    Each run's warnings are then told here, once, with its path."""
    # Absolute here: a relative path means the same on every local worker, and remote
    # workers have no idea of this process's folder.
    absolute = [os.path.abspath(r) for r in runs]
    results: List[Optional[Dict[str, Any]]] = [None] * len(runs)
    bar = _progress_bar(len(runs), what) if progress else None
    try:
        if isinstance(where, _Threads):
            # The tasks' warnings are sorted by thread into their rows; the warnings
            # machinery is the process's, so it is set for the batch and put back after.
            with warnings.catch_warnings():
                _install_router()
                for i, row in _on_threads(where.count, task, absolute, kwargs):
                    results[i] = row
                    if bar is not None:
                        bar.update(1)
        else:
            for i, row in _on_cluster(where, task, absolute, kwargs):
                results[i] = row
                if bar is not None:
                    bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    for row, run in zip(results, runs):
        assert row is not None
        row["path"] = run  # as the caller gave it
    _warn_rows(results)  # type: ignore[arg-type]
    return results  # type: ignore[return-value]


def _on_threads(count: int, task: Callable[..., Dict[str, Any]], runs: Sequence[str],
                kwargs: Dict[str, Any]) -> Iterator[Tuple[int, Dict[str, Any]]]:
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(count, len(runs))),
                                               thread_name_prefix="corvane-batch") as pool:
        futures = {pool.submit(task, run, **kwargs): i for i, run in enumerate(runs)}
        try:
            for future in concurrent.futures.as_completed(futures):
                try:
                    row = future.result()
                except Exception as e:  # the task never raises for its run's faults
                    row = {"error": _error_text(e)}
                yield futures[future], row
        finally:
            # Interrupted: the runs not started are not started; those running finish.
            for future in futures:
                future.cancel()


def _on_cluster(client: Any, task: Callable[..., Dict[str, Any]], runs: Sequence[str],
                kwargs: Dict[str, Any]) -> Iterator[Tuple[int, Dict[str, Any]]]:
    futures = client.map(task, list(runs), pure=False, **kwargs)
    position = {f.key: i for i, f in enumerate(futures)}
    for future in _distributed().as_completed(futures):
        try:
            row = future.result()
        except Exception as e:  # the task never raises for its run; this is the cluster
            row = {"error": _error_text(e)}
        future.release()
        yield position[future.key], row


def _progress_bar(total: int, what: str) -> Any:
    """A tqdm bar on standard error, or None without tqdm: the bar is all it gives."""
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=what, unit="run", file=sys.stderr, leave=True)


# ---------------------------------------------------------------------------------------
# What a task's meridel calls warned of

# The warnings of the thread that runs a task are kept for its row; the rest go where they
# went before. Installed for a batch in this process, and once for good in a worker
# process (any warning not meant for a row still reaches the worker's own handler).
_capture = threading.local()
_router_lock = threading.Lock()
_shown_before: Any = warnings.showwarning


def _route(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    caught = getattr(_capture, "warnings", None)
    if caught is not None:
        caught.append((category, str(message)))
        return
    _shown_before(message, category, filename, lineno, file, line)


def _install_router() -> None:
    global _shown_before
    with _router_lock:
        if warnings.showwarning is not _route:
            _shown_before = warnings.showwarning
            warnings.showwarning = _route
        # Every time, not once per place: the same run read twice warns twice.
        warnings.simplefilter("always", DamagedDataWarning)
        warnings.filterwarnings("always", message=r"to_(mzml|mgf)\(\): ", category=UserWarning)


@contextlib.contextmanager
def _capturing() -> Iterator[List[Tuple[Any, str]]]:
    _install_router()
    caught: List[Tuple[Any, str]] = []
    before = getattr(_capture, "warnings", None)
    _capture.warnings = caught
    try:
        yield caught
    finally:
        _capture.warnings = before


_COUNT = re.compile(r"^(?:\w+\(\): )?(\d+) (?:of \d+ )?(?:fragment )?scans? ")


def _damage(row: Dict[str, Any], acq: Any, caught: List[Tuple[Any, str]], damaged: Optional[int] = None) -> None:
    """Fills the row's damaged_scans, dropped_bytes, dropped_records and warnings from
    what the run's calls warned of and what opening it dropped. damaged: the count when
    the task counted the scans itself; otherwise the largest a warning names (a call's
    warnings count the same scans), and one when a damage warning gives none."""
    salvaged = acq.salvaged
    row["dropped_bytes"] = int(salvaged.bytes_dropped) if salvaged else 0
    row["dropped_records"] = int(salvaged.records_dropped) if salvaged else 0
    found = 0
    for category, text in caught:
        damage = issubclass(category, DamagedDataWarning) or "could not be read" in text
        row["warnings"].append(("damaged" if damage else "other", text))
        if damage and not text.startswith("salvaged"):
            match = _COUNT.match(text)
            found = max(found, int(match.group(1)) if match else 1)
    row["damaged_scans"] = found if damaged is None else damaged


def _warn_rows(rows: Sequence[Dict[str, Any]]) -> None:
    """Each run's warnings, told in the caller's thread with the run's path."""
    for row in rows:
        for kind, text in row.get("warnings", ()):
            warnings.warn("%s: %s" % (row["path"], text), DamagedDataWarning if kind == "damaged" else UserWarning,
                          stacklevel=4)


def _warning_text(row: Dict[str, Any]) -> Optional[str]:
    texts = [text for _, text in row.get("warnings", ())]
    return "; ".join(texts) if texts else None


# Columns every table has after its own: what a run lost. damaged_scans counts the scans
# whose data could not be read (no points in the result); dropped_bytes and
# dropped_records, what salvage=True left out of a scan index cut inside a record.
DAMAGE_COLUMNS = ["damaged_scans", "dropped_bytes", "dropped_records"]


# ---------------------------------------------------------------------------------------
# Summaries

SUMMARY_COLUMNS = ["path", "source_name", "instrument", "instrument_accession", "acquired_time", "scans"]
SUMMARY_TAIL = ["rt_min_sec", "rt_max_sec", "points", "tic_area"] + DAMAGE_COLUMNS + ["warning", "error"]


def summarize_run(path: str, threads: Optional[int] = 1, salvage: bool = False) -> Dict[str, Any]:
    """One run's summary row as a dict; never raises for the run's own faults (its
    "error" says what went wrong). The task behind summaries()."""
    row: Dict[str, Any] = {"path": path, "error": None, "warnings": []}
    try:
        with _capturing() as caught, meridel.open(path, salvage=salvage) as acq:
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
            row["tic_area"] = tic_area(tic_rt, tic)
            _damage(row, acq, caught, damaged)
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
              threads: Optional[int] = 1, progress: bool = False, local: Optional[bool] = None,
              salvage: bool = False) -> "pd.DataFrame":
    """One row per run, in the order given: path (as given), source_name, instrument,
    instrument_accession, acquired_time, scans, ms<N>_scans for every MS level seen,
    rt_min_sec, rt_max_sec, points (decoded), tic_area (MS1, intensity x seconds),
    damaged_scans (decoded without points because of damage), dropped_bytes and
    dropped_records (what salvage dropped), warning (what reading the run warned of) and
    error (None, or why the run could not be read: its other columns are then missing).

    client: a distributed.Client, a scheduler address, or None; local: None decides by
    size (LOCAL_LIMIT), True runs in this process, False on a cluster (a local one of
    `workers` processes when client is None); workers: those processes, or this
    process's threads (default: one per core); threads: decoding threads per task (1
    suits one task per core); salvage: open runs as meridel.open(path, salvage=True);
    progress: a bar on standard error (with tqdm)."""
    _refuse_reimport()
    runs = _run_paths(paths)
    _check_where(client, workers, local)
    with _where(client, workers, local, runs) as where:
        rows = _run_all(where, summarize_run, runs, progress, "summary", threads=threads, salvage=salvage)
    return summary_frame(rows)


def summary_frame(rows: Sequence[Dict[str, Any]]) -> "pd.DataFrame":
    """The DataFrame of summarize_run() rows."""
    levels = sorted({level for row in rows for level in row.get("levels", {})})
    records = []
    for row in rows:
        record = {name: row.get(name) for name in SUMMARY_COLUMNS + SUMMARY_TAIL}
        record["warning"] = _warning_text(row)
        for level in levels:
            record["ms%d_scans" % level] = row["levels"].get(level, 0) if "levels" in row else None
        records.append(record)
    level_columns = ["ms%d_scans" % level for level in levels]
    frame = pd.DataFrame.from_records(records, columns=SUMMARY_COLUMNS + level_columns + SUMMARY_TAIL)
    for name in ["scans", "points"] + DAMAGE_COLUMNS + level_columns:
        frame[name] = frame[name].astype("Int64")
    for name in ["rt_min_sec", "rt_max_sec", "tic_area"]:
        frame[name] = frame[name].astype("float64")
    return frame


# ---------------------------------------------------------------------------------------
# XICs

XIC_COLUMNS = ["path", "target", "low", "high", "rt_sec", "intensity"] + DAMAGE_COLUMNS + ["error"]


def xic_run(path: str, targets: Sequence[float], ppm: Optional[float] = None, da: Optional[float] = None,
            ms_level: Optional[int] = 1, rt_range: Optional[Tuple[float, float]] = None,
            threads: Optional[int] = 1, salvage: bool = False) -> Dict[str, Any]:
    """One run's XICs as {"path", "error", "chromatograms": [(target, low, high, rt, intensity)],
    "damaged_scans", ...} with NumPy arrays; never raises for the run's own faults. The
    task behind xics()."""
    row: Dict[str, Any] = {"path": path, "error": None, "chromatograms": [], "warnings": []}
    try:
        with _capturing() as caught, meridel.open(path, salvage=salvage) as acq:
            for c in acq.xic(list(targets), ppm=ppm, da=da, ms_level=ms_level, rt_range=rt_range, threads=threads):
                low, high = c.window
                row["chromatograms"].append((c.target, low, high, np.array(c.rt, dtype=np.float64),
                                             np.array(c.intensity, dtype=np.float64)))
            _damage(row, acq, caught)
    except Exception as e:
        row["error"] = _error_text(e)
        row["chromatograms"] = []
    return row


def xics(paths: Iterable[_Path], targets: Union[float, Sequence[float]], ppm: Optional[float] = None,
         da: Optional[float] = None, ms_level: Optional[int] = 1, rt_range: Optional[Tuple[float, float]] = None,
         client: _ClientLike = None, *, workers: Optional[int] = None, threads: Optional[int] = 1,
         progress: bool = False, local: Optional[bool] = None, salvage: bool = False) -> "pd.DataFrame":
    """The XIC of every target in every run, long form: one row per point with path (as
    given), target, low, high (the m/z window), rt_sec, intensity, the run's
    damaged_scans (points of those scans read 0), dropped_bytes and dropped_records, and
    error (None). A run that could not be read gives one row with its error and the other
    columns missing. Arguments as Acquisition.xic (ms_level=None: every level), plus
    those of summaries()."""
    _refuse_reimport()
    runs = _run_paths(paths)
    target_list = [float(targets)] if isinstance(targets, (int, float)) else [float(t) for t in targets]
    if not target_list:
        raise ValueError("targets must name at least one m/z")
    # Refuse bad arguments here, not once per run where the tasks run.
    _check_xic_arguments(target_list, ppm, da, ms_level, rt_range)
    _check_where(client, workers, local)
    with _where(client, workers, local, runs) as where:
        rows = _run_all(where, xic_run, runs, progress, "xic", targets=target_list, ppm=ppm, da=da,
                        ms_level=ms_level, rt_range=rt_range, threads=threads, salvage=salvage)
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
                                       **{name: pd.array([None], dtype="Int64") for name in DAMAGE_COLUMNS},
                                       "error": [row["error"]]}))
            continue
        for target, low, high, rt, intensity in row["chromatograms"]:
            n = len(rt)
            parts.append(pd.DataFrame({"path": [row["path"]] * n, "target": np.full(n, target),
                                       "low": np.full(n, low), "high": np.full(n, high), "rt_sec": rt,
                                       "intensity": intensity,
                                       **{name: pd.array([row[name]] * n, dtype="Int64") for name in DAMAGE_COLUMNS},
                                       "error": [None] * n}))
    if not parts:
        return pd.DataFrame({name: pd.Series(dtype="object" if name in ("path", "error") else
                                             "Int64" if name in DAMAGE_COLUMNS else "float64")
                             for name in XIC_COLUMNS})
    return pd.concat(parts, ignore_index=True)[XIC_COLUMNS]


# ---------------------------------------------------------------------------------------
# Conversion

CONVERT_COLUMNS = ["path", "output", "status", "seconds"] + DAMAGE_COLUMNS + ["warning", "error"]
# A file was written, but some of the run's scans are in it without data (mzML) or left
# out (MGF), or salvage dropped the cut end of its index.
DAMAGED_STATUS = "converted with damage"
COMPRESSIONS = ("zlib", "numpress", "none")


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
                salvage: bool = False, **filters: Any) -> Dict[str, Any]:
    """Converts one run into out_dir (see convert()); returns its row of the table and
    never raises for the run's own faults. The task behind convert(). filters: centroid,
    ms_level, rt_range, top_n and min_intensity, as to_mzml and to_mgf take them."""
    row: Dict[str, Any] = {"path": path, "output": None, "status": "failed", "seconds": 0.0, "error": None,
                           "warnings": []}
    started = time.perf_counter()
    try:
        final = output_path(out_dir, path, format)
        if not redo and os.path.lexists(final):
            row["output"] = final
            row["status"] = "skipped"
            return row
        # One folder per attempt, named by the worker's process id, so that the file is
        # written under its final name (the writer's own temporary file beside it) and a
        # second attempt never meets the remains of a first one. Made with its parents:
        # a missing out_dir is created, as corvane-convert -o DIR/ creates it.
        attempt = os.path.join(out_dir, STAGING, batch_id, "%d-%s" % (os.getpid(), uuid.uuid4().hex[:12]))
        os.makedirs(attempt)
        staged = os.path.join(attempt, os.path.basename(final))
        try:
            with _capturing() as caught, meridel.open(path, precursor_mz=precursor_mz, salvage=salvage) as acq:
                if format == "mgf":
                    acq.to_mgf(staged, threads=threads, overwrite=False, **filters)
                else:
                    acq.to_mzml(staged, compression=compression, threads=threads, overwrite=False, **filters)
                _damage(row, acq, caught)
            if _publish(staged, final, redo):
                row["output"] = final
                row["status"] = DAMAGED_STATUS if row["damaged_scans"] or row["dropped_records"] else "converted"
            else:
                # Another batch wrote it meanwhile: that file is the run's output, not this one.
                row.update(output=final, status="skipped", damaged_scans=None, dropped_bytes=None,
                           dropped_records=None, warnings=[])
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(staged)
            with contextlib.suppress(OSError):
                os.rmdir(attempt)
    except Exception as e:
        # Nothing of a failed run is named as its output: no file of it was published.
        row.update(status="failed", output=None, error=_error_text(e))
    row["seconds"] = time.perf_counter() - started
    return row


def _folder_problem(out_dir: str, runs: Sequence[str], make: bool) -> Optional[str]:
    """Why out_dir cannot take the outputs (it lies in one of the acquisitions, or cannot be
    made), as a row's error, or None once it exists (made with its parents if make)."""
    real = os.path.realpath(out_dir)
    for run in runs:
        acquisition = os.path.realpath(run)
        inside = real == acquisition or real.startswith(acquisition.rstrip(os.sep) + os.sep)
        if inside and os.path.isdir(acquisition):
            return "ValueError: %s lies inside the acquisition %s: refused, nothing is written there" % (out_dir, run)
    if make:
        try:
            os.makedirs(out_dir, exist_ok=True)
        except OSError as e:
            return "%s: cannot create the folder %s: %s" % (type(e).__name__, out_dir, e.strerror or e)
    return None


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
            min_intensity: Optional[float] = None, local: Optional[bool] = None,
            salvage: bool = False) -> "pd.DataFrame":
    """Writes each run as out_dir/<name>.mzML, or <name>.mgf with format="mgf" (the run's
    folder name less ".d"), through Acquisition.to_mzml or to_mgf where the tasks run. A
    file appears under its final name only when complete, so a worker killed mid-way
    leaves no partial output, and a run whose output exists is skipped unless redo:
    running a finished batch again converts nothing.

    compression (mzML only): "zlib", "numpress" (lossy) or "none"/None.
    precursor_mz: the member that holds the precursor m/z (meridel.open); MGF needs it.
    centroid, ms_level, rt_range, top_n, min_intensity: as to_mzml and to_mgf take them.
    Arguments either would refuse raise ValueError or TypeError here, before any work.
    client, workers, threads, progress, local, salvage: as summaries() takes them.

    Returns one row per run: path (as given), output (the file; None when the run
    failed), status ("converted"; "converted with damage" when some scans could not be
    read, which the file holds without data (mzML) or leaves out (MGF), or salvage
    dropped part of the index; "skipped" when the output existed; "failed"), seconds
    (where it ran), damaged_scans, dropped_bytes, dropped_records, warning and error.
    Two runs that would write the same file are refused before anything runs (the later
    one fails). out_dir is made absolute here and created with its parents when missing."""
    _refuse_reimport()
    runs = _run_paths(paths)
    if compression is not None and compression not in COMPRESSIONS:
        if not isinstance(compression, str):
            raise TypeError("convert() argument 'compression' must be str or None, not %s"
                            % type(compression).__name__)
        raise ValueError("convert() argument 'compression' must be 'zlib', 'numpress', 'none' or None, not %r"
                         % compression)
    # The checks to_mzml and to_mgf make, once here; the format comes back by its own name.
    format = meridel._meridel._check_convert(format, precursor_mz, centroid, ms_level, rt_range, top_n,
                                             min_intensity)
    _check_where(client, workers, local)
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
    # The folder first, as corvane-convert -o DIR/ makes it: never inside an acquisition,
    # and a folder that cannot be made fails every run before anything is converted. On
    # this machine only: a scheduler's workers make it where they see it.
    problem = _folder_problem(target, runs, make=client is None)
    if problem is not None:
        refused = {i: problem for i in range(len(runs))}
    todo = [i for i in range(len(runs)) if i not in refused]
    batch = "%s-%d" % (uuid.uuid4().hex[:12], os.getpid())
    rows: List[Optional[Dict[str, Any]]] = [None] * len(runs)
    done: List[Dict[str, Any]] = []
    if todo:  # no cluster is started or reached for nothing
        with _where(client, workers, local, [runs[i] for i in todo]) as where:
            try:
                done = _run_all(where, convert_run, [runs[i] for i in todo], progress, "convert", out_dir=target,
                                batch_id=batch, compression=compression, redo=redo, threads=threads,
                                format=format, precursor_mz=precursor_mz, salvage=salvage, **filters)
            finally:
                # Here, and on a worker for a client that does not see the workers' files. A
                # cluster left without workers cannot clean up: staging stays, the batch returns.
                remove_staging(target, batch)
                if not isinstance(where, _Threads):
                    with contextlib.suppress(Exception):
                        where.submit(remove_staging, target, batch, pure=False).result(timeout=60)
    for i, row in zip(todo, done):
        rows[i] = row
    for i, error in refused.items():
        rows[i] = {"path": runs[i], "output": None, "status": "failed", "seconds": 0.0, "error": error}
    records = []
    for row in rows:
        assert row is not None
        row.setdefault("status", "failed")
        record = {name: row.get(name) for name in CONVERT_COLUMNS}
        record["warning"] = _warning_text(row)
        records.append(record)
    frame = pd.DataFrame.from_records(records, columns=CONVERT_COLUMNS)
    for name in DAMAGE_COLUMNS:
        frame[name] = frame[name].astype("Int64")
    return frame
