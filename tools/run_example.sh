#!/usr/bin/env bash
# From a fresh clone: builds and installs the package with its plot extra into .venv,
# then runs the `vorn` command with the arguments given (none: the summary of the
# bundled One_D example). Paths in the arguments are relative to where it is called.
set -euo pipefail
caller=$(pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source tools/venv.sh ".[plot]"
cd "$caller"
exec "$root/.venv/bin/vorn" "$@"
