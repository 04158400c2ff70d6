#!/usr/bin/env bash
# Sets everything up, then runs the C++ unit tests (CTest) and the Python tests
# (pytest) on the normal build: enough to know the module works.
#
#   bash scripts/test.sh             # the normal build's tests but those marked slow
#   bash scripts/test.sh --all       # and the slow ones, the C++ tests against the system OpenBLAS,
#                                    # both suites under AddressSanitizer and
#                                    # UndefinedBehaviorSanitizer, the C++ tests
#                                    # under ThreadSanitizer (what CI runs)
#   bash scripts/test.sh -k dense    # other options go to pytest
#
# Every CTest test has a timeout (CMakeLists.txt) and every pytest test one
# (pytest.ini), so a stuck test fails the run instead of stalling it.
set -euo pipefail
cd "$(dirname "$0")/.."

all=0
pytest_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --all) all=1 ;;
        *) pytest_args+=("$1") ;;
    esac
    shift
done

bash scripts/setup.sh --dev

cmake_configure() {
    .venv/bin/cmake -S . -B "$1" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_MODULE=OFF "${@:2}" >/dev/null
}

echo "== C++ unit tests"
cmake_configure build/cpp-tests
.venv/bin/cmake --build build/cpp-tests -j 2
.venv/bin/ctest --test-dir build/cpp-tests --output-on-failure -j 2

echo "== Python tests"
# The slow tests (fresh installs of the package, a long interrupt soak) run with --all.
slow=(-m "not slow")
[ $all -eq 0 ] || slow=()
.venv/bin/python -m pytest tests/python -q "${slow[@]}" ${pytest_args[@]+"${pytest_args[@]}"}

if [ $all -eq 1 ]; then
    # The distribution's OpenBLAS is a build option; its kernels round some
    # products differently, so only the C++ tests run against it.
    echo "== C++ unit tests against the system OpenBLAS"
    cmake_configure build/cpp-tests-system-blas -DVANTREL_BLAS=system
    .venv/bin/cmake --build build/cpp-tests-system-blas -j 2
    .venv/bin/ctest --test-dir build/cpp-tests-system-blas --output-on-failure -j 2
    bash scripts/sanitize.sh
    bash scripts/tsan.sh
fi
