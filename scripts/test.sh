#!/usr/bin/env bash
# Sets everything up, then runs the C++ unit tests (CTest) and the Python tests (pytest),
# then both again under AddressSanitizer and UndefinedBehaviorSanitizer, and the C++
# tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== C++ unit tests"
.venv/bin/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$PWD/.venv/bin/ninja -DCMAKE_BUILD_TYPE=Release \
    -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_MODULE=OFF >/dev/null
.venv/bin/cmake --build build/cpp-tests -j 2
.venv/bin/ctest --test-dir build/cpp-tests --output-on-failure -j 2

echo "== Python tests"
.venv/bin/python -m pytest tests/python -q "$@"
bash scripts/sanitize.sh
bash scripts/tsan.sh
