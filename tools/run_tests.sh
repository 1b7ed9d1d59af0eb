#!/usr/bin/env bash
# Runs every test from a fresh clone: installs what is missing, builds the C++
# tests and runs them, then builds the Python module and runs its tests, then
# the sanitizer, valgrind and fuzzer runs of tools/sanitize.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

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
source tools/venv.sh ".[test]"
unset SKBUILD_CMAKE_DEFINE
.venv/bin/python -m pytest

bash tools/sanitize.sh
