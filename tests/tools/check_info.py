"""End-to-end checks of corvane-make-sample and corvane-info (run by ctest).

usage: check_info.py MAKE_SAMPLE INFO FIXTURE WORKDIR
"""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import unittest

MAKE_SAMPLE, INFO, FIXTURE, WORKDIR = sys.argv[1:5]


def run(*args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=120)


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

    def test_usage_errors(self):
        for args in ([], ["--ms1"], ["--ms1", "x", "d"], ["--points", "0", "d"],
                     ["--bogus", "d"], ["a", "b"]):
            with self.subTest(args=args):
                done = run(MAKE_SAMPLE, *args)
                self.assertEqual(done.returncode, 2)
                self.assertTrue(done.stderr.startswith("usage: corvane-make-sample"))


class Info(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sample = make_sample("sample.d")
        cls.doc = info(cls.sample)

    def test_head(self):
        d = self.doc
        self.assertEqual(list(d), ["root", "source_name", "instrument", "acquired_time",
                                   "record_stride", "payload_offset", "scan_count", "spectra"])
        self.assertEqual(d["root"], self.sample)
        self.assertEqual(d["source_name"], "sample.d")
        self.assertEqual(d["instrument"], {"accession": "MS:1002786",
                                           "name": "6530A Q-TOF LC/MS"})
        self.assertEqual(d["acquired_time"], "2026-03-14T09:26:53Z")
        self.assertEqual(d["record_stride"], 284)
        self.assertEqual(d["payload_offset"], 92)
        self.assertEqual(d["scan_count"], 300)

    def test_spectra(self):
        spectra = self.doc["spectra"]
        self.assertEqual(len(spectra), 300)
        ms1 = [s for s in spectra if s["ms_level"] == 1]
        ms2 = [s for s in spectra if s["ms_level"] == 2]
        self.assertEqual((len(ms1), len(ms2)), (150, 150))
        for i, s in enumerate(spectra):
            self.assertEqual(list(s), ["index", "native_id", "scan_id", "ms_level",
                                       "retention_time_sec", "mz_first", "mz_last", "precursor",
                                       "is_profile", "instrument_kind", "points"])
            self.assertEqual(s["index"], i)
            self.assertEqual(s["native_id"], "scanId=%d" % s["scan_id"])
            self.assertEqual(s["instrument_kind"], 3)
        for s in ms1:
            self.assertTrue(s["is_profile"])
            self.assertEqual(s["points"], 4000)
            self.assertIsNone(s["precursor"])
            self.assertEqual((s["mz_first"], s["mz_last"]), (100.0, 1700.0))
        for s in ms2:
            self.assertFalse(s["is_profile"])
            self.assertGreaterEqual(s["points"], 10)
            p = s["precursor"]
            self.assertEqual(p["reference"], s["native_id"])
            self.assertIsInstance(p["msn_value_1"], float)
            self.assertIn(p["msn_value_2"], (1.0, 2.0, 3.0))

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

    def test_not_an_acquisition(self):
        done = run(INFO, WORKDIR)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, "")
        self.assertEqual(done.stderr, "corvane-info: parse error: AcqData directory not found\n")

    def test_damaged_index(self):
        path = os.path.join(WORKDIR, "magic.d")
        shutil.rmtree(path, ignore_errors=True)
        done = run(FIXTURE, path, stdin=json.dumps({"magic": 7, "scans": [{}]}))
        self.assertEqual(done.returncode, 0, done.stderr)
        done = run(INFO, path)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, "corvane-info: parse error: Invalid MSScan magic: 7\n")

    def test_usage_errors(self):
        for args in ([], ["--bogus", self.sample], [self.sample, self.sample], ["--spectra"]):
            with self.subTest(args=args):
                done = run(INFO, *args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, "")
                self.assertTrue(done.stderr.startswith("usage: corvane-info"))


if __name__ == "__main__":
    os.makedirs(WORKDIR, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
