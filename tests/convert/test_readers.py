"""corvane-convert's files, read back by independent mzML readers.

Each acquisition below is built with corvane-fixture, converted in three ways
(default, --no-compression, --no-index) and checked by xmllint against the installed
mzML 1.1 schemas, by OpenMS FileInfo -v (schema and semantic mapping rules), and by
pymzml, whose arrays, MS levels and retention times must equal, value for value, what
the corvane module serves for the same acquisition. The index, the checksum, the
vocabulary names and the per-spectrum values are checked here independently, against
the module's arrays and the records that corvane-info --spectra prints.

Nothing here is skipped: a missing corvane module, pymzml, xmllint, FileInfo or tool
fails the checks that need it, and only those (the schema and FileInfo checks need no
Python module).
"""

import base64
import hashlib
import importlib
import json
import math
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import numpy as np
import pytest

BUILD = Path(os.environ.get("CORVANE_BUILD", Path(__file__).resolve().parents[2] / "build"))
CONVERT = BUILD / "tools" / "corvane-convert"
FIXTURE = BUILD / "tests" / "corvane-fixture"
MAKE_SAMPLE = BUILD / "tools" / "corvane-make-sample"
INFO = BUILD / "tools" / "corvane-info"
SCHEMAS = Path("/usr/share/openms/SCHEMAS")
CV_FILES = [Path("/usr/share/openms/CV/psi-ms.obo"), Path("/usr/share/openms/CV/unit.obo")]
NS = {"m": "http://psi.hupo.org/ms/mzml"}

MODULE_DIR = BUILD / "python" / "cpython"


def need(name, where):
    """The module, or a failure (never a skip) that says what is missing: in a test build
    a missing module means the checks that need it did not run."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        problem = str(e)
    pytest.fail(f"cannot import {name} ({problem}); {where}", pytrace=False)


def corvane():
    sys.path.insert(0, str(MODULE_DIR))
    try:
        return need("corvane", f"build the target corvane_cpython (it goes to {MODULE_DIR})")
    finally:
        sys.path.remove(str(MODULE_DIR))


def pymzml():
    return need("pymzml", "install python3-pymzml")


DEVICES = "<Devices><Device><Name>MS</Name><ModelNumber>{}</ModelNumber></Device></Devices>"
CONTENTS = "<Contents><AcquiredTime>{}</AcquiredTime></Contents>"

# name: (description, the instrument term the reader resolves: accession and name)
ACQUISITIONS = {
    "profile": (
        {
            "stride": 284,
            "scans": [
                {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
                 "profile": {"intensities": [0, 5, 10, 3, 0, 4000000000]}},
                {"scan_id": 2, "rt_min": 0.51, "ms_level": 1, "mz_first": 150.0, "mz_last": 150.5,
                 "profile": {"intensities": [7, 7, 7, 7]}},
                {"scan_id": 3, "rt_min": 0.52, "ms_level": 1, "mz_first": 100.0, "mz_last": 100.0,
                 "profile": {"intensities": [42]}},
            ],
            "files": {"Devices.xml": DEVICES.format("G6530A"),
                      "Contents.xml": CONTENTS.format("2012-03-15T10:22:31.25+01:00")},
        },
        "MS:1002786", "6530A Q-TOF LC/MS",
    ),
    "centroid": (
        {
            "stride": 220,
            "scans": [
                {"scan_id": 10, "rt_min": 1.0, "ms_level": 1,
                 "peaks": {"format": 3, "mz": [300.0, 100.125, 200.5], "intensity": [5.5, 9.0, 9.0]}},
                {"scan_id": 11, "rt_min": 1.1, "ms_level": 1,
                 "peaks": {"format": 2, "mz": [123.45, 678.9], "intensity": [1e-3, 3.4e38]}},
            ],
            "files": {"Devices.xml": DEVICES.format("G9999Z"), "Contents.xml": CONTENTS.format("2012-03-15")},
            "omit": ["MSProfile.bin"],
        },
        "MS:1000490", "vendor instrument model",
    ),
    "ms2": (
        {
            "stride": 284,
            "scans": [
                {"scan_id": 1, "rt_min": 2.0, "ms_level": 1, "mz_first": 400.0, "mz_last": 600.0,
                 "profile": {"intensities": [1, 2, 3]}},
                {"scan_id": 2, "rt_min": 2.01, "ms_level": 2, "msn_value_1": 500.2, "msn_value_2": 2.0,
                 "peaks": {"format": 3, "mz": [150.1, 250.2], "intensity": [10.0, 20.0]}},
                {"scan_id": 3, "rt_min": 2.02, "ms_level": 3, "msn_value_1": 250.2, "msn_value_2": 0.0,
                 "peaks": {"format": 3, "mz": [90.5], "intensity": [3.0]}},
                {"scan_id": 4, "rt_min": 2.03, "ms_level": 2,
                 "peaks": {"format": 3, "mz": [91.5], "intensity": [4.0]}},
            ],
            "files": {"Devices.xml": DEVICES.format("g6550a")},
        },
        "MS:1002784", "6550A iFunnel Q-TOF LC/MS",
    ),
    "mrm": (
        {
            "stride": 196,
            "scans": [
                {"scan_id": 12, "rt_min": 3.0, "ms_level": 2, "mrm_channel": 7,
                 "peaks": {"format": 2, "mz": [101.5], "intensity": [11.0]}},
                {"scan_id": 13, "rt_min": 3.1, "ms_level": 1, "mrm_channel": 8,
                 "peaks": {"format": 2, "mz": [102.5], "intensity": [12.0]}},
            ],
            "files": {"Devices.xml": DEVICES.format("G6410A")},
        },
        "MS:1003526", "6410A Triple Quadrupole LC/MS",  # a term newer than some vocabularies
    ),
    "empty": (
        {
            "stride": 284,
            "scans": [
                {"scan_id": 1, "rt_min": 0.0, "ms_level": 1},
                {"scan_id": 2, "rt_min": 0.1, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
                 "profile": {"intensities": []}},
                {"scan_id": 3, "rt_min": 0.2, "ms_level": 2},
                {"scan_id": 4, "rt_min": 0.3, "ms_level": 0},
            ],
            "files": {"Contents.xml": CONTENTS.format("yesterday")},
        },
        "MS:1000490", "vendor Q-TOF",
    ),
    "no-metadata": (
        {
            "stride": 186,
            "scans": [
                {"scan_id": 5, "rt_min": 0.25, "ms_level": 1,
                 "peaks": {"format": 3, "mz": [100.0, 101.0], "intensity": [1.0, 2.0]}},
            ],
            "omit": ["MSProfile.bin"],
        },
        "MS:1000490", "vendor QQQ",
    ),
    "damaged": (
        {
            "stride": 284,
            "scans": [
                {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
                 "profile": {"raw_hex": "00 01 02"}},
                {"scan_id": 2, "rt_min": 0.6, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
                 "profile": {"intensities": [1, 2]}},
            ],
        },
        "MS:1000490", "vendor Q-TOF",
    ),
}

MODES = {"default": [], "no-compression": ["--no-compression"], "no-index": ["--no-index"],
         "numpress": ["--numpress"]}


def reader_records(path):
    """The reader's records, arrays left out, as corvane-info --spectra gives them (status 3
    and a warning for a run with damaged scans)."""
    result = run([INFO, "--spectra", path])
    doc = json.loads(result.stdout)
    assert result.returncode == (3 if doc["damaged_scans"] else 0), result.stderr
    return doc["spectra"]


def run(cmd, **kw):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)


@pytest.fixture(scope="module")
def acquisitions(tmp_path_factory):
    """name -> (acquisition path, description or None for the sample)."""
    root = tmp_path_factory.mktemp("acq")
    made = {}
    for name, (description, _, _) in ACQUISITIONS.items():
        path = root / f"{name}.d"
        result = run([FIXTURE, path], input=json.dumps(description))
        assert result.returncode == 0, result.stderr
        made[name] = (path, description)
    if MAKE_SAMPLE.exists():
        path = root / "sample.d"
        result = run([MAKE_SAMPLE, path])
        assert result.returncode == 0, result.stderr
        made["sample"] = (path, None)
    return made  # the sample's checks fail in converted() when the tool is missing


@pytest.fixture(scope="module")
def outputs(acquisitions, tmp_path_factory):
    """(name, mode) -> converted file."""
    root = tmp_path_factory.mktemp("out")
    files = {}
    for name, (path, _) in acquisitions.items():
        for mode, flags in MODES.items():
            out = root / f"{name}.{mode}.mzML"
            result = run([CONVERT, *flags, path, "-o", out])
            # A scan that cannot be read is written without data, with a warning and status 3.
            damaged = name == "damaged"
            assert result.returncode == (3 if damaged else 0), result.stderr
            assert result.stderr.startswith("corvane-convert: warning: ") if damaged else result.stderr == ""
            files[name, mode] = out
    return files


def cases():
    names = list(ACQUISITIONS) + ["sample"]
    return [(n, m) for n in names for m in MODES]


def converted(outputs, name, mode):
    if (name, mode) not in outputs:
        pytest.fail(f"{MAKE_SAMPLE} is missing: build the target corvane-make-sample", pytrace=False)
    return outputs[name, mode]


@pytest.fixture(scope="module")
def vocabulary():
    """accession -> (name, obsolete)."""
    terms = {}
    for path in CV_FILES:
        acc = None
        for line in path.read_text(encoding="utf-8").splitlines():
            if line.startswith("["):
                acc = None
            elif line.startswith("id: "):
                acc = line[4:].strip()
                terms[acc] = ["", False]
            elif acc and line.startswith("name: "):
                terms[acc][0] = line[6:].strip()
            elif acc and line.startswith("is_obsolete: true"):
                terms[acc][1] = True
    return terms


def decode_array(bda):
    params = {p.get("accession") for p in bda.findall("m:cvParam", NS)}
    raw = base64.b64decode(bda.find("m:binary", NS).text or "")
    assert int(bda.get("encodedLength")) == len(bda.find("m:binary", NS).text or "")
    assert ("MS:1000574" in params) != ("MS:1000576" in params)
    if "MS:1000574" in params and raw:  # an empty array is written empty, not deflated
        raw = zlib.decompress(raw)
    dtype = np.float64 if "MS:1000523" in params else np.float32
    assert ("MS:1000523" in params) != ("MS:1000521" in params)
    kind = "mz" if "MS:1000514" in params else "time" if "MS:1000595" in params else "intensity"
    return kind, np.frombuffer(raw, dtype=dtype)


NUMPRESS = {"MS:1002746": "linear", "MS:1002748": "slof"}


def check_numpress_arrays(got, want):
    """A spectrum of a --numpress file against the reader's values. pymzml recognises the
    "followed by zlib" terms by name only when they stand alone, so the arrays are taken
    from its element, inflated, and decoded by pymzml's own MS-Numpress decoder. Arrays
    that MS-Numpress cannot carry (NaN, negative or huge values) are plain zlib: exact."""
    from pymzml.ms_numpress import MSNumpress
    arrays = {}
    for bda in got.element.findall(".//m:binaryDataArray", NS):
        params = {p.get("accession") for p in bda.findall("m:cvParam", NS)}
        kind = "mz" if "MS:1000514" in params else "intensity"
        coding = next((NUMPRESS[a] for a in params if a in NUMPRESS), None)
        if coding is None:
            arrays[kind] = decode_array(bda)[1]
            continue
        assert "MS:1000523" in params  # numpress decodes to 64-bit values
        raw = bytearray(zlib.decompress(base64.b64decode(bda.find("m:binary", NS).text)))
        decoder = MSNumpress(raw)
        arrays[kind] = np.array(decoder.decode_linear() if coding == "linear" else decoder.decode_slof())
    mz = np.array(want.mz, dtype=np.float64)
    intensity = np.array(want.intensity, dtype=np.float64)
    assert len(arrays["mz"]) == len(mz) and len(arrays["intensity"]) == len(intensity)
    assert np.allclose(arrays["mz"], mz, rtol=1e-8, atol=0, equal_nan=True)
    # Short logged floats keep log(x + 1): relative error on x + 1, under 8e-4 even next to
    # the largest float.
    assert np.allclose(arrays["intensity"] + 1, intensity + 1, rtol=8e-4, atol=0, equal_nan=True)


def cv_values(element):
    return {p.get("accession"): p.get("value") for p in element.findall("m:cvParam", NS)}


@pytest.mark.parametrize("name,mode", cases())
def test_schema_valid(outputs, name, mode):
    out = converted(outputs, name, mode)
    schema = SCHEMAS / ("mzML_1_10.xsd" if mode == "no-index" else "mzML_idx_1_10.xsd")
    result = run(["xmllint", "--noout", "--schema", schema, out])
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("name,mode", cases())
def test_openms_fileinfo_valid(outputs, name, mode):
    out = converted(outputs, name, mode)
    result = run(["FileInfo", "-in", out, "-v"])
    text = result.stdout + result.stderr
    assert result.returncode == 0, text
    assert "Success - the file is valid!" in text, text
    assert "Success - the file is semantically valid!" in text, text
    assert not re.search(r"^\s*(Error|Warning)", text, re.M), text


@pytest.mark.parametrize("name,mode", cases())
def test_openms_decodes_every_array(outputs, name, mode):
    """FileInfo without -v loads the whole file, decoding every binary array (an empty one
    included) in every compression mode; -v above only validates."""
    out = converted(outputs, name, mode)
    result = run(["FileInfo", "-in", out])
    text = result.stdout + result.stderr
    assert result.returncode == 0, text
    assert not re.search(r"error", text, re.I), text
    assert re.search(r"Number of spectra:\s*\d+", text), text


@pytest.mark.parametrize("name,mode", [c for c in cases() if c[1] != "numpress"])
def test_pymzml_decodes_every_chromatogram(outputs, name, mode):
    """The chromatogram's arrays, through pymzml's own decoding (the spectra's are checked
    below); the numpress ones are decoded by hand in test_document_content's checks."""
    run_ = pymzml().run.Reader(str(converted(outputs, name, mode)))
    chrom = run_["TIC"]
    assert len(chrom.time) == len(chrom.i)


@pytest.mark.parametrize("name,mode", cases())
def test_pymzml_reads_what_the_reader_serves(acquisitions, outputs, name, mode):
    out = converted(outputs, name, mode)
    path, description = acquisitions[name]
    reader = corvane().RawReader(str(path))
    spectra = list(pymzml().run.Reader(str(out)))
    assert len(spectra) == reader.scan_count
    for i, got in enumerate(spectra):
        want = reader.read_spectrum(i)
        assert got.ms_level == want.ms_level
        value, unit = got.scan_time
        assert unit == "second" and value == want.retention_time_sec
        if mode == "numpress":
            check_numpress_arrays(got, want)
            continue
        if len(got.mz):  # pymzml gives an empty array its own default type
            assert got.mz.dtype == np.float64 and got.i.dtype == np.float32
        assert np.array_equal(got.mz, np.array(want.mz, dtype=np.float64))
        assert np.array_equal(got.i, np.array(want.intensity, dtype=np.float32), equal_nan=True)
        if description:
            assert got.id_dict == {"scanId": description["scans"][i]["scan_id"]}


@pytest.mark.parametrize("name,mode", [c for c in cases() if c[1] != "no-index"])
def test_index_offsets_and_checksum(outputs, name, mode):
    data = converted(outputs, name, mode).read_bytes()
    head, _, tail = data.rpartition(b"<fileChecksum>")
    checksum = tail.split(b"</fileChecksum>")[0].decode()
    assert checksum == hashlib.sha1(head + b"<fileChecksum>").hexdigest()

    list_offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data[list_offset:].startswith(b"<indexList ")
    offsets = re.findall(rb'<offset idRef="([^"]*)">(\d+)</offset>', data[list_offset:])
    ids = re.findall(rb'<(?:spectrum|chromatogram) index="\d+" id="([^"]*)"', data)
    assert [i for i, _ in offsets] == ids
    for ident, offset in offsets:
        at = data[int(offset):]
        assert re.match(rb'<(spectrum|chromatogram) index="\d+" id="' + re.escape(ident) + b'"', at)
    # pymzml's random access reads the same index (it keys spectra by the scan number).
    run_ = pymzml().run.Reader(str(converted(outputs, name, mode)))
    for ident, _ in offsets:
        ident = ident.decode()
        key = int(ident.removeprefix("scanId=")) if ident.startswith("scanId=") else ident
        assert run_[key].ID == key


@pytest.mark.parametrize("name,mode", [c for c in cases() if c[1] in ("default", "numpress")])
def test_every_term_is_named_as_the_vocabulary_names_it(outputs, vocabulary, name, mode):
    root = ET.parse(converted(outputs, name, mode)).getroot()
    seen = 0
    for p in root.iter("{%s}cvParam" % NS["m"]):
        for acc_attr, name_attr in (("accession", "name"), ("unitAccession", "unitName")):
            acc = p.get(acc_attr)
            if acc is None:
                continue
            assert acc in vocabulary, acc
            assert vocabulary[acc] == [p.get(name_attr), False], acc
            seen += 1
    assert seen > 20


@pytest.mark.parametrize("name", list(ACQUISITIONS))
def test_document_content(acquisitions, outputs, vocabulary, name):
    path, description = acquisitions[name]
    _, want_accession, want_name = ACQUISITIONS[name]
    reader = corvane().RawReader(str(path))
    records = reader_records(path)
    for mode in (m for m in MODES if m != "numpress"):  # lossy: its arrays are checked above
        root = ET.parse(outputs[name, mode]).getroot()
        mzml = root if root.tag.endswith("}mzML") else root.find("m:mzML", NS)
        spectra = mzml.findall("m:run/m:spectrumList/m:spectrum", NS)
        assert len(spectra) == reader.scan_count
        levels, representations = set(), set()
        tics, times = [], []
        for i, (el, record) in enumerate(zip(spectra, records)):
            want = reader.read_spectrum(i)
            assert el.get("id") == record["native_id"]
            params = cv_values(el)
            arrays = dict(decode_array(b) for b in el.findall("m:binaryDataArrayList/m:binaryDataArray", NS))
            assert int(el.get("index")) == i
            assert int(el.get("defaultArrayLength")) == len(want.mz) == len(arrays["mz"])
            assert params["MS:1000511"] == str(want.ms_level)
            level_term = {0: "MS:1000294", 1: "MS:1000579"}.get(want.ms_level, "MS:1000580")
            assert level_term in params and len({"MS:1000294", "MS:1000579", "MS:1000580"} & set(params)) == 1
            levels.add(level_term)
            # A damaged scan has no points: its index entry says what it is.
            damaged_profile = record["error"] is not None and "profile" in description["scans"][i]
            representation = "MS:1000128" if record["is_profile"] or damaged_profile else "MS:1000127"
            assert representation in params and len({"MS:1000127", "MS:1000128"} & set(params)) == 1
            representations.add(representation)

            tic = float(params["MS:1000285"])
            assert math.isclose(tic, math.fsum(want.intensity), rel_tol=1e-12, abs_tol=0.0)
            tics.append(tic)
            times.append(want.retention_time_sec)
            if want.mz:
                top = max(range(len(want.intensity)), key=lambda k: (want.intensity[k], -k))
                assert float(params["MS:1000504"]) == want.mz[top]
                assert float(params["MS:1000505"]) == want.intensity[top]
                assert float(params["MS:1000528"]) == min(want.mz)
                assert float(params["MS:1000527"]) == max(want.mz)
            else:
                assert not {"MS:1000504", "MS:1000505", "MS:1000528", "MS:1000527"} & set(params)

            users = {u.get("name"): u.get("value") for u in el.findall("m:userParam", NS)}
            # The record's precursor values, each as a user parameter when present.
            precursor = record["precursor"] or {}
            want_users = {name: precursor[key] for key, name in
                          (("msn_value_1", "msn_value_1"), ("msn_value_2", "msn_value_2"),
                           ("reference", "scan index reference")) if precursor.get(key) is not None}
            # The error that left a record's arrays empty, as the reader gives it.
            if record["error"] is not None:
                want_users["corvane:data block error"] = record["error"]
            assert (record["precursor"] is not None) == (want.ms_level >= 2)
            texts = ("scan index reference", "corvane:data block error")
            assert {k: (v if k in texts else float(v)) for k, v in users.items()} == want_users
            assert el.find("m:precursorList", NS) is None  # nothing says these are precursor m/z values

        content = set(cv_values(mzml.find("m:fileDescription/m:fileContent", NS)))
        uniform = representations if len(representations) == 1 else set()
        assert content == levels | uniform

        chrom = mzml.find("m:run/m:chromatogramList/m:chromatogram", NS)
        assert chrom.get("id") == "TIC" and "MS:1000235" in cv_values(chrom)
        arrays = dict(decode_array(b) for b in chrom.findall("m:binaryDataArrayList/m:binaryDataArray", NS))
        assert arrays["time"].tolist() == times
        assert arrays["intensity"].tolist() == tics

        run_el = mzml.find("m:run", NS)
        acquired = re.search(r"<AcquiredTime>(.*)</AcquiredTime>", description.get("files", {}).get("Contents.xml", ""))
        if acquired and "T" in acquired.group(1):
            assert run_el.get("startTimeStamp") == acquired.group(1)
        else:
            assert run_el.get("startTimeStamp") is None

        source = mzml.find("m:fileDescription/m:sourceFileList/m:sourceFile", NS)
        digest = cv_values(source)["MS:1000569"]
        assert digest == hashlib.sha1((path / "AcqData" / "MSScan.bin").read_bytes()).hexdigest()
        assert source.get("location") == (path / "AcqData").resolve().as_uri()


@pytest.mark.parametrize("name", list(ACQUISITIONS))
def test_instrument_term(outputs, vocabulary, name):
    """The reader's model term, named by the vocabulary; without a usable Devices.xml the
    reader's fallback is the vocabulary's generic term for this vendor's models."""
    _, want_accession, want_name = ACQUISITIONS[name]
    root = ET.parse(outputs[name, "default"]).getroot()
    mzml = root.find("m:mzML", NS)
    model = mzml.find("m:instrumentConfigurationList/m:instrumentConfiguration", NS)
    model_terms = list(cv_values(model))
    assert len(model_terms) == 1
    users = {u.get("name"): u.get("value") for u in model.findall("m:userParam", NS)}
    if vocabulary.get(want_accession, ["", True])[1]:
        # A term the vocabulary lacks: the generic term, and the reader's term beside it.
        assert model_terms == ["MS:1000031"]
        assert users == {"instrument model accession": want_accession, "instrument model name": want_name}
    else:
        assert model_terms == [want_accession]
        if want_name == vocabulary[want_accession][0]:
            assert users == {}
        else:
            assert users == {"instrument model name": want_name}



# Peak picking and a declared precursor member: every compression mode still loads in
# every reader, and the precursors read back as written.
PROCESSED = ["--centroid", "--precursor-mz", "msn_value_1"]
PROCESSED_NAMES = ["ms2", "damaged", "sample", "peptides"]
FASTA = Path(__file__).resolve().parents[2] / "examples" / "proteins.fasta"


@pytest.fixture(scope="module")
def processed(acquisitions, tmp_path_factory):
    """(name, mode) -> converted file, with "mgf" as one more mode; and the peptide run's
    ground truth (scan id -> (charge, monoisotopic m/z)) under "truth"."""
    root = tmp_path_factory.mktemp("processed")
    made = {name: path for name, (path, _) in acquisitions.items()}
    truth = {}
    peptides = root / "peptides.d"
    result = run([MAKE_SAMPLE, "--peptides", FASTA, "--ms1", "40", "--truth", root / "truth.tsv", peptides])
    assert result.returncode == 0, result.stderr
    made["peptides"] = peptides
    for line in (root / "truth.tsv").read_text().splitlines()[1:]:
        fields = line.split("\t")
        for scan in filter(None, fields[5].split(",")):
            truth[int(scan)] = (int(fields[2]), float(fields[3]))
    files = {"truth": truth}
    for name in PROCESSED_NAMES:
        if name not in made:
            continue  # the sample's checks fail in converted()
        for mode, flags in [*MODES.items(), ("mgf", ["--format", "mgf"])]:
            out = root / f"{name}.{mode}.{'mgf' if mode == 'mgf' else 'mzML'}"
            result = run([CONVERT, *PROCESSED, *flags, made[name], "-o", out])
            # The damaged scan is an MS1 scan, which an MGF file never reads.
            assert result.returncode == (3 if name == "damaged" and mode != "mgf" else 0), result.stderr
            files[name, mode] = out
    return files


def processed_cases():
    return [(n, m) for n in PROCESSED_NAMES for m in MODES]


@pytest.mark.parametrize("name,mode", processed_cases())
def test_processed_schema_valid(processed, name, mode):
    out = converted(processed, name, mode)
    schema = SCHEMAS / ("mzML_1_10.xsd" if mode == "no-index" else "mzML_idx_1_10.xsd")
    result = run(["xmllint", "--noout", "--schema", schema, out])
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("name,mode", processed_cases())
def test_processed_openms_fileinfo_valid_and_decoded(processed, name, mode):
    out = converted(processed, name, mode)
    result = run(["FileInfo", "-in", out, "-v"])
    text = result.stdout + result.stderr
    assert result.returncode == 0, text
    assert "Success - the file is semantically valid!" in text, text
    assert not re.search(r"^\s*(Error|Warning)", text, re.M), text
    result = run(["FileInfo", "-in", out])
    text = result.stdout + result.stderr
    assert result.returncode == 0 and not re.search(r"error", text, re.I), text
    # Every spectrum is centroid data now; OpenMS reads the spectrum type from the terms.
    assert "Profile" not in text, text


def selected_ions(out):
    """scan id -> (selected ion m/z, charge or None) of every fragment scan that has a
    precursor, as pymzml reads it; and the scan ids of those without one."""
    ions, without = {}, []
    for spectrum in pymzml().run.Reader(str(out)):
        assert spectrum["MS:1000127"] is True and spectrum["MS:1000128"] is None  # centroid, not profile
        if spectrum.ms_level < 2:
            assert spectrum.selected_precursors == []
            continue
        if not spectrum.selected_precursors:
            without.append(spectrum.ID)
            continue
        (precursor,) = spectrum.selected_precursors
        ions[spectrum.ID] = (precursor["mz"], precursor.get("charge"))
    return ions, without


@pytest.mark.parametrize("name,mode", processed_cases())
def test_processed_precursors_read_back(processed, name, mode):
    """pymzml's selected ions equal the MGF's PEPMASS and CHARGE; the fixture's values are
    the declared ones (its MS1 scan holds no envelope near them); most of the peptide run's
    precursors get the charge and monoisotopic m/z the generator put there."""
    ions, without = selected_ions(converted(processed, name, mode))
    entries = {}
    for block in converted(processed, name, "mgf").read_text().split("BEGIN IONS\n")[1:]:
        params = dict(line.split("=", 1) for line in block.splitlines() if "=" in line)
        entries[int(params["SCANS"])] = (float(params["PEPMASS"]),
                                         int(params["CHARGE"].rstrip("+")) if "CHARGE" in params else None)
    assert ions == entries
    assert all(mz > 0 for mz, _ in ions.values())
    if name == "ms2":
        assert ions == {2: (500.2, None), 3: (250.2, None)} and without == [4]
    if name == "peptides":
        truth = processed["truth"]
        agree = [scan for scan, (charge, mono) in truth.items()
                 if scan in ions and ions[scan][1] == charge and abs(ions[scan][0] - mono) <= mono * 10e-6]
        assert len(agree) >= 0.8 * len(truth), (len(agree), len(truth))
