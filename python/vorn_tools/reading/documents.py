"""Whole documents without stray output (read_file), the captured streams and the bundled examples."""

from __future__ import annotations

import contextlib
import importlib.resources
import os
import sys
import tempfile
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from .errors import ParseError

if TYPE_CHECKING:
    from vorn_parser import Input, VornDataFile

EXAMPLES = ("one_d", "two_d")
_CAPTURE_LOCK = threading.RLock()


def example_path(name: str = "one_d") -> Path:
    """The path of a bundled example file: "one_d" (a proton FID) or "two_d" (an HSQC)."""
    if name not in EXAMPLES:
        raise ValueError(f"no bundled example {name!r}; choose one of {', '.join(EXAMPLES)}")
    # Package data of vorn_tools, found wherever the package was installed from (a
    # wheel, an editable install, the source tree). Installed as files, it is a real
    # path that outlives any as_file() context; a package imported from an archive has
    # no such path, and that is said rather than a temporary copy handed out.
    resource = importlib.resources.files("vorn_tools").joinpath("examples", f"{name}.vdf")
    if not isinstance(resource, Path):
        raise FileNotFoundError(f"the bundled example {name!r} is inside {resource!r}, not a file of its own")
    return resource


@dataclass
class CapturedOutput:
    """What was written to the process's standard output and error streams."""

    stdout: str = ""
    stderr: str = ""


@contextlib.contextmanager
def captured_output() -> Iterator[CapturedOutput]:
    """Redirects file descriptors 1 and 2 into temporary files for the block.

    vorn_parser.parse writes its digital-filter lines to descriptor 1 and a diagnostic to
    descriptor 2 on failure, below Python's sys.stdout and sys.stderr. The texts are in
    the yielded object once the block ends, also when it raised. The descriptors belong
    to the whole process, so blocks in different threads run one after another (parse
    holds the interpreter lock throughout anyway).
    """
    captured = CapturedOutput()
    with _CAPTURE_LOCK, tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        try:
            with _redirected(1, out_file.fileno(), sys.stdout), _redirected(2, err_file.fileno(), sys.stderr):
                try:
                    yield captured
                finally:
                    _flush(sys.stdout)
                    _flush(sys.stderr)
        finally:
            out_file.seek(0)
            err_file.seek(0)
            captured.stdout = out_file.read().decode("utf-8", "backslashreplace")
            captured.stderr = err_file.read().decode("utf-8", "backslashreplace")


@contextlib.contextmanager
def _redirected(fd: int, target: int, stream: TextIO | None) -> Iterator[None]:
    _flush(stream)
    try:
        saved: int | None = os.dup(fd)
    except OSError:  # the descriptor was closed; leave it closed afterwards
        saved = None
    os.dup2(target, fd)
    try:
        yield
    finally:
        if saved is None:
            os.close(fd)
        else:
            os.dup2(saved, fd)
            os.close(saved)


def _flush(stream: TextIO | None) -> None:
    """Flushes a standard stream; Python sets it to None when its descriptor was closed."""
    if stream is not None:
        stream.flush()


def source_name(source: Input) -> str:
    """How a parse input is named in messages: its path, or "<bytes>" for content."""
    return str(source) if isinstance(source, (str, Path)) else "<bytes>"


def read_file(source: Input, *, echo: TextIO | None = None) -> VornDataFile:
    """Reads a whole data file (its path or its content) into the dict vorn_parser.parse
    gives, through the same reader and builder, without output of its own.

    The digital-filter lines parse would write to standard output are handed back by the
    reader as text, and written to `echo` when one is given. A file that cannot be read
    raises ParseError.
    """
    from .. import _native

    name = source_name(source)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.exists(path):
            raise ParseError(name, "no such file")
        if os.path.isdir(path):
            raise ParseError(name, "is a directory, not a data file")
        document, lines = _native.document("path", os.fsencode(path), None, name)
    else:
        document, lines = _native.document("buffer", _content(source), None, name)
    if echo is not None and lines:
        echo.write(lines)
        echo.flush()
    result: VornDataFile = document
    return result


def _content(source: object) -> bytes:
    """File content as bytes: a bytes-like object's bytes, or a sequence of ints 0..255."""
    if isinstance(source, bytes):
        return source
    try:
        return memoryview(source).cast("B").tobytes()  # type: ignore[arg-type]
    except TypeError:
        pass
    try:
        content: bytes = bytes(source)  # type: ignore[call-overload]
        return content
    except (TypeError, ValueError) as exc:
        raise TypeError(
            f"cannot read a data file from a {type(source).__qualname__}: give a path or its content as bytes"
        ) from exc
