"""meridel.batch on a real local cluster of worker processes (127.0.0.1): results equal to
direct per-run calls, damaged and missing runs as rows, conversion and its resumption,
output paths that stay in their folder, and corvane-batch's tables and exit statuses.
CPython with Dask only (ctest runs this file on its own)."""
import csv
import io
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import meridel
from conftest import write_acquisition
from meridel import batch
from test_processing import ENVELOPE


def scans(count, points=40, seed=0):
    """MS1 profile scans and MS2 peak scans, alternating two to one."""
    out = []
    for i in range(count):
        scan = {"scan_id": 10 + i, "rt_min": 0.05 * i, "ms_level": 1 + (i % 3 == 2),
                "mz_first": 100.0, "mz_last": 100.0 + points}
        if scan["ms_level"] == 1:
            scan["profile"] = {"intensities": [(i * 7919 + j * 31 + seed) % 5000 for j in range(points)]}
        else:
            scan["peaks"] = {"format": 3, "mz": [150.0 + j / 4 for j in range(points // 2)],
                             "intensity": [float((i + j + seed) % 97) for j in range(points // 2)]}
        out.append(scan)
    return out


# Scan 2's peak block lies past the end of its file: it decodes without points.
DAMAGED = [
    {"scan_id": 1, "rt_min": 0.25, "ms_level": 1, "peaks": {"format": 3, "mz": [120.0], "intensity": [3.0]}},
    {"scan_id": 2, "rt_min": 0.5, "ms_level": 1, "peaks": {"format": 3, "mz": [120.0], "intensity": [4.0],
                                                           "byte_offset": 1 << 40}},
    {"scan_id": 3, "rt_min": 0.75, "ms_level": 1, "peaks": {"format": 3, "mz": [120.0], "intensity": [5.0]}},
]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Three good runs, one with a damaged scan, one cut short, one empty folder, one missing."""
    root = tmp_path_factory.mktemp("runs")
    paths = [write_acquisition(root / ("good%d.d" % k), {"scans": scans(9 + 3 * k, seed=k)}) for k in range(3)]
    paths.append(write_acquisition(root / "damaged.d", {"scans": DAMAGED}))
    cut = write_acquisition(root / "cut.d", {"scans": scans(6)})
    index = os.path.join(cut, "AcqData", "MSScan.bin")
    os.truncate(index, os.path.getsize(index) - 100)
    paths.append(cut)
    (root / "empty.d").mkdir()
    paths += [str(root / "empty.d"), str(root / "missing.d")]
    return paths


@pytest.fixture(scope="module")
def client():
    """Two single-threaded worker processes, torn down after the module's tests."""
    from distributed import Client
    with batch.local_cluster(2) as cluster, Client(cluster) as c:
        yield c


def test_local_cluster_is_processes_on_loopback_only(client):
    info = client.scheduler_info()
    assert info["address"].startswith("tls://127.0.0.1:")
    assert len(info["workers"]) == 2
    for address, worker in info["workers"].items():
        assert address.startswith("tls://127.0.0.1:") and worker["host"] == "127.0.0.1"
        assert worker["nthreads"] == 1
    pids = client.run(os.getpid)
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    # Workers keep freed spectrum memory for the next one (Dask's own setting would unmap
    # every buffer: several times slower).
    environ = client.run(lambda: {k: os.environ.get(k) for k in batch.WORKER_ALLOCATOR})
    assert all(e == batch.WORKER_ALLOCATOR for e in environ.values()), environ
    # Every socket that listens, the scheduler's and nannies' (here) and the workers', is
    # on loopback: no dashboard or HTTP server on another address.
    import psutil
    listening = [c.laddr for pid in [os.getpid(), *pids.values()]
                 for c in psutil.Process(pid).connections(kind="inet") if c.status == psutil.CONN_LISTEN]
    assert len(listening) >= 5 and all(address.ip == "127.0.0.1" for address in listening), listening


def test_local_cluster_admits_only_clients_with_its_credentials(client):
    """Any local user reaches 127.0.0.1: the local cluster takes only clients that hold the
    TLS key made for it, which only this process (and the workers it started) has."""
    from distributed import Client
    from distributed.security import Security
    address = client.scheduler.address
    with Client(address, security=client.security, timeout="30s") as holder:
        assert holder.submit(lambda: 6 * 7).result(timeout=60) == 42
    # Without them: TLS with a key of one's own, or plain TCP to the same port.
    with pytest.raises((OSError, TimeoutError)):
        Client(address, security=Security.temporary(), timeout="5s")
    with pytest.raises((OSError, TimeoutError)):
        Client(address.replace("tls://", "tcp://"), timeout="5s")


def direct_summary(path):
    with meridel.open(path) as acq:
        spectra = list(acq)
        tic = acq.tic()
        levels = {}
        for s in spectra:
            levels[s.ms_level] = levels.get(s.ms_level, 0) + 1
        rts = [s.retention_time_sec for s in spectra]
        return {"source_name": acq.source_name, "instrument": acq.instrument.name, "scans": len(spectra),
                "levels": levels, "rt": (min(rts), max(rts)), "points": sum(len(s) for s in spectra),
                "damaged": sum(s.error is not None for s in spectra),
                "tic_area": float(np.trapz(np.asarray(tic.intensity), np.asarray(tic.rt)))}


def test_summaries_equal_direct_calls_and_failed_runs_are_rows(client, runs, monkeypatch):
    # One path relative to the caller's folder: the workers started elsewhere.
    monkeypatch.chdir(os.path.dirname(runs[0]))
    given = [os.path.basename(runs[0])] + runs[1:]
    with pytest.warns(meridel.DamagedDataWarning, match="damaged.d: 1 of 3 scans is damaged"):
        frame = batch.summaries(given, client=client)
    assert frame["path"].tolist() == given
    assert list(frame.columns) == ["path", "source_name", "instrument", "instrument_accession", "acquired_time",
                                   "scans", "ms1_scans", "ms2_scans", "rt_min_sec", "rt_max_sec", "points",
                                   "tic_area", "damaged_scans", "dropped_bytes", "dropped_records", "warning",
                                   "error"]
    rows = frame.set_index("path")
    for path in runs[:4]:
        expect = direct_summary(path)
        row = rows.loc[given[0] if path == runs[0] else path]
        assert pd_missing(row["error"]), row["error"]
        assert (row["source_name"], row["instrument"], row["scans"], row["points"], row["damaged_scans"]) == \
            (expect["source_name"], expect["instrument"], expect["scans"], expect["points"], expect["damaged"])
        assert (row["ms1_scans"], row["ms2_scans"]) == (expect["levels"].get(1, 0), expect["levels"].get(2, 0))
        assert (row["rt_min_sec"], row["rt_max_sec"]) == expect["rt"]
        assert row["tic_area"] == pytest.approx(expect["tic_area"], rel=1e-12)
    assert rows.loc[runs[3], "damaged_scans"] == 1
    errors = {path: rows.loc[path, "error"] for path in runs[4:]}
    assert errors[runs[4]].startswith("FormatError: ")
    assert errors[runs[5]].startswith("FileNotFoundError: ") and errors[runs[6]].startswith("FileNotFoundError: ")
    assert rows.loc[runs[4:], ["scans", "points", "tic_area", "ms1_scans"]].isna().all().all()


def pd_missing(value):
    return value is None or (isinstance(value, float) and np.isnan(value))


def test_tic_area_is_trapezoids_in_retention_order():
    cases = [
        ([], [], 0.0),
        ([1.0], [5.0], 0.0),
        ([0.0, 2.0], [1.0, 3.0], 4.0),
        ([2.0, 0.0, 1.0], [3.0, 1.0, 2.0], 4.0),           # unsorted input
        ([0.0, float("nan"), 2.0], [1.0, 100.0, 3.0], 4.0),  # a point without a time is left out
    ]
    for rt, intensity, area in cases:
        assert batch.tic_area(rt, intensity) == area, (rt, intensity)


def test_xics_equal_direct_calls(client, runs):
    targets = [110.0, 152.5]
    frame = batch.xics(runs[:4] + runs[-1:], targets, ppm=2000.0, client=client)
    assert list(frame.columns) == batch.XIC_COLUMNS
    for path in runs[:4]:
        with meridel.open(path) as acq:
            expected = acq.xic(targets, ppm=2000.0)
        for chromatogram in expected:
            part = frame[(frame["path"] == path) & (frame["target"] == chromatogram.target)]
            assert part["rt_sec"].tolist() == chromatogram.rt.tolist()
            assert part["intensity"].tolist() == chromatogram.intensity.tolist()
            assert (part["low"].unique().tolist(), part["high"].unique().tolist()) == \
                ([chromatogram.window[0]], [chromatogram.window[1]])
            assert part["error"].isna().all()
    failed = frame[frame["path"] == runs[-1]]
    assert len(failed) == 1 and failed["error"].iloc[0].startswith("FileNotFoundError: ")
    assert failed["target"].isna().all()


def test_bad_arguments_are_refused_before_any_work():
    # No client and no cluster: the checks come first.
    for kwargs, text in [(dict(ppm=5.0, da=0.1), "give ppm or da, not both"),
                         (dict(ppm=0.0), "ppm must be positive"),
                         (dict(da=-1.0), "da must be positive"),
                         (dict(rt_range=(5.0, 1.0)), "rt_range must be"),
                         (dict(ms_level=0), "ms_level must be at least 1")]:
        with pytest.raises(ValueError, match=text):
            batch.xics(["x.d"], [100.0], client="tcp://127.0.0.1:9", **kwargs)
    with pytest.raises(ValueError, match="at least one m/z"):
        batch.xics(["x.d"], [], client="tcp://127.0.0.1:9")
    with pytest.raises(TypeError, match="not a single path"):
        batch.summaries("run.d", client="tcp://127.0.0.1:9")
    # A conversion's arguments are refused as to_mzml and to_mgf refuse them; MGF without
    # a declared member in the words of the converter, spelt for this call.
    for kwargs, kind, text in [
        (dict(format="mgf"), ValueError, "format='mgf' needs precursor_mz='msn_value_1'|'msn_value_2'"),
        (dict(format="xml"), ValueError, "convert() argument 'format' must be 'mzml' or 'mgf', not 'xml'"),
        (dict(top_n=0), ValueError, "convert() argument 'top_n' must be at least 1, not 0"),
        (dict(rt_range=(5.0, 1.0)), ValueError, "convert() argument 'rt_range' must have low <= high"),
        (dict(centroid="yes"), TypeError, "convert() argument 'centroid' must be bool, not str"),
    ]:
        with pytest.raises(kind) as info:
            batch.convert(["x.d"], "out", client="tcp://127.0.0.1:9", **kwargs)
        assert str(info.value).startswith(text), (kwargs, str(info.value))


def test_output_names_and_paths_stay_in_the_output_folder(tmp_path, monkeypatch):
    cases = [("/data/run.d", "run.mzML"), ("../x.d", "x.mzML"), ("../../x.D/", "x.mzML"),
             ("a/b.d.d", "b.d.mzML"), ("plain", "plain.mzML"), (".d", ".d.mzML")]
    for run, name in cases:
        assert batch.output_name(run) == name, run
        assert batch.output_path(str(tmp_path), run) == os.path.join(str(tmp_path), name), run
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "sub")
    assert batch.output_name("..") == tmp_path.name + ".mzML"
    with pytest.raises(ValueError, match="cannot name an output"):
        batch.output_name("/")
    # A name that is a link out of the folder is refused, not written through.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    out = tmp_path / "out"
    out.mkdir()
    os.symlink(elsewhere / "evil.mzML", out / "evil.mzML")
    with pytest.raises(ValueError, match="outside"):
        batch.output_path(str(out), "/runs/evil.d")
    # The folder itself may be a link.
    os.symlink(out, tmp_path / "link")
    assert batch.output_path(str(tmp_path / "link"), "run.d") == str(tmp_path / "link" / "run.mzML")


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, files in os.walk(folder) for f in files)


def test_convert_writes_each_run_once_and_resumes(client, runs, tmp_path):
    out = tmp_path / "out"
    reference = tmp_path / "reference"
    reference.mkdir()
    # Two runs share a name: the later one is refused, and nothing escapes through "..".
    twin = write_acquisition(tmp_path / "elsewhere" / "good0.d", {"scans": scans(3)})
    climbing = os.path.join(os.path.dirname(runs[1]), "..", os.path.basename(os.path.dirname(runs[1])),
                            "good1.d")
    given = runs[:1] + [climbing] + runs[2:] + [twin]
    with pytest.warns(meridel.DamagedDataWarning, match="damaged.d: 1 of 3 scans is damaged"):
        table = batch.convert(given, out, client=client)
    assert table["path"].tolist() == given
    status = dict(zip(table["path"], table["status"]))
    assert [status[p] for p in given[:4]] == ["converted"] * 3 + ["converted with damage"]
    assert [status[p] for p in given[4:]] == ["failed"] * 4
    assert table.loc[table["path"] == twin, "error"].iloc[0] == \
        "ValueError: %s and %s would both write good0.mzML" % (runs[0], twin)
    assert table.loc[table["path"] == runs[6], "error"].iloc[0].startswith("FileNotFoundError: ")
    names = ["good0.mzML", "good1.mzML", "good2.mzML", "damaged.mzML"]
    assert listing(out) == sorted(names)  # no staging, nothing partial, nothing for failed runs
    for path, name in zip(runs[:4], names):
        with meridel.open(path) as acq:
            acq.to_mzml(str(reference / name))
        assert (out / name).read_bytes() == (reference / name).read_bytes(), name
    assert table.loc[table["status"] != "failed", "output"].tolist() == [str(out / n) for n in names]

    # Again: nothing is converted, nothing is touched.
    stamps = {n: os.stat(out / n).st_mtime_ns for n in names}
    again = batch.convert(runs[:4], out, client=client)
    assert again["status"].tolist() == ["skipped"] * 4
    assert {n: os.stat(out / n).st_mtime_ns for n in names} == stamps
    # Asked to redo: written anew, to the same bytes.
    os.truncate(out / names[0], 10)
    redone = batch.convert(runs[:1], out, redo=True, client=client)
    assert redone["status"].tolist() == ["converted"]
    assert (out / names[0]).read_bytes() == (reference / names[0]).read_bytes()
    assert listing(out) == sorted(names)


def scheduler_args(client, folder):
    """--scheduler and the TLS options that reach the module's local cluster: its
    credentials, which exist only in this process, written to files for the command."""
    names = {"--tls-ca-file": client.security.tls_ca_file, "--tls-cert": client.security.tls_client_cert,
             "--tls-key": client.security.tls_client_key}
    args = ["--scheduler", client.scheduler.address]
    for option, pem in names.items():
        path = os.path.join(str(folder), option.strip("-") + ".pem")
        with open(path, "w") as f:
            f.write(pem)
        args += [option, path]
    return args


def run_cli(*args, cwd=None):
    proc = subprocess.run([sys.executable, "-m", "meridel.batch_cli", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=600)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def test_cli_tables_and_exit_statuses(client, runs, tmp_path):
    # Its own local cluster: one run fails, so the status is 1; CSV and JSON agree.
    rc, out, err = run_cli("summary", runs[0], runs[-1], "--cluster", "--workers", "1", "-o", str(tmp_path / "s.csv"),
                           "--json", str(tmp_path / "s.json"))
    assert rc == 1, err
    assert "%s: FileNotFoundError: " % runs[-1] in err and out == ""
    rows = list(csv.DictReader(open(tmp_path / "s.csv")))
    records = json.load(open(tmp_path / "s.json"))
    assert [r["path"] for r in rows] == [r["path"] for r in records] == [runs[0], runs[-1]]
    assert int(rows[0]["scans"]) == records[0]["scans"] == 9 and rows[0]["error"] == ""
    assert records[1]["scans"] is None and records[1]["error"].startswith("FileNotFoundError")

    # Through a running scheduler; every run succeeds: status 0, the table on standard output.
    scheduler = scheduler_args(client, tmp_path)
    rc, out, err = run_cli("xic", runs[0], runs[1], "--mz", "110", "--ppm", "2000", *scheduler)
    assert rc == 0, err
    table = list(csv.DictReader(io.StringIO(out)))
    assert {r["path"] for r in table} == {runs[0], runs[1]} and all(r["error"] == "" for r in table)


    # Usage errors: status 2, before any cluster starts.
    for args, text in [(["summary", "x.d", "--tls-cert", "c.pem"], "go together"),
                       (["summary", "x.d", "--workers", "0"], "at least 1"),
                       (["summary", "x.d", "--workers", "2", *scheduler], "a scheduler brings its own workers"),
                       (["summary", "x.d", "--local", *scheduler], "--local and --cluster are for this machine"),
                       (["xic", "x.d", "--mz", "100", "--ppm", "-1", *scheduler], "ppm must be positive"),
                       (["convert", "x.d"], "--out-dir")]:
        rc, out, err = run_cli(*args)
        assert rc == 2 and text in err, (args, err)


def test_cli_convert_options(client, tmp_path):
    # Usage errors of the conversion options: status 2, before any cluster is started or reached.
    run = write_acquisition(tmp_path / "envelope.d", ENVELOPE)
    convert = ["convert", run, "--out-dir", str(tmp_path / "out")]
    for args, text in [
        (["--format", "mgf"], "--format mgf needs --precursor-mz msn_value_1|msn_value_2"),
        (["--format", "mgf", "--scheduler", "tcp://127.0.0.1:9"], "--format mgf needs --precursor-mz"),
        (["--precursor-mz", "msn_value_3"], "invalid choice: 'msn_value_3'"),
        (["--top-n", "0"], "--top-n must be at least 1"),
        (["--min-intensity", "nan"], "--min-intensity must be a finite number"),
        (["--rt-range", "9", "1"], "--rt-range needs finite LOW <= HIGH"),
    ]:
        rc, out, err = run_cli(*convert, *args)
        assert rc == 2 and text in err, (args, err)
    assert not (tmp_path / "out").exists()
    # Every option reaches the writer: the file is the one the direct call writes.
    scheduler = scheduler_args(client, tmp_path)
    rc, out, err = run_cli(*convert, "--format", "mgf", "--precursor-mz", "msn_value_1", "--centroid",
                           "--top-n", "2", "--min-intensity", "100", "--ms-level", "2", "--rt-range", "0", "100",
                           *scheduler)
    assert rc == 0, err
    assert [r["status"] for r in csv.DictReader(io.StringIO(out))] == ["converted"]
    with meridel.open(run, precursor_mz="msn_value_1") as acq:
        acq.to_mgf(tmp_path / "direct.mgf", centroid=True, top_n=2, min_intensity=100.0, ms_level=2,
                   rt_range=(0.0, 100.0))
    assert (tmp_path / "out" / "envelope.mgf").read_bytes() == (tmp_path / "direct.mgf").read_bytes()


def test_cli_convert_statuses(client, runs, tmp_path):
    scheduler = scheduler_args(client, tmp_path)
    rc, out, err = run_cli("convert", runs[0], "--out-dir", str(tmp_path / "mz"), *scheduler)
    assert rc == 0, err
    assert [r["status"] for r in csv.DictReader(io.StringIO(out))] == ["converted"]
    # A skipped run succeeded; a run that cannot be read did not.
    rc, out, err = run_cli("convert", runs[0], runs[4], "--out-dir", str(tmp_path / "mz"), *scheduler,
                           "--json", str(tmp_path / "table.json"))
    assert rc == 1 and [r["status"] for r in csv.DictReader(io.StringIO(out))] == ["skipped", "failed"]
    assert [r["status"] for r in json.load(open(tmp_path / "table.json"))] == ["skipped", "failed"]


# ---------------------------------------------------------------------------------------
# In this process or on a cluster

def without_damage_warnings(call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", meridel.DamagedDataWarning)
        return call()


def test_in_process_and_cluster_give_the_same_tables(client, runs, tmp_path):
    for call in (lambda **where: batch.summaries(runs, salvage=True, **where),
                 lambda **where: batch.xics(runs, [110.0, 152.5], ppm=2000.0, ms_level=None, **where)):
        pd.testing.assert_frame_equal(without_damage_warnings(lambda: call(local=True)),
                                      without_damage_warnings(lambda: call(client=client)))
    tables = [without_damage_warnings(lambda: batch.convert(runs, tmp_path / name, salvage=True, **where))
              for name, where in (("here", dict(local=True)), ("there", dict(client=client)))]
    same = [c for c in batch.CONVERT_COLUMNS if c not in ("output", "seconds")]
    pd.testing.assert_frame_equal(tables[0][same], tables[1][same])
    assert listing(tmp_path / "here") == listing(tmp_path / "there")
    for name in listing(tmp_path / "here"):
        assert (tmp_path / "here" / name).read_bytes() == (tmp_path / "there" / name).read_bytes(), name


def test_small_batches_start_no_cluster(runs, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("a local cluster was started")
    monkeypatch.setattr(batch, "_local_cluster", refuse)
    # The runs' AcqData files, in all; a missing run counts nothing.
    size = sum(os.path.getsize(os.path.join(r, "AcqData", f)) for r in runs[:2]
               for f in os.listdir(os.path.join(r, "AcqData")))
    assert batch.input_size(runs[:2] + runs[-2:]) == size
    assert batch.summaries(runs[:2])["scans"].tolist() == [9, 12]
    # Above the limit, or asked for, a local cluster is started.
    monkeypatch.setattr(batch, "LOCAL_LIMIT", size - 1)
    for local in (False, None):
        with pytest.raises(AssertionError, match="a local cluster was started"):
            batch.summaries(runs[:2], **({} if local is None else {"local": local}))
    assert batch.summaries(runs[:2], local=True, workers=1)["scans"].tolist() == [9, 12]
    with pytest.raises(ValueError, match="local=True runs the batch in this process; it takes no client"):
        batch.summaries(runs[:1], "tcp://127.0.0.1:9", local=True)


# ---------------------------------------------------------------------------------------
# Damaged scans and salvaged runs

def test_damage_and_salvage_are_counted_and_warned(runs, tmp_path):
    good, damaged, cut = runs[0], runs[3], runs[4]
    with pytest.warns(meridel.DamagedDataWarning, match="salvaged a cut scan index"), \
            meridel.open(cut, salvage=True) as acq:
        dropped = [0, acq.salvaged.bytes_dropped, acq.salvaged.records_dropped]
    out = tmp_path / "a" / "b"  # missing, parents too: made as mkdir -p makes them
    with pytest.warns(meridel.DamagedDataWarning) as caught:
        table = batch.convert([good, damaged, cut], out, salvage=True)
    assert table["status"].tolist() == ["converted"] + ["converted with damage"] * 2
    assert table["output"].tolist() == [str(out / n) for n in ("good0.mzML", "damaged.mzML", "cut.mzML")]
    assert table[batch.DAMAGE_COLUMNS].values.tolist() == [[0, 0, 0], [1, 0, 0], dropped]
    told = [str(w.message) for w in caught if issubclass(w.category, meridel.DamagedDataWarning)]
    assert [t.split(": ", 2)[:2] for t in told] == [[damaged, "1 of 3 scans is damaged and holds no data in this "
                                                     "result"], [cut, "salvaged a cut scan index"]]
    assert table["warning"].tolist()[1:] == [t.split(": ", 1)[1] for t in told]
    # The same counts in the other tables.
    frame = without_damage_warnings(lambda: batch.summaries([damaged, cut], salvage=True))
    assert frame[batch.DAMAGE_COLUMNS].values.tolist() == [[1, 0, 0], dropped]
    frame = without_damage_warnings(lambda: batch.xics([damaged], [120.0], ms_level=None))
    assert frame["damaged_scans"].tolist() == [1, 1, 1] and frame["intensity"].tolist() == [3.0, 0.0, 5.0]


def test_the_output_folder_rule(runs, tmp_path):
    # As corvane-convert -o DIR/: refused inside an acquisition, not made there; a folder
    # that cannot be made fails every run, names no output, and nothing is converted.
    (tmp_path / "file").write_text("")
    for out, error in [(tmp_path / "file" / "out", "NotADirectoryError: cannot create the folder %s: Not a directory"
                        % (tmp_path / "file" / "out")),
                       (os.path.join(runs[1], "out"), "ValueError: %s lies inside the acquisition %s: refused, "
                        "nothing is written there" % (os.path.join(runs[1], "out"), runs[1]))]:
        table = batch.convert(runs[:2], out)
        assert table["status"].tolist() == ["failed"] * 2 and table["error"].tolist() == [error] * 2
        assert table["output"].isna().all() and not os.path.exists(out)


# ---------------------------------------------------------------------------------------
# The command line

def test_cli_xic_targets_and_levels(runs, tmp_path):
    # Several values after --mz, --mz repeated and a file of them: the same table, every
    # MS level when --ms-level is left out.
    targets = tmp_path / "targets.txt"
    targets.write_text("# targets\n110\n\n152.5  # a fragment\n")
    expected = batch.xics(runs[:1], [110.0, 152.5], ppm=2000.0, ms_level=None)
    assert set(expected["rt_sec"]) != set(batch.xics(runs[:1], [110.0], ppm=2000.0)["rt_sec"])
    for given in (["--mz", "110", "152.5"], ["--mz", "110", "--mz", "152.5"], ["--mz-file", str(targets)]):
        rc, out, err = run_cli("xic", runs[0], *given, "--ppm", "2000")
        assert rc == 0, err
        pd.testing.assert_frame_equal(pd.read_csv(io.StringIO(out)), expected, check_dtype=False)
    targets.write_text("110\n# fine\nabc\n")
    for args, text in [(["--mz-file", str(targets)], "%s:3: not a positive m/z: 'abc'" % targets),
                       (["--mz-file", str(tmp_path / "no.txt")], "--mz-file %s: No such file" % (tmp_path / "no.txt")),
                       (["--mz", "-5"], "not a positive m/z: '-5'")]:
        rc, out, err = run_cli("xic", runs[0], *args)
        assert rc == 2 and text in err and out == "", (args, err)


def test_cli_damage_exit_statuses_and_tables(runs, tmp_path):
    good, damaged, cut, missing = runs[0], runs[3], runs[4], runs[-1]
    # Damage: status 3 and one warning line; paths absolute though given relative.
    rc, out, err = run_cli("summary", "good0.d", "damaged.d", cwd=os.path.dirname(good))
    assert rc == 3, err
    assert [r["path"] for r in csv.DictReader(io.StringIO(out))] == [good, damaged]
    assert err.splitlines() == ["corvane-batch: warning: %s: 1 of 3 scans is damaged and holds no data in this "
                                "result: scanId=2: %s" % (damaged, err.split("scanId=2: ", 1)[1].rstrip("\n"))]
    # A failure wins over damage: 1; the failed row names no output.
    out_dir = tmp_path / "x" / "y"
    rc, out, err = run_cli("convert", good, damaged, missing, "--out-dir", str(out_dir))
    assert rc == 1, err
    assert [(r["status"], r["output"], r["damaged_scans"]) for r in csv.DictReader(io.StringIO(out))] == [
        ("converted", str(out_dir / "good0.mzML"), "0"), ("converted with damage", str(out_dir / "damaged.mzML"), "1"),
        ("failed", "", "")]
    # A cut run: fails without --salvage, is read with it (status 3).
    for salvage, status in [([], 1), (["--salvage"], 3)]:
        rc, out, err = run_cli("xic", cut, "--mz", "110", "--ppm", "2000", *salvage)
        assert rc == status, err
    assert "corvane-batch: warning: %s: salvaged a cut scan index: kept " % cut in err
    assert {r["dropped_records"] for r in csv.DictReader(io.StringIO(out))} == {"1"}


def test_cli_numpress(runs, tmp_path):
    rc, out, err = run_cli("convert", runs[0], "--out-dir", str(tmp_path), "--compression", "numpress")
    assert rc == 0, err
    with meridel.open(runs[0]) as acq:
        acq.to_mzml(str(tmp_path / "direct.mzML"), compression="numpress")
    assert (tmp_path / "good0.mzML").read_bytes() == (tmp_path / "direct.mzML").read_bytes()


# A missing package, as pip would leave it: one line naming the extra, no traceback; tqdm
# is only the progress bar, so without it there is no bar and no error.
HIDE = "import sys; sys.modules[%r] = None; "


@pytest.mark.parametrize("package, named", [("distributed", "dask.distributed"), ("pandas", "pandas")])
def test_missing_packages_are_one_line(runs, package, named):
    line = "corvane-batch needs %s: pip install 'corvane[batch]'" % named
    command = HIDE % package + "from meridel.batch_cli import main; sys.exit(main(sys.argv[1:]))"
    proc = subprocess.run([sys.executable, "-c", command, "summary", runs[0]], capture_output=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr.decode()) == (2, b"", line + "\n")
    proc = subprocess.run([sys.executable, "-c", HIDE % package + "import meridel.batch"], capture_output=True,
                          timeout=120)
    assert proc.returncode == 1 and proc.stderr.decode().splitlines()[-1] == "ImportError: " + line


def test_without_tqdm_there_is_no_bar_and_no_error(runs):
    command = HIDE % "tqdm" + "from meridel import batch; print(batch.summaries(sys.argv[1:], progress=True).scans[0])"
    proc = subprocess.run([sys.executable, "-c", command, runs[0]], capture_output=True, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"9\n", b"")


# ---------------------------------------------------------------------------------------
# Scripts that worker processes import again

CALL = "batch.summaries([%r], local=%s)"


@pytest.mark.parametrize("body, local, refused", [
    ("{call}", True, True),
    ("def main():\n    {call}\n\nmain()", False, True),
    ("def main():\n    {call}\n\nif '__main__' == __name__ and True:\n    main()", True, False),
])
def test_a_call_outside_the_main_guard_is_refused(runs, tmp_path, body, refused, local):
    # Refused before any worker process starts, whichever way the batch would run: a
    # script must not break only once its batch outgrows this process.
    script = tmp_path / "script.py"
    script.write_text("from meridel import batch\n\n" + body.format(call=CALL % (runs[0], local)) + "\n")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, timeout=300)
    err = proc.stderr.decode()
    assert proc.returncode == refused, err
    if refused:
        assert err.count("Traceback") == 1 and err.splitlines()[-1] == "RuntimeError: " + batch._GUARD_MESSAGE


def test_a_spawned_child_importing_the_main_module_is_refused(runs, tmp_path):
    # The call runs only where the main module is imported again (named __mp_main__).
    script = tmp_path / "script.py"
    script.write_text("import multiprocessing\nfrom meridel import batch\n\n"
                      "if __name__ != '__main__':\n    %s\n\n" % (CALL % (runs[0], True)) +
                      "if __name__ == '__main__':\n"
                      "    child = multiprocessing.get_context('spawn').Process(target=print)\n"
                      "    child.start()\n    child.join()\n    print(child.exitcode)\n")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, timeout=300)
    assert (proc.returncode, proc.stdout) == (0, b"1\n")
    assert proc.stderr.decode().splitlines()[-1] == "RuntimeError: " + batch._GUARD_MESSAGE
