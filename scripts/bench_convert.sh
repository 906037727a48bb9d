#!/usr/bin/env bash
# Conversion benchmark: corvane-convert against the drain of the same acquisition
# (corvane-drain: open, take every record from the iterator on one thread, write
# nothing), all in one run so the ratios are side by side: --no-compression, zlib (the
# default, and --zlib-level 6 for the size comparison), --numpress, --threads 2 against
# --threads 1 for zlib and numpress, --jobs 2 against --jobs 1 on two inputs, and OpenMS
# FileConverter turning the uncompressed file into zlib mzML (its own writer) as a peer.
# Processing: --centroid against OpenMS PeakPickerHiRes picking the MS1 scans of the
# zlib file (both on every core, wall time), --centroid --precursor-mz msn_value_1
# against --centroid (the cost of the precursors' charges), and --format mgf against the
# one-thread drain of the run's fragment scans (corvane-bench-export fragments), and of
# them with the MS1 scans their precursors' envelopes are read from (fragments-ms1).
# Then the zlib engines and the MS-Numpress loss on the run's arrays (corvane-bench-export).
# Prints rows in the format of scripts/bench.sh ("row<TAB>measure<TAB>ratio<TAB>target<TAB>
# met<TAB>detail") with ROWS=1, else a table. Times are medians of ROUNDS runs, each a
# fresh process on a warm page cache; the outputs go to disk and are flushed there, as
# users get them. Without --threads the converter uses every core.
#   BUILD=build-bench-convert  ROUNDS=3  SHAPE="--ms1 750 --points 60000 --ms2 750 --peaks 400"
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-bench-convert}
rounds=${ROUNDS:-3}
shape=${SHAPE:---ms1 750 --points 60000 --ms2 750 --peaks 400}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_TOOLS=ON -DCORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target corvane-convert corvane-drain corvane-make-sample \
  corvane-bench-export >/dev/null

convert=$build/tools/corvane-convert
drain=$build/bench/corvane-drain
export_bench=$build/bench/corvane-bench-export
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
# fresh FILE...: before a timed conversion, removes the file it writes (replacing an
# existing file costs the freeing of its blocks and pages, which is not conversion) and
# lets the disk finish the previous round's writes.
fresh() { rm -f "$@"; sync; }
# conversion NAME FILE OPTION...: times converting the run to $out/FILE.mzML, a new file.
conversion() {
  local name=$1 file=$out/$2.mzML
  shift 2
  fresh "$file"
  timed "$name" "$convert" --quiet --force "$@" "$dir" -o "$file"
}
median() {  # column N of times[NAME]
  printf '%s' "${times[$1]}" | awk -v c="$2" 'NF { print $c }' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "measuring $scans scans, $points points, $rounds rounds (a few minutes)..." >&2
"$drain" "$dir" >/dev/null  # warm the page cache
for ((r = 0; r < rounds; r++)); do
  sync
  timed drain "$drain" "$dir"
  conversion plain plain --no-compression
  conversion plain_noindex noindex --no-compression --no-index
  conversion zlib zlib
  conversion zlib6 zlib6 --zlib-level 6
  conversion numpress numpress --numpress
  conversion zlib_t1 zlib-t1 --threads 1
  conversion zlib_t2 zlib-t2 --threads 2
  conversion numpress_t1 numpress-t1 --numpress --threads 1
  conversion numpress_t2 numpress-t2 --numpress --threads 2
  fresh "$out/convert.mzML" "$out/convert-2.mzML"
  timed jobs1 "$convert" --quiet --force --jobs 1 "$dir" "$data/convert-2.d" -o "$out"
  fresh "$out/convert.mzML" "$out/convert-2.mzML"
  timed jobs2 "$convert" --quiet --force --jobs 2 "$dir" "$data/convert-2.d" -o "$out"
  if command -v FileConverter >/dev/null; then
    fresh "$out/peer.mzML"
    timed peer FileConverter -in "$out/plain.mzML" -out "$out/peer.mzML"
  fi
  conversion centroid centroid --centroid
  conversion centroid_precursor centroid-precursor --centroid --precursor-mz msn_value_1
  timed fragments "$export_bench" fragments "$dir"
  timed fragments_ms1 "$export_bench" fragments-ms1 "$dir"
  fresh "$out/convert.mgf"
  timed mgf "$convert" --quiet --force --format mgf --precursor-mz msn_value_1 "$dir" -o "$out/convert.mgf"
  if command -v PeakPickerHiRes >/dev/null; then
    fresh "$out/picked.mzML"
    timed picker PeakPickerHiRes -in "$out/zlib.mzML" -out "$out/picked.mzML" -algorithm:ms_levels 1 \
      -threads "$(nproc)"
  fi
done
# The same files for every thread count, or the --threads rows compare different work.
cmp -s "$out/zlib-t1.mzML" "$out/zlib-t2.mzML" && cmp -s "$out/numpress-t1.mzML" "$out/numpress-t2.mzML" ||
  { echo "bench_convert.sh: --threads 1 and 2 wrote different files" >&2; exit 1; }

size() { stat -c %s "$1"; }
med() { median "$1" 1; }
rows=$(
  peer_time=-1
  [ -n "${times[peer]:-}" ] && peer_time=$(med peer)
  awk -v d="$(med drain)" -v dc="$(median drain 2)" -v p="$(med plain)" -v pc="$(median plain 2)" \
      -v n="$(med plain_noindex)" -v z="$(med zlib)" -v zc="$(median zlib 2)" -v z6="$(med zlib6)" \
      -v np="$(med numpress)" -v npc="$(median numpress 2)" \
      -v z1="$(med zlib_t1)" -v z2="$(med zlib_t2)" -v n1="$(med numpress_t1)" -v n2="$(med numpress_t2)" \
      -v j1="$(med jobs1)" -v j2="$(med jobs2)" -v peer="$peer_time" \
      -v ps="$(size "$out/plain.mzML")" -v zs="$(size "$out/zlib.mzML")" -v z6s="$(size "$out/zlib6.mzML")" \
      -v nps="$(size "$out/numpress.mzML")" -v cores="$(nproc)" \
      -v both="$(( $(size "$out/convert.mzML") + $(size "$out/convert-2.mzML") ))" 'BEGIN {
    r = p / d
    printf "row\tConvert --no-compression / drain\t%.3f\t<= 1.5\t%s\t%.2f s vs %.2f s wall; cpu %.2f s vs %.2f s; %.0f MB; %d cores\n",
      r, (r <= 1.5) ? "yes" : "NO", p, d, pc, dc, ps / 1e6, cores
    printf "row\t  the same, --no-index (no checksum) / drain\t%.3f\t-\t-\t%.2f s wall\n", n / d, n
    r = z / d
    printf "row\tConvert (zlib, default) / drain\t%.3f\t<= 4\t%s\t%.2f s wall; cpu %.2f s; %.1f MB\n",
      r, (r <= 4) ? "yes" : "NO", z, zc, zs / 1e6
    printf "row\t  zlib file size / --zlib-level 6 (libdeflate 6) file size\t%.3f\t-\t-\t%.1f MB vs %.1f MB (level 6 takes %.2f s)\n",
      zs / z6s, zs / 1e6, z6s / 1e6, z6
    r = np / d
    printf "row\tConvert --numpress / drain\t%.3f\t<= 4\t%s\t%.2f s wall; cpu %.2f s; %.1f MB\n",
      r, (r <= 4) ? "yes" : "NO", np, npc, nps / 1e6
    r = nps / zs
    printf "row\t  numpress file size / zlib file size\t%.3f\t<= 0.5\t%s\t%.1f MB vs %.1f MB\n",
      r, (r <= 0.5) ? "yes" : "NO", nps / 1e6, zs / 1e6
    r = z1 / z2
    printf "row\tConvert zlib, --threads 1 / --threads 2\t%.3f\t>= 1.7\t%s\t%.2f s vs %.2f s\n",
      r, (r >= 1.7) ? "yes" : "NO", z1, z2
    r = n1 / n2
    printf "row\tConvert --numpress, --threads 1 / --threads 2\t%.3f\t>= 1.7\t%s\t%.2f s vs %.2f s\n",
      r, (r >= 1.7) ? "yes" : "NO", n1, n2
    printf "row\tConvert --jobs 2 / --jobs 1, two inputs (zlib)\t%.3f\t-\t-\t%.2f s vs %.2f s; %.0f vs %.0f MB/s\n",
      j2 / j1, j2, j1, both / 1e6 / j2, both / 1e6 / j1
    if (peer > 0)
      printf "row\tPeer: OpenMS FileConverter, plain mzML -> zlib mzML / drain\t%.3f\t-\t-\t%.2f s wall (its own reading included)\n",
        peer / d, peer
  }'
  picker_time=-1
  [ -n "${times[picker]:-}" ] && picker_time=$(med picker)
  awk -v d="$(med drain)" -v c="$(med centroid)" -v cp="$(med centroid_precursor)" -v m="$(med mgf)" \
      -v f="$(med fragments)" -v fm="$(med fragments_ms1)" -v picker="$picker_time" \
      -v ms="$(size "$out/convert.mgf")" 'BEGIN {
    printf "row\tConvert --centroid / drain\t%.3f\t-\t-\t%.2f s vs %.2f s wall\n", c / d, c, d
    if (picker > 0) {
      r = picker / c
      printf "row\tOpenMS PeakPickerHiRes on the zlib mzML (MS1) / convert --centroid\t%.3f\t>= 20\t%s\t%.2f s vs %.2f s wall, both on every core\n",
        r, (r >= 20) ? "yes" : "NO", picker, c
    }
    r = cp / c
    printf "row\tConvert --centroid --precursor-mz msn_value_1 / --centroid\t%.3f\t<= 1.10\t%s\t%.2f s vs %.2f s wall\n",
      r, (r <= 1.10) ? "yes" : "NO", cp, c
    r = m / f
    printf "row\tConvert --format mgf --precursor-mz msn_value_1 / drain of the fragment scans\t%.3f\t<= 1.5\t%s\t%.2f s vs %.2f s wall; %.1f MB\n",
      r, (r <= 1.5) ? "yes" : "NO", m, f, ms / 1e6
    printf "row\t  the same / drain of the fragment scans and their MS1 scans\t%.3f\t-\t-\t%.2f s vs %.2f s wall\n",
      m / fm, m, fm
  }'
  # The zlib engines on the run's arrays, one thread (CPU time), sizes against libdeflate 6.
  "$export_bench" deflate "$dir" | awk -F'\t' '
    { name[NR] = $2; bytes[NR] = $3; secs[NR] = $4; raw = $5; if ($2 == "zlib 6") ref = $3 }
    END {
      for (i = 1; i <= NR; i++) {
        r = bytes[i] / ref
        # The default (libdeflate 1) against zlib'"'"'s own level 6: the size target.
        printf "row\tzlib engine %s: size / zlib 6\t%.3f\t%s\t%s\t%.1f MB, %.0f MB/s on one core (%.2f s for %.0f MB)\n",
          name[i], r, name[i] == "libdeflate 1" ? "<= 1.05" : "-", name[i] == "libdeflate 1" ? (r <= 1.05 ? "yes" : "NO") : "-",
          bytes[i] / 1e6, raw / 1e6 / secs[i], secs[i], raw / 1e6
      }
    }'
  # What --numpress loses on this run.
  "$export_bench" numpress "$dir" | awk -F'\t' '
    { printf "row\tnumpress largest relative error, %s\t%s\t-\t-\t%s values; %s arrays kept exact (zlib only)\n", $2, $3, $4, $5 }'
)
rm -f "$out"/*.mzML "$out"/*.mgf

if [ "${ROWS:-0}" = 1 ]; then
  printf '%s\n' "$rows"
else
  { printf 'measure\tratio\ttarget\tmet\tdetail\n'; printf '%s\n' "$rows" | cut -f2-; } | column -t -s $'\t'
fi
