"""Instances whose C++ body was never built: object.__new__(T) for every class of both
modules, then everything pure Python can do with the object. CPython refuses the
creation; PyPy allows it, and then every slot, getter and method must raise instead of
reading the empty body. Each class runs in a subprocess of the interpreter under test,
so a crash fails the test rather than ending the run."""
import json
import os
import subprocess
import sys

import pytest

from conftest import write_acquisition

PROBE = r'''
import copy, gc, json, pickle, sys
import corvane, meridel
from meridel import _meridel

path, out, which = sys.argv[1], sys.argv[2], sys.argv[3]
with meridel.open(path) as acq:
    iterator_type = type(acq.iter())
classes = {
    "corvane.RawReader": corvane.RawReader,
    "corvane.Spectrum": corvane.Spectrum,
    "meridel.Acquisition": meridel.Acquisition,
    "meridel.Spectrum": meridel.Spectrum,
    "meridel.Buffer": meridel.Buffer,
    "meridel._meridel.Buffer": _meridel.Buffer,
    "meridel.SpectrumIterator": iterator_type,
}
# Arguments that get past the binding, so that the call reaches the body.
ARGS = {
    "read_spectrum": (0,), "by_scan_id": (1,), "nearest": (0.0,), "xic": (100.0,),
    "report": (out + ".html",), "to_mzml": (out + ".mzML",), "to_mgf": (out + ".mgf",),
    "__exit__": (None, None, None),
    "__getitem__": (0,), "__reduce_ex__": (2,), "__length_hint__": (),
}
cls = classes[which]
outcomes = {}

def attempt(name, call):
    try:
        value = call()
        outcomes[name] = "ok " + type(value).__name__
    except BaseException as e:  # PanicException derives from BaseException
        outcomes[name] = "raised " + type(e).__name__

try:
    obj = object.__new__(cls)
except TypeError:
    obj = None
    outcomes["object.__new__"] = "refused"
if obj is not None:
    attempt("repr", lambda: repr(obj))
    attempt("str", lambda: str(obj))
    attempt("len", lambda: len(obj))
    attempt("iter", lambda: iter(obj))
    attempt("next", lambda: next(obj))
    attempt("item", lambda: obj[0])
    attempt("bool", lambda: bool(obj))
    attempt("memoryview", lambda: memoryview(obj))
    attempt("pickle", lambda: pickle.dumps(obj))
    attempt("copy", lambda: copy.copy(obj))
    attempt("with", lambda: obj.__enter__())
    attempt("_spectrum_values", lambda: _meridel._spectrum_values(obj, 0))
    attempt("_views", lambda: obj.mz.tolist())
    for name in dir(cls):
        if name in ("__class__", "__init_subclass__", "__subclasshook__", "__new__"):
            continue
        attempt("getattr " + name, lambda: getattr(obj, name))
        member = getattr(cls, name, None)
        if callable(member) and name not in ("__delattr__", "__setattr__", "__init__") or name in ARGS:
            attempt("call " + name, lambda: getattr(obj, name)(*ARGS.get(name, ())))
    del obj
    gc.collect()
    gc.collect()
with open(out, "w") as f:
    json.dump(outcomes, f)
'''

CLASSES = ["corvane.RawReader", "corvane.Spectrum", "meridel.Acquisition", "meridel.Spectrum",
           "meridel.Buffer", "meridel._meridel.Buffer", "meridel.SpectrumIterator"]

# The calls that read the body, which must therefore raise.
MUST_RAISE = {
    "corvane.RawReader": ["repr", "getattr scan_count", "call read_spectrum"],
    "corvane.Spectrum": ["repr", "len", "getattr mz", "getattr ms_level"],
    "meridel.Acquisition": ["repr", "len", "item", "getattr path", "getattr source_name", "pickle",
                            "call close", "call iter", "call tic", "getattr precursor_mz", "call to_mgf",
                            "call to_mzml", "call precursor_evidence", "call _repr_html_"],
    "meridel.Spectrum": ["repr", "len", "getattr index", "getattr mz", "pickle", "_spectrum_values",
                         "getattr precursor", "call centroid", "call _repr_html_", "call to_frame"],
    "meridel.Buffer": ["repr", "len", "memoryview", "call tolist"],
    "meridel._meridel.Buffer": ["repr", "len", "memoryview", "call tolist"],
    "meridel.SpectrumIterator": ["next", "call __length_hint__"],
}

ONE_SCAN = {"scans": [{"scan_id": 1, "rt_min": 0.5, "ms_level": 1,
                       "peaks": {"format": 3, "mz": [100.0], "intensity": [1.0]}}]}


def child_environment():
    # Under the sanitizer pass, AddressSanitizer is preloaded into the interpreter. PyPy
    # does not link the C++ runtime, so the sanitizer finds no __cxa_throw to forward to
    # and aborts at the module's first C++ exception (the one these calls raise through);
    # preloading the C++ runtime after it gives it one.
    env = dict(os.environ)
    preload = env.get("LD_PRELOAD", "")
    if "libasan" in preload and "libstdc++" not in preload:
        env["LD_PRELOAD"] = preload + " libstdc++.so.6"
    return env


@pytest.mark.parametrize("which", CLASSES)
def test_object_new_then_everything(tmp_path, which):
    path = write_acquisition(tmp_path / "run.d", ONE_SCAN)
    out = tmp_path / "outcomes.json"
    proc = subprocess.run([sys.executable, "-c", PROBE, path, str(out), which],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, env=child_environment())
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]
    outcomes = json.loads(out.read_text())
    if "object.__new__" in outcomes:
        return  # the interpreter refused to make the instance
    # Whatever ran, nothing handed out a value read from the missing body.
    for name in MUST_RAISE[which]:
        assert outcomes[name].startswith("raised"), (name, outcomes[name])
