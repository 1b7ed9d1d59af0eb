"""Parsing without stray output: the captured streams, read_file and the bundled examples."""

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

import vorn_parser

from .errors import ParseError, has_read_frames, is_parse_failure

if TYPE_CHECKING:
    from vorn_parser import Input, VornDataFile

EXAMPLES = ("one_d", "two_d")
# The header's first fields, those that say what the file is: identifier, byte order,
# version, dimensions and layout.
IDENTIFYING_BYTES = 15
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
    """Parses a data file (its path or its content) with vorn_parser.parse, quietly.

    The digital-filter lines that parse writes to standard output are captured (and
    written to `echo` when one is given), as is its diagnostic on standard error. A file
    that cannot be read raises ParseError, an ordinary Exception, instead of the
    parser's BaseException-derived failure.
    """
    name = source_name(source)
    if isinstance(source, (str, Path)):
        if not os.path.exists(source):
            raise ParseError(name, "no such file")
        if os.path.isdir(source):
            raise ParseError(name, "is a directory, not a data file")
    failure: BaseException | None = None
    foreign = False
    with captured_output() as captured:
        try:
            document = vorn_parser.parse(source)
        except BaseException as exc:  # the parser's failure class derives from BaseException
            if not is_parse_failure(exc):
                raise
            failure = exc
            foreign = _header_does_not_decode(source, str(exc))
    if echo is not None and captured.stdout:
        echo.write(captured.stdout)
        echo.flush()
    if failure is not None:
        raise ParseError.from_failure(name, failure, foreign=foreign) from None
    return document


def _header_does_not_decode(source: Input, message: str) -> bool:
    """Whether a failed parse failed on the header fields that identify a data file (see
    IDENTIFYING_BYTES), i.e. the input is not a data file of this kind.

    A check that fails (a code missing from its table, text that is not UTF-8) gives a
    bare message that does not say where; parsing those first bytes alone tells: if that
    fails the same way, they are what failed (fields that decode let that parse go on
    until it runs out of bytes). Read errors name their fields and keep their own
    message: a file cut short, or of a layout this reader does not read, is a data file
    of this kind, and so is one whose later fields are damaged.
    """
    if has_read_frames(message):
        return False
    lead = _leading_bytes(source, IDENTIFYING_BYTES)
    if lead is None:
        return False
    try:
        vorn_parser.parse(lead)
    except BaseException as exc:
        if not is_parse_failure(exc):
            raise
        return str(exc) == message
    return False


def _leading_bytes(source: Input, count: int) -> bytes | None:
    """The first `count` bytes of a parse input; None where they cannot be had."""
    try:
        if isinstance(source, (str, Path)):
            with open(source, "rb") as file:
                return file.read(count)
        if isinstance(source, (bytes, bytearray, memoryview)):
            return bytes(memoryview(source).cast("B")[:count])
    except (OSError, TypeError, ValueError):  # unreadable now, or a buffer of another shape
        pass
    return None
