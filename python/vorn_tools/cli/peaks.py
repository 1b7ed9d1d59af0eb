"""`vorn peaks`: the peak table of a file's spectrum phased, flattened and referenced
automatically (a stored spectrum as it is), as text or JSON."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING

from .common import CommandError, add_input, add_verbose, input_of, open_input, read_document, require, write_text

if TYPE_CHECKING:
    from ..processing.fourier import Spectrum
    from ..processing.peaks import PeakList
    from ..reading.files import VornFile


def peaks_of(file: VornFile) -> tuple[PeakList, Spectrum]:
    """(the peaks, the spectrum they were picked on); ValueError for a Two_D file."""
    from ..processing.fourier import spectrum

    result = spectrum(file, phase="auto", baseline="auto", reference="auto")
    return result.peaks(), result


def _number(value: float | None, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def peak_table(peaks: PeakList, result: Spectrum) -> str:
    """One line per peak (ppm, height, width in Hz), after a line that states the
    threshold and the noise; "no peaks" when nothing stands above the threshold."""
    head = f"# threshold {peaks.threshold:.6g} (noise {peaks.noise:.6g})"
    if result.reference:
        head += f"; reference {result.reference}, shift {result.reference_shift:+.4f} ppm"
    if not peaks:
        return head + "\nno peaks above the threshold\n"
    unit = "ppm" if result.ppm is not None else "Hz"
    lines = [head, f"{unit:>10}  {'height':>14}  {'width_hz':>9}"]
    for peak in peaks:
        where = peak.ppm if result.ppm is not None else peak.hz
        lines.append(f"{_number(where, 4):>10}  {peak.height:>14.6g}  {peak.width_hz:>9.3f}")
    return "\n".join(lines) + "\n"


def peak_json(peaks: PeakList, result: Spectrum, *, indent: int | None = None) -> str:
    """The peaks as one JSON document: threshold, noise, phase, reference and the list."""
    document = {
        "threshold": peaks.threshold,
        "noise": peaks.noise,
        "phase": list(result.phase),
        "reference": result.reference or None,
        "reference_shift": result.reference_shift,
        "peaks": [peak.as_dict() for peak in peaks],
    }
    return json.dumps(document, indent=indent, allow_nan=False) + "\n"


def arguments_peaks(parser: argparse.ArgumentParser) -> None:
    add_input(parser)
    parser.add_argument("--json", action="store_true", help="print the peaks as one JSON document")
    parser.add_argument("--indent", type=int, metavar="N", help="with --json: indent the JSON by N spaces")
    add_verbose(parser)


def run_peaks(args: argparse.Namespace) -> int:
    require("numpy", "process", "the peak table")
    require("scipy", "process", "the peak table")
    if args.indent is not None and not args.json:
        raise CommandError("--indent applies to --json only", status=2)
    given = input_of(args)
    if args.verbose:  # the parser's digital-filter lines
        read_document(given, whole=True, verbose=True)
    try:
        found, result = peaks_of(open_input(given))
    except ValueError as exc:
        raise CommandError(f"{given.shown}: cannot pick peaks: {exc}") from None
    write_text(peak_json(found, result, indent=args.indent) if args.json else peak_table(found, result))
    return 0
