#!/usr/bin/env bash
# Builds vantrel and its C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan, runs the C++ tests, then a quick
# subset of the Python tests against that module with the sanitizer runtime
# preloaded into the interpreter. Any sanitizer report fails the run.
#
# The interpreter itself is not instrumented, so the runtime has to be loaded
# before it (LD_PRELOAD), and leak detection stays off: CPython and NumPy keep
# their allocations until exit by design. Reports go to files as well as
# making the process exit non-zero, so a report from a child process that a
# test expected to fail is not lost either.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/asan
reports=$PWD/$build/reports

echo "== sanitizer build ($build)"
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -DVANTREL_SANITIZE=ON -DVANTREL_BUILD_TESTS=ON >/dev/null
.venv/bin/cmake --build "$build" -j 2

rm -rf "$reports"
mkdir -p "$reports"
source scripts/sanitizer_reports.sh
trap 'show_reports "$reports" "sanitizer" || true' EXIT

export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:verify_asan_link_order=0:strict_init_order=1:detect_stack_use_after_return=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

echo "== C++ unit tests under the sanitizers"
if ! .venv/bin/ctest --test-dir "$build" --output-on-failure -j 2 >"$build/ctest.log" 2>&1; then
    cat "$build/ctest.log"
    exit 1
fi
tail -n 3 "$build/ctest.log"

echo "== Python tests under the sanitizers"
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# Fewer hypothesis examples: the point here is memory and UB errors on every
# path, not a wide search. Tests that need a hard address-space limit or
# allocate without bound skip themselves when VANTREL_SANITIZED is set.
VANTREL_SANITIZED=1 VANTREL_HYPOTHESIS_PROFILE=sanitize PYTHONPATH="$PWD/$build" LD_PRELOAD="$preload" \
    .venv/bin/python -m pytest tests/python -q -m "not slow" -p no:cacheprovider \
    --ignore=tests/python/test_typing.py "$@"

trap - EXIT
if ! show_reports "$reports" "sanitizer"; then
    echo "sanitizer reported errors" >&2
    exit 1
fi
echo "== sanitizer run clean"
