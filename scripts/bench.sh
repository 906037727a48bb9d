#!/usr/bin/env bash
# `make bench`: builds in release mode, writes the benchmark acquisitions when missing,
# and prints one table of ratios, each against its target. Timings are medians of
# several alternating rounds on a warm page cache; run it on an otherwise idle machine.
#   BUILD=build-bench (default)   ROUNDS=3 (Python and keep rounds; C++ rows use their own)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD:-build-bench}
rounds=${ROUNDS:-3}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

# Tests and tools are configured for the data generator (corvane-make-sample), the
# fixture writer of the list benchmark and the fast-path checks; only those are built.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_TOOLS=ON -DCORVANE_BUILD_PYTHON=ON >/dev/null
targets=(corvane-bench corvane-make-sample corvane-fixture lzf_fastpath_test read_into_test)
# The list is taken whole before it is searched: under pipefail, a `grep -q` that stops
# reading early kills ninja with SIGPIPE and the test fails for a target that exists.
known=$(ninja -C "$build" -t targets all)
for t in corvane_cpython corvane_pypy; do
  if grep -q "^$t:" <<< "$known"; then targets+=("$t"); fi
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >/dev/null
# The fast paths measured below must give the reference results first.
"$build/tests/lzf_fastpath_test" --gtest_brief=1 >/dev/null
"$build/tests/read_into_test" --gtest_brief=1 >/dev/null

bench=$build/bench/corvane-bench
data=$build/data
mkdir -p "$data"

# make_data NAME FLAGS...: (re)writes $data/NAME.d with corvane-make-sample unless it was
# written with these flags by this very generator.
make_data() {
  local name=$1; shift
  local dir=$data/$name.d
  local tool=$build/tools/corvane-make-sample
  local stamp
  stamp="$* $(sha1sum < "$tool" | cut -c1-16)"
  if [ ! -f "$dir/.flags" ] || [ "$(cat "$dir/.flags")" != "$stamp" ]; then
    rm -rf "$dir"
    "$tool" "$@" "$dir" >&2
    echo "$stamp" > "$dir/.flags"
  fi
}
# The default shape (3,000 MS1 profile scans of 60,000 points and 3,000 MS2 centroid
# scans of up to 400 peaks), its half and quarter for the growth rows, and the tiny shape.
make_data large --ms1 3000 --points 60000 --ms2 3000 --peaks 400
make_data half --ms1 1500 --points 60000 --ms2 1500 --peaks 400
make_data quarter --ms1 750 --points 60000 --ms2 750 --peaks 400
make_data tiny --tiny 100000

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
echo "measuring (a few minutes)..." >&2

"$bench" lzf "$data/large.d" >> "$rows"
"$bench" drain "$data/large.d" >> "$rows"
"$bench" tiny "$data/tiny.d" >> "$rows"

# Python: RawReader(path) against the C++ drain that keeps every record, as RawReader
# does, each in a fresh process, interleaved round by round.
declare -A python=([cpython]=/usr/bin/python3 [pypy]=pypy3)
flavours=()
for f in cpython pypy; do
  modules=("$build/python/$f"/corvane.*.so)
  if [ -e "${modules[0]}" ] && command -v "${python[$f]}" >/dev/null; then flavours+=("$f"); fi
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A times=()
keep_times=""
points=0
for ((r = 0; r < rounds; r++)); do
  read -r _ t points < <("$bench" keep "$data/large.d" 1)
  keep_times+="$t"$'\n'
  for f in "${flavours[@]}"; do
    t=$(PYTHONPATH="$root/$build/python/$f" "${python[$f]}" bench/python_bench.py open "$data/large.d" 1)
    times[$f]+="$t"$'\n'
  done
done
keep=$(printf '%s' "$keep_times" | median)
for f in "${flavours[@]}"; do
  t=$(printf '%s' "${times[$f]}" | median)
  awk -v f="$f" -v t="$t" -v k="$keep" 'BEGIN {
    r = t / k
    printf "row\tPython %s, RawReader(path) / C++ drain keeping records\t%.3f\t<= 1.10\t%s\t%.3f s vs %.3f s\n",
      f, r, (r <= 1.10) ? "yes" : "NO", t, k }' >> "$rows"
done

# Memory: peak resident set of a process that only imports corvane and opens the run.
for f in "${flavours[@]}"; do
  rss=$(PYTHONPATH="$root/$build/python/$f" "${python[$f]}" bench/python_bench.py rss "$data/large.d")
  awk -v f="$f" -v rss="$rss" -v n="$points" 'BEGIN {
    need = 12 * n; allowed = 1.10 * need + 64 * 1048576; r = rss / need
    printf "row\tMemory %s, peak RSS / (12 B x %d points)\t%.3f\t<= 1.10 + 64 MiB\t%s\t%.0f MiB vs %.0f MiB (allowed %.0f MiB)\n",
      f, n, r, (rss <= allowed) ? "yes" : "NO", rss / 1048576, need / 1048576, allowed / 1048576 }' >> "$rows"
done

# List reads: s.mz and s.intensity of a 100,000-point spectrum against array.tolist().
for f in "${flavours[@]}"; do
  PYTHONPATH="$root/$build/python/$f" "${python[$f]}" bench/python_lists.py "$build/tests/corvane-fixture" |
    awk -v f="$f" '$1 == "Spectrum.mz" || $1 == "Spectrum.intensity" {
      r = $8; sub("x", "", r)
      base = ($1 == "Spectrum.mz") ? "array(\"d\")" : "array(\"f\")"
      printf "row\tPython %s, %s / %s.tolist()\t%.3f\t<= 1.50\t%s\t%s ms median, 100,000 points\n",
        f, $1, base, r, (r + 0 <= 1.50) ? "yes" : "NO", $3 }' >> "$rows"
done

"$bench" growth "$data/quarter.d" "$data/half.d" "$data/large.d" >> "$rows"

# Conversion to mzML against the drain of the same acquisition (its own build folder).
if [ -f /usr/share/openms/CV/psi-ms.obo ]; then
  ROWS=1 BUILD="$build-convert" ROUNDS="$rounds" bash scripts/bench_convert.sh >> "$rows"
fi

{
  printf 'measure\tratio\ttarget\tmet\tdetail\n'
  awk -F'\t' '$1 == "row" { printf "%s\t%s\t%s\t%s\t%s\n", $2, $3, $4, $5, $6 }' "$rows"
} | column -t -s $'\t'
