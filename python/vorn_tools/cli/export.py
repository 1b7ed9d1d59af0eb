"""`vorn export`: one file written as JCAMP-DX, .npz or JSON."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING

from ..reading.errors import ParseError, shown_name
from .common import (
    CommandError,
    Input,
    add_input,
    input_of,
    note,
    open_input,
    path_argument,
    read_document,
    require,
    write_stdout,
)

if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import BinaryIO

# vorn_tools.exports.jcamp.ENCODINGS and FORMS, named here so that --help needs no numpy.
JCAMP_ENCODINGS = ("DIFDUP", "DIF", "SQZ", "AFFN")
JCAMP_FORMS = ("ntuples", "xydata", "both")
NAMES = {"jcamp": "JCAMP-DX", "npz": ".npz", "json": "JSON"}


def arguments_export(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    parser.add_argument("--to", choices=tuple(NAMES), required=True, help="the output format")
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=path_argument,
        help="write to OUT (atomically, never over the input) instead of standard output; needed for npz",
    )
    jcamp = parser.add_argument_group("--to jcamp")
    jcamp.add_argument(
        "--spectrum",
        action="store_true",
        help="write the spectrum of a time-domain file (vorn_tools.spectrum) instead of the FID",
    )
    jcamp.add_argument(
        "--encoding", choices=JCAMP_ENCODINGS, help="how the samples are written (default DIFDUP; AFFN: plain numbers)"
    )
    jcamp.add_argument(
        "--form",
        choices=JCAMP_FORMS,
        help="the data blocks of a one-dimensional file (default: both for spectra, ntuples for FIDs)",
    )


def _jcamp(given: Input, args: argparse.Namespace) -> bytes:
    from ..exports.jcamp import to_jcamp

    try:
        text = to_jcamp(open_input(given), spectrum=args.spectrum, encoding=args.encoding or "DIFDUP", form=args.form)
    except ParseError as exc:
        raise CommandError(f"{given.shown}: {exc.reason}") from None
    except ValueError as exc:
        raise CommandError(f"{given.shown}: cannot write JCAMP-DX: {exc}") from None
    return text.encode("ascii")


def _write(given: Input, output: Path, write: Callable[[BinaryIO], None], fmt: str) -> None:
    from ..exports.atomic import ReplacesInput, write_atomically

    try:
        write_atomically(output, write, inputs=given.paths)
    except ReplacesInput:
        raise CommandError(
            f"{shown_name(output)} is the input file; it is not written over (give another -o)", status=2
        ) from None
    except ParseError as exc:
        raise CommandError(f"{given.shown}: {exc.reason}") from None
    except OSError as exc:
        raise CommandError(f"cannot write {shown_name(output)}: {exc.strerror or exc}") from None
    note(f"{NAMES[fmt]} written to {shown_name(output)}")


def run_export(args: argparse.Namespace) -> int:
    fmt: str = args.to
    used = [
        flag for flag, on in (("--spectrum", args.spectrum), ("--encoding", args.encoding), ("--form", args.form)) if on
    ]
    if used and fmt != "jcamp":
        raise CommandError(f"{', '.join(used)}: for --to jcamp only, not --to {fmt}", status=2)
    if fmt == "npz" and args.output is None:
        raise CommandError("--to npz writes a binary file: give it a name with -o", status=2)
    if fmt != "json":
        require("numpy", "numpy", f"--to {fmt}")
    given = input_of(args)
    if fmt == "npz":
        from ..exports.npz import save_npz

        opened = open_input(given)
        _write(given, args.output, lambda file: save_npz(opened, file), fmt)
        return 0
    if fmt == "jcamp":
        data = _jcamp(given, args)
    else:
        from ..exports.json import to_json

        data = to_json(read_document(given, whole=True)[0]).encode("utf-8") + b"\n"
    if args.output is None:
        write_stdout(data)
    else:
        _write(given, args.output, _writer(data), fmt)
    return 0


def _writer(data: bytes) -> Callable[[BinaryIO], None]:
    def write(file: BinaryIO) -> None:
        file.write(data)

    return write
