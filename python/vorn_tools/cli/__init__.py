"""The `vorn` command: a table of subcommands, each a thin call into the library, whose
modules are imported only when their command runs (so `vorn show` does not pay for the
imports of `vorn convert`).

    vorn show FILE        the summary of the experiment (also `vorn FILE`)
    vorn json FILE        the whole result document as JSON
    vorn params FILE      the parameter table
    vorn plot FILE -o IMAGE
    vorn peaks FILE       the peak table of the processed spectrum
    vorn export FILE --to jcamp|npz|json [-o OUT]
    vorn convert FOLDER --to json|npz|jcamp|parquet [--out FOLDER]
    vorn check FILE... | --batch FOLDER   validation reports

The flat flags of earlier versions (`vorn FILE --json`, `vorn --batch FOLDER ...`) still
work (vorn_tools.cli.legacy).

Exit status: 0 success; 1 a file could not be read or written (standard output
included), a folder conversion had a bad file, or an optional dependency is missing; 2
a bad command line, or a conversion whose outputs would collide; 130 interrupted.
Messages are one line on standard error, with file names escaped; there is no traceback
for a bad file or a failed write.
"""

from __future__ import annotations

import argparse
import io
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import import_module

from .common import PROG, CommandError, OutputError, silence


@dataclass(frozen=True)
class Command:
    """A subcommand: the module that holds its arguments_NAME and run_NAME, and its
    one-line summary for `vorn --help`."""

    module: str
    summary: str


COMMANDS = {
    "show": Command("show", "print a summary of the experiment (what `vorn FILE` does)"),
    "json": Command("show", "print the whole result document as JSON"),
    "params": Command("show", "print the parameters as a table: name, kind, value, unit"),
    "plot": Command(
        "plot",
        "write a plot: the spectrum in ppm, phased, flattened, referenced, peaks marked (needs the 'plot' extra)",
    ),
    "peaks": Command(
        "peaks", "print the peak table of the automatically processed spectrum (needs the 'process' extra)"
    ),
    "export": Command("export", "write one file as JCAMP-DX, .npz or JSON"),
    "convert": Command("convert", "convert a folder of files to JSON, .npz, JCAMP-DX or one Parquet dataset"),
    "check": Command("check", "check files: whether each reads, and what the reader loses or finds odd"),
}


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked (importlib.metadata is slow)."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        from .. import __version__

        parser.exit(message=f"{PROG} {__version__}\n")


def top_parser() -> argparse.ArgumentParser:
    """The parser of `vorn --help` and `vorn --version`: the table of commands."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=f"{PROG} [--version] COMMAND [ARGS] | {PROG} FILE",
        description="Show what an NMR data file holds, or convert files and folders of them.",
        epilog=f"`{PROG} FILE` is `{PROG} show FILE`; without FILE a command reads the bundled example one_d. "
        f"`{PROG} COMMAND --help` shows a command's options. The flags of earlier versions "
        f"({PROG} FILE --json, {PROG} --batch FOLDER --to FORMAT, ...) still work.",
    )
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    for name, command in COMMANDS.items():
        commands.add_parser(name, help=command.summary)
    return parser


def command_parser(name: str) -> tuple[argparse.ArgumentParser, object]:
    """The parser of one command, and its module (imported now)."""
    command = COMMANDS[name]
    module = import_module(f".{command.module}", __name__)
    parser = argparse.ArgumentParser(
        prog=f"{PROG} {name}", description=command.summary[0].upper() + command.summary[1:] + "."
    )
    getattr(module, f"arguments_{name}")(parser)
    return parser, module


def run_command(name: str, argv: list[str], stdin_data: bytes | None = None) -> int:
    parser, module = command_parser(name)
    args = parser.parse_args(argv)
    args.stdin_data = stdin_data
    status: int = getattr(module, f"run_{name}")(args)
    return status


def _dispatch(argv: list[str]) -> int:
    if argv and argv[0] in COMMANDS:
        return run_command(argv[0], argv[1:])
    if argv and argv[0] in ("-h", "--help", "--version"):
        top_parser().parse_args(argv[:1])
        return 0
    from . import legacy

    if legacy.is_legacy(argv):
        return legacy.run(argv, run_command)
    return run_command("show", argv)  # `vorn FILE`, `vorn -v FILE`, `vorn --example NAME`, `vorn`


def _error(message: str) -> None:
    """One line on standard error; if even that cannot be written, nothing."""
    try:
        if sys.stderr is not None:
            sys.stderr.write(f"{PROG}: {message}\n")
            sys.stderr.flush()
    except OSError:
        silence(2)


def _ignore_interrupts() -> None:
    import signal
    import threading

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with the arguments `argv` (sys.argv[1:] when None) and returns
    its exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if isinstance(sys.stdout, io.TextIOWrapper):  # text from a file must not stop the output
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return _dispatch(arguments)
    except CommandError as exc:
        _error(f"error: {exc}")
        return exc.status
    except OutputError as exc:  # e.g. a full disk, or `vorn json FILE | head` that stopped reading
        silence(1)
        _error(f"error: cannot write to standard output: {exc.reason}")
        return 1
    except KeyboardInterrupt:
        _ignore_interrupts()
        _error("interrupted")
        return 130
