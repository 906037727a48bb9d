"""corvane-report end to end: the command line, and the page in Debian's headless Chromium.

Needs CORVANE_BUILD (the build folder: tools/corvane-report, tools/corvane-make-sample,
tests/corvane-fixture) and chromium on PATH. Chromium is driven without DevTools: the page
records its own errors, blocked content and alert() calls into #page-errors, and its state
into attributes of <html> (data-ready, data-layout), which --dump-dom shows.
"""
import json
import os
import re
import shutil
import subprocess
import zlib

import pytest

BUILD = os.environ["CORVANE_BUILD"]
REPORT = os.path.join(BUILD, "tools", "corvane-report")
INFO = os.path.join(BUILD, "tools", "corvane-info")
SAMPLE = os.path.join(BUILD, "tools", "corvane-make-sample")
FIXTURE = os.path.join(BUILD, "tests", "corvane-fixture")
WINDOW = (1400, 1400)

HOSTILE_TIME = "</script><script>alert(1)</script>"
HOSTILE_NAME = "<img src=x onerror=alert(1)>.d"


def run(*args, cwd=None):
    return subprocess.run(list(args), capture_output=True, text=True, cwd=cwd, timeout=300)


def sample(path, *flags):
    done = run(SAMPLE, *(flags or ("--ms1", "40", "--ms2", "40", "--points", "3000")), str(path))
    assert done.returncode == 0, done.stderr
    return path


def chromium(tmp_path, url, *flags):
    """Runs headless Chromium on url with a profile folder of its own; returns stdout."""
    browser = shutil.which("chromium")
    assert browser, "chromium is not installed (scripts/packages/test.txt)"
    profile = tmp_path / ("profile-%d" % len(list(tmp_path.glob("profile-*"))))
    # The browser is not ours: a sanitizer runtime preloaded for our programs stays out of it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    done = subprocess.run(
        [browser, "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run", "--hide-scrollbars",
         "--disable-extensions", "--user-data-dir=%s" % profile, "--window-size=%d,%d" % WINDOW, *flags, url],
        capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def loaded(tmp_path, page, fragment=""):
    """The page's DOM once its scripts have run; fails on any error the page recorded."""
    dom = chromium(tmp_path, "file://%s%s" % (page, fragment), "--dump-dom")
    errors = re.search(r'<pre id="page-errors"([^>]*)>(.*?)</pre>', dom, re.S)
    assert errors and "hidden" in errors.group(1) and errors.group(2) == "", errors and errors.group(2)
    assert 'data-ready="1"' in dom, "the page's script did not finish"
    return dom


def png_pixels(path):
    """(width, height, rows of RGBA tuples) of an 8-bit, non-interlaced RGB or RGBA PNG."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    depth, colour, interlace = header[8], header[9], header[12]
    assert depth == 8 and colour in (2, 6) and interlace == 0, header
    channels = 4 if colour == 6 else 3
    raw, stride = zlib.decompress(idat), width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


@pytest.fixture(scope="module")
def small_page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("small")
    run_dir = sample(folder / "small.d")
    done = run(REPORT, str(run_dir), cwd=folder)
    assert done.returncode == 0 and done.stdout == "" and done.stderr == "", done.stderr
    return folder / "small.html"


# ---------------------------------------------------------------------------------------
# Command line


def test_usage_errors_write_nothing(tmp_path):
    for args in ([], ["-o"], ["--threads", "0", "x.d"], ["--threads", "2x", "x.d"], ["a.d", "b.d"], ["--bogus", "a.d"]):
        done = run(REPORT, *args, cwd=tmp_path)
        assert done.returncode == 2, args
        assert done.stdout == "" and done.stderr.startswith("usage: corvane-report"), args
    assert run(REPORT, "--version").stdout.startswith("corvane-report ")
    assert list(tmp_path.iterdir()) == []


def test_a_run_that_does_not_open_gives_the_tools_error_and_writes_nothing(tmp_path):
    broken = tmp_path / "broken.d"
    (broken / "AcqData").mkdir(parents=True)
    (broken / "AcqData" / "MSScan.bin").write_bytes(b"\x01\x02")
    keep = tmp_path / "keep.html"
    keep.write_text("an older page")
    for target in (tmp_path / "missing.d", broken):
        info = run(INFO, str(target))
        done = run(REPORT, str(target), "-o", str(keep), cwd=tmp_path)
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr == info.stderr.replace("corvane-info: ", "corvane-report: ", 1)
        assert done.stderr.startswith("corvane-report: %s: " % target)
    assert keep.read_text() == "an older page"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.d", "keep.html"]


def test_an_output_that_cannot_be_written_is_an_error(tmp_path):
    run_dir = sample(tmp_path / "r.d", "--ms1", "3", "--ms2", "3", "--points", "100")
    target = tmp_path / "no" / "page.html"
    done = run(REPORT, str(run_dir), "-o", str(target))
    assert done.returncode == 1
    assert done.stderr == "corvane-report: %s: I/O error: No such file or directory (os error 2)\n" % target
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.d"]


# ---------------------------------------------------------------------------------------
# In the browser


def test_page_loads_and_plots_are_drawn(tmp_path, small_page):
    dom = loaded(tmp_path, small_page)
    layout = json.loads(re.search(r"data-layout=\"([^\"]*)\"", dom).group(1).replace("&quot;", '"'))
    shot = tmp_path / "page.png"
    chromium(tmp_path, "file://%s" % small_page, "--screenshot=%s" % shot)
    width, height, rows = png_pixels(shot)
    assert (width, height) == WINDOW
    for name in ("tic", "bpc", "map", "spectrum"):
        x, y, w, h = layout[name]
        assert w > 100 and h > 100 and x + w <= width and y + h <= height, (name, layout[name])
        region = [rows[j][i] for j in range(y, y + h) for i in range(x, x + w)]
        background = max(set(region), key=region.count)
        drawn = sum(1 for p in region if p != background)
        # Axes alone would be a few percent; a trace, sticks or the map's cells add more colours.
        assert drawn > 0.02 * len(region), (name, drawn, len(region))
        assert len(set(region)) > 12, (name, len(set(region)))


def test_fragment_opens_that_scan(tmp_path, small_page):
    ids = [s["scan_id"] for s in json.loads(run(INFO, str(small_page.parent / "small.d")).stdout)["spectra"]]
    for wanted in (ids[1], ids[-1]):
        dom = loaded(tmp_path, small_page, "#scan=%d" % wanted)
        panel = re.search(r'<section id="spectrum-panel"[^>]*data-scan-id="(\d+)"', dom)
        assert panel and int(panel.group(1)) == wanted
        facts = re.search(r'<dl id="spectrum-facts">(.*?)</dl>', dom, re.S).group(1)
        assert "<dt>Scan id</dt><dd>%d</dd>" % wanted in facts
        assert "<dd>scanId=%d</dd>" % wanted in facts
    # An id no scan has is said, and the page still shows a scan.
    dom = loaded(tmp_path, small_page, "#scan=999999")
    assert "no scan with id 999999" in dom and "data-scan-id=" in dom


def test_a_declared_precursor_shows_in_the_fragment_panel(tmp_path):
    # The sample keeps its precursor m/z in msn_value_1; the page read with that member
    # shows what the MS1 envelope said, and a bad member is a usage error.
    run_dir = sample(tmp_path / "p.d", "--ms1", "30", "--ms2", "30", "--points", "3000")
    done = run(REPORT, "--precursor-mz", "msn_value_3", str(run_dir), cwd=tmp_path)
    assert done.returncode == 2 and "--precursor-mz needs msn_value_1 or msn_value_2" in done.stderr
    done = run(REPORT, "--precursor-mz", "msn_value_1", str(run_dir), "-o", str(tmp_path / "p.html"))
    assert done.returncode == 0, done.stderr
    spectra = json.loads(run(INFO, str(run_dir)).stdout)["spectra"]
    fragment = next(s for s in spectra if s["ms_level"] == 2)
    dom = loaded(tmp_path, tmp_path / "p.html", "#scan=%d" % fragment["scan_id"])
    facts = re.search(r'<dl id="spectrum-facts">(.*?)</dl>', dom, re.S).group(1)
    assert "<dt>Precursor m/z (msn_value_1)</dt>" in facts
    charge = re.search(r"<dt>Charge</dt><dd>([^<]*)</dd>", facts).group(1)
    assert re.fullmatch(r"[1-6]\+|undecided", charge), charge
    assert re.search(r"<dt>Envelope read from</dt><dd>scanId=\d+</dd>", facts), facts
    # Without a declared member the page shows the index's values only.
    assert run(REPORT, str(run_dir), "-o", str(tmp_path / "plain.html")).returncode == 0
    dom = loaded(tmp_path, tmp_path / "plain.html", "#scan=%d" % fragment["scan_id"])
    facts = re.search(r'<dl id="spectrum-facts">(.*?)</dl>', dom, re.S).group(1)
    assert "<dt>msn_value_1</dt>" in facts and "Precursor m/z" not in facts


def test_hostile_texts_stay_text(tmp_path):
    run_dir = sample(tmp_path / HOSTILE_NAME, "--ms1", "5", "--ms2", "5", "--points", "200")
    (run_dir / "AcqData" / "Contents.xml").write_text(
        "<Contents><AcquiredTime>%s</AcquiredTime></Contents>"
        % HOSTILE_TIME.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;"))
    # Cut the peak file short: the error texts of the scans it fails name the hostile folder.
    peaks = run_dir / "AcqData" / "MSPeak.bin"
    peaks.write_bytes(peaks.read_bytes()[:100])
    page = tmp_path / "hostile.html"
    done = run(REPORT, "-o", str(page), "--", str(run_dir))
    assert done.returncode == 0, done.stderr
    # loaded() fails on an alert() call, a script error or anything the policy blocked.
    dom = loaded(tmp_path, page)
    escaped = lambda t: t.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    assert "<dt>Acquired</dt><dd>%s</dd>" % escaped(HOSTILE_TIME) in dom
    assert '<h1 id="run-name">%s</h1>' % escaped(HOSTILE_NAME) in dom
    assert "<dd>%s</dd>" % escaped(HOSTILE_NAME) in dom
    listed = re.search(r'<ul id="damage-list">(.*?)</ul>', dom, re.S).group(1)
    assert listed.count("<li>") >= 3 and listed.count(escaped(HOSTILE_NAME)) == listed.count("<li>")
    assert "<img" not in dom
    assert dom.count("<script") == 4  # the page's own three and its data


def test_damaged_scans_still_render(tmp_path):
    description = {"scans": [
        {"scan_id": 1, "rt_min": 0.1, "ms_level": 1, "mz_first": 100.0, "mz_last": 101.0,
         "profile": {"intensities": [0, 5, 80, 5, 0, 0, 3, 0]}},
        {"scan_id": 2, "rt_min": 0.2, "ms_level": 1, "mz_first": 100.0, "mz_last": 101.0,
         "profile": {"intensities": [1, 2, 3], "raw_hex": "01 02 03"}},
        {"scan_id": 3, "rt_min": 0.3, "ms_level": 2, "msn_value_1": 100.5, "msn_value_2": 1.0,
         "peaks": {"mz": [50.0, 60.0], "intensity": [7.0, 9.0], "byte_offset": 1000000}},
    ]}
    run_dir = tmp_path / "damaged.d"
    made = subprocess.run([FIXTURE, str(run_dir)], input=json.dumps(description), capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    page = tmp_path / "damaged.html"
    assert run(REPORT, str(run_dir), "-o", str(page)).returncode == 0
    errors = {s["scan_id"]: s["error"] for s in json.loads(run(INFO, str(run_dir)).stdout)["spectra"]}
    assert errors[1] is None and errors[2] and errors[3]
    for scan_id in (2, 3):
        dom = loaded(tmp_path, page, "#scan=%d" % scan_id)
        assert 'data-scan-id="%d"' % scan_id in dom
        assert "This scan has no points." in dom
        assert "<dt>Damaged</dt><dd>%s</dd>" % errors[scan_id] in dom
    listed = re.search(r'<div id="damage">.*?<ul id="damage-list">(.*?)</ul>', dom, re.S).group(1)
    assert listed == "".join("<li>scan id %d: %s</li>" % (i, errors[i]) for i in (2, 3))
    assert "<dt>Damaged scans</dt><dd>2</dd>" in dom


def test_a_run_of_one_scan_renders(tmp_path):
    description = {"scans": [{"scan_id": 5, "ms_level": 2, "rt_min": 1.0,
                              "peaks": {"mz": [100.0], "intensity": [3.0]}}]}
    run_dir = tmp_path / "one.d"
    made = subprocess.run([FIXTURE, str(run_dir)], input=json.dumps(description), capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    assert run(REPORT, str(run_dir), cwd=tmp_path).returncode == 0
    dom = loaded(tmp_path, tmp_path / "one.html")
    assert 'data-scan-id="5"' in dom and "<dd>centroid, 1 point</dd>" in dom
    assert "No map: the scans' points span no m/z range" in dom


def test_a_page_inside_the_run_is_refused(tmp_path):
    run_dir = sample(tmp_path / "r.d", "--ms1", "3", "--ms2", "3", "--points", "100")
    before = sorted(p.relative_to(run_dir) for p in run_dir.rglob("*"))
    for target in (run_dir / "page.html", run_dir / "AcqData" / "page.html"):
        done = run(REPORT, str(run_dir), "-o", str(target))
        assert done.returncode == 1
        assert done.stderr == "corvane-report: %s: inside the acquisition %s, which is never written to\n" % (
            target, run_dir)
    assert sorted(p.relative_to(run_dir) for p in run_dir.rglob("*")) == before
