#!/usr/bin/env bash
# Runs every test from a fresh clone, installing what is missing, in named stages,
# the fast ones first; each stage prints its name and, at its end, its duration:
#
#   setup    GoogleTest (apt); the package built warning-free into .venv (CPython 3.12)
#            with the test, docs and citation extras
#   lint     tools/lint.sh: ruff, mypy --strict, clang-format, clang-tidy (a slip costs
#            seconds, not a whole run)
#   cxx      the C++ tests (build, ctest), warnings as errors
#   py312    the Python tests on CPython 3.12 without the slow ones
#   py313    the same on CPython 3.13 (where pyenv has one; its own .venv313)
#   docs     the API reference (docs/) with warnings as errors
#   slow     the slow tests (pytest marker `slow`; on 3.13 too, but for the editable
#            install); the Unicode lower-case tables against CPython 3.12's
#   sanitize the sanitizer, valgrind and fuzzer runs of tools/sanitize.sh
#
# Usage: tools/run_tests.sh [--quick]
#   --quick   setup, lint, cxx, py312, py313 and docs only
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

quick=0
case "${1-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "usage: tools/run_tests.sh [--quick]" >&2; exit 2 ;;
esac

stage_name=""
stage_start=0
run_start=$SECONDS
# stage NAME: ends the running stage (printing its duration) and starts NAME.
stage() {
    [ -z "$stage_name" ] || echo "== stage $stage_name: $((SECONDS - stage_start)) s"
    stage_name=$1
    stage_start=$SECONDS
    [ -z "$stage_name" ] || echo "== stage $stage_name"
}
finish() { stage ""; echo "== all stages: $((SECONDS - run_start)) s"; }

stage setup
# Compiled bytecode goes below build/ too: a run leaves .venv, .venv313 and build/.
export PYTHONPYCACHEPREFIX="$here/build/pycache"
# System packages: GoogleTest for the C++ suite.
source tools/system_packages.sh
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
install_build_tools "${need[@]}"

# The module is built warning-free too.
export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
source tools/venv.sh ".[test,docs,citation]"
unset SKBUILD_CMAKE_DEFINE

stage lint
bash tools/lint.sh

stage cxx
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON -DVORN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure -j2

stage py312
.venv/bin/python -m pytest -p no:cacheprovider -m "not slow"

# The module built for CPython 3.13 (its own build and .venv313), where one is
# installed: the module's tests, those of vorn_parser and vorn_tools._native.
have313=0
if ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.13*/bin/python3.13 >/dev/null 2>&1; then
    stage py313
    export SKBUILD_CMAKE_DEFINE="VORN_WERROR=ON"
    (vorn_python=3.13; source tools/venv.sh ".[test,citation]")
    unset SKBUILD_CMAKE_DEFINE
    .venv313/bin/python -m pytest -p no:cacheprovider -m "not slow"
    have313=1
else
    echo "== no CPython 3.13 under pyenv: the 3.13 run is skipped"
fi

stage docs
rm -rf build/docs
.venv/bin/python -m sphinx -W --keep-going -q -b html docs build/docs
echo "API reference built: build/docs/index.html"

[ "$quick" -eq 0 ] || { finish; exit 0; }

stage slow
.venv/bin/python -m pytest -p no:cacheprovider -m slow
if [ "$have313" -eq 1 ]; then
    # The same on 3.13 but the editable install, which builds the project anew.
    echo "== slow tests on CPython 3.13"
    .venv313/bin/python -m pytest -p no:cacheprovider -m slow --ignore=python/tests/test_editable_install.py
fi

echo "== Unicode lower-case tables against CPython 3.12's str.lower()"
# The tables are of Unicode 15.0.0, CPython 3.12's version; the check reads Debian's
# copy of the Unicode Character Database.
[ -f /usr/share/unicode/DerivedCoreProperties.txt ] || install_missing unicode-data
.venv/bin/python tools/gen_unicode_lower.py --check

stage sanitize
bash tools/sanitize.sh
finish
