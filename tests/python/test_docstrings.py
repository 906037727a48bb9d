"""Every public property and method of both modules' classes says what it is: no member
without a docstring, and none left with the named-tuple factory's "Alias for field number".
(PyPy 7.3.11 drops the docstrings of extension types' members: meridel puts its getters'
back as properties, methods and corvane's frozen classes stay without there.)"""
import inspect
import platform

import pytest

import corvane
import meridel

PYPY = platform.python_implementation() == "PyPy"
PLACEHOLDERS = ("Alias for field number",)


def public_classes():
    for module in (meridel, corvane):
        for name in module.__all__:
            value = getattr(module, name)
            if isinstance(value, type):
                yield "%s.%s" % (module.__name__, name), value


def made_in_python(cls):
    return hasattr(cls, "_fields") or (PYPY and cls.__module__ == "meridel" and "__slots__" in vars(cls))


def lacking(cls, properties_only=False):
    """The public members defined on cls itself whose docstring is missing or a placeholder."""
    missing = []
    for name, member in vars(cls).items():
        if name.startswith("_") or properties_only and callable(member):
            continue
        doc = inspect.getdoc(member) if not isinstance(member, str) else None
        if isinstance(member, (staticmethod, classmethod)):
            doc = inspect.getdoc(member.__func__)
        if not doc or not doc.strip() or doc.startswith(PLACEHOLDERS):
            missing.append(name)
    return missing


@pytest.mark.parametrize("name,cls", list(public_classes()), ids=[n for n, _ in public_classes()])
def test_every_public_member_has_a_docstring(name, cls):
    if issubclass(cls, BaseException):
        assert inspect.getdoc(cls), name
        return
    if PYPY and not made_in_python(cls):
        if cls.__module__ != "meridel":
            pytest.skip("PyPy drops the docstrings of extension types' members")
        assert lacking(cls, properties_only=True) == [], name
        return
    assert lacking(cls) == [], name


def test_the_iterator_and_the_functions_too(tmp_path):
    from conftest import write_acquisition
    path = write_acquisition(tmp_path / "run.d", {"scans": [{"scan_id": 1}]})
    with meridel.open(path) as acq:
        iterator = type(acq.iter())
    if not PYPY:
        assert lacking(iterator) == []
    assert "salvage" in meridel.open.__doc__ and "NotADirectoryError" in meridel.open.__doc__
    # The walk catches what it is for: a member without a docstring.
    class Bare:
        def method(self):
            pass
        value = property(lambda self: 1)
    assert lacking(Bare) == ["method", "value"]
