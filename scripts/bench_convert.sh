#!/usr/bin/env bash
# Conversion benchmark: corvane-convert against the drain of the same acquisition
# (corvane-drain: open, take every record from the iterator, write nothing), with and
# without compression, and --jobs 2 against --jobs 1 on two inputs. Prints rows in the
# format of scripts/bench.sh ("row<TAB>measure<TAB>ratio<TAB>target<TAB>met<TAB>detail")
# with ROWS=1, else a table. Times are medians of ROUNDS runs, each a fresh process on
# a warm page cache; the outputs go to disk and are flushed there, as users get them.
#   BUILD=build-bench-convert  ROUNDS=3  SHAPE="--ms1 750 --points 60000 --ms2 750 --peaks 400"
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-bench-convert}
rounds=${ROUNDS:-3}
shape=${SHAPE:---ms1 750 --points 60000 --ms2 750 --peaks 400}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_TOOLS=ON -DCORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target corvane-convert corvane-drain corvane-make-sample >/dev/null

convert=$build/tools/corvane-convert
drain=$build/bench/corvane-drain
data=$build/data
out=$build/convert-out
mkdir -p "$data" "$out"

# The acquisition, rewritten only when the shape or the generator changed; a second
# name for it makes the two inputs of the --jobs measurement.
dir=$data/convert.d
stamp="$shape $(sha1sum < "$build/tools/corvane-make-sample" | cut -c1-16)"
if [ ! -f "$dir/.flags" ] || [ "$(cat "$dir/.flags")" != "$stamp" ]; then
  rm -rf "$dir"
  # shellcheck disable=SC2086
  "$build/tools/corvane-make-sample" $shape "$dir" >&2
  echo "$stamp" > "$dir/.flags"
fi
ln -sfn convert.d "$data/convert-2.d"
read -r scans points < <("$drain" "$dir")

# timed NAME COMMAND...: runs the command, appends "wall cpu" (seconds) to times[NAME].
declare -A times=()
timed() {
  local name=$1; shift
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
  times[$name]+=$(awk '{ printf "%s %.3f\n", $1, $2 + $3 }' <<< "$t")$'\n'
}
median() {  # column N of times[NAME]
  printf '%s' "${times[$1]}" | awk -v c="$2" 'NF { print $c }' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "measuring $scans scans, $points points, $rounds rounds (a few minutes)..." >&2
"$drain" "$dir" >/dev/null  # warm the page cache
for ((r = 0; r < rounds; r++)); do
  timed drain "$drain" "$dir"
  timed plain "$convert" --quiet --force --no-compression "$dir" -o "$out/plain.mzML"
  timed plain_noindex "$convert" --quiet --force --no-compression --no-index "$dir" -o "$out/noindex.mzML"
  timed zlib "$convert" --quiet --force "$dir" -o "$out/zlib.mzML"
  timed jobs1 "$convert" --quiet --force --jobs 1 "$dir" "$data/convert-2.d" -o "$out"
  timed jobs2 "$convert" --quiet --force --jobs 2 "$dir" "$data/convert-2.d" -o "$out"
done

size() { stat -c %s "$1"; }
rows=$(
  d=$(median drain 1); dc=$(median drain 2)
  p=$(median plain 1); pc=$(median plain 2)
  n=$(median plain_noindex 1); nc=$(median plain_noindex 2)
  z=$(median zlib 1); zc=$(median zlib 2)
  j1=$(median jobs1 1); j2=$(median jobs2 1)
  awk -v d="$d" -v dc="$dc" -v p="$p" -v pc="$pc" -v n="$n" -v nc="$nc" -v z="$z" -v zc="$zc" \
      -v j1="$j1" -v j2="$j2" -v ps="$(size "$out/plain.mzML")" -v zs="$(size "$out/zlib.mzML")" \
      -v both="$(( $(size "$out/convert.mzML") + $(size "$out/convert-2.mzML") ))" 'BEGIN {
    r = p / d
    printf "row\tConvert --no-compression / drain\t%.3f\t<= 1.5\t%s\t%.2f s vs %.2f s wall; cpu %.2f s vs %.2f s; %.0f MB\n",
      r, (r <= 1.5) ? "yes" : "NO", p, d, pc, dc, ps / 1e6
    printf "row\t  the same, --no-index (no checksum) / drain\t%.3f\t-\t-\t%.2f s wall; cpu %.2f s\n", n / d, n, nc
    printf "row\tConvert (zlib) / drain\t%.3f\t-\t-\t%.2f s wall; cpu %.2f s; %.0f MB (%.2f of plain)\n",
      z / d, z, zc, zs / 1e6, zs / ps
    printf "row\tConvert --jobs 2 / --jobs 1, two inputs (zlib)\t%.3f\t-\t-\t%.2f s vs %.2f s; %.0f vs %.0f MB/s\n",
      j2 / j1, j2, j1, both / 1e6 / j2, both / 1e6 / j1
  }'
)
rm -f "$out"/*.mzML

if [ "${ROWS:-0}" = 1 ]; then
  printf '%s\n' "$rows"
else
  { printf 'measure\tratio\ttarget\tmet\tdetail\n'; printf '%s\n' "$rows" | cut -f2-; } | column -t -s $'\t'
fi
