"""From a run to identified peptides and found features, with the tools Debian's OpenMS
ships: the peptide sample (corvane-make-sample --peptides examples/proteins.fasta) is
converted by corvane-convert and handed to a target-decoy search, to FeatureFinderMetabo
and, as profile data, to PeakPickerHiRes; every result is checked against the sample's
truth file. The counts are printed for docs/identify.md.
"""

import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mzml  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("CORVANE_BUILD", ROOT / "build"))
TOOLS = BUILD / "tools"
FASTA = ROOT / "examples" / "proteins.fasta"
# OpenMS runs on the machine's two cores; the answers do not depend on it.
THREADS = "2"


# OpenMS is not ours to sanitize: under the sanitizer pass the interpreter runs with the
# ASan runtime preloaded, and some OpenMS tools (MassCalculator) then hang on exit.
OPENMS_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run(*args, cwd=None):
    ours = Path(str(args[0])).parent == TOOLS
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                          timeout=1200, env=None if ours else OPENMS_ENV)
    assert done.returncode == 0, "%s failed (%d):\n%s\n%s" % (
        Path(str(args[0])).name, done.returncode, done.stdout[-3000:], done.stderr[-3000:])
    return done.stdout


def read_truth(path):
    lines = Path(path).read_text().splitlines()
    assert lines[0].split("\t") == ["sequence", "protein", "charge", "monoisotopic_mz",
                                    "apex_rt_sec", "fragment_scans"]
    rows = []
    for line in lines[1:]:
        seq, protein, charge, mono, apex, scans = line.split("\t")
        rows.append(SimpleNamespace(sequence=seq, protein=protein, charge=int(charge),
                                    mz=float(mono), apex=float(apex),
                                    scans=["scanId=" + s for s in scans.split(",") if s]))
    return rows


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    work = tmp_path_factory.mktemp("identify")
    acq, truth = work / "run.d", work / "truth.tsv"
    run(TOOLS / "corvane-make-sample", "--peptides", FASTA, "--truth", truth, acq)
    rows = read_truth(truth)
    return SimpleNamespace(
        work=work, acq=acq, truth=rows,
        peptides={r.sequence for r in rows},
        fragmented={r.sequence for r in rows if r.scans},
        by_scan={scan: r for r in rows for scan in r.scans})


def test_peptide_masses_agree_with_openms(sample):
    """Every m/z of the truth file as OpenMS's MassCalculator computes it (carbamidomethyl
    C): a wrong residue mass would fail every search below."""
    request = sample.work / "masses.tsv"
    request.write_text("".join("%s\t%d\n" % (r.sequence.replace("C", "C(Carbamidomethyl)"),
                                             r.charge) for r in sample.truth))
    table = run("MassCalculator", "-in", request, "-format", "table", "-separator", ",")
    openms = {}
    for line in table.splitlines():
        fields = line.split(",")
        if len(fields) == 4 and fields[0].startswith('"') and fields[1] != '"charge"':
            openms[(fields[0].strip('"').replace("(Carbamidomethyl)", ""), int(fields[1]))] = \
                float(fields[3])
    errors = [abs(r.mz - openms[(r.sequence, r.charge)]) / r.mz * 1e6 for r in sample.truth]
    print("\nmasses: %d peptides, largest difference from OpenMS %.4f ppm"
          % (len(errors), max(errors)))
    assert max(errors) < 0.01


def test_precursor_evidence_names_the_member_the_sample_documents(sample):
    out = run(TOOLS / "corvane-info", "--precursor-evidence", sample.acq)
    print("\n" + out)
    shares = {m[1]: float(m[2]) for m in re.finditer(
        r"^(msn_value_[12])\s+\d+\s+\d+\s+\d+\s+\d+\s+([\d.]+)%", out, re.M)}
    assert shares["msn_value_1"] >= 95.0 and shares["msn_value_2"] == 0.0, shares
    assert "declare --precursor-mz msn_value_1" in out


@pytest.fixture(scope="module")
def database(sample):
    """The proteins and their reversed decoys."""
    path = sample.work / "target_decoy.fasta"
    run("DecoyDatabase", "-in", FASTA, "-out", path, "-method", "reverse",
        "-decoy_string", "DECOY_", "-decoy_string_position", "prefix")
    return path


def psms(path):
    """(spectrum reference, sequence without modifications, target/decoy) of every hit."""
    root = ET.parse(path).getroot()
    out = []
    for identification in root.iter("PeptideIdentification"):
        assert identification.get("score_type") == "q-value", identification.attrib
        for hit in identification.findall("PeptideHit"):
            decoy = {p.get("name"): p.get("value") for p in hit.findall("UserParam")}
            out.append((identification.get("spectrum_reference"),
                        re.sub(r"\([^)]*\)", "", hit.get("sequence")),
                        decoy.get("target_decoy")))
    return out


def precursor_summary(path, sample):
    """How the converted precursors compare with the truth: for diagnosis on failure."""
    right = missing = wrong = 0
    for s in mzml.spectra(path):
        truth = sample.by_scan.get(s["id"])
        if truth is None or s["precursor"] is None:
            continue
        charge = s["precursor"]["charge"]
        right += charge == truth.charge
        missing += charge is None
        wrong += charge not in (None, truth.charge)
    return "charges of the peptides' fragment scans: %d right, %d absent, %d wrong" % (
        right, missing, wrong)


@pytest.mark.parametrize("route", ["mzML", "MGF"])
def test_search_identifies_the_fragmented_peptides(sample, database, route):
    work = sample.work / route
    work.mkdir()
    if route == "mzML":
        searched = work / "run.mzML"
        run(TOOLS / "corvane-convert", "--centroid", "--precursor-mz", "msn_value_1",
            sample.acq, "-o", searched)
        titles = None
        diagnosis = precursor_summary(searched, sample)
    else:
        # SimpleSearchEngine reads mzML only: OpenMS converts the MGF first, and names its
        # spectra "index=N" in the MGF's order.
        mgf = work / "run.mgf"
        run(TOOLS / "corvane-convert", "--format", "mgf", "--precursor-mz", "msn_value_1",
            sample.acq, "-o", mgf)
        titles = [line[6:] for line in mgf.read_text().splitlines() if line.startswith("TITLE=")]
        searched = work / "from_mgf.mzML"
        run("FileConverter", "-in", mgf, "-out", searched)
        diagnosis = "%d MGF entries" % len(titles)
    hits, indexed = work / "search.idXML", work / "indexed.idXML"
    fdr, accepted = work / "fdr.idXML", work / "accepted.idXML"
    run("SimpleSearchEngine", "-in", searched, "-database", database, "-out", hits,
        "-threads", THREADS)
    # A twelve-protein database with a 10 ppm precursor window leaves the decoys few or
    # no candidates, so their absence is not an error here.
    run("PeptideIndexer", "-in", hits, "-fasta", database, "-out", indexed,
        "-decoy_string", "DECOY_", "-decoy_string_position", "prefix",
        "-enzyme:name", "Trypsin", "-missing_decoy_action", "warn")
    run("FalseDiscoveryRate", "-in", indexed, "-out", fdr, "-PSM", "true", "-protein", "false")
    run("IDFilter", "-in", fdr, "-out", accepted, "-score:pep", "0.01")

    found = psms(accepted)
    native = [titles[int(ref.split("=")[1])] if titles else ref for ref, _, _ in found]
    targets = {seq for (_, seq, kind) in found if kind != "decoy"}
    identified = targets & sample.fragmented
    outside = targets - sample.peptides
    # A spectrum named after another peptide than its own, or a spectrum of one of the
    # other compounds named at all.
    wrong = [(ref, seq) for ref, (_, seq, _) in zip(native, found)
             if ref not in sample.by_scan or sample.by_scan[ref].sequence != seq]
    decoys = sum(1 for (_, _, kind) in found if kind == "decoy")
    print("\nsearch from %s: %d of %d fragmented peptides identified at 1%% FDR (%.1f%%); "
          "%d PSMs accepted, %d of them decoys, %d wrong; %d identified peptides outside "
          "the sample; %s"
          % (route, len(identified), len(sample.fragmented),
             100.0 * len(identified) / len(sample.fragmented), len(found), decoys, len(wrong),
             len(outside), diagnosis))
    assert not outside, sorted(outside)
    assert len(identified) >= 0.9 * len(sample.fragmented), diagnosis
    assert len(wrong) <= 0.01 * len(found), wrong


def test_feature_finder_finds_the_peptides(sample):
    """FeatureFinderMetabo on the centroided run: a feature within 10 ppm of each peptide's
    monoisotopic m/z and 15 s of its apex."""
    centroided = sample.work / "features.mzML"
    features = sample.work / "run.featureXML"
    run(TOOLS / "corvane-convert", "--centroid", sample.acq, "-o", centroided)
    run("FeatureFinderMetabo", "-in", centroided, "-out", features, "-threads", THREADS)
    found = []
    for feature in ET.parse(features).getroot().iter("feature"):
        position = {p.get("dim"): float(p.text) for p in feature.findall("position")}
        found.append((position["1"], position["0"]))
    found = np.array(found)
    missed = [r for r in sample.truth
              if not np.any((np.abs(found[:, 0] - r.mz) <= r.mz * 1e-5) &
                            (np.abs(found[:, 1] - r.apex) <= 15.0))]
    hits = len(sample.truth) - len(missed)
    print("\nfeatures: %d of %d peptides found (%.1f%%) among %d features; missed: %s"
          % (hits, len(sample.truth), 100.0 * hits / len(sample.truth), len(found),
             ", ".join("%s %d+ m/z %.4f at %.1f s" % (r.sequence, r.charge, r.mz, r.apex)
                       for r in missed) or "none"))
    assert hits >= 0.9 * len(sample.truth)


def test_centroids_agree_with_peak_picker_hires(sample):
    """Both pickers on the same profile scans: PeakPickerHiRes's peaks above 1% of their
    scan's base peak each have a corvane centroid within 2 ppm."""
    profile, picked = sample.work / "profile.mzML", sample.work / "pphr.mzML"
    centroided = sample.work / "agreement.mzML"
    run(TOOLS / "corvane-convert", sample.acq, "-o", profile)
    run(TOOLS / "corvane-convert", "--centroid", sample.acq, "-o", centroided)
    run("PeakPickerHiRes", "-in", profile, "-out", picked, "-algorithm:ms_levels", "1",
        "-threads", THREADS)
    theirs = {s["id"]: s for s in mzml.spectra(picked) if s["ms_level"] == 1}
    total = matched = 0
    errors, unmatched = [], []
    for ours in mzml.spectra(centroided):
        if ours["ms_level"] != 1:
            continue
        assert ours["centroid"], ours["id"]
        reference = theirs.pop(ours["id"])
        assert reference["centroid"], ours["id"]
        mz, intensity = reference["mz"], reference["intensity"]
        if len(mz) == 0:
            continue
        strong = mz[intensity >= 0.01 * intensity.max()]
        if len(ours["mz"]) == 0:
            total += len(strong)
            unmatched += [(ours["id"], m, None) for m in strong]
            continue
        at = np.clip(np.searchsorted(ours["mz"], strong), 1, len(ours["mz"]) - 1)
        nearest = np.minimum(np.abs(ours["mz"][at - 1] - strong), np.abs(ours["mz"][at] - strong))
        ppm = nearest / strong * 1e6
        total += len(strong)
        matched += int(np.sum(ppm <= 2.0))
        errors += list(ppm[ppm <= 2.0])
        unmatched += [(ours["id"], round(float(m), 4), round(float(p), 2))
                      for m, p in zip(strong, ppm) if p > 2.0]
    assert not theirs, sorted(theirs)[:5]  # every MS1 scan compared
    share = matched / total
    print("\nagreement: %d of %d PeakPickerHiRes peaks above 1%% of the base peak matched "
          "within 2 ppm (%.2f%%), median difference %.3f ppm, 99th percentile %.3f ppm"
          % (matched, total, 100.0 * share, np.median(errors), np.percentile(errors, 99)))
    assert share >= 0.98, unmatched[:20]
