#!/usr/bin/env bash
# install-check.sh PYTHON WORKDIR SOURCE
# `pip install .` into a fresh venv of PYTHON, offline with Debian's wheels, run in a copy of
# the checkout SOURCE as a user has it: every file git tracks or would track, uncommitted
# edits included, committed into a repository of its own. Then checks that the install
# wrote nothing into that tree (not even ignored files) nor left anything in TMPDIR, imports
# corvane and meridel from outside both trees and, when CORVANE_FIXTURE names the fixture tool, reads an
# acquisition with it.
#
# Why a copy: the checkout is shared with running builds, and its ignored build/ (the
# CMake folder) would hide setuptools' build/ from git status; a copy gives an exact answer.
set -euo pipefail
python=$1 work=$2 source=$3
wheels=/usr/share/python-wheels

rm -rf "$work"
mkdir -p "$work/src" "$work/tmp"
git -C "$source" ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' name; do
    # A tracked file deleted in the working tree is not part of what the user has.
    if [ -e "$source/$name" ] || [ -L "$source/$name" ]; then printf '%s\0' "$name"; fi
  done |
  tar -C "$source" --null -T - -cf - | tar -C "$work/src" -xf -
git -C "$work/src" init -q
git -C "$work/src" add -A
git -C "$work/src" -c user.name=install-check -c user.email=install-check@localhost \
  commit -q --no-gpg-sign --no-verify -m "the checkout as a user has it"

"$python" -m venv "$work/venv"
(cd "$work/src" && TMPDIR="$work/tmp" \
  "$work/venv/bin/python" -m pip install -q --no-index --find-links "$wheels" .)

left=$(git -C "$work/src" status --porcelain --ignored --untracked-files=all)
if [ -n "$left" ]; then
  printf 'pip install . changed the source tree:\n%s\n' "$left" >&2
  exit 1
fi
if [ -n "$(ls -A "$work/tmp")" ]; then
  printf 'pip install . left files in TMPDIR:\n' >&2
  ls -A "$work/tmp" >&2
  exit 1
fi

if [ -n "${CORVANE_FIXTURE:-}" ]; then
  echo '{"scans":[{"scan_id":1,"rt_min":0.5,"ms_level":1,"peaks":{"format":3,"mz":[100.25],"intensity":[2.5]}}]}' \
    | "$CORVANE_FIXTURE" "$work/sample.d"
fi

cd "$work"   # neither the checkout nor the build's module folder is on sys.path here
CORVANE_PYPROJECT="$source/pyproject.toml" "$work/venv/bin/python" - <<'PY'
import importlib.metadata, os, re, sys, sysconfig
import corvane
import meridel
site = sysconfig.get_paths()["purelib"]
VERSION = re.search(r'^version = "([^"]+)"', open(os.environ["CORVANE_PYPROJECT"]).read(), re.M).group(1)
# The extension, its stubs and the metadata: nothing else (no src/ package such as raw/).
installed = [str(f) for f in importlib.metadata.files("corvane")]
# ... and the console script, corvane-batch, in the venv's bin/.
strays = [f for f in installed if not f.startswith(("corvane.", "corvane-stubs/", "meridel/",
                                                   "corvane-%s.dist-info/" % VERSION))
          and not f.endswith("/bin/corvane-batch")]
assert not strays, strays
# The meridel package: its extension, Python files and stubs; none of the C++ beside them.
package = {os.path.basename(f) for f in installed if f.startswith("meridel/") and "__pycache__" not in f}
assert not {f for f in package if f.endswith((".cpp", ".hpp", ".map"))}, package
assert {"__init__.py", "__init__.pyi", "py.typed", "batch.py", "batch_cli.py"} <= package, package
assert any(f.startswith("_meridel.") for f in package), package
assert os.path.dirname(os.path.abspath(corvane.__file__)).startswith(sys.prefix), corvane.__file__
assert os.path.dirname(os.path.abspath(meridel.__file__)).startswith(sys.prefix), meridel.__file__
assert corvane.__all__ == ["RawReader", "Spectrum"]
assert meridel.__version__ == VERSION, meridel.__version__
for stub in ("corvane.pyi", os.path.join("corvane-stubs", "__init__.pyi"), os.path.join("corvane-stubs", "py.typed"),
             os.path.join("meridel", "__init__.pyi"), os.path.join("meridel", "py.typed")):
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
    with meridel.open("sample.d") as acq:
        m = acq[0]
        assert (m.mz.tolist(), m.intensity.tolist(), m.retention_time_sec) == ([100.25], [2.5], 30.0)
try:
    meridel.open(os.getcwd())
except FileNotFoundError as e:
    assert (e.errno, e.filename, e.strerror) == (2, os.getcwd(), "AcqData directory not found"), e
else:
    raise AssertionError("meridel opened a directory without AcqData")
print("installed:", corvane.__file__)
PY
# The console script; --help needs neither Dask nor pandas (the venv has neither).
usage=$("$work/venv/bin/corvane-batch" --help)
grep -q "^usage: corvane-batch" <<< "$usage"
