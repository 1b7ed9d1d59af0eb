"""The peak table of `vorn FILE --peaks`: the file's spectrum phased, flattened and
referenced automatically (a stored spectrum as it is), its peaks as text or JSON."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..processing.peaks import PeakList
    from ..processing.spectra import Spectrum
    from ..reading.files import VornFile


def peaks_of(file: VornFile) -> tuple[PeakList, Spectrum]:
    """(the peaks, the spectrum they were picked on); ValueError for a Two_D file."""
    from ..processing.spectra import spectrum

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
