#!/usr/bin/env bash
# Sets everything up, then runs the demo on built-in data.
set -euo pipefail
# The demo runs in the caller's folder, where it writes its picture.
here=$PWD
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
cd "$here"
"$root/.venv/bin/python" "$root/examples/demo.py" "$@"
