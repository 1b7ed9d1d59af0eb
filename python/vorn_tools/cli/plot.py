"""`vorn plot`: a plot of one file written as an image."""

from __future__ import annotations

import argparse

from ..reading.errors import ParseError, shown_name
from .common import (
    CommandError,
    add_input,
    add_verbose,
    input_of,
    note,
    path_argument,
    read_document,
    require,
    require_whole,
)


def arguments_plot(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    parser.add_argument(
        "-o",
        "--output",
        metavar="IMAGE",
        type=path_argument,
        required=True,
        help="the image to write, in the format its suffix names: .png, .pdf, .svg, ...",
    )
    drawn = parser.add_mutually_exclusive_group()
    drawn.add_argument(
        "--raw", action="store_true", help="draw the spectrum without automatic phase, baseline, reference and peaks"
    )
    drawn.add_argument("--fid", action="store_true", help="draw the stored time-domain samples instead of the spectrum")
    add_verbose(parser)


def run_plot(args: argparse.Namespace) -> int:
    require("matplotlib", "plot", "a plot")
    require("numpy", "plot", "a plot")
    if not args.raw and not args.fid:
        require("scipy", "plot", "a processed plot")
    from ..exports.atomic import ReplacesInput
    from ..exports.plot import plot_document, plot_format

    image = args.output
    try:
        plot_format(image)
    except ValueError as exc:
        raise CommandError(f"{shown_name(image)}: {exc}", status=2) from None
    given = input_of(args)
    document, opened = read_document(given, whole=args.verbose, verbose=args.verbose)
    try:
        plot_document(
            document if opened is None else opened, image, fid=args.fid, processed=not args.raw, inputs=given.paths
        )
    except ReplacesInput:
        raise CommandError(f"{shown_name(image)} is the input file; it is not written over", status=2) from None
    except ParseError as exc:
        raise CommandError(f"{given.shown}: {exc.reason}") from None
    except ValueError as exc:
        raise CommandError(f"{given.shown}: cannot plot: {exc}") from None
    except OSError as exc:
        raise CommandError(f"cannot write {shown_name(image)}: {exc.strerror or exc}") from None
    note(f"plot written to {shown_name(image)}")
    require_whole(opened, given)
    return 0
