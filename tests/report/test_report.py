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


def test_the_page_goes_beside_the_run_by_default(tmp_path):
    # As corvane-convert places its output: RUN.d's folder, whatever the current one.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    runs = tmp_path / "runs"
    run_dir = sample(runs / "r.d", "--ms1", "3", "--ms2", "3", "--points", "100")
    for given, cwd in (("../runs/r.d", elsewhere), (str(run_dir) + "/", elsewhere), (".", run_dir)):
        done = run(REPORT, given, cwd=cwd)
        assert done.returncode == 0 and done.stderr == "", (given, done.stderr)
        assert sorted(p.name for p in runs.iterdir()) == ["r.d", "r.html"], given
        (runs / "r.html").unlink()
    assert list(elsewhere.iterdir()) == []
    usage = run(REPORT, "--help").stdout
    assert "by\ndefault beside it" in usage and "  3  the page was written, but" in usage and "--salvage" in usage


def test_salvage_reads_a_cut_index_and_says_what_it_dropped(tmp_path):
    run_dir = sample(tmp_path / "cut.d", "--ms1", "20", "--ms2", "10", "--points", "200")
    index = run_dir / "AcqData" / "MSScan.bin"
    whole = json.loads(run(INFO, str(run_dir)).stdout)
    index.write_bytes(index.read_bytes()[:-100])  # a run stopped inside its last record
    plain = run(REPORT, str(run_dir), cwd=tmp_path)
    info = run(INFO, str(run_dir))
    assert plain.returncode == 1 and info.returncode == 1
    assert plain.stderr == info.stderr.replace("corvane-info: ", "corvane-report: ", 1)
    assert not (tmp_path / "cut.html").exists()

    done = run(REPORT, "--salvage", str(run_dir), cwd=tmp_path)
    assert done.returncode == 3, done.stderr
    warning = re.fullmatch(r"corvane-report: warning: %s: (salvaged a cut scan index: kept (\d+) complete "
                           r"records of \d+ bytes, dropped (\d+) bytes .*)\n" % re.escape(str(run_dir)), done.stderr)
    assert warning, done.stderr
    assert int(warning.group(2)) == whole["scan_count"] - 1 and int(warning.group(3)) == whole["record_stride"] - 100
    dom = loaded(tmp_path, tmp_path / "cut.html")
    banner = re.search(r'<p id="salvaged" class="alert">([^<]*)</p>', dom)
    assert banner and warning.group(1) in banner.group(1)
    assert "<dt>Scans</dt><dd>%d " % (whole["scan_count"] - 1) in dom


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
    assert '<span id="gap-note" hidden' in dom
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


def facts_of(dom):
    return re.search(r'<dl id="spectrum-facts">(.*?)</dl>', dom, re.S).group(1)


def test_a_declared_precursor_is_marked_in_the_fragment_panel(tmp_path):
    # The sample keeps its precursor m/z in msn_value_1; the page read with that member
    # shows what the MS1 envelope said and marks the m/z in the spectrum, and a bad member
    # is a usage error.
    run_dir = sample(tmp_path / "p.d", "--ms1", "30", "--ms2", "30", "--points", "3000")
    done = run(REPORT, "--precursor-mz", "msn_value_3", str(run_dir), cwd=tmp_path)
    assert done.returncode == 2 and "--precursor-mz needs msn_value_1 or msn_value_2" in done.stderr
    done = run(REPORT, "--precursor-mz", "msn_value_1", str(run_dir), "-o", str(tmp_path / "p.html"))
    assert done.returncode == 0, done.stderr
    spectra = json.loads(run(INFO, str(run_dir)).stdout)["spectra"]
    # A fragment scan with another fragment scan before it, if the run has one: the link
    # must skip it.
    fragments = [i for i, s in enumerate(spectra) if s["ms_level"] == 2 and any(t["ms_level"] == 1 for t in spectra[:i])]
    at = next((i for i in fragments if spectra[i - 1]["ms_level"] == 2), fragments[0])
    fragment = spectra[at]
    before = next(s for s in reversed(spectra[:at]) if s["ms_level"] == 1)
    dom = loaded(tmp_path, tmp_path / "p.html", "#scan=%d" % fragment["scan_id"])
    facts = facts_of(dom)
    assert "<dt>Precursor m/z (msn_value_1)</dt><dd>%.4f</dd>" % fragment["precursor"]["msn_value_1"] in facts
    charge = re.search(r"<dt>Charge</dt><dd>([^<]*)</dd>", facts).group(1)
    assert re.fullmatch(r"[1-6]\+|undecided", charge), charge
    assert "<dt>Envelope read from</dt><dd>%s</dd>" % before["native_id"] in facts
    # The link to the MS1 scan before it, a scan or more back, selects that scan.
    assert ('<dt>MS1 scan before</dt><dd><a href="#scan=%d" title="%s" id="ms1-before">scan id %d</a></dd>'
            % (before["scan_id"], before["native_id"], before["scan_id"])) in facts
    mark = re.search(r'<div class="chart" id="spectrum" data-precursor-mark="([^"]*)"', dom)
    assert mark and float(mark.group(1)) == fragment["precursor"]["msn_value_1"]
    # The MS1 scan shows no mark and no link of its own.
    dom = loaded(tmp_path, tmp_path / "p.html", "#scan=%d" % before["scan_id"])
    assert 'id="spectrum" data-precursor-mark' not in dom and "MS1 scan before" not in facts_of(dom)

    # Without a declared member the page shows the index's values, marks nothing, and says
    # how to declare it; the link to the scan before is there all the same.
    assert run(REPORT, str(run_dir), "-o", str(tmp_path / "plain.html")).returncode == 0
    dom = loaded(tmp_path, tmp_path / "plain.html", "#scan=%d" % fragment["scan_id"])
    facts = facts_of(dom)
    assert "<dt>msn_value_1</dt>" in facts and "Precursor m/z (" not in facts
    assert "<dt>Precursor m/z</dt><dd>not marked: no member declared (--precursor-mz)</dd>" in facts
    assert 'href="#scan=%d"' % before["scan_id"] in facts
    assert 'id="spectrum" data-precursor-mark' not in dom


def test_ms2_marks_count_the_scans_when_too_many_to_tick(tmp_path):
    few = sample(tmp_path / "few.d", "--ms1", "40", "--ms2", "20", "--points", "200")
    many = sample(tmp_path / "many.d", "--ms1", "100", "--ms2", "4000", "--points", "200", "--peaks", "10")
    marks = {}
    for run_dir in (few, many):
        assert run(REPORT, str(run_dir)).returncode == 0
        dom = loaded(tmp_path, run_dir.with_suffix(".html"))
        marks[run_dir.name] = re.search(r'<div class="chart" id="tic"[^>]* data-ms2-marks="([^"]*)"', dom).group(1)
        note = re.search(r'<span id="ms2-note">([^<]*)</span>', dom).group(1)
        if run_dir is many:
            assert "count the 4,000 MS2 scans" in note, note
    assert marks["few.d"] == "ticks"
    # 4,000 scans over about 1,300 pixels: bars whose height counts them, not a band of ticks.
    kind, tallest = marks["many.d"].split()
    assert kind == "bars" and int(tallest) >= 3, marks


def test_the_map_has_a_colour_scale(tmp_path, small_page):
    dom = loaded(tmp_path, small_page)
    scale = json.loads(re.search(r'<canvas id="map"[^>]* data-scale="([^"]*)"', dom).group(1).replace("&quot;", '"'))
    data = page_data(small_page)
    assert scale["log"] is True and scale["high"] == data["map"]["top"] > 0
    assert scale["low"] == pytest.approx(scale["high"] / 10 ** data["map"]["decades"])
    assert "coloured on a log scale over the 4 decades below the brightest bin" in dom


def page_data(page):
    text = page.read_text()
    start = text.index('id="run-data">') + len('id="run-data">')
    return json.loads(text[start:text.index("</script>", start)])


def test_xic_box_sums_the_maps_bins(tmp_path):
    run_dir = sample(tmp_path / "x.d", "--ms1", "40", "--ms2", "10", "--points", "3000")
    assert run(REPORT, str(run_dir)).returncode == 0
    page = tmp_path / "x.html"
    spectra = json.loads(run(INFO, "--spectra", str(run_dir)).stdout)["spectra"]
    ms1 = [s for s in spectra if s["ms_level"] == 1]
    low, high = min(s["mz_first"] for s in ms1), max(s["mz_last"] for s in ms1)
    rows, columns = page_data(page)["map"]["rows"], page_data(page)["map"]["columns"]

    def row(mz):
        return max(0, min(int((mz - low) / (high - low) * rows), rows - 1)) if mz >= low else 0

    # The map's columns by retention time, as the report bins them: a column holds one or
    # two of the MS1 scans (the fragment scans between them take time).
    first, last = ms1[0]["retention_time_sec"], ms1[-1]["retention_time_sec"]
    column = {}
    for s in ms1:
        column.setdefault(min(int((s["retention_time_sec"] - first) / (last - first) * columns), columns - 1), []).append(s)
    assert any(len(c) > 1 for c in column.values())

    # The sample's strongest point, and a window of a few rows round it.
    apex = max(ms1, key=lambda s: max(s["intensity"]))
    target = apex["mz"][apex["intensity"].index(max(apex["intensity"]))]
    for tol in (0.0, 0.01):
        fragment = "#xic=%r" % target + ("&tol=%r" % tol if tol else "")
        dom = loaded(tmp_path, page, fragment)
        xic = json.loads(re.search(r'<div class="chart" id="xic" data-xic="([^"]*)"', dom).group(1)
                         .replace("&quot;", '"'))
        r0, r1 = row(target - tol), row(target + tol)
        assert xic["rows"] == [r0, r1] and (tol == 0) == (r0 == r1)
        assert xic["mz"] == pytest.approx([low + r0 * (high - low) / rows, low + (r1 + 1) * (high - low) / rows])
        assert len(xic["points"]) == len(column)
        for (rt_min, value), (_, scans) in zip(xic["points"], sorted(column.items())):
            # Each point: the column's mean time, and the intensity in the rows per scan.
            assert rt_min * 60 == pytest.approx(sum(s["retention_time_sec"] for s in scans) / len(scans), abs=1e-9)
            want = sum(y for s in scans for x, y in zip(s["mz"], s["intensity"]) if y > 0 and r0 <= row(x) <= r1)
            # The sums come back through the page's fine log scale: within 0.015 %, and
            # anything 8 decades under the brightest bin as that floor.
            assert value == pytest.approx(want / len(scans), rel=2e-4, abs=1e-8 * page_data(page)["map"]["top"])
        assert max(v for _, v in xic["points"]) > 0
        note = re.search(r'<p class="hint" id="xic-note">([^<]*)</p>', dom).group(1)
        assert "the map's bins are %.4f m/z wide" % ((high - low) / rows) in note, note

    # Outside the map, or not a number: said beside the box, nothing drawn.
    for fragment, message in (("#xic=5", "is outside the map"), ("#xic=abc", "as plain numbers")):
        dom = loaded(tmp_path, page, fragment)
        assert message in re.search(r'<span id="xic-message" class="message">([^<]*)</span>', dom).group(1)
        assert '<div class="chart" id="xic" hidden' in dom


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
    assert done.returncode == 3 and "scans could not be read" in done.stderr, done.stderr
    # loaded() fails on an alert() call, a script error or anything the policy blocked.
    dom = loaded(tmp_path, page)
    escaped = lambda t: t.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    assert "<dt>Acquired</dt><dd>%s</dd>" % escaped(HOSTILE_TIME) in dom
    assert '<h1 id="run-name">%s</h1>' % escaped(HOSTILE_NAME) in dom
    assert "<dd>%s</dd>" % escaped(HOSTILE_NAME) in dom
    listed = re.search(r'<div id="damage">(.*?)</div>', dom, re.S).group(1)
    assert listed.count("<li>") >= 3 and listed.count(escaped(HOSTILE_NAME)) == listed.count("<li>")
    assert "<img" not in dom
    assert dom.count("<script") == 4  # the page's own three and its data


def damaged_run(tmp_path, damaged):
    """A fixture run: an MS1 profile scan that reads, then `damaged` scans whose data does not."""
    scans = [{"scan_id": 1, "rt_min": 0.1, "ms_level": 1, "mz_first": 100.0, "mz_last": 101.0,
              "profile": {"intensities": [0, 5, 80, 5, 0, 0, 3, 0]}}]
    for i in range(damaged):
        if i % 2 == 0:
            scans.append({"scan_id": 2 + i, "rt_min": 0.2 + i / 100, "ms_level": 1, "mz_first": 100.0,
                          "mz_last": 101.0, "profile": {"intensities": [1, 2, 3], "raw_hex": "01 02 03"}})
        else:
            scans.append({"scan_id": 2 + i, "rt_min": 0.2 + i / 100, "ms_level": 2, "msn_value_1": 100.5,
                          "msn_value_2": 1.0, "peaks": {"mz": [50.0, 60.0], "intensity": [7.0, 9.0],
                                                        "byte_offset": 1000000}})
    run_dir = tmp_path / ("damaged%d.d" % damaged)
    made = subprocess.run([FIXTURE, str(run_dir)], input=json.dumps({"scans": scans}), capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    return run_dir


def test_damaged_scans_still_render_and_the_tool_warns(tmp_path):
    run_dir = damaged_run(tmp_path, 2)
    page = tmp_path / "damaged.html"
    done = run(REPORT, str(run_dir), "-o", str(page))
    errors = {s["scan_id"]: s["error"] for s in json.loads(run(INFO, str(run_dir)).stdout)["spectra"]}
    assert errors[1] is None and errors[2] and errors[3]
    # The page is written; the exit status and the warning are corvane-convert's.
    assert done.returncode == 3 and done.stdout == ""
    assert done.stderr == ("corvane-report: warning: %s: 2 scans could not be read and are shown without data: "
                           "scanId=2, scanId=3; first error: %s\n" % (run_dir, errors[2]))
    for scan_id in (2, 3):
        dom = loaded(tmp_path, page, "#scan=%d" % scan_id)
        assert 'data-scan-id="%d"' % scan_id in dom
        assert "This scan has no points." in dom
        assert "<dt>Damaged</dt><dd>%s</dd>" % errors[scan_id] in dom
    listed = re.search(r'<div id="damage">.*?<ul id="damage-list">(.*?)</ul>', dom, re.S).group(1)
    assert listed == "".join('<li><a href="#scan=%d">scan id %d</a>: %s</li>' % (i, i, errors[i]) for i in (2, 3))
    assert re.search(r'<details id="damage-more" hidden', dom)
    assert "<dt>Damaged scans</dt><dd>2</dd>" in dom
    # The damaged MS1 scan is a gap in the chromatograms, and the page says so.
    assert '<span id="gap-note">' in dom


@pytest.mark.parametrize("damaged,one", [(1, True), (400, False)])
def test_a_long_damage_list_folds_under_its_count(tmp_path, damaged, one):
    run_dir = damaged_run(tmp_path, damaged)
    done = run(REPORT, str(run_dir), cwd=tmp_path)
    assert done.returncode == 3
    if one:
        assert "1 scan could not be read and is shown without data: scanId=2; error: " in done.stderr
    else:
        assert ("400 scans could not be read and are shown without data: scanId=2, scanId=3, scanId=4, scanId=5, "
                "scanId=6 and 395 more; first error: ") in done.stderr
    dom = loaded(tmp_path, run_dir.parent / (run_dir.name[:-2] + ".html"))
    shown = re.search(r'<ul id="damage-list">(.*?)</ul>', dom, re.S).group(1)
    assert shown.count("<li>") == min(damaged, 3)
    more = re.search(r'<details id="damage-more"([^>]*)><summary id="damage-more-count">([^<]*)</summary>'
                     r'<ul id="damage-more-list">(.*?)</ul></details>', dom, re.S)
    if one:
        assert "hidden" in more.group(1)
    else:
        assert "hidden" not in more.group(1) and more.group(2) == "397 more damaged scans"
        # The folded list stops at a few hundred and says how many it left out.
        assert more.group(3).count("<li>") == 298 and more.group(3).endswith("<li>and 100 more</li>")
    # Folded, the list keeps the plots where they were: the TIC starts within the first screen.
    layout = json.loads(re.search(r"data-layout=\"([^\"]*)\"", dom).group(1).replace("&quot;", '"'))
    assert layout["tic"][1] < 450, layout


def test_a_run_of_one_scan_renders(tmp_path):
    description = {"scans": [{"scan_id": 5, "ms_level": 2, "rt_min": 1.0,
                              "peaks": {"mz": [100.0], "intensity": [3.0]}}]}
    run_dir = tmp_path / "one.d"
    made = subprocess.run([FIXTURE, str(run_dir)], input=json.dumps(description), capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    assert run(REPORT, str(run_dir), cwd=tmp_path).returncode == 0
    dom = loaded(tmp_path, tmp_path / "one.html", "#xic=100")
    assert 'data-scan-id="5"' in dom and "<dd>centroid, 1 point</dd>" in dom
    assert "No map: the scans' points span no m/z range" in dom
    # No map, no XIC: the box is hidden, and a link asking for one says why.
    assert '<div class="controls" id="xic-controls" hidden' in dom
    assert "no XIC: the page has no map to read it from" in dom


def test_a_page_inside_the_run_is_refused(tmp_path):
    run_dir = sample(tmp_path / "r.d", "--ms1", "3", "--ms2", "3", "--points", "100")
    before = sorted(p.relative_to(run_dir) for p in run_dir.rglob("*"))
    for target in (run_dir / "page.html", run_dir / "AcqData" / "page.html"):
        done = run(REPORT, str(run_dir), "-o", str(target))
        assert done.returncode == 1
        assert done.stderr == "corvane-report: %s: inside the acquisition %s, which is never written to\n" % (
            target, run_dir)
    assert sorted(p.relative_to(run_dir) for p in run_dir.rglob("*")) == before
