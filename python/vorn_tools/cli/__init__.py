"""The `vorn` command: summary, JSON, parameter table and plot of one file; batch conversion.

Exit status: 0 success; 1 a file could not be read or written (standard output
included), a batch had a bad file, or an optional dependency is missing; 2 a bad
command line, or a batch whose outputs would collide; 130 interrupted.
Messages are one line on standard error, with file names escaped; there is no traceback
for a bad file or a failed write.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import os
import sys
from collections.abc import Sequence
from pathlib import Path, PurePath
from typing import Any

from ..reading.documents import EXAMPLES, example_path, read_file
from ..reading.errors import ParseError, shown_name
from ..reading.files import open as open_file

PROG = "vorn"
EXTRA_HINT = {"numpy": "pip install 'vorn_parser[numpy]'", "plot": "pip install 'vorn_parser[plot]'",
              "parquet": "pip install 'vorn_parser[parquet]'", "dask": "pip install 'vorn_parser[dask]'",
              "process": "pip install 'vorn_parser[process]'"}
STDIN = "-"
# vorn_tools.jcamp.ENCODINGS and FORMS, named here so that --help needs no numpy.
JCAMP_ENCODINGS = ("DIFDUP", "DIF", "SQZ", "AFFN")
JCAMP_FORMS = ("ntuples", "xydata", "both")


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


def _path(text: str) -> Path:
    """An argparse type: a path that is not empty (Path("") would be the current folder)."""
    if not text:
        raise argparse.ArgumentTypeError("an empty path names no file or folder")
    return Path(text)


def _name(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError(
            "an empty path names no file (leave FILE out for the bundled example; - reads standard input)")
    return text


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked (importlib.metadata is slow)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        from .. import __version__

        parser.exit(message=f"{parser.prog} {__version__}\n")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Show what an NMR data file holds: a summary of the experiment (the "
                    "default), the whole result document as JSON, the parameter table or a "
                    "plot; or convert a folder of files to JSON or .npz.",
        epilog="Without FILE, the bundled example one_d is used. Non-finite floats are "
               'written to JSON as the strings "NaN", "Infinity" and "-Infinity".')
    parser.add_argument("file", nargs="?", metavar="FILE", type=_name,
                        help="the data file to read; - reads it from standard input")
    parser.add_argument("--example", choices=EXAMPLES, help="read a bundled example file instead of FILE")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true", help="print the whole result document as JSON")
    shown.add_argument("--params", action="store_true",
                       help="print the parameters as a table: name, kind, value, unit")
    parser.add_argument("--indent", type=int, metavar="N", help="indent the JSON by N spaces")
    parser.add_argument("--plot", metavar="IMAGE", type=_path,
                        help="write a plot to IMAGE in the format its suffix names: .png, .pdf, .svg, ...; "
                             "time-domain files are drawn as their spectrum in ppm, phased, flattened and "
                             "referenced automatically, peaks marked (see --raw, --fid) "
                             "(needs the 'plot' extra: matplotlib, scipy)")
    parser.add_argument("--raw", action="store_true",
                        help="with --plot: draw the spectrum without automatic phase, baseline, reference and peaks")
    parser.add_argument("--fid", action="store_true",
                        help="with --plot: draw the stored time-domain samples instead of the spectrum")
    parser.add_argument("--peaks", action="store_true",
                        help="print the peak table of the automatically processed spectrum: ppm, height, width "
                             "(with --json as JSON; needs the 'process' extra: scipy)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the parser's digital-filter lines and full error messages")
    batch = parser.add_argument_group("batch conversion")
    batch.add_argument("--batch", metavar="FOLDER", type=_path,
                       help="convert every file in FOLDER that matches --pattern")
    batch.add_argument("--to", choices=("json", "npz", "parquet", "jcamp"),
                       help="output format of --batch (default json; npz and jcamp need numpy; parquet "
                            "writes one dataset, a row per file, and needs pyarrow); FILE --to jcamp "
                            "writes one file as JCAMP-DX (see -o)")
    batch.add_argument("--out", metavar="FOLDER", type=_path,
                       help="where --batch writes its files, in the inputs' subfolders "
                            "(default: the input folder); for --to parquet the dataset folder (needed)")
    batch.add_argument("--no-data", action="store_true",
                       help="--to parquet: write the index alone (metadata, no samples)")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="--to parquet: convert on the dask.distributed cluster at ADDRESS "
                            "instead of local processes (needs the 'dask' extra)")
    batch.add_argument("--pattern", metavar="GLOB",
                       help="which files --batch converts (default '*.vdf'; '**/*.vdf' also "
                            "takes those in subfolders)")
    batch.add_argument("--jobs", type=int, metavar="N", help="worker processes (default: one per CPU)")
    batch.add_argument("--overwrite", action="store_true",
                       help="--batch: replace files in the way of the outputs that this conversion did not write")
    parser.add_argument("-o", "--output", metavar="OUT", type=_path,
                        help="with FILE --to jcamp: write to OUT instead of standard output")
    jcamp = parser.add_argument_group("FILE --to jcamp")
    jcamp.add_argument("--spectrum", action="store_true",
                       help="write the spectrum of a time-domain file (vorn_tools.spectrum) instead of the FID")
    jcamp.add_argument("--encoding", choices=JCAMP_ENCODINGS,
                       help="how the samples are written (default DIFDUP; AFFN: plain numbers)")
    jcamp.add_argument("--form", choices=JCAMP_FORMS,
                       help="the data blocks of a one-dimensional file (default: both for spectra, ntuples for FIDs)")
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
    return parser


def _jcamp_options(args: argparse.Namespace) -> list[str]:
    return [flag for flag, used in (("--spectrum", args.spectrum), ("--encoding", args.encoding),
                                    ("--form", args.form)) if used]


def _check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.batch is not None:
        if _jcamp_options(args):
            parser.error(f"{', '.join(_jcamp_options(args))} only apply to FILE --to jcamp")
        single = [flag for flag, used in (("FILE", args.file), ("--example", args.example),
                                          ("--json", args.json), ("--params", args.params),
                                          ("--plot", args.plot), ("--peaks", args.peaks)) if used]
        if single:
            parser.error(f"--batch converts a folder; it does not combine with {', '.join(single)}")
        if args.output is not None:
            parser.error("-o is for one file; --batch writes to --out")
        if args.jobs is not None and args.jobs < 1:
            parser.error("--jobs takes a number of 1 or more")
        if args.to != "parquet":
            used = [flag for flag, on in (("--no-data", args.no_data), ("--scheduler", args.scheduler)) if on]
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
    else:
        jcamp = args.to == "jcamp"  # one file to JCAMP-DX
        if jcamp and (args.json or args.params or args.plot is not None or args.peaks):
            parser.error("--to jcamp does not combine with --json, --params, --plot or --peaks")
        if args.output is not None and not jcamp:
            parser.error("-o only applies to --to jcamp")
        options = _jcamp_options(args)
        if options and not jcamp:
            parser.error(f"{', '.join(options)} only apply to FILE --to jcamp")
        given = [flag for flag, used in (("--to", None if jcamp else args.to), ("--out", args.out),
                                         ("--pattern", args.pattern),
                                         ("--jobs", args.jobs), ("--scheduler", args.scheduler),
                                         ("--overwrite", args.overwrite or None),
                                         ("--no-data", args.no_data or None)) if used is not None]
        if given:
            parser.error(f"{', '.join(given)} only apply to --batch")
    if args.file and args.example:
        parser.error("give either FILE or --example, not both")
    if args.fid and args.plot is None:
        parser.error("--fid only applies to --plot")
    if args.raw and args.plot is None:
        parser.error("--raw only applies to --plot")
    if args.peaks and args.params:
        parser.error("give either --peaks or --params, not both")
    if args.indent is not None and not args.json:
        parser.error("--indent only applies to --json")


def _require(module: str, extra: str, purpose: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise CommandError(f"{purpose} needs {module}, which is not installed: {EXTRA_HINT[extra]}")


def _read_stdin() -> bytes:
    if sys.stdin is None:
        raise CommandError("<stdin>: standard input is closed")
    try:
        return sys.stdin.buffer.read()
    except OSError as exc:
        raise CommandError(f"<stdin>: cannot read: {exc.strerror or exc}") from None


def _write_stdout(data: bytes) -> None:
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


def _text_bytes(text: str) -> bytes:
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    return text.encode(encoding, "backslashreplace")


def _show_file(args: argparse.Namespace) -> int:
    source: str | bytes
    if args.file == STDIN:
        source, shown = b"", "<stdin>"
    elif args.file is not None:
        source, shown = args.file, shown_name(args.file)
    else:
        source = str(example_path(args.example or "one_d"))
        shown = f"{os.path.basename(source)} (bundled example)"
    if args.plot is not None:
        _require("matplotlib", "plot", "--plot")
        _require("numpy", "plot", "--plot")
        if not args.raw and not args.fid:
            _require("scipy", "plot", "--plot")
        from ..exports.plot import plot_format

        try:
            plot_format(args.plot)
        except ValueError as exc:
            raise CommandError(f"--plot {shown_name(args.plot)}: {exc}", status=2) from None
    if args.peaks:
        _require("numpy", "process", "--peaks")
        _require("scipy", "process", "--peaks")
    if args.file == STDIN:
        source = _read_stdin()
    if args.to == "jcamp":
        return _write_jcamp(source, shown, args.output, spectrum=args.spectrum,
                            encoding=args.encoding or "DIFDUP", form=args.form)
    # The summary, the parameter table and the plot need no Python float per sample:
    # they read through vorn_tools.open (the summary and the table read no samples at
    # all). JSON needs the whole document, and -v the parser's digital-filter lines.
    whole = args.json or args.verbose
    try:
        if whole:
            document: Any = read_file(source, echo=sys.stderr if args.verbose else None)
        else:
            opened = open_file(source)
            document = {"headers": opened.headers, "parameters": opened.parameters, "info": opened.info}
    except ParseError as exc:
        if args.verbose and exc.details:
            sys.stderr.write(exc.details.rstrip("\n") + "\n")
        raise CommandError(f"{shown}: {exc.reason}") from None

    if args.plot is not None:
        from ..exports.atomic import ReplacesInput
        from ..exports.plot import plot_document

        try:
            plot_document(document if whole else opened, args.plot, fid=args.fid, processed=not args.raw,
                          inputs=[] if isinstance(source, bytes) else [source])
        except ReplacesInput:
            raise CommandError(f"--plot {shown_name(args.plot)} is the input file; it is not written over",
                               status=2) from None
        except ParseError as exc:
            raise CommandError(f"{shown}: {exc.reason}") from None
        except ValueError as exc:
            raise CommandError(f"{shown}: cannot plot: {exc}") from None
        except OSError as exc:
            raise CommandError(f"cannot write {shown_name(args.plot)}: {exc.strerror or exc}") from None
        print(f"{PROG}: plot written to {shown_name(args.plot)}", file=sys.stderr)

    if args.peaks:
        from .peaks_output import peak_json, peak_table, peaks_of

        try:
            found, result = peaks_of(opened if not whole else open_file(source))
        except ValueError as exc:
            raise CommandError(f"{shown}: cannot pick peaks: {exc}") from None
        _write_stdout(_text_bytes(peak_json(found, result, indent=args.indent) if args.json
                                  else peak_table(found, result)))
    elif args.json:
        from ..exports.json import to_json

        _write_stdout(to_json(document, indent=args.indent).encode("utf-8") + b"\n")
    elif args.params:
        from ..arrays.text import parameter_table

        _write_stdout(_text_bytes(parameter_table(document)))
    elif args.plot is None:
        from ..arrays.text import summary

        _write_stdout(_text_bytes(summary(document, shown)))
    if not whole:
        # The metadata was shown; a file too short for its samples still fails.
        try:
            opened.require_whole()
        except ParseError as exc:
            raise CommandError(f"{shown}: {exc.reason}") from None
    return 0


def _write_jcamp(source: str | bytes, shown: str, output: Path | None, *, spectrum: bool = False,
                 encoding: str = "DIFDUP", form: str | None = None) -> int:
    _require("numpy", "numpy", "--to jcamp")
    from ..exports.jcamp import to_jcamp

    try:
        text = to_jcamp(open_file(source), spectrum=spectrum, encoding=encoding, form=form)
    except ParseError as exc:
        raise CommandError(f"{shown}: {exc.reason}") from None
    except ValueError as exc:
        raise CommandError(f"{shown}: cannot write JCAMP-DX: {exc}") from None
    if output is None:
        _write_stdout(text.encode("ascii"))
        return 0
    from ..exports.atomic import ReplacesInput, write_text_atomically

    try:
        write_text_atomically(output, text, encoding="ascii", inputs=[] if isinstance(source, bytes) else [source])
    except ReplacesInput:
        raise CommandError(f"{shown_name(output)} is the input file; it is not written over (give another -o)",
                           status=2) from None
    except OSError as exc:
        raise CommandError(f"cannot write {shown_name(output)}: {exc.strerror or exc}") from None
    print(f"{PROG}: JCAMP-DX written to {shown_name(output)}", file=sys.stderr)
    return 0


def _convert(args: argparse.Namespace) -> int:
    from ..archive.batch import convert_folder
    from ..archive.dataset_files import NotADataset
    from ..archive.datasets import convert_folder_to_parquet
    from ..archive.planning import RefusedPlan
    from ..archive.pool import WorkerStartError

    folder: Path = args.batch
    fmt: str = args.to or "json"
    pattern: str = args.pattern or "*.vdf"
    if not folder.is_dir():
        raise CommandError(f"{shown_name(folder)}: no such folder")
    if fmt in ("npz", "jcamp"):
        _require("numpy", "numpy", f"--to {fmt}")
    if fmt == "parquet":
        _require("pyarrow", "parquet", "--to parquet")
        _require("numpy", "parquet", "--to parquet")
        if args.scheduler is not None:
            _require("distributed", "dask", "--scheduler")
    out_dir: Path = args.out if args.out is not None else folder
    try:
        if fmt == "parquet":
            outcomes = convert_folder_to_parquet(folder, out_dir, pattern=pattern, with_data=not args.no_data,
                                                 workers=args.jobs, scheduler=args.scheduler,
                                                 progress=sys.stderr)
        else:
            outcomes = convert_folder(folder, fmt, out_dir=out_dir, pattern=pattern,
                                      workers=args.jobs, progress=sys.stderr, overwrite=args.overwrite)
    except (RefusedPlan, NotADataset) as exc:
        raise CommandError(str(exc), status=2) from None
    except WorkerStartError as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot write to {shown_name(out_dir)}: {exc.strerror or exc}") from None
    skipped = sum(outcome.skipped is not None for outcome in outcomes)
    failed = sum(outcome.error is not None for outcome in outcomes)
    if len(outcomes) == skipped:
        raise CommandError(f"no files matching {pattern!r} in {shown_name(folder)}"
                           + (f"; {skipped} skipped" if skipped else ""))
    print(f"{PROG}: converted {len(outcomes) - failed - skipped} of {len(outcomes)} files to {fmt} in "
          f"{shown_name(out_dir)}" + (f"; {failed} failed" if failed else "")
          + (f"; {skipped} skipped" if skipped else ""), file=sys.stderr)
    if fmt == "parquet" and any(o.error is not None and o.target is not None for o in outcomes):
        from ..exports.parquet import errors_path

        print(f"{PROG}: {failed} failed file(s) listed in {shown_name(errors_path(out_dir))}", file=sys.stderr)
    return 1 if failed else 0


def _silence(fd: int) -> None:
    """Points a descriptor that failed at the null device, so that the interpreter's own
    flush at exit neither fails again nor reports it ("Exception ignored ...")."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except OSError:
        pass


def _error(message: str) -> None:
    """One line on standard error; if even that cannot be written, nothing."""
    try:
        if sys.stderr is not None:
            sys.stderr.write(f"{PROG}: {message}\n")
            sys.stderr.flush()
    except OSError:
        _silence(2)


def _ignore_interrupts() -> None:
    import signal
    import threading

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    _check_arguments(parser, args)
    if isinstance(sys.stdout, io.TextIOWrapper):  # text from a file must not stop the output
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        return _convert(args) if args.batch is not None else _show_file(args)
    except CommandError as exc:
        _error(f"error: {exc}")
        return exc.status
    except OutputError as exc:  # e.g. a full disk, or `vorn --json FILE | head` that stopped reading
        _silence(1)
        _error(f"error: cannot write to standard output: {exc.reason}")
        return 1
    except KeyboardInterrupt:
        _ignore_interrupts()  # the run is over: a late Ctrl-C cannot turn 130 into a signal death
        _error("interrupted")
        return 130
