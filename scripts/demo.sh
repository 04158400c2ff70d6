#!/usr/bin/env bash
# Sets everything up, then runs the demo on built-in data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/demo.py "$@"
