"""Fixtures: the `vorn` command run in this process."""

from __future__ import annotations

import io
import sys
from pathlib import Path

import pytest

from helpers import Completed, Vorn
from vorn_tools import cli


@pytest.fixture
def vorn(capfd: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> Vorn:
    """Runs `vorn ARGS` through its entry point, vorn_tools.cli.main, in this process.

    Standard output and error are captured at their descriptors (the parser writes
    below sys.stdout); `stdin` is the bytes standard input holds, `cwd` the folder the
    command runs in. An exit by SystemExit (argparse) gives its status, as a process's
    would."""

    def run(*args: object, stdin: bytes | None = None, cwd: Path | None = None) -> Completed:
        capfd.readouterr()  # what came before is not the command's
        with monkeypatch.context() as patch:
            if cwd is not None:
                patch.chdir(cwd)
            if stdin is not None:
                patch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
            try:
                status = cli.main([str(arg) for arg in args])
            except SystemExit as exit_:
                assert isinstance(exit_.code, int), exit_.code
                status = exit_.code
        out, err = capfd.readouterr()
        return Completed(status, out, err)

    return run
