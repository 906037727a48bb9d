#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (Debian's clang-19 with ASan + UBSan) and
# runs each for FUZZ_SECONDS (default 60), FUZZ_JOBS of them at a time (default 1).
# FUZZ_TARGETS limits the run to some targets. Corpora grow in build-fuzz/corpus/<target>,
# starting from the acquisition writer's seeds and the committed inputs in fuzz/corpus/;
# a crashing input lands in build-fuzz/artifacts/<target>/ and fails
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build check

seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
build=${FUZZ_BUILD:-build-fuzz}
all_targets="msscan peak profile lzf metadata acquisition centroid"
targets=${FUZZ_TARGETS:-$all_targets}

CC=clang-19 CXX=clang++-19 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_BUILD_FUZZ=ON -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_PYTHON=OFF \
  -DCORVANE_BUILD_TOOLS=OFF >/dev/null
# Quiet when it builds; the whole output when it does not.
if ! cmake --build "$build" -j "${FUZZ_BUILD_JOBS:-2}" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  echo "fuzz: the build failed" >&2
  exit 1
fi
rm -rf "$build/seeds"
"$build/fuzz/corvane-fuzz-seeds" "$build/seeds"
mkdir -p "$build/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Input files of the acquisition target live here; keep them off the shared disk.
export TMPDIR=${FUZZ_TMPDIR:-/dev/shm}

run_one() {
  local t=$1 dict=() inputs=("$build/seeds/$t")
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=fuzz/dict/$t.dict")
  [ -d "fuzz/corpus/$t" ] && inputs+=("fuzz/corpus/$t")
  # No input may make the reader allocate 64 MiB at once: counts are checked first.
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=64 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "${inputs[@]}" \
    >"$build/logs/$t.log" 2>&1
}

pids=()
names=()
failed=0
for t in $targets; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || { echo "fuzz_${names[0]}: FAILED (see $build/logs/${names[0]}.log)"; failed=1; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "fuzz_${names[$i]}: FAILED (see $build/logs/${names[$i]}.log)"; failed=1; }
done

printf '%-12s %12s %8s %10s %8s\n' target executions seconds exec/s corpus
for t in $targets; do
  log="$build/logs/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  units=$(find "$build/corpus/$t" -type f | wc -l)
  printf '%-12s %12s %8s %10s %8s\n' "$t" "${execs:-?}" "${secs:-?}" "${rate:-?}" "$units"
done
exit $failed
