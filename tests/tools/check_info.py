"""End-to-end checks of corvane-make-sample and corvane-info (run by ctest).

usage: check_info.py MAKE_SAMPLE INFO FIXTURE WORKDIR
"""
import errno
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

MAKE_SAMPLE, INFO, FIXTURE, WORKDIR = sys.argv[1:5]


def run(*args, stdin=None, cwd=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=120,
                          cwd=cwd)


def make_sample(name, *options):
    path = os.path.join(WORKDIR, name)
    shutil.rmtree(path, ignore_errors=True)
    done = run(MAKE_SAMPLE, *options, path)
    assert done.returncode == 0, done.stderr
    return path


def info(*args):
    done = run(INFO, *args)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return json.loads(done.stdout)


class MakeSample(unittest.TestCase):
    def test_default_sample_is_deterministic(self):
        a = make_sample("a.d")
        b = make_sample("b.d")
        names = sorted(os.listdir(os.path.join(a, "AcqData")))
        self.assertEqual(names, ["Contents.xml", "Devices.xml", "MSPeak.bin",
                                 "MSProfile.bin", "MSScan.bin"])
        for name in names:
            with open(os.path.join(a, "AcqData", name), "rb") as fa, \
                    open(os.path.join(b, "AcqData", name), "rb") as fb:
                self.assertEqual(fa.read(), fb.read(), name)

    def test_other_seed_other_data(self):
        a = make_sample("seed1.d", "--ms1", "2", "--ms2", "2", "--points", "500")
        b = make_sample("seed2.d", "--ms1", "2", "--ms2", "2", "--points", "500", "--seed", "2")
        with open(os.path.join(a, "AcqData", "MSProfile.bin"), "rb") as fa, \
                open(os.path.join(b, "AcqData", "MSProfile.bin"), "rb") as fb:
            self.assertNotEqual(fa.read(), fb.read())

    def test_summary_compares_bytes_with_bytes(self):
        line = re.compile(r"(.+): (\d+) scans, MSProfile\.bin (\d+) bytes"
                          r"(?: \((\d+\.\d\d)x (smaller|larger) than the (\d+) bytes"
                          r" of its (\d+) 4-byte points\))?, MSPeak\.bin (\d+) bytes\n")
        for name, options, scans, points, relation in [
                ("packed.d", ["--ms1", "3", "--ms2", "2"], 5, 3 * 4000, "smaller"),
                ("short.d", ["--ms1", "2", "--ms2", "1", "--points", "100"], 3, 200, "larger"),
                ("tiny.d", ["--tiny", "4"], 4, 0, None)]:
            with self.subTest(name=name):
                path = os.path.join(WORKDIR, name)
                shutil.rmtree(path, ignore_errors=True)
                done = run(MAKE_SAMPLE, *options, path)
                self.assertEqual(done.returncode, 0, done.stderr)
                m = line.fullmatch(done.stdout)
                self.assertIsNotNone(m, done.stdout)
                size = os.path.getsize(os.path.join(path, "AcqData", "MSProfile.bin"))
                self.assertEqual((m[1], int(m[2]), int(m[3])), (path, scans, size))
                self.assertEqual(int(m[8]),
                                 os.path.getsize(os.path.join(path, "AcqData", "MSPeak.bin")))
                if relation is None:
                    self.assertIsNone(m[4])
                    continue
                decoded = 4 * points
                self.assertEqual((m[5], int(m[6]), int(m[7])), (relation, decoded, points))
                ratio = max(decoded, size) / min(decoded, size)
                self.assertEqual(m[4], "%.2f" % ratio)

    def test_usage_errors(self):
        for args in ([], ["--ms1"], ["--ms1", "x", "d"], ["--points", "0", "d"],
                     ["--bogus", "d"], ["a", "b"], ["--mz-range", "500", "d"],
                     ["--mz-range", "600", "400", "d"], ["--mz-range", "400", "400", "d"],
                     ["--mz-range", "-1", "400", "d"], ["--mz-range", "400", "inf", "d"]):
            with self.subTest(args=args):
                done = run(MAKE_SAMPLE, *args)
                self.assertEqual(done.returncode, 2)
                self.assertTrue(done.stderr.startswith("usage: corvane-make-sample"))


def xic(ms1, target, ppm=10.0):
    """Summed intensity within target +- ppm of each MS1 scan."""
    half = target * ppm * 1e-6
    return [sum(i for m, i in zip(s["mz"], s["intensity"]) if abs(m - target) <= half)
            for s in ms1]


class SampleData(unittest.TestCase):
    """What a plot of the sample shows: compounds eluting as peaks, isotope envelopes, a
    profile axis fine enough for 10 ppm, MS2 fragments below their precursors."""

    @classmethod
    def setUpClass(cls):
        cls.spectra = info("--spectra", make_sample(
            "lcms.d", "--ms1", "60", "--ms2", "60", "--points", "12000",
            "--mz-range", "482", "518"))["spectra"]
        cls.ms1 = [s for s in cls.spectra if s["ms_level"] == 1]

    def test_ms2_fragments_below_precursor_inside_range(self):
        tiny = info("--spectra", make_sample("tiny-ms2.d", "--tiny", "20"))["spectra"]
        for name, spectra in (("lcms", self.spectra), ("tiny", tiny)):
            ms2 = [s for s in spectra if s["ms_level"] == 2]
            self.assertGreaterEqual(len(ms2), 10)
            for s in ms2:
                with self.subTest(sample=name, index=s["index"]):
                    self.assertLess(max(s["mz"]), s["precursor"]["msn_value_1"])
                    self.assertGreaterEqual(min(s["mz"]), s["mz_first"])
                    self.assertLessEqual(max(s["mz"]), s["mz_last"])
                    self.assertEqual(s["mz"], sorted(s["mz"]))

    def test_profile_spacing_fine_enough_for_10_ppm(self):
        for s in self.ms1[:1] + info(make_sample("default.d", "--ms1", "1", "--ms2", "0"))[
                "spectra"]:
            with self.subTest(points=s["points"]):
                self.assertTrue(s["mz_first"] < 500 < s["mz_last"])
                self.assertLess((s["mz_last"] - s["mz_first"]) / (s["points"] - 1), 0.005)

    def test_strongest_compound_elutes_as_a_peak_with_isotopes(self):
        scan = max(range(len(self.ms1)), key=lambda n: max(self.ms1[n]["intensity"]))
        apex = self.ms1[scan]
        top = max(apex["intensity"])
        at = apex["intensity"].index(top)
        target = apex["mz"][at]
        # A profile peak a few points wide.
        wide = [i for i in apex["intensity"][at - 30:at + 31] if i >= top / 2]
        self.assertTrue(3 <= len(wide) <= 15, len(wide))
        # The XIC rises to its maximum inside the run and falls to near 0 on both sides.
        chromatogram = xic(self.ms1, target)
        peak = max(range(len(chromatogram)), key=chromatogram.__getitem__)
        height = chromatogram[peak]
        self.assertTrue(0 < peak < len(chromatogram) - 1, peak)
        left = max(n for n in range(peak) if chromatogram[n] < 0.02 * height)
        right = min(n for n in range(peak + 1, len(chromatogram))
                    if chromatogram[n] < 0.02 * height)
        self.assertTrue(4 <= right - left <= 20, (left, right))
        # Scan by scan on the flanks (the top may wobble with the scans' jitter).
        flank = 0.8 * height
        self.assertTrue(all(chromatogram[n] < chromatogram[n + 1] for n in range(left, peak)
                            if chromatogram[n + 1] < flank), chromatogram[left:right + 1])
        self.assertTrue(all(chromatogram[n] > chromatogram[n + 1] for n in range(peak, right)
                            if chromatogram[n] < flank), chromatogram[left:right + 1])
        # M+1 at 1.00336 / z, smaller than M but clearly there.
        near = [(m, i) for m, i in zip(apex["mz"], apex["intensity"])
                if any(abs(m - target - 1.00336 / z) <= target * 1e-5 for z in (1, 2))]
        self.assertTrue(0.05 * top < max(i for _, i in near) < top)


class Info(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sample = make_sample("sample.d")
        cls.doc = info(cls.sample)

    def test_head(self):
        d = self.doc
        self.assertEqual(list(d), ["root", "source_name", "instrument", "acquired_time",
                                   "record_stride", "payload_offset", "scan_count", "salvaged",
                                   "spectra", "damaged_scans"])
        self.assertEqual(d["root"], self.sample)
        self.assertEqual(d["source_name"], "sample.d")
        self.assertEqual(d["instrument"], {"accession": "MS:1002786",
                                           "name": "6530A Q-TOF LC/MS"})
        self.assertEqual(d["acquired_time"], "2026-03-14T09:26:53Z")
        self.assertEqual(d["record_stride"], 284)
        self.assertEqual(d["payload_offset"], 92)
        self.assertEqual(d["scan_count"], 300)
        self.assertEqual(d["salvaged"], None)
        self.assertEqual(d["damaged_scans"], 0)

    def test_spectra(self):
        spectra = self.doc["spectra"]
        self.assertEqual(len(spectra), 300)
        ms1 = [s for s in spectra if s["ms_level"] == 1]
        ms2 = [s for s in spectra if s["ms_level"] == 2]
        self.assertEqual((len(ms1), len(ms2)), (150, 150))
        for i, s in enumerate(spectra):
            self.assertEqual(list(s), ["index", "native_id", "scan_id", "ms_level",
                                       "retention_time_sec", "mz_first", "mz_last", "precursor",
                                       "is_profile", "instrument_kind", "points", "error"])
            self.assertIsNone(s["error"])
            self.assertEqual(s["index"], i)
            self.assertEqual(s["native_id"], "scanId=%d" % s["scan_id"])
            self.assertEqual(s["instrument_kind"], 3)
        for s in ms1:
            self.assertTrue(s["is_profile"])
            self.assertEqual(s["points"], 4000)
            self.assertIsNone(s["precursor"])
            self.assertEqual((s["mz_first"], s["mz_last"]), (494.002, 505.999))
        for s in ms2:
            self.assertFalse(s["is_profile"])
            self.assertGreaterEqual(s["points"], 10)
            p = s["precursor"]
            self.assertEqual(p["reference"], s["native_id"])
            self.assertIsInstance(p["msn_value_1"], float)
            self.assertIn(p["msn_value_2"], (1.0, 2.0))

    def test_lists_read_back_exactly(self):
        small = make_sample("small.d", "--ms1", "3", "--ms2", "5", "--points", "300")
        doc = info("--spectra", small)
        plain = info(small)
        scan_bin = open(os.path.join(small, "AcqData", "MSScan.bin"), "rb").read()
        peak_bin = open(os.path.join(small, "AcqData", "MSPeak.bin"), "rb").read()
        self.assertEqual(len(doc["spectra"]), 8)
        for s, head in zip(doc["spectra"], plain["spectra"]):
            self.assertEqual({k: v for k, v in s.items() if k not in ("mz", "intensity")}, head)
            self.assertEqual(len(s["mz"]), s["points"])
            self.assertEqual(len(s["intensity"]), s["points"])
            record = scan_bin[92 + 284 * s["index"]:][:284]
            if s["is_profile"]:
                n, first, last = s["points"], s["mz_first"], s["mz_last"]
                step = (last - first) / (n - 1)
                self.assertEqual(s["mz"], [i * step + first for i in range(n)])
                self.assertTrue(all(v >= 0 and v == int(v) for v in s["intensity"]))
                continue
            fmt, offset, count, n = struct.unpack_from("<IQII", record, 220)
            block = peak_bin[offset:offset + count]
            if fmt == 3:
                pairs = [struct.unpack_from("<df", block, 12 * i) for i in range(n)]
                mz = [p[0] for p in pairs]
                intensity = [p[1] for p in pairs]
            else:
                mz = [v / 100.0 for v in struct.unpack_from("<%dd" % n, block)]
                intensity = list(struct.unpack_from("<%df" % n, block, 8 * n))
            self.assertEqual(s["mz"], mz)
            self.assertEqual(s["intensity"], intensity)
        formats = {struct.unpack_from("<I", scan_bin, 92 + 284 * s["index"] + 220)[0]
                   for s in doc["spectra"] if not s["is_profile"]}
        self.assertEqual(formats, {2, 3})

    def test_values_json_cannot_hold_are_null(self):
        path = os.path.join(WORKDIR, "nan.d")
        shutil.rmtree(path, ignore_errors=True)
        description = {"stride": 220, "scans": [
            {"scan_id": 4, "rt_min": 0.5, "ms_level": 2, "msn_value_1": 300.5,
             "msn_value_2": 1.0,
             "peaks": {"mz": [100.0, 200.0, 300.0],
                       "intensity_bits": [0x7FC00000, 0x7F800000, 0x3DCCCCCD]}},
            {"scan_id": 5, "rt_min": 0.6, "ms_level": 1}]}
        done = run(FIXTURE, path, stdin=json.dumps(description))
        self.assertEqual(done.returncode, 0, done.stderr)
        doc = info("--spectra", path)
        self.assertEqual(doc["source_name"], "nan.d")
        self.assertIsNone(doc["acquired_time"])
        self.assertEqual(doc["instrument"], {"accession": "MS:1000490", "name": "vendor Q-TOF"})
        first, second = doc["spectra"]
        self.assertEqual(first["intensity"], [None, None, 0.10000000149011612])
        self.assertEqual(first["mz_first"], None)
        self.assertEqual(first["precursor"], {"msn_value_1": 300.5, "msn_value_2": 1.0,
                                              "reference": "scanId=4"})
        self.assertEqual(second["mz"], [])
        self.assertFalse(second["is_profile"])

    def test_damaged_scans_say_why_they_are_empty(self):
        path = os.path.join(WORKDIR, "damaged.d")
        shutil.rmtree(path, ignore_errors=True)
        good = {"format": 3, "mz": [1.0, 2.0], "intensity": [3.0, 4.0]}
        description = {"scans": [
            {"scan_id": 1, "peaks": good},
            {"scan_id": 2, "peaks": dict(good, byte_count=23)},             # one byte short
            {"scan_id": 3, "profile": {"intensities": [1, 2, 3], "byte_offset": 1 << 30}},
            {"scan_id": 4, "mz_first": 1.0, "mz_last": 2.0,
             "profile": {"intensities": [5, 6], "uncompressed_byte_count": 99}},
            {"scan_id": 5, "profile": {"intensities": [1, 2], "byte_offset": 1 << 30},
             "peaks": good}]}                                                 # peaks stand in
        done = run(FIXTURE, path, stdin=json.dumps(description))
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(path, "AcqData", "MSScan.bin"), "rb") as f:
            f.seek(92 + 284 * 2 + 156 + 12)   # the third scan's profile byte count
            count, = struct.unpack("<I", f.read(4))
        profile = os.path.join(path, "AcqData", "MSProfile.bin")
        first_error = ("parse error: Truncated MSPeak.bin block")
        for args in ([path], ["--spectra", path]):
            with self.subTest(args=args):
                # Status 3 and one warning on standard error, as corvane-convert gives.
                done = run(INFO, *args)
                self.assertEqual(done.returncode, 3, done.stderr)
                self.assertEqual(done.stderr, "corvane-info: warning: %s: 3 scans could not be read: scanId=2, "
                                              "scanId=3, scanId=4; first error: %s\n" % (path, first_error))
                doc = json.loads(done.stdout)
                self.assertEqual(list(doc)[-2:], ["spectra", "damaged_scans"])
                self.assertEqual(doc["damaged_scans"], 3)
                errors = [s["error"] for s in doc["spectra"]]
                self.assertEqual(errors, [
                    None,
                    "parse error: Truncated MSPeak.bin block",
                    "parse error: read_bytes: requested %d bytes at offset %d but %s has only 0"
                    " bytes remaining" % (count, 1 << 30, profile),
                    "parse error: LZF: decompressed length 24 != expected 99",
                    None])
                self.assertEqual([s["points"] for s in doc["spectra"]], [2, 0, 0, 0, 2])
                if "--spectra" in args:
                    self.assertEqual(list(doc["spectra"][1])[-3:], ["error", "mz", "intensity"])
                    self.assertEqual(doc["spectra"][1]["mz"], [])

    def test_errors_name_the_path(self):
        magic = os.path.join(WORKDIR, "magic.d")
        shutil.rmtree(magic, ignore_errors=True)
        done = run(FIXTURE, magic, stdin=json.dumps({"magic": 7, "scans": [{}]}))
        self.assertEqual(done.returncode, 0, done.stderr)
        no_index = os.path.join(WORKDIR, "no-index.d")
        shutil.rmtree(no_index, ignore_errors=True)
        os.makedirs(os.path.join(no_index, "AcqData"))
        missing = os.path.join(WORKDIR, "missing.d")
        shutil.rmtree(missing, ignore_errors=True)
        plain = os.path.join(WORKDIR, "plain.txt")
        with open(plain, "w") as f:
            f.write("x")
        enoent = "I/O error: %s (os error %d)" % (os.strerror(errno.ENOENT), errno.ENOENT)
        # A path that is not an acquisition says why: missing, a file, no AcqData inside.
        for path, display in [
                (missing, "no such file or directory"),
                (plain, "a file, not an acquisition directory (a run.d folder with AcqData inside)"),
                (WORKDIR, "a directory without AcqData inside, not an acquisition directory"),
                (no_index, enoent),
                (magic, "parse error: Invalid MSScan magic: 7")]:
            with self.subTest(path=path):
                done = run(INFO, path)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, "")
                self.assertEqual(done.stderr, "corvane-info: %s: %s\n" % (path, display))

    def test_salvage_reads_a_cut_index_and_warns(self):
        path = os.path.join(WORKDIR, "cut.d")
        shutil.rmtree(path, ignore_errors=True)
        description = {"scans": [{"scan_id": 1 + i, "rt_min": 0.1 * i,
                                  "peaks": {"format": 3, "mz": [100.0 + i], "intensity": [1.0]}}
                                 for i in range(4)]}
        done = run(FIXTURE, path, stdin=json.dumps(description))
        self.assertEqual(done.returncode, 0, done.stderr)
        index = os.path.join(path, "AcqData", "MSScan.bin")
        with open(index, "rb") as f:
            data = f.read()
        with open(index, "wb") as f:
            f.write(data[:-100])
        done = run(INFO, path)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertEqual(done.stderr, "corvane-info: %s: parse error: Cannot determine record stride for "
                                      "payload len 1036\n" % path)
        warning = ("corvane-info: warning: %s: salvaged a cut scan index: kept 3 complete records of 284 bytes, "
                   "dropped 184 bytes (1 incomplete record) at the end of MSScan.bin\n" % path)
        done = run(INFO, "--salvage", path)
        self.assertEqual((done.returncode, done.stderr), (3, warning))
        doc = json.loads(done.stdout)
        self.assertEqual(doc["salvaged"], {"bytes_dropped": 184, "records_dropped": 1, "records_kept": 3,
                                           "record_stride": 284})
        self.assertEqual([s["scan_id"] for s in doc["spectra"]], [1, 2, 3])
        # The evidence table warns the same way.
        done = run(INFO, "--salvage", "--precursor-evidence", path)
        self.assertEqual((done.returncode, done.stderr), (3, warning))
        # A whole run reads alike with or without --salvage, with status 0.
        self.assertEqual(info("--salvage", self.sample), self.doc)

    def test_usage_errors(self):
        for args in ([], ["--bogus", self.sample], [self.sample, self.sample], ["--spectra"]):
            with self.subTest(args=args):
                done = run(INFO, *args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, "")
                self.assertTrue(done.stderr.startswith("usage: corvane-info"))


EVIDENCE_ROW = re.compile(r"(msn_value_[12]) +(\d+) +(\d+) +(\d+) +(\d+) +(\d+\.\d)% +(?:([+-]\d+\.\d\d) ppm|-)")


def evidence(path, *options):
    """corvane-info --precursor-evidence: (header, {member: row values}, verdict line)."""
    done = run(INFO, "--precursor-evidence", *options, path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 5, done.stdout
    assert lines[1].split() == ["member", "fragment", "scans", "with", "value", "with", "MS1", "matched", "share",
                                "median", "error"]
    rows = {}
    for line in lines[2:4]:
        m = EVIDENCE_ROW.fullmatch(line)
        assert m, line
        rows[m[1]] = (*map(int, m.group(2, 3, 4, 5)), float(m[6]), None if m[7] is None else float(m[7]))
    return lines[0], rows, lines[4]


class PrecursorEvidence(unittest.TestCase):
    """Which index member holds the precursor m/z: corvane-make-sample's runs store it in
    msn_value_1, and a charge (the default run) or a collision energy (--peptides) in
    msn_value_2, which never matches an MS1 centroid."""

    def test_sample_runs_point_at_msn_value_1(self):
        fasta = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "proteins.fasta")
        for name, options in [("evidence.d", ["--ms1", "30", "--ms2", "60"]),
                              ("evidence-peptides.d", ["--peptides", fasta, "--ms1", "40"])]:
            with self.subTest(name):
                path = make_sample(name, *options)
                spectra = info(path)["spectra"]
                fragments = sum(1 for s in spectra if s["ms_level"] >= 2)
                self.assertGreater(fragments, 20)
                head, rows, verdict = evidence(path)
                self.assertEqual(head, "precursor evidence for %s: fragment scans whose value lies within 10 ppm "
                                       "of a centroid of the nearest earlier MS1 scan" % path)
                scans, with_value, with_ms1, matched, share, error = rows["msn_value_1"]
                self.assertEqual((scans, with_value, with_ms1), (fragments, fragments, fragments))
                self.assertGreaterEqual(matched, 0.9 * fragments)
                self.assertAlmostEqual(share, round(100 * matched / fragments, 1))
                self.assertLess(abs(error), 1.0)  # ppm: the profile peaks are well sampled
                scans, with_value, with_ms1, matched, share, error = rows["msn_value_2"]
                self.assertEqual((scans, matched, share, error), (fragments, 0, 0.0, None))
                self.assertEqual(verdict, "declare --precursor-mz msn_value_1: it matches in %.1f%% of the "
                                          "fragment scans, msn_value_2 in 0.0%%" % rows["msn_value_1"][4])

    def test_tolerance_and_runs_that_do_not_decide(self):
        path = os.path.join(WORKDIR, "undecided.d")
        shutil.rmtree(path, ignore_errors=True)
        # Nothing in the MS1 scan lies near either member's values.
        done = run(FIXTURE, path, stdin=json.dumps({"stride": 284, "scans": [
            {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 101.0,
             "profile": {"intensities": [0, 10, 50, 10, 0, 0, 0, 0]}},
            {"scan_id": 2, "rt_min": 0.6, "ms_level": 2, "msn_value_1": 500.2, "msn_value_2": 2.0,
             "peaks": {"format": 3, "mz": [150.1], "intensity": [10.0]}},
            {"scan_id": 3, "rt_min": 0.7, "ms_level": 2, "msn_value_1": 500.2,
             "peaks": {"format": 3, "mz": [150.1], "intensity": [10.0]}}]}))
        self.assertEqual(done.returncode, 0, done.stderr)
        head, rows, verdict = evidence(path, "--ppm", "2.5")
        self.assertIn(" within 2.5 ppm ", head)
        self.assertEqual(rows, {"msn_value_1": (2, 2, 2, 0, 0.0, None), "msn_value_2": (2, 1, 1, 0, 0.0, None)})
        self.assertEqual(verdict, "the evidence does not decide: msn_value_1 matches in 0.0% of the fragment scans, "
                                  "msn_value_2 in 0.0% (a member is clear at 50% or more and more than twice the "
                                  "other's share)")
        ms1_only = make_sample("evidence-none.d", "--ms1", "3", "--ms2", "0", "--points", "500")
        _, rows, verdict = evidence(ms1_only)
        self.assertEqual(rows["msn_value_1"][:4], (0, 0, 0, 0))
        self.assertEqual(verdict, "no fragment scans: there is no precursor to declare")

    def test_usage_errors(self):
        sample = make_sample("evidence-usage.d", "--tiny", "2")
        for args, message in [
                (["--precursor-evidence", "--ppm", "0", sample], "corvane-info: --ppm needs a finite number above 0\n"),
                (["--ppm", "5", sample], None),  # --ppm belongs to the evidence
                (["--precursor-evidence", "--spectra", sample], None)]:
            with self.subTest(args=args):
                done = run(INFO, *args)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                if message is None:
                    self.assertTrue(done.stderr.startswith("usage: corvane-info"), done.stderr)
                else:
                    self.assertEqual(done.stderr, message)


def project_version():
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pyproject.toml")
    with open(top) as f:
        return re.search(r'^version = "([^"]+)"', f.read(), re.M)[1]


class CommandLine(unittest.TestCase):
    """Help, version and option errors of both tools, each run in an empty folder that
    must stay empty (a mistaken option must never turn into a folder name)."""

    TOOLS = [
        ("corvane-info", INFO, ["--spectra", "--salvage", "--", "-h", "--help", "--version"]),
        ("corvane-make-sample", MAKE_SAMPLE,
         ["--ms1", "--points", "--mz-range", "--ms2", "--peaks", "--tiny", "--seed", "--peptides",
          "--truth", "--", "-h", "--help", "--version"]),
    ]

    def run_in_empty_folder(self, tool, *args):
        with tempfile.TemporaryDirectory(dir=WORKDIR) as cwd:
            done = run(tool, *args, cwd=cwd)
            self.assertEqual(os.listdir(cwd), [], args)
        return done

    def test_help_and_version(self):
        for name, tool, options in self.TOOLS:
            for flag in ("-h", "--help"):
                with self.subTest(tool=name, flag=flag):
                    done = self.run_in_empty_folder(tool, flag)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertEqual(done.stderr, "")
                    self.assertTrue(done.stdout.startswith("usage: %s " % name), done.stdout)
                    words = {w.strip(",[]") for w in done.stdout.split()}
                    self.assertEqual([o for o in options if o not in words], [])
                    self.assertIn("Exit status", done.stdout)
            with self.subTest(tool=name, flag="--version"):
                done = self.run_in_empty_folder(tool, "--version")
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertEqual(done.stdout, "%s %s\n" % (name, project_version()))

    def test_unknown_options(self):
        for name, tool, _ in self.TOOLS:
            for args in (["-x"], ["-"], ["--bogus"], ["-x", "d"], ["d", "-x"],
                         ["--tiny", "2", "-q"], ["--spectra", "-H"]):
                with self.subTest(tool=name, args=args):
                    done = self.run_in_empty_folder(tool, *args)
                    self.assertEqual(done.returncode, 2)
                    self.assertEqual(done.stdout, "")
                    self.assertTrue(done.stderr.startswith("usage: %s " % name), done.stderr)

    def test_dash_folder_after_double_dash(self):
        with tempfile.TemporaryDirectory(dir=WORKDIR) as cwd:
            done = run(MAKE_SAMPLE, "--tiny", "2", "--", "-h", cwd=cwd)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(os.path.isdir(os.path.join(cwd, "-h", "AcqData")))
            done = run(INFO, "--", "-h", cwd=cwd)
            self.assertEqual(done.returncode, 0, done.stderr)
            doc = json.loads(done.stdout)
            self.assertEqual((doc["source_name"], doc["scan_count"]), ("-h", 2))


if __name__ == "__main__":
    os.makedirs(WORKDIR, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
