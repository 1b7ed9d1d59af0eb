"""The spellings of `vorn` before its subcommands, kept so that no script breaks:
`vorn FILE --json`, `--params`, `--peaks`, `--plot IMAGE`, `FILE --to jcamp`, `vorn
--batch FOLDER --to FORMAT ...`, `--example NAME`. Each is parsed as it always was and
run as the subcommands it stands for."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from pathlib import PurePath

from ..reading.documents import EXAMPLES
from .common import PROG, STDIN, file_argument, path_argument

# Every flag of the earlier form; an argument list holding one of them is of that form.
FLAGS = frozenset(
    {
        "--json",
        "--params",
        "--plot",
        "--raw",
        "--fid",
        "--peaks",
        "--indent",
        "--batch",
        "--to",
        "--out",
        "--no-data",
        "--scheduler",
        "--pattern",
        "--jobs",
        "--overwrite",
        "-o",
        "--output",
        "--spectrum",
        "--encoding",
        "--form",
    }
)

Run = Callable[[str, list[str], "bytes | None"], int]


def is_legacy(argv: Sequence[str]) -> bool:
    return any(arg.split("=", 1)[0] in FLAGS for arg in argv if arg.startswith("-"))


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, usage=f"{PROG} [FILE] [the flags of earlier versions]; see `{PROG} --help` for the commands"
    )
    parser.add_argument("file", nargs="?", metavar="FILE", type=file_argument)
    parser.add_argument("--example", choices=EXAMPLES)
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true")
    shown.add_argument("--params", action="store_true")
    parser.add_argument("--indent", type=int)
    parser.add_argument("--plot", metavar="IMAGE", type=path_argument)
    parser.add_argument("--raw", action="store_true")
    parser.add_argument("--fid", action="store_true")
    parser.add_argument("--peaks", action="store_true")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("--batch", metavar="FOLDER", type=path_argument)
    parser.add_argument("--to", choices=("json", "npz", "parquet", "jcamp"))
    parser.add_argument("--jobs", type=int)
    for flag in ("--out", "--scheduler", "--pattern", "--encoding", "--form"):
        parser.add_argument(flag)
    for flag in ("--no-data", "--overwrite", "--spectrum"):
        parser.add_argument(flag, action="store_true")
    parser.add_argument("-o", "--output")
    return parser


def _given(args: argparse.Namespace, names: Sequence[str]) -> list[str]:
    """The command-line flags among `names` that were given."""
    return [name for name in names if getattr(args, name.lstrip("-").replace("-", "_")) not in (None, False)]


def _jcamp_options(args: argparse.Namespace) -> list[str]:
    return _given(args, ["--spectrum", "--encoding", "--form"])


def _check_batch(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if _jcamp_options(args):
        parser.error(f"{', '.join(_jcamp_options(args))} only apply to FILE --to jcamp")
    single = _given(args, ["--example", "--json", "--params", "--plot", "--peaks"])
    if args.file is not None:
        single.insert(0, "FILE")
    if single:
        parser.error(f"--batch converts a folder; it does not combine with {', '.join(single)}")
    if args.output is not None:
        parser.error("-o is for one file; --batch writes to --out")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs takes a number of 1 or more")
    if args.to != "parquet":
        used = _given(args, ["--no-data", "--scheduler"])
        if used:
            parser.error(f"{', '.join(used)} only apply to --to parquet")
    elif args.out is None:
        parser.error("--to parquet needs --out, the dataset folder")
    if args.scheduler is not None and args.jobs is not None:
        parser.error("--jobs sets local processes; with --scheduler the cluster has its own workers")
    if args.pattern is not None:
        pattern = PurePath(args.pattern)
        if not args.pattern or pattern.is_absolute() or ".." in pattern.parts:
            parser.error("--pattern takes a glob within FOLDER: not empty, not absolute, no '..'")


def _check_file(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    export = args.to is not None  # one file written in a format: vorn export
    if export and _given(args, ["--json", "--params", "--plot", "--peaks"]):
        parser.error(f"--to {args.to} does not combine with --json, --params, --plot or --peaks")
    if args.output is not None and not export:
        parser.error("-o only applies to --to jcamp")
    if _jcamp_options(args) and args.to != "jcamp":
        parser.error(f"{', '.join(_jcamp_options(args))} only apply to FILE --to jcamp")
    folder_flags = _given(args, ["--out", "--pattern", "--jobs", "--scheduler", "--overwrite", "--no-data"])
    if folder_flags:
        parser.error(f"{', '.join(folder_flags)} only apply to --batch")
    if args.file is not None and args.example is not None:
        parser.error("give either FILE or --example, not both")
    if args.peaks and args.params:
        parser.error("give either --peaks or --params, not both")
    for flag, needs in (("--raw", "--plot"), ("--fid", "--plot"), ("--indent", "--json")):
        if _given(args, [flag]) and not _given(args, [needs]):
            parser.error(f"{flag} only applies to {needs}")


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The combinations of the flat form that no command stands for, refused with the
    messages they always had."""
    if args.batch is not None:
        _check_batch(parser, args)
    else:
        _check_file(parser, args)


def _commands(args: argparse.Namespace) -> list[tuple[str, list[str]]]:
    """The subcommands the flat form stands for, in the order it ran them."""
    source = [args.file] if args.file is not None else (["--example", args.example] if args.example else [])
    verbose = ["-v"] if args.verbose else []
    if args.batch is not None:
        folder = [str(args.batch), "--to", args.to or "json"]
        for flag in ("--out", "--pattern", "--jobs", "--scheduler"):
            value = getattr(args, flag[2:])
            folder += [flag, str(value)] if value is not None else []
        return [("convert", folder + _given(args, ["--overwrite", "--no-data"]))]
    if args.to is not None:
        options = [*source, "--to", args.to, *_given(args, ["--spectrum"])]
        for flag in ("--output", "--encoding", "--form"):
            value = getattr(args, flag[2:])
            options += [flag, value] if value is not None else []
        return [("export", options)]
    indent = ["--indent", str(args.indent)] if args.indent is not None else []
    runs: list[tuple[str, list[str]]] = []
    if args.plot is not None:
        runs.append(("plot", [*source, "-o", str(args.plot), *_given(args, ["--raw", "--fid"]), *verbose]))
    if args.peaks:
        runs.append(("peaks", [*source, *(["--json"] if args.json else []), *indent, *verbose]))
    elif args.json:
        runs.append(("json", [*source, *indent, *verbose]))
    elif args.params:
        runs.append(("params", [*source, *verbose]))
    elif args.plot is None:
        runs.append(("show", [*source, *verbose]))
    return runs


def run(argv: Sequence[str], run_command: Run) -> int:
    """Runs the flat form `argv` as its subcommands; standard input is read once."""
    parser = _parser()
    args = parser.parse_args(argv)
    _check(parser, args)
    data: bytes | None = None
    if args.file == STDIN and args.batch is None:
        from .common import Input, input_of

        given: Input = input_of(args)
        data = given.source if isinstance(given.source, bytes) else None
    status = 0
    for name, options in _commands(args):
        status = run_command(name, options, data)
        if status:
            break
    return status
