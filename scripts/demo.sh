#!/usr/bin/env bash
# `make demo` (after the build): writes the sample acquisition and summarises it from
# Python under PyPy with examples/quickstart.py.
#   scripts/demo.sh [BUILD]    BUILD: the CMake build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sample=$build/sample.d
module=$build/python/pypy

for need in "$build/tools/corvane-make-sample" "$module"; do
  [ -e "$need" ] || { echo "demo: $need missing; run 'make demo' (it builds first)" >&2; exit 1; }
done

rm -rf "$sample"
"$build/tools/corvane-make-sample" "$sample"
echo
PYTHONPATH=$module pypy3 examples/quickstart.py "$sample"
