#!/usr/bin/env bash
# Runs every test from a fresh clone: installs what is missing, builds the C++
# tests and runs them, then builds the Python module and runs its tests (on
# CPython 3.12, and the module's tests on 3.13 too where pyenv has a 3.13), builds
# the API reference (docs/) with warnings as errors, runs the slow tests (an editable
# install into a new environment), then the sanitizer, valgrind and fuzzer runs of
# tools/sanitize.sh.
#
# Usage: tools/run_tests.sh [--quick]
#   --quick   the C++ and Python suites and the API reference only: no slow tests,
#             no sanitizer, valgrind or fuzzer runs
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

quick=0
case "${1-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "usage: tools/run_tests.sh [--quick]" >&2; exit 2 ;;
esac

# System packages: GoogleTest for the C++ suite.
source tools/system_packages.sh
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
install_build_tools "${need[@]}"

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON -DVORN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests"
# The module is built warning-free too.
export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
source tools/venv.sh ".[test,docs,citation]"
unset SKBUILD_CMAKE_DEFINE
# The slow tests come after the rest (and after the 3.13 run and the API reference).
.venv/bin/python -m pytest -m "not slow"

# The module built for CPython 3.13 (its own build and .venv313), where one is
# installed: the module's tests, those of vorn_parser and vorn_tools._native.
if ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.13*/bin/python3.13 >/dev/null 2>&1; then
    echo "== Python tests on CPython 3.13"
    export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
    (vorn_python=3.13; source tools/venv.sh ".[test,citation]")
    unset SKBUILD_CMAKE_DEFINE
    .venv313/bin/python -m pytest -p no:cacheprovider -m "not slow"
else
    echo "== no CPython 3.13 under pyenv: the 3.13 run is skipped"
fi

echo "== API reference (docs/, warnings are errors)"
rm -rf build/docs
.venv/bin/python -m sphinx -W --keep-going -q -b html docs build/docs
echo "API reference built: build/docs/index.html"

if [ "$quick" -eq 0 ]; then
    echo "== Slow tests"
    .venv/bin/python -m pytest -m slow
fi

[ "$quick" -eq 1 ] || bash tools/sanitize.sh
