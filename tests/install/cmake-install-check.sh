#!/usr/bin/env bash
# cmake-install-check.sh BUILD WORK SOURCE [CMAKE_ARGS...]
# `cmake --install BUILD --prefix WORK/prefix` into an empty prefix; checks that it holds
# the tools, the libraries, the headers and the CMake package, and nothing of the tests;
# runs the installed tools on a sample they make; then builds the program in
# tests/install/consumer/ against the prefix alone (CMAKE_ARGS: the build's compiler and
# flags, so that a sanitizer build links) and checks that it reads the run as
# corvane-info does and writes what the tools write.
set -euo pipefail
build=$1 work=$2 source=$3
shift 3
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { printf '%s\n' "$*" >&2; exit 1; }
libdir=$(cd "$prefix" && ls -d lib*/cmake/corvane | sed 's|/cmake/corvane$||')
[ -n "$libdir" ] || fail "no lib*/cmake/corvane under $prefix"

# Exactly the tools and the libraries: no test programs, no fixture writer.
[ "$(ls "$prefix/bin" | tr '\n' ' ')" = "corvane-convert corvane-info corvane-make-sample corvane-report " ] ||
  fail "bin/ holds: $(ls "$prefix/bin" | tr '\n' ' ')"
[ "$(ls "$prefix/$libdir" | tr '\n' ' ')" = "cmake libcorvane_core.a libcorvane_mzml.a libcorvane_output.a libcorvane_report.a " ] ||
  fail "$libdir/ holds: $(ls "$prefix/$libdir" | tr '\n' ' ')"
for header in reader.hpp version.hpp raw/msscan.hpp spectrum_record/types.hpp export/convert.hpp \
              export/cv_table.hpp report/report.hpp; do
  [ -f "$prefix/include/corvane/$header" ] || fail "include/corvane/$header not installed"
done
# Only headers under include/.
strays=$(cd "$prefix/include" && find . -type f ! -name '*.hpp')
[ -z "$strays" ] || fail "include/ holds more than headers: $strays"

version=$(sed -n 's/^version = "\(.*\)"$/\1/p' "$source/pyproject.toml")
[ "$("$prefix/bin/corvane-info" --version)" = "corvane-info $version" ] || fail "corvane-info --version"
"$prefix/bin/corvane-make-sample" "$work/run.d" >/dev/null
"$prefix/bin/corvane-info" "$work/run.d" > "$work/run.json"
"$prefix/bin/corvane-convert" --quiet "$work/run.d"
"$prefix/bin/corvane-report" "$work/run.d" -o "$work/tool.html"

# The consumer sees only the prefix: CMake's package registries are off.
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF "$@" >/dev/null
cmake --build "$work/consumer" >/dev/null
said=$("$work/consumer/consumer" "$work/run.d" "$work/consumer.mzML" "$work/consumer.html") ||
  fail "the consumer failed (status $?)"
read -r scans points seen_version <<< "$said"
[ "$seen_version" = "$version" ] || fail "the installed version.hpp says $seen_version"
expected=$(/usr/bin/python3 -c '
import json, sys
info = json.load(open(sys.argv[1]))
print(info["scan_count"], sum(s["points"] for s in info["spectra"]))' "$work/run.json")
[ "$scans $points" = "$expected" ] || fail "the consumer read $scans scans, $points points; corvane-info: $expected"
# The same writer through the library as through the tool: the same mzML bytes.
cmp -s "$work/run.mzML" "$work/consumer.mzML" || fail "the consumer's mzML differs from corvane-convert's"
grep -q "<html" "$work/consumer.html" || fail "the consumer's report is not a page"
echo "installed and used: $prefix"
