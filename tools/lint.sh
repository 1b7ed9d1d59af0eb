#!/usr/bin/env bash
# Static checks, settings in pyproject.toml: ruff over the Python package vorn_tools, its
# tests (python/) and the module's tests (vorn_parser_python/tests), then mypy --strict
# over the same. The C++ checks go at the marked place below.
#
# Usage: tools/lint.sh
# Runs in .venv (tools/run_tests.sh makes it and installs the test extra, which holds
# the lint extra); where .venv has no ruff or mypy yet, installs the package with both.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/ruff ] || [ ! -x .venv/bin/mypy ]; then
    source tools/venv.sh ".[test]"
fi

echo "== ruff check"
.venv/bin/ruff check python vorn_parser_python/tests

echo "== mypy --strict"
# One run per test folder: each has its own conftest.py, and mypy takes one module per name.
.venv/bin/python -m mypy python
.venv/bin/python -m mypy vorn_parser_python/tests

# --- C++: clang-format and clang-tidy ---------------------------------------------------
# (to be added here)
