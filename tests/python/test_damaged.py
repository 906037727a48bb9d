"""No silent loss: every call whose result holds damaged scans issues one
meridel.DamagedDataWarning naming how many and the first error, and salvage mode reads a
scan index cut inside a record, on request only."""
import os
import pickle
import warnings

import pytest

import meridel
from conftest import write_acquisition

# Scans 1-3 cannot be read (a block cut short, a block past its file's end, LZF that
# refers before its start); scan 4 can.
DAMAGED = [
    {"scan_id": 1, "rt_min": 0.25, "ms_level": 1,
     "peaks": {"format": 3, "mz": [1.0, 2.0], "intensity": [1.0, 2.0], "byte_count": 23}},
    {"scan_id": 2, "rt_min": 0.5, "ms_level": 2, "msn_value_1": 500.0,
     "peaks": {"format": 3, "mz": [1.0], "intensity": [1.0], "byte_offset": 1 << 40}},
    {"scan_id": 3, "rt_min": 0.75, "ms_level": 1,
     "profile": {"point_count": 3, "uncompressed_byte_count": 28, "raw_hex": "00" * 16 + "ff"}},
    {"scan_id": 4, "rt_min": 1.0, "ms_level": 1, "peaks": {"format": 3, "mz": [5.0], "intensity": [6.0]}},
]
FIRST = "scanId=1: parse error: Truncated MSPeak.bin block"
LZF = "scanId=3: parse error: LZF: invalid back reference"


def many(count, total, first):
    return "%d of %d scans are damaged and hold no data in this result; first: %s" % (count, total, first)


def one(total, first):
    return "1 of %d scans is damaged and holds no data in this result: %s" % (total, first)


def told(call):
    """What call() returns and the DamagedDataWarning texts it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = call()
    return value, [str(w.message) for w in caught if w.category is meridel.DamagedDataWarning]


def test_every_call_with_damaged_scans_says_so(tmp_path):
    path = write_acquisition(tmp_path / "damaged.d", {"scans": DAMAGED})
    acq = meridel.open(path, precursor_mz="msn_value_1")
    assert issubclass(meridel.DamagedDataWarning, UserWarning)
    rows = [
        (lambda: acq.tic(ms_level=None), [many(3, 4, FIRST)]),
        (lambda: acq.tic(), [many(2, 3, FIRST)]),
        (lambda: acq.bpc(ms_level=1, rt_range=(40.0, 60.0)), [one(2, LZF)]),
        (lambda: acq.xic([1.0, 5.0, 7.0], da=0.5, ms_level=None, threads=2), [many(3, 4, FIRST)]),
        (lambda: acq.arrays(ms_level=1, centroid=True, threads=3), [many(2, 3, FIRST)]),
        (lambda: acq[2], [one(1, LZF)]),
        (lambda: acq.by_scan_id(1), [one(1, FIRST)]),
        (lambda: acq.nearest(44.0, ms_level=1), [one(1, LZF)]),
        (lambda: list(acq.iter(ms_level=1, centroid=True)), [many(2, 3, FIRST)]),
        (lambda: acq.report(str(tmp_path / "page.html")), [many(3, 4, FIRST)]),
        (lambda: acq.to_mzml(str(tmp_path / "run.mzML"), overwrite=True), [many(3, 4, FIRST)]),
        # Nothing damaged in the result: nothing said.
        (lambda: acq[3], []),
        (lambda: list(acq.iter(rt_range=(59.0, 61.0), threads=2)), []),
    ]
    for k, (call, expected) in enumerate(rows):
        assert told(call)[1] == expected, k
    # MGF leaves them out, and says so in corvane-convert's words, as the damaged kind.
    _, texts = told(lambda: acq.to_mgf(str(tmp_path / "run.mgf"), ms_level=None))
    assert texts == ["to_mgf(): 1 scan could not be read and was left out: scanId=2; error: parse error: "
                     "read_bytes: requested 12 bytes at offset %d but %s has only 0 bytes remaining"
                     % (1 << 40, os.path.join(path, "AcqData", "MSPeak.bin"))]


def test_iteration_says_so_once_at_its_end(tmp_path):
    path = write_acquisition(tmp_path / "damaged.d", {"scans": DAMAGED})
    with meridel.open(path) as acq:
        for threads in (1, 2):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                it = acq.iter(threads=threads)
                assert next(it).error is not None and caught == []   # said once, at the end
                assert len(list(it)) == 3 and list(it) == []
                with acq.iter(threads=threads) as early:   # closed early: what it handed out so far
                    next(early)
                    next(early)
            assert [str(w.message) for w in caught] == [many(3, 4, FIRST), many(2, 2, FIRST)]
        # As an error when asked: the loop ends in it, the data were all handed out.
        with warnings.catch_warnings():
            warnings.simplefilter("error", meridel.DamagedDataWarning)
            seen = []
            with pytest.raises(meridel.DamagedDataWarning, match="^3 of 4 scans"):
                for s in acq:
                    seen.append(s.scan_id)
            assert seen == [1, 2, 3, 4] and acq[3].scan_id == 4


def test_missing_data_file_is_named(tmp_path):
    path = write_acquisition(tmp_path / "run.d", {"scans": DAMAGED[3:]})
    os.remove(os.path.join(path, "AcqData", "MSPeak.bin"))
    with meridel.open(path) as acq:
        [text] = told(lambda: acq.tic())[1]
    assert text.startswith(one(1, "scanId=4: ")) and os.path.join("AcqData", "MSPeak.bin") in text


@pytest.mark.parametrize("stride", [284, 220])
def test_salvage_at_every_byte_of_the_last_records(tmp_path, stride):
    count = 5
    path = write_acquisition(tmp_path / "cut.d", {"stride": stride, "scans": [
        {"scan_id": i + 1, "rt_min": 0.1 * i, "ms_level": 1, "peaks": {"format": 3, "mz": [100.0 + i],
                                                                      "intensity": [1.0]}} for i in range(count)]})
    index = os.path.join(path, "AcqData", "MSScan.bin")
    with open(index, "rb") as f:
        whole = f.read()
    with meridel.open(path) as acq:
        assert acq.salvaged is None and len(acq) == count
    for cut in range(1, 2 * stride):
        with open(index, "wb") as f:
            f.write(whole[:len(whole) - cut])
        kept = count - (cut + stride - 1) // stride
        dropped = (len(whole) - cut - (len(whole) - count * stride)) - kept * stride
        if dropped == 0:
            # Whole records only: the plain open takes the shorter index, salvage has nothing to say.
            acq, texts = told(lambda: meridel.open(path, salvage=True))
            assert (len(acq), acq.salvaged, texts, len(meridel.open(path))) == (kept, None, [], kept), cut
            continue
        # Never by default: the plain open keeps its exact error.
        with pytest.raises(meridel.FormatError, match=r"^parse error: Cannot determine record stride for "
                                                      r"payload len \d+$"):
            meridel.open(path)
        acq, texts = told(lambda: meridel.open(path, salvage=True))
        assert acq.salvaged == meridel.Salvage(dropped, 1, kept, stride), cut
        assert texts == ["salvaged a cut scan index: kept %d complete records of %d bytes, dropped %d bytes "
                         "(1 incomplete record) at the end of MSScan.bin" % (kept, stride, dropped)], cut
        assert [s.scan_id for s in acq] == list(range(1, kept + 1)), cut
        acq.close()
    # Pickles as opened, in salvage mode; the repr shows it.
    acq, _ = told(lambda: meridel.open(path, salvage=True))
    copy, texts = told(lambda: pickle.loads(pickle.dumps(acq)))
    assert (len(copy), copy.salvaged) == (count - 2, acq.salvaged) and len(texts) == 1
    assert "salvaged a cut scan index" in acq._repr_html_()
    with pytest.raises(TypeError, match=r"^open\(\) argument 'salvage' must be bool, not int$"):
        meridel.open(path, salvage=1)
