#!/usr/bin/env bash
# Builds the module of an earlier commit against the distribution's OpenBLAS,
# for the benchmarks' side-by-side columns (--baseline build/baseline).
# Default commit: the last one built against Debian's OpenBLAS 0.3.21.
#   bash benchmarks/build_baseline.sh [COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-9f3b3f8}
src=build/baseline-src
out=build/baseline

dpkg -s libopenblas-dev >/dev/null 2>&1 || {
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libopenblas-dev
}
rm -rf "$src"
mkdir -p "$src"
git archive "$rev" | tar -x -C "$src"
.venv/bin/cmake -S "$src" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DVANTREL_BUILD_TESTS=OFF >/dev/null
.venv/bin/cmake --build "$out" -j 2 >/dev/null
echo "baseline $(git rev-parse --short "$rev") built in $out"
