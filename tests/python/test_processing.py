"""meridel's processed spectra on both interpreters: the declared precursor member and the
selected ion it gives fragment spectra, peak picking (Spectrum.centroid(), iter() and
arrays()), the precursor evidence, MGF and the filters of to_mzml and to_mgf, and the
refusal of every hostile argument."""
import math
import os
import pickle
import subprocess
import threading
import xml.etree.ElementTree as ET

import pytest

import meridel
from test_meridel import large_run  # noqa: F401  (a fixture)
from test_to_mzml import NS, decoded_arrays

ISOTOPE = 1.0033548  # 13C - 12C


def gaussian_profile(first, last, count, peaks, sigma=0.004):
    """A profile block of count points on first..last with a Gaussian at each (m/z, height)."""
    step = (last - first) / (count - 1)
    values = []
    for j in range(count):
        mz = first + step * j
        values.append(int(round(sum(h * math.exp(-0.5 * ((mz - c) / sigma) ** 2) for c, h in peaks))))
    return {"intensities": values}


def fragment(scan_id, rt_min, msn_value_1=None, msn_value_2=None, **extra):
    scan = {"scan_id": scan_id, "rt_min": rt_min, "ms_level": 2, "mz_first": 50.0, "mz_last": 600.0,
            "peaks": {"format": 3, "mz": [110.5, 220.25, 330.125, 440.0625],
                      "intensity": [40.0, 400.0, 4000.0, 400.0]}}
    if msn_value_1 is not None:
        scan["msn_value_1"] = msn_value_1
    if msn_value_2 is not None:
        scan["msn_value_2"] = msn_value_2
    scan.update(extra)
    return scan


# A charge 2 envelope at 500.25 (and a lone peak at 502.95, whose envelope would run off
# the axis) on an MS1 profile scan of 499..503 m/z, fragment scans around it.
ENVELOPE_PEAKS = [(500.25, 100000), (500.25 + ISOTOPE / 2, 60000), (500.25 + ISOTOPE, 25000), (502.95, 50000)]
ENVELOPE = {"scans": [
    fragment(1, 0.1, 500.25, 2.0),                       # before any MS1 scan
    {"scan_id": 2, "rt_min": 0.2, "ms_level": 1, "mz_first": 499.0, "mz_last": 503.0,
     "profile": gaussian_profile(499.0, 503.0, 2001, ENVELOPE_PEAKS)},
    fragment(3, 0.3, 500.25, 2.0),
    fragment(4, 0.4, 0.0, 3.0),                          # msn_value_1 holds no usable m/z
    fragment(5, 0.5, 502.95, 1.0),
    fragment(6, 0.6, 500.25, None, mrm_channel=4),       # an MRM channel: no msn_value_2
    fragment(7, 0.7, -12.5, 500.25),
    {"scan_id": 8, "rt_min": 0.8, "ms_level": 1, "mz_first": 499.0, "mz_last": 503.0,
     "peaks": {"format": 3, "mz": [500.25, 500.7517], "intensity": [9000.0, 5000.0]}},
    fragment(9, 0.9, 500.25, 2.0),
]}


def selected(p):
    return (p.mz, p.charge, p.monoisotopic_mz, p.envelope_scan)


def make_sample(folder, *flags):
    """A run of corvane-make-sample: precursor m/z in msn_value_1, a charge in msn_value_2."""
    tool = os.environ.get("CORVANE_MAKE_SAMPLE")
    if not tool or not os.access(tool, os.X_OK):
        pytest.fail("CORVANE_MAKE_SAMPLE must name the corvane-make-sample executable (ctest sets it)")
    path = str(folder / "sample.d")
    proc = subprocess.run([tool, *flags, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.returncode == 0, proc.stderr.decode()
    return path


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return make_sample(tmp_path_factory.mktemp("sample"), "--ms1", "30", "--points", "6000", "--ms2", "60",
                       "--peaks", "30")


def spectrum_state(s):
    """Everything a spectrum holds, comparable."""
    return (s.index, s.native_id, s.ms_level, s.retention_time_sec, s.is_profile, s.precursor, s.error,
            s.mz.tolist(), s.intensity.tolist())


# ---------------------------------------------------------------------------------------
# The declared member

def test_open_takes_a_member_or_nothing(acquisition):
    path = acquisition(ENVELOPE)
    for value, kind, text in [
        ("msn_value_3", ValueError,
         "open() argument 'precursor_mz' must be 'msn_value_1', 'msn_value_2' or None, not 'msn_value_3'"),
        (1, TypeError, "open() argument 'precursor_mz' must be str or None, not int"),
        (b"msn_value_1", TypeError, "open() argument 'precursor_mz' must be str or None, not bytes"),
    ]:
        with pytest.raises(kind) as info:
            meridel.open(path, precursor_mz=value)
        assert str(info.value).startswith(text), (value, str(info.value))
    with pytest.raises(TypeError, match="got multiple values for argument 'precursor_mz'"):
        meridel.open(path, "msn_value_1", precursor_mz="msn_value_1")

    # Nothing declared: today's spectra, with the new members None.
    plain = meridel.open(path)
    assert plain.precursor_mz is None and meridel.open(path, None).precursor_mz is None
    assert repr(plain) == "<meridel.Acquisition %r scans=9>" % path
    p = plain[2].precursor
    assert p[:3] == (500.25, 2.0, "scanId=3") and selected(p) == (None,) * 4
    assert pickle.loads(pickle.dumps(plain)).precursor_mz is None

    declared = meridel.open(path, "msn_value_1")
    assert declared.precursor_mz == "msn_value_1"
    assert repr(declared) == "<meridel.Acquisition %r scans=9 precursor_mz=msn_value_1>" % path
    copy = pickle.loads(pickle.dumps(declared))
    assert copy.precursor_mz == "msn_value_1" and copy[2].precursor == declared[2].precursor
    # The index's values are the same either way.
    for i in range(len(plain)):
        a, b = plain[i].precursor, declared[i].precursor
        assert (a is None) == (b is None) and (a is None or a[:3] == b[:3])
    # A Precursor can still be made from the index's three values.
    assert meridel.Precursor(1.0, 2.0, None) == (1.0, 2.0, None, None, None, None, None)


@pytest.mark.parametrize("member", ["msn_value_1", "msn_value_2"])
def test_selected_ion_of_the_declared_member(acquisition, member):
    path = acquisition(ENVELOPE)
    with meridel.open(path, precursor_mz=member) as acq:
        ions = {s.scan_id: s.precursor for s in acq if s.ms_level == 2}
    declared = {i: getattr(p, member) for i, p in ions.items()}
    for scan_id, p in ions.items():
        usable = declared[scan_id] is not None and declared[scan_id] > 0
        if not usable:
            # A member the scan lacks, or one that holds no m/z: no precursor m/z, never 0.
            assert selected(p) == (None,) * 4, (scan_id, p)
            continue
        assert p.mz == declared[scan_id], (scan_id, p)
        assert p.charge is None or (isinstance(p.charge, int) and p.charge >= 1), p
        assert p.monoisotopic_mz is None or (isinstance(p.monoisotopic_mz, float) and p.monoisotopic_mz > 0), p
    # The envelope is read from the MS1 scan before the fragment scan; none before the first.
    envelope = {i: p.envelope_scan for i, p in ions.items() if p.mz is not None}
    expected = {1: None, 3: "scanId=2", 4: "scanId=2", 5: "scanId=2", 6: "scanId=2", 7: "scanId=2",
                9: "scanId=8"}
    assert envelope == {i: expected[i] for i in envelope}
    if member == "msn_value_1":
        assert sorted(envelope) == [1, 3, 5, 6, 9]      # 4 holds 0.0, 7 a negative value
        assert ions[1].charge is None and ions[1].monoisotopic_mz is None
        # The clean charge 2 envelope decides; its monoisotopic peak is the declared one.
        assert ions[3].charge == 2 and ions[3].monoisotopic_mz == pytest.approx(500.25, abs=500.25 * 2e-6)
    else:
        assert sorted(envelope) == [1, 3, 4, 5, 7, 9]   # 6 is an MRM channel without msn_value_2
        assert ions[7].mz == 500.25 and ions[3].mz == 2.0


def test_pickles_of_precursors_old_and_new(acquisition):
    path = acquisition(ENVELOPE)
    with meridel.open(path, "msn_value_1") as acq:
        s = acq[2]
    assert pickle.loads(pickle.dumps(s)).precursor == s.precursor
    restore, (state,) = s.__reduce__()
    assert len(state[7]) == 4 and state[7][3][0] == 500.25
    # Pickled before precursors were declared: three members, restored without a selected ion.
    old = state[:7] + (state[7][:3],) + state[8:]
    assert selected(restore(old).precursor) == (None,) * 4
    assert restore(old).precursor[:3] == s.precursor[:3]
    for ion in [(None, 2, None, None), (500.25, -1, None, None), (500.25, 2.0, None, None),
                [500.25, 2, None, None]]:
        with pytest.raises(ValueError, match="not a pickled spectrum"):
            restore(state[:7] + (state[7][:3] + (ion,),) + state[8:])


# ---------------------------------------------------------------------------------------
# Peak picking

CENTROID_PEAKS = [(400.1234, 20000), (401.5, 800), (402.75, 65000)]
PICKING = {"scans": [
    {"scan_id": 1, "rt_min": 0.1, "ms_level": 1, "mz_first": 399.0, "mz_last": 404.0,
     "profile": gaussian_profile(399.0, 404.0, 2501, CENTROID_PEAKS)},
    fragment(2, 0.2, 402.75, 2.0),
    {"scan_id": 3, "rt_min": 0.3, "ms_level": 1, "mz_first": 399.0, "mz_last": 404.0,
     "profile": gaussian_profile(399.0, 404.0, 2501, [(399.5, 3000), (403.25, 7000)])},
    {"scan_id": 4, "rt_min": 0.4, "ms_level": 1, "mz_first": 399.0, "mz_last": 404.0,
     "profile": {"point_count": 3, "uncompressed_byte_count": 28, "raw_hex": "00" * 16 + "ff"}},   # damaged
    {"scan_id": 5, "rt_min": 0.5, "ms_level": 1, "mz_first": 399.0, "mz_last": 404.0,
     "profile": {"intensities": [7]}},                                                              # one point
    {"scan_id": 6, "rt_min": 0.6, "ms_level": 1, "mz_first": 399.0, "mz_last": 404.0,
     "profile": gaussian_profile(399.0, 404.0, 2501, [(400.0, 5000)])},
]}


def test_centroid_everywhere_the_same(acquisition):
    path = acquisition(PICKING)
    with meridel.open(path, "msn_value_1") as acq:
        raw = list(acq)
        picked = [s.centroid() for s in raw]
        assert [s.error is None for s in raw] == [True, True, True, False, True, True]
        assert [s.is_profile for s in raw if s.error is None] == [True, False, True, True, True]
        # Not profile data, or nothing to pick (a damaged block): the spectrum itself.
        assert picked[1] is raw[1] and picked[3] is raw[3] and picked[3].error is not None
        for s, p in zip(raw, picked):
            assert not p.is_profile or p.error is not None
            assert (p.index, p.native_id, p.retention_time_sec, p.precursor) == \
                (s.index, s.native_id, s.retention_time_sec, s.precursor)
        # The two tall Gaussians at least (their accuracy is the picker's business).
        mz = picked[0].mz.tolist()
        assert sorted(mz) == mz and 2 <= len(mz) <= 3
        assert len(picked[4]) == 0 and not picked[4].is_profile  # one point: no peak
        assert picked[0].centroid() is picked[0]
        expected = [spectrum_state(p) for p in picked]
        for threads in (1, 2, 3):
            assert [spectrum_state(s) for s in acq.iter(threads=threads, centroid=True)] == expected
            runs = acq.arrays(threads=threads, centroid=True)
            offsets = runs.offsets.tolist()
            assert offsets == [0] + [sum(len(p) for p in picked[:k + 1]) for k in range(len(picked))]
            assert runs.mz.tolist() == [x for p in picked for x in p.mz.tolist()]
            assert runs.intensity.tolist() == [x for p in picked for x in p.intensity.tolist()]
        assert [spectrum_state(s) for s in acq.iter(centroid=False)] == [spectrum_state(s) for s in raw]
        # A selection and peak picking together.
        assert [s.index for s in acq.iter(ms_level=1, rt_range=(20.0, 40.0), centroid=True)] == [3, 4, 5]
        assert pickle.loads(pickle.dumps(picked[0])).mz.tolist() == mz


def test_a_picking_iteration_stopped_from_another_thread(large_run):
    """close() of the iterator or of the acquisition while another thread is inside a
    step: the step ends with its spectrum or the closed error, never on freed state."""
    path, _ = large_run
    for threads in (1, 2):
        for stop in ("iterator", "acquisition"):
            acq = meridel.open(path, "msn_value_1")
            it = acq.iter(threads=threads, centroid=True)
            seen, failures = [], []
            started = threading.Event()

            def work():
                try:
                    for s in it:
                        seen.append(len(s))
                        started.set()
                except ValueError as e:
                    failures.append(str(e))
                started.set()

            worker = threading.Thread(target=work)
            worker.start()
            started.wait()
            (it if stop == "iterator" else acq).close()
            worker.join()
            assert seen
            assert failures in ([], ["I/O operation on closed acquisition"])
            with pytest.raises((StopIteration, ValueError)):
                next(it)
            acq.close()


# ---------------------------------------------------------------------------------------
# Precursor evidence

def test_precursor_evidence_names_the_member_that_matches(sample, acquisition):
    with meridel.open(sample) as acq:
        evidence = acq.precursor_evidence()
        assert evidence == acq.precursor_evidence(ppm=10, threads=1) == acq.precursor_evidence(threads=3)
        fragments = sum(1 for level in acq.scans()["ms_level"].tolist() if level >= 2)
    assert [e.member for e in evidence] == ["msn_value_1", "msn_value_2"]
    for e in evidence:
        assert isinstance(e, meridel.PrecursorEvidence) and isinstance(e.fragment_scans, int)
        assert e.fragment_scans == fragments and fragments >= e.with_value >= e.with_ms1 >= e.matched
        assert e.share == e.matched / e.fragment_scans
    first, second = evidence
    assert first.share > 0.9 and abs(first.median_error_ppm) < 1.0
    assert second.matched == 0 and second.median_error_ppm is None

    # A run without fragment scans: nothing to match, no division by zero.
    with meridel.open(acquisition({"scans": PICKING["scans"][:1]})) as acq:
        assert [tuple(e)[1:] for e in acq.precursor_evidence()] == [(0, 0, 0, 0, 0.0, None)] * 2

    acq = meridel.open(sample)
    for kwargs, kind, text in [
        (dict(ppm=0), ValueError, "precursor_evidence() argument 'ppm' must be positive, not 0"),
        (dict(ppm=float("inf")), ValueError, "precursor_evidence() argument 'ppm' must be finite, not inf"),
        (dict(ppm="10"), TypeError, "precursor_evidence() argument 'ppm' must be a real number, not str"),
        (dict(threads=0), ValueError, "precursor_evidence() argument 'threads' must be at least 1, not 0"),
    ]:
        with pytest.raises(kind) as info:
            acq.precursor_evidence(**kwargs)
        assert str(info.value) == text, str(info.value)
    acq.close()
    with pytest.raises(ValueError, match="^I/O operation on closed acquisition$"):
        acq.precursor_evidence()


# ---------------------------------------------------------------------------------------
# MGF, and the filters of both writers

def read_mgf(path):
    """[{key: text, ..., "peaks": [(m/z, intensity)]}] of an MGF file, checking its layout."""
    entries = []
    entry = None
    for line in open(path, encoding="ascii").read().split("\n"):
        if line == "BEGIN IONS":
            assert entry is None
            entry = {"peaks": []}
        elif line == "END IONS":
            entries.append(entry)
            entry = None
        elif entry is not None and "=" in line:
            key, value = line.split("=", 1)
            entry[key] = value
        elif entry is not None:
            mz, intensity = line.split(" ")
            entry["peaks"].append((float(mz), float(intensity)))
        else:
            assert line == "", line
    assert entry is None
    return entries


@pytest.mark.parametrize("top_n,min_intensity", [(None, None), (3, 200.5)])
def test_mgf_holds_the_fragment_scans(sample, tmp_path, top_n, min_intensity):
    with meridel.open(sample, "msn_value_1") as acq:
        outputs = set()
        for threads in (1, 2, 3):
            target = tmp_path / ("t%d.mgf" % threads)
            assert acq.to_mgf(target, threads=threads, top_n=top_n, min_intensity=min_intensity) is None
            outputs.add(target.read_bytes())
        assert len(outputs) == 1
        entries = read_mgf(tmp_path / "t1.mgf")
        fragments = [s for s in acq if s.ms_level >= 2 and s.precursor.mz is not None]
    assert len(entries) == len(fragments) > 0
    for entry, s in zip(entries, fragments):
        p = s.precursor
        assert entry["TITLE"] == s.native_id and entry["SCANS"] == str(s.scan_id)
        assert float(entry["RTINSECONDS"]) == s.retention_time_sec
        assert float(entry["PEPMASS"]) == (p.monoisotopic_mz if p.monoisotopic_mz is not None else p.mz)
        assert entry.get("CHARGE") == (None if p.charge is None else "%d+" % p.charge)
        # The filters passed through (their rules are the core's): a subset, in m/z order.
        mz = [m for m, _ in entry["peaks"]]
        assert mz == sorted(mz) and set(mz) <= set(s.mz.tolist())
        assert len(mz) == len(s) if top_n is None else len(mz) <= top_n
        assert all(i >= (min_intensity or 0.0) for _, i in entry["peaks"])


def test_mgf_is_refused_without_a_member_and_keeps_the_file_rules(sample, tmp_path):
    with meridel.open(sample) as acq:
        target = tmp_path / "run.mgf"
        with pytest.raises(ValueError) as info:
            acq.to_mgf(target)
        message = str(info.value)
        assert "to_mgf()" in message and "precursor_mz='msn_value_1'|'msn_value_2'" in message
        assert "precursor_evidence()" in message
        assert os.listdir(tmp_path) == []
    with meridel.open(sample, "msn_value_1") as acq:
        acq.to_mgf(target)
        assert target.read_bytes().startswith(b"BEGIN IONS\n")
        # Only MS1 scans selected: an empty file, not an error.
        acq.to_mgf(tmp_path / "none.mgf", ms_level=1)
        assert read_mgf(tmp_path / "none.mgf") == []
        acq.close()
        with pytest.raises(ValueError, match="closed acquisition"):
            acq.to_mgf(tmp_path / "late.mgf")
    assert sorted(os.listdir(tmp_path)) == ["none.mgf", "run.mgf"]


def test_mgf_says_which_fragment_scans_it_left_out(acquisition, tmp_path):
    damaged = fragment(10, 1.0, 500.25, 2.0)
    damaged["peaks"]["byte_offset"] = 1 << 40
    path = acquisition({"scans": ENVELOPE["scans"] + [damaged]})
    with meridel.open(path, "msn_value_1") as acq:
        with pytest.warns(UserWarning) as caught:
            acq.to_mgf(tmp_path / "run.mgf")
        assert [str(w.message) for w in caught] == [
            "to_mgf(): 2 fragment scans have no precursor m/z in msn_value_1 and were left out: scanId=4, scanId=7",
            "to_mgf(): 1 scan could not be read and was left out: scanId=10; error: " + acq[9].error]
        assert [e["TITLE"] for e in read_mgf(tmp_path / "run.mgf")] == \
            ["scanId=1", "scanId=3", "scanId=5", "scanId=6", "scanId=9"]
        # As an error, the warning is raised once the file is complete.
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning, match="no precursor m/z in msn_value_1"):
                acq.to_mgf(tmp_path / "again.mgf")
        assert (tmp_path / "again.mgf").read_bytes() == (tmp_path / "run.mgf").read_bytes()


def test_mzml_with_centroids_filters_and_the_declared_precursor(sample, tmp_path):
    with meridel.open(sample, "msn_value_1") as acq:
        rts = acq.scans()["retention_time_sec"].tolist()
        low, high = rts[len(rts) // 4], rts[len(rts) // 2]
        acq.to_mzml(tmp_path / "c.mzML", centroid=True, rt_range=(low, high), top_n=20, min_intensity=10.0,
                    compression=None)
        chosen = [s for s in acq.iter(rt_range=(low, high), centroid=True)]
        root = ET.parse(tmp_path / "c.mzML").getroot()
        elements = list(root.iter(NS + "spectrum"))
        assert [e.get("id") for e in elements] == [s.native_id for s in chosen]
        for element, s in zip(elements, chosen):
            arrays = decoded_arrays(element)
            mz, intensity = arrays["mz"][0], arrays["intensity"][0]
            assert len(mz) <= 20 and min(intensity, default=10.0) >= 10.0 and set(mz) <= set(s.mz.tolist())
            terms = {p.get("accession"): p.get("value") for p in element.iter(NS + "cvParam")}
            assert "MS:1000127" in terms and "MS:1000128" not in terms   # centroid spectrum
            if s.ms_level == 2:
                p = s.precursor
                assert float(terms["MS:1000744"]) == (p.monoisotopic_mz if p.monoisotopic_mz is not None else p.mz)


def test_hostile_arguments_are_refused(acquisition, tmp_path):
    acq = meridel.open(acquisition(ENVELOPE), "msn_value_1")
    folder = tmp_path / "out"
    folder.mkdir()
    out = str(folder / "x")
    cases = [
        (lambda: acq.iter(centroid=1), TypeError, "iter() argument 'centroid' must be bool, not int"),
        (lambda: acq.arrays(centroid="yes"), TypeError, "arrays() argument 'centroid' must be bool, not str"),
        (lambda: acq.to_mzml(out, top_n=-1), ValueError, "to_mzml() argument 'top_n' must be at least 1, not -1"),
        (lambda: acq.to_mgf(out, top_n=2.5), TypeError, "to_mgf() argument 'top_n' must be int or None, not float"),
        (lambda: acq.to_mgf(out, min_intensity=float("nan")), ValueError,
         "to_mgf() argument 'min_intensity' must be finite, not nan"),
        (lambda: acq.to_mzml(out, min_intensity=10 ** 400), OverflowError, "int too large to convert to float"),
        (lambda: acq.to_mzml(out, min_intensity="5"), TypeError,
         "to_mzml() argument 'min_intensity' must be a real number or None, not str"),
        (lambda: acq.to_mgf(out, rt_range=(9.0, 1.0)), ValueError,
         "to_mgf() argument 'rt_range' must have low <= high, not (9.0, 1.0)"),
        (lambda: acq.to_mgf(out, ms_level=0), ValueError, "to_mgf() argument 'ms_level' must be at least 1, not 0"),
        (lambda: acq.to_mgf(out, centroid="no"), TypeError, "to_mgf() argument 'centroid' must be bool, not str"),
        (lambda: acq.to_mgf(out, compression="zlib"), TypeError,
         "to_mgf() got an unexpected keyword argument 'compression'"),
        (lambda: acq.to_mgf(""), ValueError, "to_mgf() argument 'path' must not be empty"),
    ]
    for call, kind, text in cases:
        with pytest.raises(kind) as info:
            call()
        assert str(info.value).startswith(text), (text, str(info.value))
    assert os.listdir(folder) == []
    # More peaks than any spectrum holds keep them all.
    acq.to_mzml(folder / "all.mzML", top_n=10 ** 30, compression=None)
    acq.to_mzml(folder / "same.mzML", compression=None)
    assert (folder / "all.mzML").read_bytes() == (folder / "same.mzML").read_bytes()
