"""meridel as NumPy and pandas users reach for it: integer arguments from anything with
__index__, real ones from anything float() takes as a number, Buffer slices, Buffers as
pandas columns, to_frame(), the one-line error without pandas, and the HTML shown in
Jupyter."""
import decimal
import fractions
import os
import subprocess
import sys
import textwrap

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
    """value as every kind of integer object an argument must take."""
    kinds = [value, Index(value)]
    if numpy is not None:
        kinds += [t(value) for t in (numpy.int8, numpy.int16, numpy.int32, numpy.int64,
                                     numpy.uint8, numpy.uint16, numpy.uint32, numpy.uint64)]
    return kinds


def reals(value):
    """value as every kind of real number an argument must take."""
    kinds = [float(value), Real(float(value)), decimal.Decimal(repr(float(value))),
             fractions.Fraction(float(value))]
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
        # A number past every scan id matches none, whatever its type.
        for n in integers(120):
            with pytest.raises(KeyError):
                acq.by_scan_id(n)
        # bool is an int, as in Python's own APIs; a float is not.
        assert acq.by_scan_id(10).index == 0 and acq.iter(threads=True).__length_hint__() == 9
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
        assert [acq.by_scan_id(i).scan_id for i in frame.scan_id] == frame.scan_id.tolist()
        assert acq.nearest(frame.retention_time_sec.iloc[4]).index == 4
        assert acq.xic(frame.mz_first.fillna(300.0).to_numpy()[:1])[0].kind == "xic"


def test_real_arguments_take_what_float_takes(run, tmp_path):
    with meridel.open(run) as acq:
        expected = acq.xic([100.0, 300.0], da=0.5, rt_range=(6.0, 30.0))
        for x in reals(6.0):
            assert acq.nearest(x).index == 1
            got = acq.xic([100.0, 300.0], da=0.5, rt_range=(x, reals(30.0)[-1]))
            assert [c.intensity.tolist() for c in got] == [c.intensity.tolist() for c in expected]
        for target in reals(100.0):
            got = acq.xic([target, 300.0], da=0.5, rt_range=(6.0, 30.0))
            assert [c.intensity.tolist() for c in got] == [c.intensity.tolist() for c in expected]
        # A value is the sum of the scan's points inside the window, both ends included; a
        # scan without one there shows 0.0, never goes missing.
        assert acq.xic(101.0, da=1.0, ms_level=None)[0].intensity.tolist() == [1.0, 2.0, 3.0] + [0.0] * 6
        for tolerance in reals(0.5):
            assert acq.xic(300.0, da=tolerance)[0].intensity.tolist() == [4.0] * 6
        for ppm in reals(10.0):
            half = 300.0 * 10.0 * 1e-6
            assert acq.xic(300.0, ppm=ppm)[0].window == (300.0 - half, 300.0 + half)
            assert acq.precursor_evidence(ppm=ppm)[0].member == "msn_value_1"
        for target in reals(300.0):
            [one] = acq.xic(target, da=0.5)
            assert one.target == 300.0 and one.intensity.tolist() == [4.0] * 6
        for low in reals(1.0):
            acq.to_mzml(str(tmp_path / "f.mzML"), min_intensity=low, top_n=integers(2)[-1], overwrite=True)
        # Text is never a number, even where float() would parse it; nor is a complex.
        for bad, name in (("6.0", "str"), (b"6", "bytes"), (bytearray(b"6"), "bytearray"), (1j, "complex"),
                          ([6.0], "list")):
            with pytest.raises(TypeError, match=r"^nearest\(\) argument 'rt_seconds' must be a real number, not %s$"
                               % name):
                acq.nearest(bad)
        with pytest.raises(TypeError, match=r"^xic\(\) argument 'da' must be a real number or None, not str$"):
            acq.xic(300.0, da="0.5")
        with pytest.raises(TypeError, match=r"^xic\(\) argument 'targets' must be a real number or a sequence"):
            acq.xic(["300"])
        # float() failing on its own terms keeps its error (an int too large for a double).
        with pytest.raises(OverflowError):
            acq.nearest(10 ** 400)


@needs_numpy
def test_targets_from_numpy(run):
    with meridel.open(run) as acq:
        plain = [c.intensity.tolist() for c in acq.xic([100.0, 300.0], da=0.5)]
        for dtype in (numpy.float32, numpy.float64, numpy.int64):
            got = acq.xic(numpy.array([100, 300], dtype=dtype), da=numpy.float32(0.5))
            assert [c.intensity.tolist() for c in got] == plain
        assert acq.xic(numpy.float32(300.0), da=0.5)[0].intensity.tolist() == plain[1]
        # A Buffer of m/z values is a sequence of targets too.
        assert len(acq.xic(acq[0].mz, da=0.5)) == 3


def test_buffer_slices_share_memory(run):
    acq = meridel.open(run)
    rt = acq.tic(ms_level=None).rt
    values = rt.tolist()
    for key in (slice(2, 5), slice(-3, None), slice(None, -7), slice(5, 2), slice(-100, 100), slice(4, 4),
                slice(None), slice(9, None)):
        part = rt[key]
        assert type(part) is type(rt), key
        assert part.tolist() == values[key] and len(part) == len(values[key]) and part.format == "d", key
        assert memoryview(part).tolist() == values[key] and part.nbytes == 8 * len(values[key]), key
    for key in (slice(None, None, 2), slice(None, None, -1), slice(7, 1, -3), slice(1, None, 4)):
        part = rt[key]
        assert isinstance(part, memoryview) and part.readonly, key
        assert part.tolist() == values[key] and part.format == "d", key
    # A slice of a slice, negative indices into it, and a slice's memory is the Buffer's.
    part = rt[3:]
    assert part[1:3].tolist() == values[4:6] and part[-1] == values[-1] and part[0] == values[3]
    assert memoryview(part).tobytes() == memoryview(rt).tobytes()[24:]
    # Slices outlive what made them: the closed acquisition and the dropped Buffer.
    spectrum = acq[4]
    mz = spectrum.mz[1:]
    del rt, spectrum
    acq.close()
    import gc
    gc.collect()
    assert mz.tolist() == [204.0, 300.0] and part.tolist() == values[3:]
    with pytest.raises(ValueError):
        mz[::0]
    with pytest.raises(TypeError, match="^meridel.Buffer indices must be integers or slices, not float$"):
        mz[1.0]


@needs_numpy
def test_buffer_slices_in_numpy(run):
    with meridel.open(run) as acq:
        spectrum = acq[4]
        whole = numpy.asarray(spectrum.mz)
        for key in (slice(1, 3), slice(None, None, 2), slice(None, None, -1)):
            view = numpy.asarray(spectrum.mz[key])
            assert numpy.shares_memory(view, whole) and view.tolist() == whole[key].tolist(), key
            assert not view.flags.writeable
        assert numpy.asarray(spectrum.intensity[1:]).dtype == numpy.float32
        assert spectrum.mz.__array__(dtype=numpy.float32).dtype == numpy.float32
        copied = spectrum.mz.__array__(copy=True)
        assert copied.flags.writeable and not numpy.shares_memory(copied, whole)


@needs_pandas
def test_buffers_as_pandas_columns_and_to_frame(run):
    with meridel.open(run) as acq:
        tic = acq.tic()
        frame = pandas.DataFrame({"rt": tic.rt, "i": tic.intensity})
        assert [str(t) for t in frame.dtypes] == ["float64", "float64"] and len(frame) == 6
        assert frame.rt.tolist() == tic.rt.tolist() and frame.i.tolist() == tic.intensity.tolist()
        assert pandas.Series(tic.rt[2:]).tolist() == tic.rt.tolist()[2:]
        for chromatogram in [tic, acq.bpc(ms_level=2)] + acq.xic([100.0, 300.0], da=0.5):
            frame = chromatogram.to_frame()
            assert list(frame.columns) == ["rt", "intensity"] and len(frame) == len(chromatogram.rt)
            assert [str(t) for t in frame.dtypes] == ["float64", "float64"]
            assert frame.intensity.tolist() == chromatogram.intensity.tolist()
        spectrum = acq[3]
        frame = spectrum.to_frame()
        assert list(frame.columns) == ["mz", "intensity"] and len(frame) == len(spectrum) == 3
        assert [str(t) for t in frame.dtypes] == ["float64", "float32"]
        assert frame.mz.tolist() == spectrum.mz.tolist()


NO_PANDAS = textwrap.dedent("""
    import sys
    sys.modules["pandas"] = None   # import pandas then fails, as where it is not installed
    import meridel
    acq = meridel.open(sys.argv[1])
    for call in (lambda: acq.tic().to_frame(), lambda: acq[0].to_frame(), lambda: acq.scans_frame()):
        try:
            call()
        except ImportError as e:
            print(type(e).__name__, e.__cause__ is None and e.__context__ is None, str(e), sep="|")
""")


def test_one_line_error_without_pandas(run):
    proc = subprocess.run([sys.executable, "-c", NO_PANDAS, run], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode().splitlines() == [
        "ModuleNotFoundError|True|to_frame() needs pandas: pip install 'corvane[pandas]'",
        "ModuleNotFoundError|True|to_frame() needs pandas: pip install 'corvane[pandas]'",
        "ModuleNotFoundError|True|scans_frame() needs pandas: pip install 'corvane[pandas]'",
    ]


def test_html_for_jupyter(tmp_path):
    # Text from the run and its path is escaped wherever it shows.
    path = write_acquisition(tmp_path / "a<b>&'q\".d", {"scans": SCANS[:3]})
    acq = meridel.open(path, precursor_mz="msn_value_1")
    html = acq._repr_html_()
    assert html.startswith('<table class="meridel-acquisition">') and html.endswith("</table>")
    assert "a&lt;b&gt;&amp;&#x27;q&quot;.d" in html and "<b>" not in html
    assert "3 (MS1: 2, MS2: 1)" in html and "msn_value_1" in html
    spectrum_html = acq[0]._repr_html_()
    assert "scanId=10" in spectrum_html and "300.0000 (4.0), 200.0000 (2.0), 100.0000 (1.0)" in spectrum_html
    chromatogram_html = acq.xic(300.0, da=0.5)[0]._repr_html_()
    assert "xic" in chromatogram_html and "299.5000 - 300.5000" in chromatogram_html
    assert "<td style=\"text-align:left\">2</td>" in acq.tic()._repr_html_()
    acq.close()
    closed = acq._repr_html_()
    assert "closed" in closed and "a&lt;b&gt;" in closed
