"""`vorn show`, `vorn json`, `vorn params`: what a file holds, printed."""

from __future__ import annotations

import argparse

from .common import add_input, add_verbose, input_of, read_document, require_whole, write_stdout, write_text


def arguments_show(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    add_verbose(parser)


def run_show(args: argparse.Namespace) -> int:
    from ..arrays.text import summary

    given = input_of(args)
    # The summary reads no samples; -v needs the parser's digital-filter lines.
    document, opened = read_document(given, whole=args.verbose, verbose=args.verbose)
    write_text(summary(document, given.shown))
    require_whole(opened, given)
    return 0


def arguments_json(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    parser.add_argument("--indent", type=int, metavar="N", help="indent the JSON by N spaces")
    add_verbose(parser)


def run_json(args: argparse.Namespace) -> int:
    from ..exports.json import to_json

    document, _ = read_document(input_of(args), whole=True, verbose=args.verbose)
    write_stdout(to_json(document, indent=args.indent).encode("utf-8") + b"\n")
    return 0


def arguments_params(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    add_verbose(parser)


def run_params(args: argparse.Namespace) -> int:
    from ..arrays.text import parameter_table

    given = input_of(args)
    document, opened = read_document(given, whole=args.verbose, verbose=args.verbose)
    write_text(parameter_table(document))
    require_whole(opened, given)
    return 0
