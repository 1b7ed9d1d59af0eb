# Sourced by the tools: makes .venv from CPython 3.12 (under pyenv on our
# machines) and installs the package with the given extras.
python312=$(ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$python312" ] || python312=$(command -v python3.12 || true)
[ -n "$python312" ] || { echo "CPython 3.12 not found" >&2; exit 1; }
[ -x .venv/bin/python ] || "$python312" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check "$@"
