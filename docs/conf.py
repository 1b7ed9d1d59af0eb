"""Sphinx configuration of the API reference: built from the installed package's
docstrings and vorn_parser's type stub, by

    sphinx-build -W -b html docs build/docs

in an environment where the package is installed (pip install '.[docs]'), as
tools/run_tests.sh does.
"""

import os
import subprocess
import sys
from importlib.metadata import version as _version
from pathlib import Path

# Sphinx 9.1 reads a native module's .pyi stub in place of the module; the stub of
# vorn_parser declares `parse` for type checkers only, so the module itself is read.
os.environ.setdefault("SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS", "1")

project = "vorn_parser"
author = "the vorn_parser developers"
copyright = "the vorn_parser developers"
release = _version("vorn_parser")
version = ".".join(release.split(".")[:2])

extensions = ["sphinx.ext.autodoc"]
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
exclude_patterns = ["_build"]
# The docstrings are plain text as help() shows it: `name` is code.
default_role = "code"
html_theme = "alabaster"
html_static_path: list[str] = []

HERE = Path(__file__).resolve().parent
GENERATED = HERE.parent / "build" / "docs-generated"  # outside the tree of sources


def _write_command_help(app: object) -> None:
    """The help of the installed `vorn` command and of each of its subcommands, for
    command.rst to include: the page shows what the command itself says."""
    from vorn_tools.cli import COMMANDS

    env = dict(os.environ, COLUMNS="88", LC_ALL="C.UTF-8")
    GENERATED.mkdir(exist_ok=True)
    for name in ["", *COMMANDS]:
        result = subprocess.run(
            [sys.executable, "-m", "vorn_tools", *([name] if name else []), "--help"],
            capture_output=True,
            text=True,
            env=env,
            check=True,
        )
        target = GENERATED / (f"vorn-{name}-help.txt" if name else "vorn-help.txt")
        if not target.is_file() or target.read_text(encoding="utf-8") != result.stdout:
            target.write_text(result.stdout, encoding="utf-8")


def _literal_blocks(app: object, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    """The docstrings show examples as indented blocks after a blank line, as help()
    prints them: such a block (more indented than the text before it) is made a
    literal block, not a quotation whose lines would be run together."""
    result: list[str] = []
    previous_indent = 0
    for index, line in enumerate(lines):
        stripped = line.lstrip()
        indent = len(line) - len(stripped)
        if (
            stripped
            and indent > previous_indent
            and index >= 2
            and not lines[index - 1].strip()
            and lines[index - 2].strip()
            and not lines[index - 2].rstrip().endswith("::")
        ):
            result[-1:] = ["", " " * previous_indent + "::", ""]
        result.append(line)
        if stripped and (index == 0 or not lines[index - 1].strip() or indent <= previous_indent):
            previous_indent = indent
    lines[:] = result


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("builder-inited", _write_command_help)
    app.connect("autodoc-process-docstring", _literal_blocks)
    return {"parallel_read_safe": True}
