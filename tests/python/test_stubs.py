"""The shipped type stubs describe the module as it is."""
import ast
import os

import corvane

STUBS = os.path.join(os.path.dirname(__file__), "..", "..", "python", "corvane", "corvane.pyi")


def stub_classes():
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
    return tree, classes


def public(cls):
    return {name for name in vars(cls) if not name.startswith("_")}


def test_stubs_match_the_module():
    tree, classes = stub_classes()
    [all_assignment] = [n for n in tree.body if isinstance(n, ast.Assign)
                        and [t.id for t in n.targets] == ["__all__"]]
    assert ast.literal_eval(all_assignment.value) == corvane.__all__
    assert set(classes) == set(corvane.__all__)
    for name, members in classes.items():
        cls = getattr(corvane, name)
        assert {m for m in members if not m.startswith("_")} == public(cls)
    assert "__len__" in classes["Spectrum"]


MERIDEL_STUBS = os.path.join(os.path.dirname(__file__), "..", "..", "python", "meridel", "__init__.pyi")


def test_meridel_stubs_match_the_module(acquisition):
    import meridel
    with open(MERIDEL_STUBS) as f:
        tree = ast.parse(f.read())
    [all_assignment] = [n for n in tree.body if isinstance(n, ast.Assign)
                        and [t.id for t in n.targets] == ["__all__"]]
    assert ast.literal_eval(all_assignment.value) == meridel.__all__
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
    assert set(classes) | functions == set(meridel.__all__)
    # The iterator's class is not exported by name: its stub is _SpectrumIterator.
    [iterator] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "_SpectrumIterator"]
    with meridel.open(acquisition({"scans": [{"scan_id": 1}]})) as acq:
        iterator_type = type(acq.iter())
    members = {item.name for item in iterator.body if isinstance(item, ast.FunctionDef)}
    assert {m for m in members if not m.startswith("_")} == public(iterator_type)
    for name, node in classes.items():
        cls = getattr(meridel, name)
        if hasattr(cls, "_fields"):       # the named tuples: their fields, in order
            fields = [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
            assert fields == list(cls._fields), name
        elif not issubclass(cls, BaseException):
            members = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
            assert {m for m in members if not m.startswith("_")} == public(cls), name
