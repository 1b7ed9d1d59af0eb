"""What the subcommands of `vorn` share: the failures that end a command, the file a
command reads (FILE, - for standard input, or a bundled example), and writing to
standard output."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..reading.documents import EXAMPLES, example_path, read_file
from ..reading.errors import ParseError, shown_name
from ..reading.files import VornFile
from ..reading.files import open as open_file

PROG = "vorn"
EXTRA_HINT = {
    "numpy": "pip install 'vorn_parser[numpy]'",
    "plot": "pip install 'vorn_parser[plot]'",
    "parquet": "pip install 'vorn_parser[parquet]'",
    "dask": "pip install 'vorn_parser[dask]'",
    "process": "pip install 'vorn_parser[process]'",
}
STDIN = "-"


class CommandError(Exception):
    """Ends the command with a one-line message and exit status 1 (or `status`)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class OutputError(Exception):
    """Standard output could not be written; `reason` says why."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def path_argument(text: str) -> Path:
    """An argparse type: a path that is not empty (Path("") would be the current folder)."""
    if not text:
        raise argparse.ArgumentTypeError("an empty path names no file or folder")
    return Path(text)


def file_argument(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError(
            "an empty path names no file (leave FILE out for the bundled example; - reads standard input)"
        )
    return text


def add_input(parser: argparse.ArgumentParser) -> None:
    """FILE, or --example NAME: the one file a command reads (one_d without either)."""
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "file",
        nargs="?",
        metavar="FILE",
        type=file_argument,
        help="the data file to read; - reads it from standard input (without FILE: the bundled example one_d)",
    )
    source.add_argument("--example", choices=EXAMPLES, help="read a bundled example file instead of FILE")


def add_verbose(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="also show the parser's digital-filter lines and full error messages",
    )


def require(module: str, extra: str, purpose: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise CommandError(f"{purpose} needs {module}, which is not installed: {EXTRA_HINT[extra]}")


def _read_stdin() -> bytes:
    if sys.stdin is None:
        raise CommandError("<stdin>: standard input is closed")
    try:
        return sys.stdin.buffer.read()
    except OSError as exc:
        raise CommandError(f"<stdin>: cannot read: {exc.strerror or exc}") from None


@dataclass(frozen=True)
class Input:
    """The file a command reads: a path or the bytes of standard input, and its name as
    messages show it."""

    source: str | bytes
    shown: str

    @property
    def paths(self) -> list[str]:
        """The input as a path an output must not replace (none for standard input)."""
        return [] if isinstance(self.source, bytes) else [self.source]


def input_of(args: argparse.Namespace) -> Input:
    """The file named by FILE or --example; standard input is read here (once: a run of
    several commands on `-` hands its bytes on as args.stdin_data)."""
    if args.file == STDIN:
        data = getattr(args, "stdin_data", None)
        return Input(_read_stdin() if data is None else data, "<stdin>")
    if args.file is not None:
        return Input(args.file, shown_name(args.file))
    source = str(example_path(args.example or "one_d"))
    return Input(source, f"{os.path.basename(source)} (bundled example)")


def read_document(given: Input, *, whole: bool, verbose: bool = False) -> tuple[Any, VornFile | None]:
    """(the document, None) read whole by the parser, or (its metadata as a document,
    the opened file) without a Python float per sample; CommandError if unreadable."""
    try:
        if whole:
            return read_file(given.source, echo=sys.stderr if verbose else None), None
        opened = open_file(given.source)
        return {"headers": opened.headers, "parameters": opened.parameters, "info": opened.info}, opened
    except ParseError as exc:
        if verbose and exc.details:
            sys.stderr.write(exc.details.rstrip("\n") + "\n")
        raise CommandError(f"{given.shown}: {exc.reason}") from None


def open_input(given: Input) -> VornFile:
    try:
        return open_file(given.source)
    except ParseError as exc:
        raise CommandError(f"{given.shown}: {exc.reason}") from None


def require_whole(opened: VornFile | None, given: Input) -> None:
    """After the metadata was shown: a file too short for its samples still fails."""
    if opened is None:
        return
    try:
        opened.require_whole()
    except ParseError as exc:
        raise CommandError(f"{given.shown}: {exc.reason}") from None


def write_stdout(data: bytes) -> None:
    """Writes all of `data` to standard output and flushes it; OutputError if it cannot.

    Goes by the binary layer, in a loop: unbuffered (PYTHONUNBUFFERED, -u) it is the raw
    file, whose write may take only part of the data."""
    stream = sys.stdout
    if stream is None:
        raise OutputError("standard output is closed")
    try:
        stream.flush()
        out = getattr(stream, "buffer", None)
        if out is None:  # a text stream put in place of the usual one
            stream.write(data.decode("utf-8"))
        else:
            view = memoryview(data)
            while view:
                written = out.write(view)
                if written is None:  # a non-blocking descriptor that is full
                    raise OutputError("standard output would block")
                view = view[written:]
            out.flush()
        stream.flush()
    except OSError as exc:
        raise OutputError(exc.strerror or str(exc)) from None


def write_text(text: str) -> None:
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    write_stdout(text.encode(encoding, "backslashreplace"))


def silence(fd: int) -> None:
    """Points a descriptor that failed at the null device, so that the interpreter's own
    flush at exit neither fails again nor reports it ("Exception ignored ...")."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except OSError:
        pass


def note(message: str) -> None:
    """A line on standard error saying what was done."""
    print(f"{PROG}: {message}", file=sys.stderr)
