# Sourced by the tools: makes a virtual environment from CPython (under pyenv on our
# machines) and installs the package with the given extras. By default .venv from
# CPython 3.12; set vorn_python=3.13 for .venv313 from CPython 3.13.
vorn_python=${vorn_python:-3.12}
vorn_venv=.venv
[ "$vorn_python" = 3.12 ] || vorn_venv=.venv${vorn_python/./}
vorn_interpreter=$(ls -d "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/"$vorn_python"*/bin/python"$vorn_python" 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$vorn_interpreter" ] || vorn_interpreter=$(command -v "python$vorn_python" || true)
[ -n "$vorn_interpreter" ] || { echo "CPython $vorn_python not found" >&2; exit 1; }
[ -x "$vorn_venv/bin/python" ] || "$vorn_interpreter" -m venv "$vorn_venv"
"$vorn_venv/bin/python" -m pip install -q --disable-pip-version-check "$@"
