#!/usr/bin/env bash
# Runs every test from a fresh clone, installing what is missing; the fast steps first,
# then the slow ones:
#
#   fast   the C++ tests (build, ctest); the Python module built and the Python tests
#          on CPython 3.12 without the slow ones; tools/lint.sh (ruff, mypy --strict)
#   slow   the Python tests on CPython 3.13 (where pyenv has one); the API reference
#          (docs/) with warnings as errors; the slow tests (pytest marker `slow`; on
#          3.13 too, but for the editable install); the Unicode lower-case tables
#          against CPython 3.12's (gen_unicode_lower.py --check); the sanitizer,
#          valgrind and fuzzer runs of tools/sanitize.sh
#
# Usage: tools/run_tests.sh [--quick]
#   --quick   the fast steps, the 3.13 run and the API reference only: no slow tests,
#             no Unicode table check, no sanitizer, valgrind or fuzzer runs
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

# --- fast ----------------------------------------------------------------------------

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON -DVORN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests"
# The module is built warning-free too.
export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
source tools/venv.sh ".[test,docs,citation]"
unset SKBUILD_CMAKE_DEFINE
.venv/bin/python -m pytest -m "not slow"

echo "== Lint"
bash tools/lint.sh

# --- slow ----------------------------------------------------------------------------

# The module built for CPython 3.13 (its own build and .venv313), where one is
# installed: the module's tests, those of vorn_parser and vorn_tools._native.
have313=0
if ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.13*/bin/python3.13 >/dev/null 2>&1; then
    echo "== Python tests on CPython 3.13"
    export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
    (vorn_python=3.13; source tools/venv.sh ".[test,citation]")
    unset SKBUILD_CMAKE_DEFINE
    .venv313/bin/python -m pytest -p no:cacheprovider -m "not slow"
    have313=1
else
    echo "== no CPython 3.13 under pyenv: the 3.13 run is skipped"
fi

echo "== API reference (docs/, warnings are errors)"
rm -rf build/docs
.venv/bin/python -m sphinx -W --keep-going -q -b html docs build/docs
echo "API reference built: build/docs/index.html"

[ "$quick" -eq 0 ] || exit 0

echo "== Slow tests"
.venv/bin/python -m pytest -m slow
if [ "$have313" -eq 1 ]; then
    # The same on 3.13 but the editable install, which builds the project anew.
    echo "== Slow tests on CPython 3.13"
    .venv313/bin/python -m pytest -p no:cacheprovider -m slow --ignore=python/tests/test_editable_install.py
fi

echo "== Unicode lower-case tables against CPython 3.12's str.lower()"
# The tables are of Unicode 15.0.0, CPython 3.12's version; the check reads Debian's
# copy of the Unicode Character Database.
[ -f /usr/share/unicode/DerivedCoreProperties.txt ] || install_missing unicode-data
.venv/bin/python tools/gen_unicode_lower.py --check

bash tools/sanitize.sh
