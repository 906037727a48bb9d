"""corvane-convert as a command: where files go, what it refuses, what it leaves behind."""

import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("CORVANE_BUILD", Path(__file__).resolve().parents[2] / "build"))
CONVERT = BUILD / "tools" / "corvane-convert"
FIXTURE = BUILD / "tests" / "corvane-fixture"
# The project's version, as CMake hands it to the build.
VERSION = re.search(r'^version = "([^"]+)"',
                    (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(), re.M).group(1)

MGF_NEEDS_A_MEMBER = ("--format mgf needs --precursor-mz msn_value_1|msn_value_2: the scan index does not say "
                      "which member holds the precursor m/z; corvane-info --precursor-evidence RUN.d shows which "
                      "one matches the MS1 data")
RT_RANGE = "--rt-range needs two numbers of seconds, LOW HIGH, with LOW no more than HIGH"

SMALL = {
    "stride": 284,
    "scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
         "profile": {"intensities": [0, 5, 10, 3, 0]}},
        {"scan_id": 2, "rt_min": 0.6, "ms_level": 2, "msn_value_1": 500.2, "msn_value_2": 2.0,
         "peaks": {"format": 3, "mz": [150.1, 250.2], "intensity": [10.0, 20.0]}},
    ],
}


def run(*args, **kw):
    return subprocess.run([str(CONVERT), *map(str, args)], capture_output=True, text=True, **kw)


def make(path, description=SMALL):
    result = subprocess.run([str(FIXTURE), str(path)], input=json.dumps(description), capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return path


def tree(root):
    """Every path below root with its size and modification time."""
    return {
        str(p.relative_to(root)): (p.stat().st_size, p.stat().st_mtime_ns) if p.is_file() else None
        for p in sorted(Path(root).rglob("*"))
    }


def one_error_line(result, status=1):
    assert result.returncode == status, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane-convert: "), result.stderr
    assert result.stdout == ""
    return lines[0]


def test_default_output_sits_beside_the_input(tmp_path):
    acq = make(tmp_path / "run.d")
    before = tree(acq)
    result = run(str(acq) + "/")
    assert result.returncode == 0 and result.stderr == "" and result.stdout == ""
    out = tmp_path / "run.mzML"
    assert out.read_bytes().startswith(b"<?xml")
    assert f'<software id="corvane" version="{VERSION}">' in out.read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.d", "run.mzML"]
    assert tree(acq) == before  # the acquisition is only read
    umask = os.umask(0)
    os.umask(umask)
    assert out.stat().st_mode & 0o777 == 0o666 & ~umask  # not the temporary file's 0600


def test_existing_output_is_kept_unless_forced(tmp_path):
    acq = make(tmp_path / "run.d")
    out = tmp_path / "run.mzML"
    out.write_text("precious")
    line = one_error_line(run(acq))
    assert line == f"corvane-convert: {out}: already exists (--force replaces it)"
    assert out.read_text() == "precious"

    assert run("--force", acq).returncode == 0
    assert out.read_bytes().startswith(b"<?xml")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.d", "run.mzML"]


@pytest.mark.parametrize(
    "name,args,message",
    [
        ("not an acquisition", ["{tmp}/empty"], "{tmp}/empty: cannot open as an acquisition: "
                                                "a directory without AcqData inside, not an acquisition directory"),
        ("missing input", ["{tmp}/nothing.d"], "{tmp}/nothing.d: cannot open as an acquisition: "
                                               "no such file or directory"),
        ("a plain file", ["{tmp}/afile"], "{tmp}/afile: cannot open as an acquisition: "
                                          "a file, not an acquisition directory (a run.d folder with AcqData inside)"),
        ("no scan index", ["{tmp}/noindex.d"], "{tmp}/noindex.d: cannot open as an acquisition: "
                                               "I/O error: No such file or directory (os error 2)"),
        ("missing output folder", ["{tmp}/run.d", "-o", "{tmp}/missing/out.mzML"],
         "{tmp}/missing: cannot create a file there: No such file or directory"),
        ("output folder is a file", ["{tmp}/run.d", "-o", "{tmp}/afile/out.mzML"],
         "{tmp}/afile: cannot create a file there: Not a directory"),
        ("new output folder below a file", ["{tmp}/run.d", "-o", "{tmp}/afile/new/"],
         "{tmp}/afile/new/: cannot create the folder: Not a directory"),
        ("new output folder inside the acquisition", ["{tmp}/run.d", "-o", "{tmp}/run.d/AcqData/new/"],
         "{tmp}/run.d/AcqData/new/: inside the acquisition {tmp}/run.d, which is never written to"),
        ("output is a folder's name", ["{tmp}/run.d", "-o", "{tmp}/run.d/AcqData/MSScan.bin"],
         "{tmp}/run.d/AcqData/MSScan.bin: inside the acquisition {tmp}/run.d, which is never written to"),
        ("output inside the acquisition", ["{tmp}/run.d", "-o", "{tmp}/run.d/"],
         "{tmp}/run.d/run.mzML: inside the acquisition {tmp}/run.d, which is never written to"),
        ("output through a link into it", ["{tmp}/run.d", "-o", "{tmp}/link/x.mzML"],
         "{tmp}/link/x.mzML: inside the acquisition {tmp}/run.d, which is never written to"),
    ],
)
def test_bad_input_leaves_nothing_behind(tmp_path, name, args, message):
    make(tmp_path / "run.d")
    (tmp_path / "empty").mkdir()
    (tmp_path / "noindex.d" / "AcqData").mkdir(parents=True)
    (tmp_path / "afile").write_text("x")
    (tmp_path / "link").symlink_to(tmp_path / "run.d" / "AcqData")
    before = tree(tmp_path)
    line = one_error_line(run(*(a.format(tmp=tmp_path) for a in args)))
    assert line == "corvane-convert: " + message.format(tmp=tmp_path)
    assert tree(tmp_path) == before


@pytest.mark.parametrize(
    "args,message",
    [
        ([], "no input acquisition given (--help for usage)"),
        (["--frobnicate", "a.d"], "unknown option --frobnicate (--help for usage)"),
        (["--jobs", "0", "a.d"], "--jobs needs a whole number of 1 or more (--help for usage)"),
        (["-j", "2x", "a.d"], "--jobs needs a whole number of 1 or more (--help for usage)"),
        (["--threads", "0", "a.d"], "--threads needs a whole number of 1 or more (--help for usage)"),
        (["-t", "", "a.d"], "--threads needs a whole number of 1 or more (--help for usage)"),
        (["a.d", "--threads"], "--threads needs a whole number of 1 or more (--help for usage)"),
        (["a.d", "-o"], "-o needs a file or folder (--help for usage)"),
        (["--format", "xml", "a.d"], "--format needs one of: mzml, mgf (not 'xml') (--help for usage)"),
        (["a.d", "--format"], "--format needs one of: mzml, mgf (not '') (--help for usage)"),
        (["--format", "mgf", "a.d"], MGF_NEEDS_A_MEMBER + " (--help for usage)"),
        (["--precursor-mz", "msn_value_3", "a.d"],
         "--precursor-mz needs msn_value_1 or msn_value_2 (not 'msn_value_3') (--help for usage)"),
        (["--ms-level", "0", "a.d"], "--ms-level needs a whole number of 1 or more (--help for usage)"),
        (["--rt-range", "10", "5", "a.d"], RT_RANGE + " (--help for usage)"),
        (["--rt-range", "1", "inf", "a.d"], RT_RANGE + " (--help for usage)"),
        (["--top-n", "0", "a.d"], "--top-n needs a whole number of 1 or more (--help for usage)"),
        (["--min-intensity", "-1", "a.d"], "--min-intensity needs a finite number of 0 or more (--help for usage)"),
        (["a.d", "b.d", "-o", "{tmp}/out.mzML"],
         "{tmp}/out.mzML: not a folder; several inputs need an output folder (an existing one, or a path "
         "ending in / to make one)"),
        (["x/run.d", "y/run.d", "-o", "."], "x/run.d and y/run.d would both write ./run.mzML"),
        (["x/run.d", "x/run.d/"], "x/run.d and x/run.d/ would both write x/run.mzML"),
    ],
)
def test_usage_errors(tmp_path, args, message):
    line = one_error_line(run(*(a.format(tmp=tmp_path) for a in args), cwd=tmp_path), status=2)
    assert line == "corvane-convert: " + message.format(tmp=tmp_path)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args", [["-h"], ["--help"], ["a.d", "--help", "-o", "x"]])
def test_help_explains_every_option_and_the_exit_statuses(tmp_path, args):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    text = result.stdout
    assert text.startswith("usage: corvane-convert [options] INPUT.d... [-o OUT]\n")
    lines = text.splitlines()
    for option in ["-o, --output OUT", "--format NAME", "--centroid", "--precursor-mz MEMBER", "--ms-level N",
                   "--rt-range LOW HIGH", "--top-n N", "--min-intensity X", "-j, --jobs N", "-t, --threads N",
                   "--numpress", "--zlib-level N", "--no-compression", "--no-index", "-f, --force",
                   "--strict", "--salvage", "-q, --quiet", "-h, --help", "--version", "--"]:
        explained = [line for line in lines if re.match(rf"\s+{re.escape(option)}\s{{2,}}\S", line)]
        assert len(explained) == 1, option
    # Numpress output and the readers that take it.
    assert "OpenMS reads them; Debian's pymzml 2.5 does\n" in text
    statuses = lines[lines.index("Exit status:") + 1:]
    assert [line.split()[0] for line in statuses if not line.startswith("   ")] == ["0", "1", "2", "3", "128+N"]
    assert list(tmp_path.iterdir()) == []


def test_a_missing_output_folder_ending_in_a_slash_is_made(tmp_path):
    first = make(tmp_path / "in" / "a.d")
    second = make(tmp_path / "in" / "b.d")
    # One level, and several at once (as mkdir -p), for one input and for several.
    for out, inputs in ((tmp_path / "one", [first]), (tmp_path / "x" / "y" / "z", [first, second])):
        result = run(*inputs, "-o", str(out) + "/")
        assert (result.returncode, result.stderr) == (0, ""), out
        assert sorted(p.name for p in out.iterdir()) == sorted(Path(i).stem + ".mzML" for i in inputs)
    # Without the slash a missing path is a file name, as before.
    result = run(first, "-o", tmp_path / "plain")
    assert result.returncode == 0 and (tmp_path / "plain").is_file()


def test_version(tmp_path):
    result = run("--version", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"corvane-convert {VERSION}\n", "")


def test_jobs_convert_several_inputs_as_one_at_a_time_would(tmp_path):
    inputs = []
    for i in range(3):
        description = json.loads(json.dumps(SMALL))
        description["scans"][0]["profile"]["intensities"].append(i)
        inputs.append(make(tmp_path / "in" / f"run{i}.d", description))
    (tmp_path / "one").mkdir()
    (tmp_path / "two").mkdir()
    for i in inputs:
        assert run(i, "-o", tmp_path / "one").returncode == 0
    result = run("--jobs", "2", *inputs, tmp_path / "in" / "bad.d", "-o", tmp_path / "two")
    line = one_error_line(result)
    assert "bad.d: cannot open as an acquisition" in line
    names = sorted(p.name for p in (tmp_path / "two").iterdir())
    assert names == ["run0.mzML", "run1.mzML", "run2.mzML"]
    for name in names:
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()


def test_format_mzml_is_the_default(tmp_path):
    acq = make(tmp_path / "run.D")
    outputs = []
    for args in ([], ["--format", "mzml"], ["--format=MZML"]):
        out = tmp_path / ("out%d" % len(outputs))
        out.mkdir()
        result = run(acq, "-o", str(out) + "/", *args)
        assert result.returncode == 0, result.stderr
        assert [p.name for p in out.iterdir()] == ["run.mzML"]  # X.D -> X.mzML, as X.d
        outputs.append((out / "run.mzML").read_bytes())
    assert outputs[0] == outputs[1] == outputs[2]


def test_every_thread_count_writes_the_same_file(tmp_path):
    acq = make(tmp_path / "run.d", big_acquisition_description(40))
    for flags in ([], ["--no-compression"], ["--numpress"], ["--no-index"]):
        outputs = set()
        for threads in ("1", "2", "3"):
            out = tmp_path / f"t{threads}.mzML"
            result = run("--force", "--threads", threads, *flags, acq, "-o", out)
            assert result.returncode == 0, result.stderr
            outputs.add(out.read_bytes())
        assert len(outputs) == 1, flags


def test_numpress_is_smaller_and_says_so(tmp_path):
    acq = make(tmp_path / "run.d", big_acquisition_description(20))
    assert run(acq, "-o", tmp_path / "zlib.mzML").returncode == 0
    assert run("--numpress", acq, "-o", tmp_path / "np.mzML").returncode == 0
    text = (tmp_path / "np.mzML").read_text()
    assert text.count('accession="MS:1002746"') == 21 and text.count('accession="MS:1002748"') == 21
    assert (tmp_path / "np.mzML").stat().st_size < 0.6 * (tmp_path / "zlib.mzML").stat().st_size


def test_no_index_and_no_compression_change_only_the_encoding(tmp_path):
    acq = make(tmp_path / "run.d")
    plain = tmp_path / "plain.mzML"
    assert run("--no-index", "--no-compression", acq, "-o", plain).returncode == 0
    text = plain.read_text()
    assert text.startswith('<?xml version="1.0" encoding="utf-8"?>\n<mzML ')
    assert "indexedmzML" not in text and "<fileChecksum>" not in text
    assert "MS:1000576" in text and "MS:1000574" not in text


def with_fault(fault):
    """The environment of a run whose Nth pass through a fault site fails (SITE:N)."""
    return {**os.environ, "CORVANE_CONVERT_FAULT": fault}


NO_THREAD = "cannot start a thread: Resource temporarily unavailable"


@pytest.mark.parametrize(
    "fault,message",
    [
        ("thread:1", NO_THREAD),  # the writing thread
        ("thread:2", NO_THREAD),  # the hashing thread
        ("thread:3", NO_THREAD),  # the first encoding thread
        ("thread:4", NO_THREAD),  # the second
        ("compress:1", "compression failed: out of memory"),
        ("write:1", "write failed: out of memory"),
        ("hash:1", "checksum failed: out of memory"),
    ],
)
def test_a_failure_in_a_thread_fails_the_input_and_leaves_nothing(tmp_path, fault, message):
    acq = make(tmp_path / "run.d")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    line = one_error_line(run("--threads", "2", acq, "-o", out_dir, env=with_fault(fault)))
    assert line == f"corvane-convert: {out_dir / 'run.mzML'}: {message}"
    assert list(out_dir.iterdir()) == []


def test_a_worker_that_cannot_start_is_reported_and_the_others_convert_everything(tmp_path):
    inputs = [make(tmp_path / f"run{i}.d") for i in range(3)]
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    line = one_error_line(run("--jobs", "3", *inputs, "-o", out_dir, env=with_fault("thread:2")))
    assert line == f"corvane-convert: {NO_THREAD}"
    assert sorted(p.name for p in out_dir.iterdir()) == ["run0.mzML", "run1.mzML", "run2.mzML"]


def test_a_progress_line_that_cannot_start_is_reported(tmp_path):
    acq = make(tmp_path / "run.d")
    status, text = run_on_terminal([acq, "-o", tmp_path / "run.mzML"], env=with_fault("thread:1"))
    assert status == 1
    assert text == f"corvane-convert: {NO_THREAD}\r\n"
    assert (tmp_path / "run.mzML").read_bytes().startswith(b"<?xml")


def big_acquisition_description(count, size=8000):
    """count profile scans of size points."""
    points = [(i * 7919) % 65536 for i in range(size)]
    return {"stride": 284, "scans": [
        {"scan_id": i + 1, "rt_min": i / 100, "ms_level": 1, "mz_first": 100.0, "mz_last": 2000.0,
         "profile": {"intensities": points[i:] + points[:i]}} for i in range(count)]}


def big_acquisition(path):
    """Enough data that a conversion takes a while: 300 profile scans of 8,000 points."""
    points = [(i * 7919) % 65536 for i in range(8000)]
    scans = [
        {"scan_id": i + 1, "rt_min": i / 100, "ms_level": 1, "mz_first": 100.0, "mz_last": 2000.0,
         "profile": {"intensities": points}}
        for i in range(300)
    ]
    return make(path, {"stride": 284, "scans": scans})


def run_on_terminal(args, env=None):
    """Runs the converter with standard error on a pseudo-terminal; returns (status, text)."""
    leader, follower = pty.openpty()
    proc = subprocess.Popen([str(CONVERT), *map(str, args)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=follower, env=env)
    os.close(follower)
    chunks = []
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        if not ready:
            break
        try:
            data = os.read(leader, 4096)
        except OSError:  # the other side closed
            break
        if not data:
            break
        chunks.append(data)
    os.close(leader)
    return proc.wait(), b"".join(chunks).decode()


def test_progress_only_on_a_terminal(tmp_path):
    acq = big_acquisition(tmp_path / "big.d")
    status, text = run_on_terminal([acq, "-o", tmp_path / "a.mzML"])
    assert status == 0
    assert "scans" in text and "MB/s" in text and "left" in text
    assert text.endswith("\r\033[K")  # the line is cleared when done

    status, text = run_on_terminal(["--quiet", acq, "-o", tmp_path / "b.mzML"])
    assert status == 0 and text == ""

    result = run(acq, "-o", tmp_path / "c.mzML")
    assert result.returncode == 0 and result.stderr == ""


def paused_at_the_temporary_file(fifo, alive):
    """The "<pid> <temporary file>" line that the output layer writes to the FIFO named by
    CORVANE_OUTPUT_PAUSE once the temporary file exists (its process stops itself right
    after). alive() says whether the writer can still get there."""
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        data = b""
        while not data.endswith(b"\n"):
            ready, _, _ = select.select([fd], [], [], 1.0)
            if ready:
                chunk = os.read(fd, 4096)
                data += chunk
                if not chunk and data:
                    break
            else:
                assert alive(), "the writer ended without reaching its temporary file"
        pid, temporary = data.decode().rstrip("\n").split(" ", 1)
        return int(pid), temporary
    finally:
        os.close(fd)


def test_interrupt_leaves_no_half_file(tmp_path):
    acq = big_acquisition(tmp_path / "big.d")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    fifo = tmp_path / "pause"
    os.mkfifo(fifo)
    # The converter stops itself once its temporary file exists: it is interrupted there,
    # whatever the machine's speed.
    proc = subprocess.Popen([str(CONVERT), str(acq), "-o", str(out_dir / "big.mzML")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, "CORVANE_OUTPUT_PAUSE": str(fifo)})
    pid, temporary = paused_at_the_temporary_file(fifo, lambda: proc.poll() is None)
    assert pid == proc.pid
    _, status = os.waitpid(proc.pid, os.WUNTRACED)
    assert os.WIFSTOPPED(status)
    assert [p.name for p in out_dir.iterdir()] == [os.path.basename(temporary)]
    assert os.path.basename(temporary).startswith(".big.mzML.")
    proc.send_signal(signal.SIGINT)
    proc.send_signal(signal.SIGCONT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 128 + signal.SIGINT
    assert err == "corvane-convert: interrupted; no partial output left\n"
    assert list(out_dir.iterdir()) == []


def cut_profile_file(acq, scans=8):
    """An acquisition of `scans` profile scans whose MSProfile.bin lost its second half, as
    an interrupted copy leaves it. Returns (path, native ids of the scans whose block is
    past the cut, the error of the first of them)."""
    make(acq, {"stride": 284, "scans": [
        {"scan_id": 10 + i, "rt_min": i / 10, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
         "profile": {"intensities": [(i * 31 + j * 7) % 1000 for j in range(50)]}} for i in range(scans)]})
    profile = acq / "AcqData" / "MSProfile.bin"
    cut = profile.stat().st_size // 2
    os.truncate(profile, cut)
    index = (acq / "AcqData" / "MSScan.bin").read_bytes()
    damaged, first_error = [], None
    for i in range(scans):
        _, offset, count, _ = struct.unpack_from("<IQII", index, 92 + 284 * i + 156)
        if offset + count > cut:
            damaged.append(f"scanId={10 + i}")
            if first_error is None:
                first_error = (f"parse error: read_bytes: requested {count} bytes at offset {offset} but "
                               f"{profile} has only {max(cut - offset, 0)} bytes remaining")
    return acq, damaged, first_error


def test_damaged_scans_are_written_and_reported(tmp_path):
    acq, damaged, error = cut_profile_file(tmp_path / "run.d")
    assert len(damaged) == 4
    out = tmp_path / "run.mzML"
    result = run(acq, "-o", out)
    line = one_error_line(result, status=3)
    assert line == (f"corvane-convert: warning: {acq}: 4 scans could not be read and were written without data: "
                    f"{', '.join(damaged)}; first error: {error}")
    text = out.read_text()
    assert text.count('<userParam name="corvane:data block error" value="parse error: read_bytes: ') == 4
    assert text.count('defaultArrayLength="0"') == 4 and text.count("<spectrum ") == 8

    # Beyond five, the rest are counted; one damaged scan reads in the singular.
    many, damaged, error = cut_profile_file(tmp_path / "many.d", scans=16)
    line = one_error_line(run(many, "-o", tmp_path / "many.mzML"), status=3)
    assert f": 8 scans could not be read and were written without data: {', '.join(damaged[:5])} and 3 more; " \
           f"first error: {error}" in line
    one = tmp_path / "one.d"
    make(one, {"scans": [{"scan_id": 4, "peaks": {"format": 3, "mz": [1.0], "intensity": [2.0], "byte_count": 11}}]})
    line = one_error_line(run(one, "-o", tmp_path / "one.mzML"), status=3)
    assert line == (f"corvane-convert: warning: {one}: 1 scan could not be read and was written without data: "
                    "scanId=4; error: parse error: Truncated MSPeak.bin block")


def cut_index(path, scans=4, cut=100):
    """A run of `scans` good scans whose MSScan.bin lost its last `cut` bytes, as a run
    stopped mid-acquisition leaves it."""
    make(path, {"stride": 284, "scans": [
        {"scan_id": 1 + i, "rt_min": 0.1 * i, "ms_level": 1, "peaks": {"format": 3, "mz": [100.0 + i], "intensity": [1.0]}}
        for i in range(scans)]})
    index = path / "AcqData" / "MSScan.bin"
    index.write_bytes(index.read_bytes()[:-cut])
    return path


def test_salvage_converts_the_complete_records_of_a_cut_index(tmp_path):
    acq = cut_index(tmp_path / "run.d")
    out = tmp_path / "run.mzML"
    line = one_error_line(run(acq))
    assert line == (f"corvane-convert: {acq}: cannot open as an acquisition: "
                    "parse error: Cannot determine record stride for payload len 1036")
    assert not out.exists()

    line = one_error_line(run("--salvage", acq), status=3)
    assert line == (f"corvane-convert: warning: {acq}: salvaged a cut scan index: kept 3 complete records of "
                    "284 bytes, dropped 184 bytes (1 incomplete record) at the end of MSScan.bin")
    assert out.read_text().count("<spectrum ") == 3
    # A whole run is the same with or without it.
    whole = make(tmp_path / "whole.d")
    assert run("--salvage", whole, "-o", tmp_path / "a.mzML").returncode == 0
    assert run(whole, "-o", tmp_path / "b.mzML").returncode == 0
    assert (tmp_path / "a.mzML").read_bytes() == (tmp_path / "b.mzML").read_bytes()


def test_strict_writes_nothing_for_a_damaged_input(tmp_path):
    acq, damaged, error = cut_profile_file(tmp_path / "run.d")
    clean = make(tmp_path / "clean.d")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    line = one_error_line(run("--strict", acq, "-o", out_dir))
    assert line == f"corvane-convert: {out_dir / 'run.mzML'}: scan {damaged[0]} is damaged: {error}; nothing written"
    assert list(out_dir.iterdir()) == []  # neither the file nor its temporary
    # A clean input passes --strict; with a damaged one beside it, only that one fails.
    result = run("--strict", "--jobs", "2", clean, acq, "-o", out_dir)
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    assert sorted(p.name for p in out_dir.iterdir()) == ["clean.mzML"]


def test_a_failure_outranks_damage_in_the_exit_status(tmp_path):
    acq, _, _ = cut_profile_file(tmp_path / "run.d")
    result = run(acq, tmp_path / "missing.d", "-o", str(tmp_path) + "/")
    assert result.returncode == 1
    lines = sorted(result.stderr.splitlines())
    assert len(lines) == 2 and "cannot open as an acquisition" in lines[0] and "warning: " in lines[1]
    assert (tmp_path / "run.mzML").exists()


MAKE_SAMPLE = BUILD / "tools" / "corvane-make-sample"
INFO = BUILD / "tools" / "corvane-info"


def sample(path, *options):
    """A corvane-make-sample run: MS1 profile scans with isotope envelopes, and fragment
    scans whose msn_value_1 holds their precursor's m/z."""
    result = subprocess.run([str(MAKE_SAMPLE), *options, str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return path


def records_of(path):
    """The reader's records with their arrays, as corvane-info --spectra prints them."""
    result = subprocess.run([str(INFO), "--spectra", str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)["spectra"]


def spectrum_elements(text):
    """Each <spectrum> element of an mzML document as text, in order."""
    return re.findall(r"<spectrum .*?</spectrum>", text, re.S)


def test_mgf_of_the_fragment_scans(tmp_path):
    acq = make(tmp_path / "run.d")
    result = run("--format", "mgf", "--precursor-mz", "msn_value_1", acq)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.d", "run.mgf"]  # X.d -> X.mgf
    # The MS1 scan has nothing near 500.2: the declared value is the precursor m/z, and no
    # envelope decides a charge.
    assert (tmp_path / "run.mgf").read_text() == (
        "BEGIN IONS\nTITLE=scanId=2\nRTINSECONDS=36\nPEPMASS=500.2\nSCANS=2\n150.1 10\n250.2 20\nEND IONS\n")


def test_mgf_without_a_declared_member_writes_nothing(tmp_path):
    acq = make(tmp_path / "run.d")
    before = tree(tmp_path)
    for args in (["--format", "mgf", acq], ["--format", "mgf", "--centroid", acq, "-o", tmp_path / "x.mgf"]):
        line = one_error_line(run(*args), status=2)
        assert line == f"corvane-convert: {MGF_NEEDS_A_MEMBER} (--help for usage)"
        assert tree(tmp_path) == before


MEMBER_LACKING = {
    "stride": 284,
    "scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 499.0, "mz_last": 502.0,
         "profile": {"intensities": [0, 0, 10, 50, 100, 50, 10, 0, 0, 0]}},
        {"scan_id": 2, "rt_min": 0.6, "ms_level": 2, "msn_value_1": 500.2, "msn_value_2": 2.0,
         "peaks": {"format": 3, "mz": [150.1], "intensity": [10.0]}},
        # msn_value_2 is 0 in the index: no usable m/z in it
        {"scan_id": 3, "rt_min": 0.7, "ms_level": 2, "msn_value_1": 500.2,
         "peaks": {"format": 3, "mz": [150.1], "intensity": [10.0]}},
        # an MRM scan: the index holds no msn_value_2 at all
        {"scan_id": 4, "rt_min": 0.8, "ms_level": 2, "mrm_channel": 3,
         "peaks": {"format": 3, "mz": [150.1], "intensity": [10.0]}},
    ],
}


def test_a_member_the_scan_lacks_gives_no_precursor_mz(tmp_path):
    acq = make(tmp_path / "run.d", MEMBER_LACKING)
    assert run("--precursor-mz", "msn_value_2", "--no-compression", acq).returncode == 0
    elements = spectrum_elements((tmp_path / "run.mzML").read_text())
    assert len(elements) == 4
    # Scan 2's msn_value_2 (2.0) is a usable value, so it is the precursor m/z the user
    # declared; scans 3 and 4 have none and get no precursor element, never a 0.
    assert re.findall(r'accession="MS:1000744" name="selected ion m/z" value="([^"]*)"', elements[1]) == ["2"]
    for element in elements[2:]:
        assert "<precursorList" not in element and "MS:1000744" not in element

    result = run("--format", "mgf", "--precursor-mz", "msn_value_2", acq)
    line = one_error_line(result, status=0)
    assert line == (f"corvane-convert: warning: {acq}: 2 fragment scans have no precursor m/z in msn_value_2 "
                    "and were left out: scanId=3, scanId=4")
    text = (tmp_path / "run.mgf").read_text()
    assert re.findall(r"^TITLE=(.*)$", text, re.M) == ["scanId=2"]
    assert "PEPMASS=0" not in text


@pytest.fixture(scope="module")
def sample_run(tmp_path_factory):
    return sample(tmp_path_factory.mktemp("sample") / "run.d", "--ms1", "30", "--ms2", "60", "--points", "4000")


@pytest.mark.parametrize("flags", [
    ["--centroid", "--precursor-mz", "msn_value_1", "--no-compression", "--top-n", "20"],
    ["--format", "mgf", "--centroid", "--precursor-mz", "msn_value_1", "--top-n", "7"],
])
def test_processed_output_is_the_same_for_every_thread_count(tmp_path, sample_run, flags):
    outputs = set()
    for threads in ("1", "2", "5"):
        out = tmp_path / f"t{threads}.out"
        result = run("--threads", threads, *flags, sample_run, "-o", out)
        assert (result.returncode, result.stderr) == (0, ""), result.stderr
        outputs.add(out.read_bytes())
    assert len(outputs) == 1


def test_ms_level_and_rt_range_select_mzml_spectra(tmp_path, sample_run):
    records = records_of(sample_run)
    low, high = records[20]["retention_time_sec"], records[50]["retention_time_sec"]
    out = tmp_path / "s.mzML"
    assert run("--ms-level", "2", "--rt-range", str(low), str(high), sample_run, "-o", out).returncode == 0
    text = out.read_text()
    want = [r["native_id"] for r in records if r["ms_level"] == 2 and low <= r["retention_time_sec"] <= high]
    assert re.findall(r'<spectrum index="\d+" id="([^"]*)"', text) == want
    assert re.findall(r'<spectrum index="(\d+)"', text) == [str(i) for i in range(len(want))]
    assert f'<spectrumList count="{len(want)}"' in text
