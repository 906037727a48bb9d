"""Acquisition.to_mzml on both interpreters: the document read back with the standard
library only (every array, the index offsets, the checksum), the same bytes for every
thread count, and the refusals and errors of the file rules."""
import base64
import errno
import hashlib
import os
import re
import struct
import xml.etree.ElementTree as ET
import zlib

import pytest

import meridel
from test_meridel import RUNS, large_run, mixed_scans, progress_during  # noqa: F401  (large_run: a fixture)

NS = "{http://psi.hupo.org/ms/mzml}"
ZLIB = "MS:1000574"
NO_COMPRESSION = "MS:1000576"


def decoded_arrays(spectrum):
    """{'mz' | 'intensity': (values, compression accession)} of one spectrum element."""
    arrays = {}
    for array in spectrum.iter(NS + "binaryDataArray"):
        terms = {p.get("accession") for p in array.iter(NS + "cvParam")}
        raw = base64.b64decode(array.find(NS + "binary").text or "")
        compression = ZLIB if ZLIB in terms else NO_COMPRESSION
        if compression == ZLIB and raw:  # an empty array is written empty, without a stream
            raw = zlib.decompress(raw)
        width, code = (8, "d") if "MS:1000523" in terms else (4, "f")
        values = list(struct.unpack("<%d%s" % (len(raw) // width, code), raw))
        kind = "mz" if "MS:1000514" in terms else "intensity"
        arrays[kind] = (values, compression)
    return arrays


def check_document(path, acq, compression, index):
    data = open(path, "rb").read()
    root = ET.fromstring(data)
    if index:
        assert root.tag == NS + "indexedmzML"
        # The checksum covers everything up to and including <fileChecksum>.
        cut = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
        assert root.find(NS + "fileChecksum").text == hashlib.sha1(data[:cut]).hexdigest()
        offsets = {o.get("idRef"): int(o.text) for o in root.iter(NS + "offset")}
        for s in acq:
            assert data[offsets[s.native_id]:].startswith(b'<spectrum index="%d" id="%s"' %
                                                          (s.index, s.native_id.encode()))
    else:
        assert root.tag == NS + "mzML" and b"indexList" not in data
    spectra = list(root.iter(NS + "spectrum"))
    assert len(spectra) == len(acq)
    for element, s in zip(spectra, acq):
        assert element.get("id") == s.native_id
        arrays = decoded_arrays(element)
        assert arrays["mz"] == (s.mz.tolist(), compression)
        assert arrays["intensity"] == (s.intensity.tolist(), compression)


@pytest.mark.parametrize("run", ["mixed", "damaged", "mrm186"])
def test_the_document_holds_the_run(acquisition, tmp_path, run):
    with meridel.open(acquisition(RUNS[run])) as acq:
        for name, compression, accession, index in [("zlib.mzML", "zlib", ZLIB, True),
                                                    ("plain.mzML", None, NO_COMPRESSION, True),
                                                    ("none.mzML", "none", NO_COMPRESSION, False)]:
            target = tmp_path / name
            assert acq.to_mzml(target, compression=compression, index=index) is None
            check_document(target, acq, accession, index)
            assert os.stat(target).st_mode & 0o777 == 0o666 & ~current_umask()


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_every_thread_count_writes_the_same_bytes(acquisition, tmp_path):
    with meridel.open(acquisition({"scans": mixed_scans(40, points=300)})) as acq:
        for compression in ("zlib", "numpress", None):
            outputs = set()
            for threads in (1, 2, 3, 8, None):
                target = tmp_path / ("t%s.mzML" % threads)
                acq.to_mzml(str(target), compression=compression, threads=threads, overwrite=True)
                outputs.add(target.read_bytes())
            assert len(outputs) == 1


def test_numpress_is_accepted_and_smaller(acquisition, tmp_path):
    with meridel.open(acquisition({"scans": mixed_scans(30, points=600)})) as acq:
        acq.to_mzml(tmp_path / "z.mzML")
        acq.to_mzml(tmp_path / "n.mzML", compression="numpress")
        text = (tmp_path / "n.mzML").read_text()
        assert "MS:1002746" in text and "MS:1002748" in text
        assert (tmp_path / "n.mzML").stat().st_size < (tmp_path / "z.mzML").stat().st_size


def test_file_rules_and_errors(acquisition, tmp_path):
    path = acquisition({"scans": mixed_scans(3)}, name="run.d")
    acq = meridel.open(path)
    target = tmp_path / "out.mzML"
    target.write_bytes(b"precious")
    # An existing file stays unless overwrite is given.
    with pytest.raises(FileExistsError) as info:
        acq.to_mzml(target)
    assert (info.value.errno, info.value.filename) == (errno.EEXIST, str(target))
    assert target.read_bytes() == b"precious"
    acq.to_mzml(target, overwrite=True)
    assert target.read_bytes().startswith(b"<?xml")
    # Never into the acquisition, not even through a relative path that leads there.
    for inside in (os.path.join(path, "x.mzML"), os.path.join(path, "AcqData", "x.mzML"),
                   os.path.join(path, "AcqData", "..", "y.mzML")):
        with pytest.raises(ValueError, match="inside the acquisition"):
            acq.to_mzml(inside)
    assert sorted(os.listdir(path)) == ["AcqData"]
    # The operating system's refusals, errno and filename set.
    folder = tmp_path / "folder.mzML"
    folder.mkdir()
    for where, kind, code, filename in [
        (tmp_path / "missing" / "x.mzML", FileNotFoundError, errno.ENOENT, str(tmp_path / "missing")),
        (folder, IsADirectoryError, errno.EISDIR, str(folder)),
    ]:
        with pytest.raises(kind) as info:
            acq.to_mzml(where, overwrite=True)
        assert (info.value.errno, info.value.filename) == (code, filename)
    # No temporary file is left behind by any of these.
    assert sorted(os.listdir(tmp_path)) == ["folder.mzML", "out.mzML", "run.d"]
    # Bad arguments.
    for call, kind, text in [
        (lambda: acq.to_mzml(3), TypeError, "to_mzml() argument 'path' must be str or os.PathLike, not int"),
        (lambda: acq.to_mzml(""), ValueError, "to_mzml() argument 'path' must not be empty"),
        (lambda: acq.to_mzml("a\0b"), ValueError, "to_mzml() argument 'path' contains a null character"),
        (lambda: acq.to_mzml("x", compression="lz4"), ValueError, "to_mzml() argument 'compression' must be"),
        (lambda: acq.to_mzml("x", compression=1), TypeError,
         "to_mzml() argument 'compression' must be str or None, not int"),
        (lambda: acq.to_mzml("x", threads=0), ValueError, "to_mzml() argument 'threads' must be at least 1, not 0"),
        (lambda: acq.to_mzml("x", bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    ]:
        with pytest.raises(kind) as info:
            call()
        assert str(info.value).startswith(text) or re.search(re.escape(text), str(info.value))
    acq.close()
    with pytest.raises(ValueError, match="closed acquisition"):
        acq.to_mzml(tmp_path / "late.mzML")
    assert not (tmp_path / "late.mzML").exists() and not (tmp_path / "x").exists()


def test_the_page_and_the_document_share_the_file_rules(acquisition, tmp_path):
    path = acquisition({"scans": mixed_scans(3)}, name="run.D")
    before = sorted(os.path.join(d, f) for d, _, files in os.walk(path) for f in files)
    with meridel.open(path) as acq:
        # A page inside the run is refused like a document, and nothing is written there.
        for inside in (os.path.join(path, "page.html"), os.path.join(path, "AcqData", "page.html")):
            with pytest.raises(ValueError, match="inside the acquisition"):
                acq.report(inside)
        assert sorted(os.path.join(d, f) for d, _, files in os.walk(path) for f in files) == before
        # Names as long as the folder takes: the temporary file never fails for its name.
        for name, write in [("d" * 250 + ".mzML", acq.to_mzml), ("p" * 250 + ".html", acq.report)]:
            write(tmp_path / name)
            assert (tmp_path / name).stat().st_size > 0
        # The page replaces an older one; the document does not, unless asked.
        acq.report(tmp_path / ("p" * 250 + ".html"))
        with pytest.raises(FileExistsError):
            acq.to_mzml(tmp_path / ("d" * 250 + ".mzML"))
    assert sorted(os.listdir(tmp_path)) == sorted(["d" * 250 + ".mzML", "p" * 250 + ".html", "run.D"])


@pytest.mark.parametrize("path,name", [
    ("/data/run.d", "run.mzML"), ("../../x.D/", "x.mzML"), ("a/b.d.d", "b.d.mzML"), (".d", ".d.mzML"),
    ("r\udce9.d", "r\udce9.mzML"),  # a name that is not UTF-8 keeps its bytes
])
def test_one_naming_rule(path, name):
    assert meridel._meridel._output_name(path, "mzml") == name
    assert meridel._meridel._output_name(path, "MZML") == name


def test_one_naming_rule_refuses():
    with pytest.raises(ValueError, match="^/: cannot name an output after it$"):
        meridel._meridel._output_name("/", "mzml")
    assert meridel._meridel._output_name("/data/run.d", "mgf") == "run.mgf"
    with pytest.raises(ValueError, match="unknown output format"):
        meridel._meridel._output_name("run.d", "mzxml")
    with pytest.raises(TypeError):
        meridel._meridel._output_name(b"run.d", "mzml")


def test_writing_releases_the_interpreter_lock(large_run, tmp_path):
    path, _ = large_run
    with meridel.open(path) as acq:
        _, during = progress_during(lambda: acq.to_mzml(tmp_path / "large.mzML", threads=1))
    assert during > 0
    assert (tmp_path / "large.mzML").stat().st_size > 1000000
