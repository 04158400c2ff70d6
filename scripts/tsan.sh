#!/usr/bin/env bash
# Builds the C++ tests with ThreadSanitizer in build/tsan and runs them: the
# pool, the parallel sweeps, the thread generator and its fork handling, both
# drivers on the pool. Any report fails the run; nothing is suppressed.
#
# The BLAS library gets one thread here. It is not instrumented, so the
# sanitizer cannot see how the library's own threads hand a product back to
# the caller and would report every product they compute. Forked children
# start threads of their own (a fresh pool), which the sanitizer allows only
# with die_after_fork=0.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tsan
reports=$PWD/$build/reports

echo "== thread sanitizer build ($build)"
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVANTREL_TSAN=ON -DVANTREL_BUILD_TESTS=ON \
    -DVANTREL_BUILD_MODULE=OFF >/dev/null
.venv/bin/cmake --build "$build" -j 2

rm -rf "$reports"
mkdir -p "$reports"
source scripts/sanitizer_reports.sh

export OPENBLAS_NUM_THREADS=1
export TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:second_deadlock_stack=1:log_path=$reports/tsan"

echo "== C++ unit tests under the thread sanitizer"
if ! .venv/bin/ctest --test-dir "$build" --output-on-failure -j 2 >"$build/ctest.log" 2>&1; then
    cat "$build/ctest.log"
    show_reports "$reports" "thread sanitizer" || true
    exit 1
fi
grep -E "tests passed" "$build/ctest.log"
if ! show_reports "$reports" "thread sanitizer"; then
    echo "thread sanitizer reported errors" >&2
    exit 1
fi
echo "== thread sanitizer run clean"
