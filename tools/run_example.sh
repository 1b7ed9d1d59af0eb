#!/usr/bin/env bash
# From a fresh clone: builds and installs the module into .venv, then parses a
# bundled example file (or the file given) and prints what was read.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/venv.sh .
.venv/bin/python examples/show_file.py "${1:-examples/one_d.vdf}"
