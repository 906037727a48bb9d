"""The module's Python face: names, argument binding, conversions, refusals."""
import importlib.util
import pathlib
import platform
import sys

import pytest

import corvane
from conftest import check_note

PYPY = platform.python_implementation() == "PyPy"
# CPython 3.10 added immutable heap types and kept the signature in a heap type's doc.
CPYTHON_BEFORE_310 = not PYPY and sys.version_info < (3, 10)

ONE_SCAN = {"scans": [{"scan_id": 1, "rt_min": 0.5, "ms_level": 1,
                       "peaks": {"format": 3, "mz": [100.0], "intensity": [1.0]}}]}
FIVE_SCANS = {"scans": [{"scan_id": i + 1, "rt_min": 0.1 * i, "ms_level": 1,
                         "peaks": {"format": 3, "mz": [100.0 + i] * (i + 1),
                                   "intensity": [1.0] * (i + 1)}} for i in range(5)]}


@pytest.fixture
def five(acquisition):
    return corvane.RawReader(acquisition(FIVE_SCANS))


def test_module_names():
    assert corvane.__all__ == ["RawReader", "Spectrum"]
    assert corvane.__doc__ == ""
    for cls, name in [(corvane.RawReader, "RawReader"), (corvane.Spectrum, "Spectrum")]:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        assert cls.__name__ == name
    if not CPYTHON_BEFORE_310:  # 3.9's PyType_FromSpec drops the signature from tp_doc
        assert corvane.RawReader.__text_signature__ == "(path)"


@pytest.mark.parametrize("existing", [None, ["helper"]])
def test_new_module_object_appends_to_all(existing):
    # Another module object from the same definition: the execution step runs again and
    # appends to an __all__ that is already there. Its classes are its own where the
    # interpreter ties types to their module (CPython), the process's on PyPy
    # (test_module_state.py).
    spec = importlib.util.find_spec("corvane")
    module = importlib.util.module_from_spec(spec)
    if existing is not None:
        module.__all__ = list(existing)
    spec.loader.exec_module(module)
    assert module is not corvane
    shared = sys.implementation.name != "cpython"
    assert (module.RawReader is corvane.RawReader, module.Spectrum is corvane.Spectrum) == (shared, shared)
    assert module.__all__ == (existing or []) + ["RawReader", "Spectrum"]
    assert corvane.__all__ == ["RawReader", "Spectrum"]


@pytest.mark.parametrize("call, message", [
    (lambda: corvane.RawReader(), "RawReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda: corvane.RawReader("a", "b"), "RawReader.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: corvane.RawReader("a", "b", "c"), "RawReader.__new__() takes 1 positional arguments but 3 were given"),
    (lambda: corvane.RawReader("a", path="b"), "RawReader.__new__() got multiple values for argument 'path'"),
    (lambda: corvane.RawReader(name="a"), "RawReader.__new__() got an unexpected keyword argument 'name'"),
    # Too many positionals is checked before the keywords, keywords in the order given.
    (lambda: corvane.RawReader("a", "b", name="c"), "RawReader.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: corvane.RawReader(x=1, path="a"), "RawReader.__new__() got an unexpected keyword argument 'x'"),
    (lambda: corvane.RawReader(path="a", x=1), "RawReader.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")  # binding errors carry no note


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "RawReader.read_spectrum() missing 1 required positional argument: 'scan_index'"),
    ((0, 1), {}, "RawReader.read_spectrum() takes 1 positional arguments but 2 were given"),
    ((0,), {"scan_index": 1}, "RawReader.read_spectrum() got multiple values for argument 'scan_index'"),
    ((), {"index": 1}, "RawReader.read_spectrum() got an unexpected keyword argument 'index'"),
])
def test_read_spectrum_binding_errors(five, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        five.read_spectrum(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("value, message", [
    (None, "'None' is not an instance of 'str'"),
    (b"run.d", "'bytes' object is not an instance of 'str'"),
    (pathlib.Path("run.d"), "'PosixPath' object is not an instance of 'str'"),
    (3, "'int' object is not an instance of 'str'"),
])
def test_path_must_be_str(value, message):
    with pytest.raises(TypeError) as info:
        corvane.RawReader(value)
    assert str(info.value) == message
    check_note(info.value, "path")


def test_path_without_utf8_form():
    with pytest.raises(UnicodeEncodeError) as info:
        corvane.RawReader("run\udcff.d")
    check_note(info.value, "path")


def test_path_str_subclass_and_keyword(acquisition):
    class Text(str):
        pass

    path = acquisition(ONE_SCAN)
    for reader in (corvane.RawReader(Text(path)), corvane.RawReader(path=path)):
        assert reader.scan_count == 1
        assert repr(reader) == repr(corvane.RawReader(path))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("scan_index, expected_peaks", [
    (0, 1), (4, 5), (True, 2), (False, 1), (Index(2), 3),
])
def test_read_spectrum_index_conversion(five, scan_index, expected_peaks):
    assert len(five.read_spectrum(scan_index)) == expected_peaks
    assert len(five.read_spectrum(scan_index=scan_index)) == expected_peaks


@pytest.mark.parametrize("scan_index, error", [
    (-1, OverflowError),
    (-(2 ** 70), OverflowError),
    (2 ** 64, OverflowError),
    (Index(-3), OverflowError),
    ("1", TypeError),
    (1.0, TypeError),
    (None, TypeError),
])
def test_read_spectrum_bad_index(five, scan_index, error):
    with pytest.raises(error) as info:
        five.read_spectrum(scan_index)
    assert type(info.value) is error  # not RuntimeError: negative never counts from the end
    check_note(info.value, "scan_index")


@pytest.mark.parametrize("scan_index", [5, 6, 2 ** 64 - 1])
def test_read_spectrum_out_of_range(five, scan_index):
    with pytest.raises(RuntimeError) as info:
        five.read_spectrum(scan_index)
    assert str(info.value) == "scan %d out of range" % scan_index
    assert info.value.args == ("scan %d out of range" % scan_index,)


def test_index_errors_from_dunder_index_pass_through(five):
    class Broken:
        def __index__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="nope") as info:
        five.read_spectrum(Broken())
    check_note(info.value, "scan_index")


def test_spectrum_cannot_be_created():
    with pytest.raises(TypeError) as info:
        corvane.Spectrum()
    assert str(info.value) == "cannot create 'builtins.Spectrum' instances"


@pytest.mark.skipif(PYPY, reason="PyPy's object.__new__ makes cpyext instances without "
                                 "calling the type's tp_new or tp_alloc")
@pytest.mark.parametrize("cls", ["RawReader", "Spectrum"])
def test_object_new_cannot_bypass_construction(cls):
    # An instance whose C++ body was never built would be destroyed on release.
    with pytest.raises(TypeError):
        object.__new__(getattr(corvane, cls))


@pytest.mark.parametrize("base", ["RawReader", "Spectrum"])
def test_no_subclassing(base):
    with pytest.raises(TypeError) as info:
        type("Sub", (getattr(corvane, base),), {})
    assert str(info.value) == "type 'builtins.%s' is not an acceptable base type" % base


@pytest.mark.parametrize("target, statement", [
    ("reader", "obj.scan_count = 1"),
    ("reader", "del obj.scan_count"),
    ("reader", "obj.extra = 1"),
    ("spectrum", "obj.mz = []"),
    ("spectrum", "obj.intensity = []"),
    ("spectrum", "obj.retention_time_sec = 1.0"),
    ("spectrum", "del obj.ms_level"),
    ("spectrum", "obj.extra = 1"),
])
def test_attributes_are_read_only(five, target, statement):
    obj = five if target == "reader" else five.read_spectrum(0)
    with pytest.raises(AttributeError):
        exec(statement, {"obj": obj})
    assert not hasattr(obj, "extra")
    assert five.scan_count == 5


@pytest.mark.skipif(PYPY, reason="PyPy 3.9's cpyext makes every PyType_FromSpec type mutable "
                                 "and has no flag to say otherwise")
@pytest.mark.skipif(CPYTHON_BEFORE_310, reason="no immutable heap types before CPython 3.10")
@pytest.mark.parametrize("statement", [
    "corvane.RawReader.read_spectrum = None",
    "del corvane.RawReader.read_spectrum",
    "corvane.RawReader.extra = 1",
    "corvane.RawReader.__repr__ = lambda self: 'x'",
    "corvane.Spectrum.mz = None",
    "del corvane.Spectrum.__len__",
])
def test_classes_are_immutable(five, statement):
    saved = {cls: dict(vars(cls)) for cls in (corvane.RawReader, corvane.Spectrum)}
    try:
        with pytest.raises(TypeError):
            exec(statement, {"corvane": corvane})
    finally:
        # Put back what a mutable class let through, so one failure does not spread.
        for cls, attributes in saved.items():
            if dict(vars(cls)) != attributes:
                for name in set(vars(cls)) - set(attributes):
                    delattr(cls, name)
                for name, value in attributes.items():
                    if name not in ("__dict__", "__doc__") and vars(cls).get(name) is not value:
                        setattr(cls, name, value)
    assert dict(vars(corvane.RawReader)) == saved[corvane.RawReader]
    assert dict(vars(corvane.Spectrum)) == saved[corvane.Spectrum]
    assert repr(five).endswith("5 scans)") and len(five.read_spectrum(1)) == 2


@pytest.mark.skipif(PYPY, reason="PyPy gives every cpyext instance an (empty) __dict__")
def test_no_instance_dict(five):
    assert not hasattr(five, "__dict__")
    assert not hasattr(five.read_spectrum(0), "__dict__")


def test_spectrum_has_no_item_access_or_iteration(five):
    s = five.read_spectrum(1)
    with pytest.raises(TypeError):
        s[0]
    with pytest.raises(TypeError):
        iter(s)

