#!/usr/bin/env bash
# Static checks: ruff check and ruff format --check over the whole tree (the
# package, its tests, bench/, fuzz/, examples/, docs/), then mypy --strict over the package vorn_tools, its tests
# (python/) and the module's tests (vorn_parser_python/tests) (settings in
# pyproject.toml); clang-format (.clang-format) over all C++ and clang-tidy
# (.clang-tidy) over the core and the two modules.
#
# Usage: tools/lint.sh
# Runs in .venv (tools/run_tests.sh makes it and installs the test extra, which holds
# the lint extra); where .venv has no ruff or mypy yet, installs the package with both.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/ruff ] || [ ! -x .venv/bin/mypy ] || [ ! -x .venv/bin/clang-format ] || [ ! -x .venv/bin/clang-tidy ]; then
    source tools/venv.sh ".[test]"
fi

echo "== ruff check"
.venv/bin/ruff check .

echo "== ruff format --check"
.venv/bin/ruff format --check .

echo "== mypy --strict"
# One run per test folder: each has its own conftest.py, and mypy takes one module per name.
.venv/bin/python -m mypy python
.venv/bin/python -m mypy vorn_parser_python/tests

# --- C++: clang-format and clang-tidy ---------------------------------------------------
# Both from the "lint" extra, at the versions pinned there (their output differs between
# versions). clang-tidy reads the compile commands of a configure-only build.
cxx_sources() { find vorn_parser_core vorn_parser_python vorn_py_common vorn_tools_native fuzz \( -name '*.cpp' -o -name '*.h' \) | sort; }

echo "== clang-format (.clang-format)"
cxx_sources | xargs .venv/bin/clang-format --dry-run --Werror

echo "== clang-tidy (.clang-tidy) over the core and the two modules"
cmake -S . -B build/lint -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVORN_BUILD_PYTHON=ON -DVORN_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" >/dev/null
find vorn_parser_core/src vorn_parser_python/src vorn_py_common vorn_tools_native/src -name '*.cpp' | sort |
    xargs -P2 -n4 .venv/bin/clang-tidy -p build/lint --quiet \
        2> >(grep -v -e " warnings\? generated\.$" -e "^\[[0-9]*/[0-9]*\] Processing file " >&2)
echo "lint: clean"
