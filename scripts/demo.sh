#!/usr/bin/env bash
# `make demo` (after the build): writes the sample acquisition and takes a first look at it
# with meridel and NumPy under Debian's CPython (examples/tour.py): the run's header, its
# total-ion chromatogram, the busiest scan's five strongest peaks (picked from its profile
# points) and the extracted-ion chromatograms of the three strongest.
#   scripts/demo.sh [BUILD]    BUILD: the CMake build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sample=$build/sample.d
module=$build/python/cpython
python=/usr/bin/python3

for need in "$build/tools/corvane-make-sample" "$module/meridel"; do
  [ -e "$need" ] || { echo "demo: $need missing; run 'make demo' (it builds first)" >&2; exit 1; }
done

rm -rf "$sample"
"$build/tools/corvane-make-sample" "$sample"
echo
PYTHONPATH=$module "$python" examples/tour.py "$sample"
