#!/usr/bin/env bash
# Installs what the build needs and builds vantrel into ./.venv.
# With --dev it also installs what the tests need: GoogleTest and a JSON
# library for the C++ tests, and the distribution's OpenBLAS, which one test
# build links to keep the -DVANTREL_BLAS=system variant working.
# Safe to run again: it skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

system_packages=(g++)
python_requirements=(-r requirements-demo.txt)
if [ "${1:-}" = "--dev" ]; then
    system_packages+=(libgtest-dev nlohmann-json3-dev libopenblas-dev)
    python_requirements=(-r requirements-dev.txt)
fi
missing=()
for p in "${system_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing system packages: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
    echo "== creating .venv"
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "${python_requirements[@]}"
echo "== building and installing vantrel"
.venv/bin/python -m pip install -q .
