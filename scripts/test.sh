#!/usr/bin/env bash
# Sets everything up, then runs the C++ unit tests (CTest) and the Python tests (pytest),
# then both again under AddressSanitizer and UndefinedBehaviorSanitizer, and the C++
# tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --dev

cmake_configure() {
    .venv/bin/cmake -S . -B "$1" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_MODULE=OFF "${@:2}" >/dev/null
}

echo "== C++ unit tests"
cmake_configure build/cpp-tests
.venv/bin/cmake --build build/cpp-tests -j 2
.venv/bin/ctest --test-dir build/cpp-tests --output-on-failure -j 2

# The distribution's OpenBLAS is a build option; its kernels round some
# products differently, so only the C++ tests run against it.
echo "== C++ unit tests against the system OpenBLAS"
cmake_configure build/cpp-tests-system-blas -DVANTREL_BLAS=system
.venv/bin/cmake --build build/cpp-tests-system-blas -j 2
.venv/bin/ctest --test-dir build/cpp-tests-system-blas --output-on-failure -j 2

echo "== Python tests"
.venv/bin/python -m pytest tests/python -q "$@"
bash scripts/sanitize.sh
bash scripts/tsan.sh
