"""The `vorn` command: summary, JSON, parameter table and plot of one file; batch conversion.

Exit status: 0 success; 1 a file could not be read or written, a batch had a bad file,
or an optional dependency is missing; 2 a bad command line; 130 interrupted.
Messages are one line on standard error; there is no traceback for a bad file.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import os
import sys
from collections.abc import Sequence
from pathlib import Path

from . import __version__
from .errors import ParseError
from .reading import EXAMPLES, example_path, read_file

PROG = "vorn"
EXTRA_HINT = {"numpy": "pip install 'vorn_parser[numpy]'", "plot": "pip install 'vorn_parser[plot]'"}


class CommandError(Exception):
    """Ends the command with a one-line message and exit status 1."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show what an NMR data file holds: a summary of the experiment (the "
                    "default), the whole result document as JSON, the parameter table or a "
                    "plot; or convert a folder of files to JSON or .npz.",
        epilog="Without FILE, the bundled example one_d is used. Non-finite floats are "
               'written to JSON as the strings "NaN", "Infinity" and "-Infinity".')
    parser.add_argument("file", nargs="?", metavar="FILE", help="the data file to read")
    parser.add_argument("--example", choices=EXAMPLES, help="read a bundled example file instead of FILE")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true", help="print the whole result document as JSON")
    shown.add_argument("--params", action="store_true",
                       help="print the parameters as a table: name, kind, value, unit")
    parser.add_argument("--indent", type=int, metavar="N", help="indent the JSON by N spaces")
    parser.add_argument("--plot", metavar="PNG", type=Path,
                        help="write a plot to PNG (needs the 'plot' extra: matplotlib)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the parser's digital-filter lines and full error messages")
    batch = parser.add_argument_group("batch conversion")
    batch.add_argument("--batch", metavar="FOLDER", type=Path,
                       help="convert every matching file in FOLDER (not recursing)")
    batch.add_argument("--to", choices=("json", "npz"),
                       help="output format of --batch (default json; npz needs numpy)")
    batch.add_argument("--out", metavar="FOLDER", type=Path,
                       help="where --batch writes its files (default: the input folder)")
    batch.add_argument("--pattern", metavar="GLOB",
                       help="which files --batch converts (default '*.vdf')")
    batch.add_argument("--jobs", type=int, metavar="N", help="worker processes (default: one per CPU)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.batch is not None:
        single = [flag for flag, used in (("FILE", args.file), ("--example", args.example),
                                          ("--json", args.json), ("--params", args.params),
                                          ("--plot", args.plot)) if used]
        if single:
            parser.error(f"--batch converts a folder; it does not combine with {', '.join(single)}")
        if args.jobs is not None and args.jobs < 1:
            parser.error("--jobs takes a number of 1 or more")
    else:
        given = [flag for flag, used in (("--to", args.to), ("--out", args.out), ("--pattern", args.pattern),
                                         ("--jobs", args.jobs)) if used is not None]
        if given:
            parser.error(f"{', '.join(given)} only apply to --batch")
    if args.file and args.example:
        parser.error("give either FILE or --example, not both")
    if args.indent is not None and not args.json:
        parser.error("--indent only applies to --json")


def _require(module: str, extra: str, purpose: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise CommandError(f"{purpose} needs {module}, which is not installed: {EXTRA_HINT[extra]}")


def _show_file(args: argparse.Namespace) -> int:
    if args.file:
        source = shown = args.file
    else:
        source = str(example_path(args.example or "one_d"))
        shown = f"{os.path.basename(source)} (bundled example)"
    if args.plot is not None:
        _require("matplotlib", "plot", "--plot")
        _require("numpy", "plot", "--plot")
    try:
        document = read_file(source, echo=sys.stderr if args.verbose else None)
    except ParseError as exc:
        if args.verbose and exc.details:
            sys.stderr.write(exc.details.rstrip("\n") + "\n")
        raise CommandError(str(exc)) from None

    if args.plot is not None:
        from .plot import plot_document

        try:
            plot_document(document, args.plot)
        except ValueError as exc:
            raise CommandError(f"{shown}: cannot plot: {exc}") from None
        except OSError as exc:
            raise CommandError(f"cannot write {args.plot}: {exc.strerror or exc}") from None
        print(f"{PROG}: plot written to {args.plot}", file=sys.stderr)

    if args.json:
        from .jsonout import to_json

        sys.stdout.buffer.write(to_json(document, indent=args.indent).encode("utf-8") + b"\n")
    elif args.params:
        from .text import parameter_table

        sys.stdout.write(parameter_table(document))
    elif args.plot is None:
        from .text import summary

        sys.stdout.write(summary(document, shown))
    sys.stdout.flush()  # a closed pipe shows here, inside the handler in main
    return 0


def _convert(args: argparse.Namespace) -> int:
    from .batch import convert_folder

    folder: Path = args.batch
    fmt: str = args.to or "json"
    pattern: str = args.pattern or "*.vdf"
    if not folder.is_dir():
        raise CommandError(f"{folder}: no such folder")
    if fmt == "npz":
        _require("numpy", "numpy", "--to npz")
    out_dir: Path = args.out if args.out is not None else folder
    try:
        outcomes = convert_folder(folder, fmt, out_dir=out_dir, pattern=pattern,
                                  workers=args.jobs, progress=sys.stderr)
    except OSError as exc:
        raise CommandError(f"cannot write to {out_dir}: {exc.strerror or exc}") from None
    if not outcomes:
        raise CommandError(f"no files matching {pattern!r} in {folder}")
    failed = sum(outcome.error is not None for outcome in outcomes)
    print(f"{PROG}: converted {len(outcomes) - failed} of {len(outcomes)} files to {fmt} in {out_dir}"
          + (f"; {failed} failed" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    _check_arguments(parser, args)
    if isinstance(sys.stdout, io.TextIOWrapper):  # text from a file must not stop the output
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return _convert(args) if args.batch is not None else _show_file(args)
    except CommandError as exc:
        sys.stdout.flush()
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of our output went away, e.g. `vorn --json | head`
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
