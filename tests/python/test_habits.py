"""meridel as NumPy and pandas users reach for it: integer arguments from anything with
__index__, real ones from anything float() takes as a number, Buffer slices, Buffers as
pandas columns, to_frame(), the one-line error without pandas, and the HTML shown in
Jupyter."""
import decimal
import fractions
import gc
import subprocess
import sys

import pytest

import meridel
from conftest import write_acquisition

try:
    import numpy
except ImportError:
    numpy = None
try:
    import pandas
except ImportError:
    pandas = None
needs_numpy = pytest.mark.skipif(numpy is None, reason="NumPy is not installed for this interpreter (PyPy)")
needs_pandas = pytest.mark.skipif(pandas is None, reason="pandas is not installed for this interpreter (PyPy)")

SCANS = [{"scan_id": 10 + i, "rt_min": 0.1 * i, "ms_level": 1 + (i % 3 == 2),
          "peaks": {"format": 3, "mz": [100.0 + i, 200.0 + i, 300.0], "intensity": [1.0 + i, 2.0, 4.0]}}
         for i in range(9)]


@pytest.fixture
def run(tmp_path):
    return write_acquisition(tmp_path / "run.d", {"scans": SCANS})


class Index:
    """An integer that is not an int: what NumPy's scalars look like to the binding."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A real number that is not a float and has no __index__."""
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def integers(value):
    kinds = [value, Index(value)]
    if numpy is not None:
        kinds += [t(value) for t in (numpy.int8, numpy.int64, numpy.uint32, numpy.uint64)]
    return kinds


def reals(value):
    kinds = [float(value), Real(float(value)), decimal.Decimal(repr(float(value))), fractions.Fraction(float(value))]
    if value == int(value):
        kinds += [int(value), Index(int(value))]
    if numpy is not None:
        kinds += [numpy.float16(value), numpy.float32(value), numpy.float64(value)]
    return kinds


def test_integer_arguments_take_index(run):
    with meridel.open(run) as acq:
        reference = [s.index for s in acq.iter(ms_level=2, threads=2)]
        for n in integers(2):
            assert acq[n].index == 2
            assert [s.index for s in acq.iter(ms_level=n, threads=n)] == reference
            assert len(acq.arrays(ms_level=n, threads=n).scan_index) == len(reference)
            assert len(acq.tic(ms_level=n).rt) == len(acq.bpc(ms_level=n, threads=n).rt) == len(reference)
            assert len(acq.xic(300.0, ms_level=n, threads=n)[0].rt) == len(reference)
            assert acq.nearest(0.0, ms_level=n).index == 2
            assert acq.scans(threads=n)["index"].tolist() == list(range(9))
            assert acq.precursor_evidence(threads=n)[0].fragment_scans == 3
        for n in integers(12):
            assert acq.by_scan_id(n).scan_id == 12
        # bool is an int, as in Python's own APIs; a float is not.
        assert acq.iter(threads=True).__length_hint__() == 9
        for bad, name in ((12.0, "float"), ("12", "str"), (None, "NoneType")):
            with pytest.raises(TypeError, match=r"^by_scan_id\(\) argument 'scan_id' must be int, not %s$" % name):
                acq.by_scan_id(bad)
        with pytest.raises(TypeError, match=r"^tic\(\) argument 'ms_level' must be int or None, not float$"):
            acq.tic(ms_level=1.0)
        with pytest.raises(ValueError, match="threads"):
            acq.tic(threads=Index(0))


@needs_pandas
def test_scan_id_from_scans_frame(run):
    # The column scans_frame() itself returns, and its rows, go back into the calls.
    with meridel.open(run) as acq:
        frame = acq.scans_frame()
        assert acq.by_scan_id(frame.scan_id.iloc[5]).index == 5
        assert acq[frame["index"].iloc[-1]].index == 8
        assert acq.nearest(frame.retention_time_sec.iloc[4]).index == 4


def test_real_arguments_take_what_float_takes(run, tmp_path):
    with meridel.open(run) as acq:
        expected = [c.intensity.tolist() for c in acq.xic([100.0, 300.0], da=0.5, rt_range=(6.0, 30.0))]
        for x, target, tolerance in zip(reals(6.0), reals(100.0), reals(0.5)):
            assert acq.nearest(x).index == 1
            got = acq.xic([target, 300.0], da=tolerance, rt_range=(x, reals(30.0)[-1]))
            assert [c.intensity.tolist() for c in got] == expected
        for ppm in reals(10.0):
            assert acq.xic(300.0, ppm=ppm)[0].window == (300.0 - 0.003, 300.0 + 0.003)
            assert acq.precursor_evidence(ppm=ppm)[0].member == "msn_value_1"
        for low in reals(1.0):
            acq.to_mzml(str(tmp_path / "f.mzML"), min_intensity=low, top_n=integers(2)[-1], overwrite=True)
        # A value is the sum of the scan's points inside the window, both ends included; a
        # scan without one there shows 0.0, never goes missing.
        assert acq.xic(101.0, da=1.0, ms_level=None)[0].intensity.tolist() == [1.0, 2.0, 3.0] + [0.0] * 6
        # Text is never a number, even where float() would parse it; nor is a complex.
        for bad, name in (("6.0", "str"), (b"6", "bytes"), (1j, "complex"), ([6.0], "list")):
            with pytest.raises(TypeError, match=r"^nearest\(\) argument 'rt_seconds' must be a real number, not %s$"
                               % name):
                acq.nearest(bad)
        with pytest.raises(TypeError, match=r"^xic\(\) argument 'targets' must be a real number or a sequence"):
            acq.xic(["300"])
        with pytest.raises(OverflowError):   # float()'s own error for an int too large for a double
            acq.nearest(10 ** 400)


@needs_numpy
def test_numpy_targets_and_buffer_views(run):
    with meridel.open(run) as acq:
        plain = [c.intensity.tolist() for c in acq.xic([100.0, 300.0], da=0.5)]
        for dtype in (numpy.float32, numpy.int64):
            got = acq.xic(numpy.array([100, 300], dtype=dtype), da=numpy.float32(0.5))
            assert [c.intensity.tolist() for c in got] == plain
        assert len(acq.xic(acq[0].mz, da=0.5)) == 3   # a Buffer of m/z values is a sequence of targets
        spectrum = acq[4]
        whole = numpy.asarray(spectrum.mz)
        for key in (slice(1, 3), slice(None, None, -1)):
            view = numpy.asarray(spectrum.mz[key])
            assert numpy.shares_memory(view, whole) and view.tolist() == whole[key].tolist(), key
            assert not view.flags.writeable
        assert numpy.asarray(spectrum.intensity[1:]).dtype == numpy.float32
        copied = spectrum.mz.__array__(copy=True)
        assert copied.flags.writeable and not numpy.shares_memory(copied, whole)


def test_buffer_slices_share_memory(run):
    acq = meridel.open(run)
    rt = acq.tic(ms_level=None).rt
    values = rt.tolist()
    # Step 1 gives a Buffer; any other step a read-only view of the same memory.
    for key in (slice(2, 5), slice(-3, None), slice(5, 2), slice(-100, 100), slice(9, None),
                slice(None, None, 2), slice(7, 1, -3)):
        part = rt[key]
        assert type(part) is (type(rt) if key.step is None else memoryview), key
        assert part.tolist() == values[key] and len(part) == len(values[key]) and part.format == "d", key
    part = rt[3:]
    assert part[1:3].tolist() == values[4:6] and part[-1] == values[-1]
    assert memoryview(part).tobytes() == memoryview(rt).tobytes()[24:] and part.nbytes == 48
    # Slices outlive what made them: the closed acquisition and the dropped Buffer.
    mz = acq[4].mz[1:]
    del rt
    acq.close()
    gc.collect()
    assert mz.tolist() == [204.0, 300.0] and part.tolist() == values[3:]
    with pytest.raises(ValueError):
        mz[::0]
    with pytest.raises(TypeError, match="^meridel.Buffer indices must be integers or slices, not float$"):
        mz[1.0]


@needs_pandas
def test_buffers_as_pandas_columns_and_to_frame(run):
    with meridel.open(run) as acq:
        tic = acq.tic()
        frame = pandas.DataFrame({"rt": tic.rt, "i": tic.intensity})
        assert [str(t) for t in frame.dtypes] == ["float64", "float64"]
        assert frame.rt.tolist() == tic.rt.tolist() and frame.i.tolist() == tic.intensity.tolist()
        for chromatogram in [tic, acq.xic(300.0, da=0.5)[0]]:
            frame = chromatogram.to_frame()
            assert list(frame.columns) == ["rt", "intensity"] and [str(t) for t in frame.dtypes] == ["float64"] * 2
            assert frame.intensity.tolist() == chromatogram.intensity.tolist()
        frame = acq[3].to_frame()
        assert list(frame.columns) == ["mz", "intensity"] and [str(t) for t in frame.dtypes] == ["float64", "float32"]
        assert frame.mz.tolist() == acq[3].mz.tolist()


def test_one_line_error_without_pandas(run):
    script = ("import sys\nsys.modules['pandas'] = None   # as where it is not installed\n"
              "import meridel\nacq = meridel.open(sys.argv[1])\n"
              "for call in (lambda: acq.tic().to_frame(), lambda: acq[0].to_frame(), acq.scans_frame):\n"
              "    try:\n        call()\n"
              "    except ImportError as e:\n"
              "        print(type(e).__name__, e.__cause__ is None and e.__context__ is None, e, sep='|')\n")
    proc = subprocess.run([sys.executable, "-c", script, run], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode().splitlines() == [
        "ModuleNotFoundError|True|%s() needs pandas: pip install 'corvane[pandas]'" % name
        for name in ("to_frame", "to_frame", "scans_frame")]


def test_html_for_jupyter(tmp_path):
    # Text from the run and its path is escaped wherever it shows.
    path = write_acquisition(tmp_path / "a<b>&'q\".d", {"scans": SCANS[:3]})
    acq = meridel.open(path, precursor_mz="msn_value_1")
    html = acq._repr_html_()
    assert html.startswith('<table class="meridel-acquisition">') and html.endswith("</table>")
    assert "a&lt;b&gt;&amp;&#x27;q&quot;.d" in html and "<b>" not in html
    assert "3 (MS1: 2, MS2: 1)" in html and "msn_value_1" in html
    assert "scanId=10" in acq[0]._repr_html_()
    assert "300.0000 (4.0), 200.0000 (2.0), 100.0000 (1.0)" in acq[0]._repr_html_()
    assert "299.5000 - 300.5000" in acq.xic(300.0, da=0.5)[0]._repr_html_()
    acq.close()
    closed = acq._repr_html_()
    assert "closed" in closed and "a&lt;b&gt;" in closed
