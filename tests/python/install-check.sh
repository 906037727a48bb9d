#!/usr/bin/env bash
# install-check.sh PYTHON WORKDIR SOURCE [tree|sdist]
# `pip install .` into a fresh venv of PYTHON, offline, run in a copy of the checkout SOURCE
# as a user has it: every file git tracks or would track, uncommitted edits included,
# committed into a repository of its own. With `sdist`, the copy is made into an sdist by
# the build backend through pip's hook caller instead, pip builds a wheel from that sdist
# (so the sdist holds all the build needs), the wheel's RECORD is checked with the wheel
# package's reader, and the wheel is installed.
#
# Then checks that the install wrote nothing into that tree (not even ignored files) nor
# left anything in TMPDIR; removes the copy, so nothing installed can lean on the sources;
# imports corvane and meridel, checks the installed files, stubs, metadata and extras; runs
# the four installed tools on a sample they make, and corvane-batch --help; and, when
# CORVANE_FIXTURE names the fixture tool, reads an acquisition with both modules.
#
# Why a copy: the checkout is shared with running builds, and its ignored build/ (the
# CMake folder) would hide a build's stray files from git status; a copy gives an exact answer.
set -euo pipefail
python=$1 work=$2 source=$3 mode=${4:-tree}
# Offline: the build backend needs nothing from an index, so pip gets none at all. The
# venv's pip is its interpreter's own (Debian's comes from these wheels, as does the wheel
# package whose reader checks the sdist's wheel).
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
started=$SECONDS
pip=("$work/venv/bin/python" -m pip --disable-pip-version-check)
if [ "$mode" = sdist ]; then
  mkdir "$work/dist"
  (cd "$work/src" && TMPDIR="$work/tmp" "$work/venv/bin/python" - "$work/dist" <<'PY'
import sys
from pip._vendor.pyproject_hooks import BuildBackendHookCaller
hooks = BuildBackendHookCaller(".", "corvane_build", backend_path=["build_backend"])
print("sdist:", hooks.build_sdist(sys.argv[1]))
PY
  )
  TMPDIR="$work/tmp" "${pip[@]}" wheel -q --no-index -w "$work/dist" "$work"/dist/*.tar.gz
  # Every member against its RECORD line (hash and size), by an independent reader.
  "$work/venv/bin/python" - "$work"/dist/*.whl <<PY
import glob
import sys
sys.path.insert(0, sorted(glob.glob("$wheels/wheel-*.whl"))[0])
from wheel.wheelfile import WheelFile
with WheelFile(sys.argv[1]) as wheel:
    for name in wheel.namelist():
        wheel.read(name)
print("wheel checked:", sys.argv[1])
PY
  TMPDIR="$work/tmp" "${pip[@]}" install -q --no-index "$work"/dist/*.whl
else
  (cd "$work/src" && TMPDIR="$work/tmp" "${pip[@]}" install -q --no-index .)
fi

echo "built and installed with $python in $((SECONDS - started)) s ($mode)"

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

rm -rf "$work/src"

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
# ... and the tools and the console script corvane-batch, in the venv's bin/.
TOOLS = {"corvane-info", "corvane-convert", "corvane-report", "corvane-make-sample", "corvane-batch"}
scripts = {os.path.basename(f) for f in installed if f.startswith("../") and os.path.dirname(f).endswith("/bin")}
assert scripts == TOOLS, scripts
for tool in TOOLS:
    assert os.access(os.path.join(sys.prefix, "bin", tool), os.X_OK), tool
strays = [f for f in installed if not f.startswith(("corvane.", "corvane-stubs/", "meridel/",
                                                   "corvane-%s.dist-info/" % VERSION))
          and not (f.startswith("../") and os.path.basename(f) in TOOLS)]
assert not strays, strays
# The extras, as pip resolves them: pandas for the frames, batch for Dask.
metadata = importlib.metadata.metadata("corvane")
assert metadata.get_all("Provides-Extra") == ["pandas", "batch"], metadata.get_all("Provides-Extra")
assert sorted(metadata.get_all("Requires-Dist")) == sorted([
    'pandas; extra == "pandas"', 'distributed; extra == "batch"', 'tqdm; extra == "batch"',
    'pandas; extra == "batch"']), metadata.get_all("Requires-Dist")
assert metadata["Requires-Python"] == ">=3.9", metadata["Requires-Python"]
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
    assert (e.errno, e.filename) == (2, os.getcwd()) and "AcqData" in e.strerror, e
else:
    raise AssertionError("meridel opened a directory without AcqData")
print("installed:", corvane.__file__)
PY
# The console script; --help needs neither Dask nor pandas (the venv has neither).
usage=$("$work/venv/bin/corvane-batch" --help)
grep -q "^usage: corvane-batch" <<< "$usage"

# The tools pip put beside the interpreter, on a sample of their own, and meridel on it.
bin=$work/venv/bin
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' "$source/pyproject.toml")
[ "$("$bin/corvane-info" --version)" = "corvane-info $version" ]
"$bin/corvane-make-sample" "$work/made.d" >/dev/null
"$bin/corvane-info" "$work/made.d" > "$work/made.json"
"$bin/corvane-convert" --quiet "$work/made.d"
"$bin/corvane-report" "$work/made.d" -o "$work/made.html"
"$bin/python" - "$work" <<'PY'
import json, os, sys
import meridel
work = sys.argv[1]
info = json.load(open(os.path.join(work, "made.json")))
with meridel.open(os.path.join(work, "made.d")) as acq:
    assert len(acq) == info["scan_count"] > 0, (len(acq), info["scan_count"])
    seen = [(s.scan_id, s.native_id, s.ms_level, len(s.mz)) for s in acq]
    told = [(s["scan_id"], s["native_id"], s["ms_level"], s["points"]) for s in info["spectra"]]
    assert seen == told, "meridel and corvane-info disagree"
assert open(os.path.join(work, "made.mzML"), "rb").read(5) == b"<?xml"
assert b"<html" in open(os.path.join(work, "made.html"), "rb").read(4096).lower()
print("tools checked")
PY
