#!/usr/bin/env bash
# install-check.sh PYTHON WORKDIR SOURCE
# `pip install .` into a fresh venv of PYTHON, offline with Debian's wheels, from a copy of
# the source tree; then imports corvane from outside both trees and, when CORVANE_FIXTURE
# names the fixture tool, reads an acquisition with it.
set -euo pipefail
python=$1 work=$2 source=$3
wheels=/usr/share/python-wheels

rm -rf "$work"
mkdir -p "$work/src"
# A copy keeps setuptools' build-pip/ and egg-info out of the checkout.
cp -r "$source/pyproject.toml" "$source/setup.py" "$source/src" "$source/meridel_core" \
      "$source/python" "$work/src/"
mkdir -p "$work/src/docs" && cp "$source/docs/python.md" "$work/src/docs/" 2>/dev/null || touch "$work/src/docs/python.md"

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --find-links "$wheels" "$work/src"

if [ -n "${CORVANE_FIXTURE:-}" ]; then
  echo '{"scans":[{"scan_id":1,"rt_min":0.5,"ms_level":1,"peaks":{"format":3,"mz":[100.25],"intensity":[2.5]}}]}' \
    | "$CORVANE_FIXTURE" "$work/sample.d"
fi

cd "$work"   # neither the checkout nor the build's module folder is on sys.path here
"$work/venv/bin/python" - <<'PY'
import importlib.metadata, os, sys, sysconfig
import corvane
site = sysconfig.get_paths()["purelib"]
# The extension, its stubs and the metadata: nothing else (no src/ package such as raw/).
installed = [str(f) for f in importlib.metadata.files("corvane")]
strays = [f for f in installed if not f.startswith(("corvane.", "corvane-stubs/", "corvane-0.1.0.dist-info/"))]
assert not strays, strays
assert os.path.dirname(os.path.abspath(corvane.__file__)).startswith(sys.prefix), corvane.__file__
assert corvane.__all__ == ["RawReader", "Spectrum"]
for stub in ("corvane.pyi", os.path.join("corvane-stubs", "__init__.pyi"), os.path.join("corvane-stubs", "py.typed")):
    assert os.path.exists(os.path.join(site, stub)), stub
try:
    corvane.RawReader(os.getcwd())
except RuntimeError as e:
    assert str(e) == "parse error: AcqData directory not found", e
else:
    raise AssertionError("opened a directory without AcqData")
if os.path.isdir("sample.d"):
    s = corvane.RawReader("sample.d").read_spectrum(0)
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([100.25], [2.5], 1, 30.0)
print("installed:", corvane.__file__)
PY
