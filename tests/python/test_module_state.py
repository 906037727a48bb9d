"""Type objects per module object. Where the interpreter ties a type to its module
(CPython), every module object made from the extension has types and classes of its
own, and whatever it makes is of its own types; on PyPy they are the process's and a
second module object shares them. Either way a module object's types keep working
after another module object of the same extension is gone."""
import gc
import importlib.util
import pickle
import sys

import pytest

import corvane
from meridel import _meridel

from conftest import write_acquisition

PER_MODULE = sys.implementation.name == "cpython"

TWO_SCANS = {"scans": [
    {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "peaks": {"format": 3, "mz": [100.0, 101.0], "intensity": [1.0, 2.0]}},
    {"scan_id": 2, "rt_min": 0.6, "ms_level": 2, "msn_value_1": 400.5, "msn_value_2": 2.0,
     "peaks": {"format": 3, "mz": [150.0], "intensity": [3.0]}},
]}


def fresh(name):
    """A new module object from the extension file that `name` was imported from."""
    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def collect():
    for _ in range(3):
        gc.collect()


def corvane_made(module, path):
    reader = module.RawReader(path)
    spectrum = reader.read_spectrum(1)
    return (type(reader) is module.RawReader, type(spectrum) is module.Spectrum, repr(spectrum), spectrum.mz)


def meridel_made(module, path, damaged):
    """What module's calls make, each checked against the class the module exports."""
    with module.open(path) as acq:
        spectrum = acq[1]
        made = {
            "Acquisition": type(acq) is module.Acquisition,
            "Spectrum": type(spectrum) is module.Spectrum,
            "iterated": all(type(s) is module.Spectrum for s in acq),
            "Precursor": type(spectrum.precursor) is module.Precursor,
            "Instrument": type(acq.instrument) is module.Instrument,
            "Chromatogram": type(acq.tic()) is module.Chromatogram,
            "RunArrays": type(acq.arrays()) is module.RunArrays,
            "restored": type(module._restore_spectrum(spectrum.__reduce__()[1][0])) is module.Spectrum,
            "values": (spectrum.mz.tolist(), list(acq.arrays().mz)),
        }
        if PER_MODULE:  # PyPy's Buffers are made by meridel._views, for every module object
            made["Buffer"] = type(spectrum.mz) is module.Buffer and type(acq.scans()["index"]) is module.Buffer
    try:
        module.open(damaged)
        made["FormatError"] = False
    except module.FormatError:
        made["FormatError"] = True
    return made


@pytest.fixture
def runs(tmp_path):
    return (write_acquisition(tmp_path / "run.d", TWO_SCANS),
            write_acquisition(tmp_path / "damaged.d", {"msscan_hex": "01 01 00"}))


def test_corvane_types_per_module_object(runs):
    path, _ = runs
    other = fresh("corvane")
    for name in corvane.__all__:
        assert (getattr(other, name) is getattr(corvane, name)) != PER_MODULE, name
    expected = (True, True, "Spectrum(1 peaks, RT 36.00s)", [150.0])
    assert corvane_made(corvane, path) == expected
    assert corvane_made(other, path) == expected
    # A reader outlives its module object; the first module object outlives the other.
    reader = other.RawReader(path)
    spectrum_type = other.Spectrum
    del other
    collect()
    assert type(reader.read_spectrum(0)) is spectrum_type and repr(reader.read_spectrum(0)).startswith("Spectrum(2 ")
    assert corvane_made(corvane, path) == expected


def test_meridel_types_per_module_object(runs):
    path, damaged = runs
    other = fresh("meridel._meridel")
    for name in ("Acquisition", "Spectrum", "FormatError", "Instrument", "Precursor", "Chromatogram", "RunArrays"):
        assert (getattr(other, name) is getattr(_meridel, name)) != PER_MODULE, name
    first = meridel_made(_meridel, path, damaged)
    assert all(value is True for key, value in first.items() if key != "values"), first
    assert meridel_made(other, path, damaged) == first
    # Open objects outlive their module object; the first module object outlives the other.
    acq = other.open(path)
    iterator = iter(acq)
    spectrum_type = other.Spectrum
    del other
    collect()
    spectrum = next(iterator)
    assert type(spectrum) is spectrum_type and type(acq[1]) is spectrum_type
    assert spectrum.mz.tolist() == [100.0, 101.0] and acq[1].precursor[:3] == (400.5, 2.0, "scanId=2")
    assert pickle.loads(pickle.dumps(acq[1])).mz.tolist() == [150.0]
    acq.close()
    assert meridel_made(_meridel, path, damaged) == first
