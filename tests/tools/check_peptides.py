"""corvane-make-sample --peptides end to end: the run and its truth checked against masses,
isotope ratios and fragment ions computed here independently, and the refusals (run by
ctest).

usage: check_peptides.py MAKE_SAMPLE INFO FASTA WORKDIR
"""
import json
import math
import os
import re
import shutil
import subprocess
import sys
import unittest

MAKE_SAMPLE, INFO, FASTA, WORKDIR = sys.argv[1:5]

# Monoisotopic residue masses as tables list them (C with carbamidomethyl, 57.02146).
RESIDUE = dict(G=57.02146372, A=71.03711379, S=87.03202841, P=97.05276385, V=99.06841391,
               T=101.04767847, C=160.03064848, L=113.08406398, I=113.08406398,
               N=114.04292744, D=115.02694303, Q=128.05857751, K=128.09496302,
               E=129.04259309, M=131.04048491, H=137.05891186, F=147.06841391,
               R=156.10111103, Y=163.06332853, W=186.07931295)
WATER, PROTON, SPACING = 18.01056468, 1.00727646688, 1.003355
# Atoms (C, H, N, O, S) per residue, and each element's M+1 share over its M share: the
# ratio of the M+1 to the M peak of a molecule is exactly the sum of these over its atoms.
ATOMS = dict(G=(2, 3, 1, 1, 0), A=(3, 5, 1, 1, 0), S=(3, 5, 1, 2, 0), P=(5, 7, 1, 1, 0),
             V=(5, 9, 1, 1, 0), T=(4, 7, 1, 2, 0), C=(5, 8, 2, 2, 1), L=(6, 11, 1, 1, 0),
             I=(6, 11, 1, 1, 0), N=(4, 6, 2, 2, 0), D=(4, 5, 1, 3, 0), Q=(5, 8, 2, 2, 0),
             K=(6, 12, 2, 1, 0), E=(5, 7, 1, 3, 0), M=(5, 9, 1, 1, 1), H=(6, 7, 3, 1, 0),
             F=(9, 9, 1, 1, 0), R=(6, 12, 4, 1, 0), Y=(9, 9, 1, 2, 0), W=(11, 10, 2, 1, 0))
M1_OVER_M = (0.0107 / 0.9893, 0.000115 / 0.999885, 0.00364 / 0.99636, 0.00038 / 0.99757,
             0.0075 / 0.9499)


def run(*args, cwd=None):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, cwd=cwd)


def proteins(path=FASTA):
    out, name = {}, None
    for line in read(path).splitlines():
        line = line.strip()
        if line.startswith(">"):
            name = line[1:].split()[0]
            out[name] = ""
        elif line:
            out[name] += line.upper()
    return out


def digest(sequence):
    """Trypsin: after K or R unless P follows; no missed cleavage."""
    return [p for p in re.findall(r".*?(?:[KR](?!P)|$)", sequence) if p]


def mz(peptide, charge):
    return (sum(RESIDUE[a] for a in peptide) + WATER + charge * PROTON) / charge


def read_truth(path):
    with open(path) as f:
        lines = f.read().splitlines()
    assert lines[0].split("\t") == ["sequence", "protein", "charge", "monoisotopic_mz",
                                    "apex_rt_sec", "fragment_scans"], lines[0]
    rows = []
    for line in lines[1:]:
        seq, protein, charge, mono, apex, scans = line.split("\t")
        rows.append(dict(sequence=seq, protein=protein, charge=int(charge), mz=float(mono),
                         apex=float(apex), scans=[int(s) for s in scans.split(",") if s]))
    return rows


def make(name, *options, truth=True, fasta=FASTA):
    path = os.path.join(WORKDIR, name)
    shutil.rmtree(path, ignore_errors=True)
    args = ["--peptides", fasta, *options]
    if truth:
        args += ["--truth", path + ".tsv"]
    done = run(MAKE_SAMPLE, *args, path)
    assert done.returncode == 0, done.stderr
    return path, done.stdout


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def files(path):
    names = sorted(os.listdir(os.path.join(path, "AcqData")))
    return {n: read(os.path.join(path, "AcqData", n), "rb") for n in names}


def apex_of(values, at):
    """Apex position and height of a sampled Gaussian from its top three points (exact for
    a Gaussian: its logarithm is a parabola)."""
    a, b, c = (math.log(values[at + k]) for k in (-1, 0, 1))
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    return at + shift, math.exp(b - 0.25 * (a - c) * shift)


class PeptideRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A narrow axis keeps the profile small enough to read back as JSON.
        cls.path, cls.summary = make("run.d", "--ms1", "100", "--mz-range", "480", "600")
        cls.truth = read_truth(cls.path + ".tsv")
        done = run(INFO, "--spectra", cls.path)
        assert done.returncode == 0, done.stderr
        cls.spectra = json.loads(done.stdout)["spectra"]
        cls.by_scan = {s["scan_id"]: s for s in cls.spectra}

    def test_every_tryptic_peptide_that_fits_is_there_with_its_mass(self):
        by_protein = proteins()
        expected = {}
        for name, sequence in by_protein.items():
            for piece in digest(sequence):
                if 7 <= len(piece) <= 25 and piece not in expected and any(
                        480.5 <= mz(piece, z) and mz(piece, z) + 3 * SPACING / z + 0.2 <= 600
                        for z in (2, 3)):
                    expected[piece] = name
        self.assertEqual({r["sequence"]: r["protein"] for r in self.truth}, expected)
        for r in self.truth:
            with self.subTest(peptide=r["sequence"]):
                self.assertIn(r["charge"], (2, 3))
                self.assertAlmostEqual(r["mz"], mz(r["sequence"], r["charge"]), delta=2e-6)
                self.assertTrue(0 < r["apex"] < 150, r["apex"])

    def test_fragment_scans_hold_the_ladder_and_say_what_was_isolated(self):
        ms1_before = {}
        last_ms1 = None
        for s in self.spectra:
            if s["ms_level"] == 1:
                last_ms1 = s
            else:
                ms1_before[s["scan_id"]] = last_ms1
        isolated_m1 = 0
        for r in self.truth:
            seq, z = r["sequence"], r["charge"]
            prefix = [sum(RESIDUE[a] for a in seq[:i]) for i in range(len(seq) + 1)]
            ladder = [prefix[i] + PROTON for i in range(2, len(seq))] + \
                     [prefix[-1] - prefix[i] + WATER + PROTON for i in range(1, len(seq))]
            for scan in r["scans"]:
                with self.subTest(peptide=seq, scan=scan):
                    s = self.by_scan[scan]
                    self.assertEqual(s["ms_level"], 2)
                    self.assertFalse(s["is_profile"])
                    self.assertEqual(s["mz"], sorted(s["mz"]))
                    p = s["precursor"]
                    # msn_value_1: the m/z of the isolated peak, the monoisotopic one or M+1.
                    k = round((p["msn_value_1"] - r["mz"]) * z / SPACING)
                    self.assertIn(k, (0, 1))
                    isolated_m1 += k
                    self.assertAlmostEqual(p["msn_value_1"], r["mz"] + k * SPACING / z,
                                           delta=1e-6)
                    # msn_value_2: the collision energy, from the isolated m/z; no charge.
                    self.assertAlmostEqual(p["msn_value_2"],
                                           round(3.4 * p["msn_value_1"] / 100 + 2, 1), delta=1e-9)
                    self.assertGreater(p["msn_value_2"], 5)
                    # Fragments at their exact m/z (within 0.05 ppm), half the ladder or more
                    # (about one ion in five is left out at random).
                    found = sum(1 for ion in ladder
                                if min(abs(m - ion) for m in s["mz"]) <= ion * 5e-8)
                    self.assertGreaterEqual(found, 0.5 * len(ladder))
                    # The MS1 scan before it shows the isolated peak.
                    ms1 = ms1_before[scan]
                    target = p["msn_value_1"]
                    near = [i for m, i in zip(ms1["mz"], ms1["intensity"])
                            if abs(m - target) <= target * 1e-5]
                    self.assertGreater(max(near), 500)
        self.assertIn("(%d isolated the M+1 peak)" % isolated_m1, self.summary)

    def test_envelopes_on_the_profile_scans(self):
        ms1 = [s for s in self.spectra if s["ms_level"] == 1]
        first, last = ms1[0]["mz_first"], ms1[0]["mz_last"]
        points = ms1[0]["points"]
        step = (last - first) / (points - 1)
        self.assertEqual((first, last), (480.0, 600.0))
        self.assertAlmostEqual(step, 0.006, delta=1e-9)
        checked = 0
        for r in self.truth:
            z, mono = r["charge"], r["mz"]
            # Skip envelopes another peptide could touch.
            if any(o is not r and abs(o["mz"] - mono) < 3 and abs(o["apex"] - r["apex"]) < 25
                   for o in self.truth):
                continue
            scan = min(ms1, key=lambda s: abs(s["retention_time_sec"] - r["apex"]))
            values = scan["intensity"]
            peaks = []
            for k in (0, 1):
                at = round((mono + k * SPACING / z - first) / step)
                at = max(range(at - 2, at + 3), key=values.__getitem__)
                peaks.append(apex_of(values, at))
            if peaks[0][1] < 2e4 or peaks[1][1] < 2e4:
                continue
            with self.subTest(peptide=r["sequence"]):
                m0, m1 = (first + x * step for x, _ in peaks)
                self.assertAlmostEqual(m0, mono, delta=mono * 2e-7)
                self.assertAlmostEqual(m1 - m0, SPACING / z, delta=mono * 4e-7)
                atoms = [sum(ATOMS[a][e] for a in r["sequence"]) + (0, 2, 0, 1, 0)[e]
                         for e in range(5)]
                ratio = sum(n * share for n, share in zip(atoms, M1_OVER_M))
                self.assertAlmostEqual(peaks[1][1] / peaks[0][1], ratio, delta=0.01 * ratio)
                # FWHM m/z / 15,000: points above half the apex.
                top = max(peaks[0][1], values[round(peaks[0][0])])
                at = round(peaks[0][0])
                wide = sum(1 for v in values[at - 10:at + 11] if v >= top / 2)
                fwhm = mono / 15000 / step
                self.assertTrue(fwhm - 1 <= wide <= fwhm + 1, (wide, fwhm))
                checked += 1
        self.assertGreaterEqual(checked, 5)


class Refusals(unittest.TestCase):
    """Bad FASTA files and misused options: the exit status, one line, nothing written."""

    def setUp(self):
        self.work = os.path.join(WORKDIR, "refusals", self.id().rsplit(".", 1)[1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    def fasta(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_bad_fasta_is_an_error_and_nothing_is_written(self):
        missing = os.path.join(self.work, "missing.fasta")
        rows = [
            (missing, "%s: No such file or directory" % missing),
            (self.fasta("empty.fasta", b""), "%s: no protein sequence"),
            (self.fasta("before.fasta", b"PEPTIDEK\n>A\nPEPTIDEK\n"),
             "%s: line 1: a sequence before the first '>' header"),
            (self.fasta("star.fasta", b">A\nMAAAGGGLLLK\nPEPTIDEK*\n"),
             "%s: line 3: '*' in a sequence is not an amino acid letter"),
            (self.fasta("binary.fasta", b">A\nMA\xffK\n"),
             "%s: line 2: byte 0xFF in a sequence is not an amino acid letter"),
            (self.fasta("short.fasta", b">A\nMKAKRPGGK\n"),
             "%s: no tryptic peptide of 7 to 25 residues has an ion of charge 2 or 3 inside"
             " m/z 350..1250"),
        ]
        for fasta, message in rows:
            with self.subTest(fasta=os.path.basename(fasta)):
                run_dir = os.path.join(self.work, "run.d")
                truth = os.path.join(self.work, "truth.tsv")
                done = run(MAKE_SAMPLE, "--peptides", fasta, "--truth", truth, run_dir)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertEqual(done.stdout, "")
                expected = message % fasta if "%s" in message else message
                self.assertEqual(done.stderr, "corvane-make-sample: %s\n" % expected)
                self.assertFalse(os.path.exists(run_dir))
                self.assertFalse(os.path.exists(truth))
                self.assertEqual(sorted(os.listdir(self.work)),
                                 sorted(n for n in os.listdir(self.work)
                                        if n.endswith(".fasta")))

    def test_any_case_and_line_ends_read_alike(self):
        text = read(FASTA)
        odd = self.fasta("odd.fasta", ("\n" + text.lower().replace(">", "\n>").replace(
            "\n", "\r\n")).replace("cvn", "CVN").encode())
        plain, _ = make("plain.d", "--ms1", "20", "--mz-range", "500", "560")
        mixed, _ = make("mixed.d", "--ms1", "20", "--mz-range", "500", "560", fasta=odd)
        self.assertEqual(files(plain), files(mixed))
        self.assertEqual(read(plain + ".tsv"), read(mixed + ".tsv"))

    def test_truth_file_never_lands_inside_the_run_nor_half_written(self):
        run_dir = os.path.join(self.work, "run.d")
        for truth in (os.path.join(run_dir, "truth.tsv"), run_dir,
                      os.path.join(run_dir, "AcqData", "t.tsv")):
            with self.subTest(truth=truth):
                done = run(MAKE_SAMPLE, "--peptides", FASTA, "--truth", truth, run_dir)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr, "corvane-make-sample: %s: the truth file goes "
                                 "outside the acquisition %s\n" % (truth, run_dir))
                self.assertFalse(os.path.exists(run_dir))
        # A run that cannot be written leaves the old truth file as it was, and no
        # temporary file beside it.
        truth = os.path.join(self.work, "truth.tsv")
        with open(truth, "w") as f:
            f.write("precious")
        blocker = self.fasta("blocker", b"a file where the run's parent folder should be")
        done = run(MAKE_SAMPLE, "--peptides", FASTA, "--truth", truth,
                   os.path.join(blocker, "run.d"))
        self.assertEqual(done.returncode, 1)
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertEqual(read(truth), "precious")
        self.assertEqual(sorted(os.listdir(self.work)), ["blocker", "truth.tsv"])

    def test_usage_errors(self):
        for args in (["--truth", "t.tsv", "d"],
                     ["--peptides", FASTA, "--ms2", "3", "d"],
                     ["--peptides", FASTA, "--tiny", "4", "d"],
                     ["--peptides", FASTA, "--mz-range", "0", "60000", "d"],
                     ["--peptides", FASTA],
                     ["--peptides", "", "d"],
                     ["d", "--peptides"]):
            with self.subTest(args=args):
                done = run(MAKE_SAMPLE, *args, cwd=self.work)
                self.assertEqual(done.returncode, 2)
                self.assertTrue(done.stderr.startswith("usage: corvane-make-sample"))
                self.assertEqual(os.listdir(self.work), [])


if __name__ == "__main__":
    os.makedirs(WORKDIR, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
