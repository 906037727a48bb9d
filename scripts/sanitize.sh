#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/
# and runs the C++ and the Python test suites there; then builds the C++ tests that run
# threads with ThreadSanitizer in build-tsan/ and runs them. Passes only when every test
# passes and the sanitizers wrote no report at all (reports go to <build>/sanitizer-logs/,
# so a report in a child process whose exit status a test ignores still counts).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test readers check

build=${SANITIZE_BUILD:-build-asan}
jobs=${JOBS:-2}
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Debug keeps assert() on; -O1 keeps the run short.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j "$jobs"

logs=$PWD/$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
common="abort_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
status=0

# Tests run by a Python interpreter load our module into a process that is not
# instrumented; they are told apart by the program their command starts.
python_tests=$(cd "$build" && ctest --show-only=json-v1 | /usr/bin/python3 -c '
import json, os, re, sys
tests = json.load(sys.stdin)["tests"]
names = [t["name"] for t in tests
         if re.match(r"(python|pypy)", os.path.basename(t.get("command", ["?"])[0]))]
print("|".join("^" + re.escape(n) + "$" for n in names) or "^$")')
# The install checks build a module of their own with pip's flags: nothing of ours runs
# sanitized there, and the plain test run has them already.
skip='\.install\.'

# C++ tests, tools and everything else that runs our own executables.
(cd "$build" && ASAN_OPTIONS="$common:detect_leaks=1" \
  ctest --output-on-failure -j "$jobs" -E "$python_tests|$skip") || status=1

# The ASan runtime must come first into an interpreter process, and the interpreter's
# own allocations are not ours to count as leaks. Tests that run a child out of memory
# on purpose stay in the plain run: ASan's allocator reports a failed allocation and
# aborts instead of throwing std::bad_alloc.
libasan=$(${CXX:-c++} -print-file-name=libasan.so)
oom_tests="test_core_out_of_memory_is_memory_error or test_failure_to_build_a_result_is_panic"
(cd "$build" && LD_PRELOAD="$libasan" ASAN_OPTIONS="$common:detect_leaks=0" \
  PYTEST_ADDOPTS="-k 'not ($oom_tests)'" \
  ctest --output-on-failure -j "$jobs" -R "$python_tests" -E "$skip") || status=1

# ThreadSanitizer: the test programs of everything that runs threads (the ordered pool,
# the analysis calls, the Processor's shared MS1 peaks, the mzML writer with its sink, the
# report's pass), and nothing else, so the tier stays a few minutes: no Python modules, no
# tools of their own.
tsan_build=${TSAN_BUILD:-build-tsan}
tsan_flags="-fsanitize=thread -fno-omit-frame-pointer"
tsan_tests=(tests/ordered_test tests/analysis_test tests/processing_test tests/report_test tests/convert/convert_test)
cmake -S . -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_C_FLAGS="$tsan_flags" -DCMAKE_CXX_FLAGS="$tsan_flags" -DCMAKE_EXE_LINKER_FLAGS="$tsan_flags" \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_TOOLS=ON -DCORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build "$tsan_build" -j "$jobs" --target "${tsan_tests[@]##*/}"
tsan_logs=$PWD/$tsan_build/sanitizer-logs
rm -rf "$tsan_logs"
mkdir -p "$tsan_logs"
for t in "${tsan_tests[@]}"; do
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$tsan_logs/tsan" \
    "$tsan_build/$t" --gtest_brief=1 || status=1
done
for f in "$tsan_logs"/*; do
  if [ -e "$f" ]; then cp "$f" "$logs/"; fi
done

if [ -n "$(ls -A "$logs")" ]; then
  echo "sanitizer reports:" >&2
  for f in "$logs"/*; do echo "== $f" >&2; head -n 40 "$f" >&2; done
  status=1
fi
[ $status -eq 0 ] && echo "sanitizers: all tests passed, no reports"
exit $status
