"""Peaks and integrals of a one-dimensional spectrum's real part. Peak picking needs
scipy (the `process` extra); integrals need numpy only.

A peak is a local maximum of the real part (a minimum for negative lines) that stands
above the threshold (by default PEAK_SIGMAS noise levels) and rises that much above the
lower of the two dips around it (its prominence), so that the noise riding on the tail
of a tall line is not taken for lines. Its position is the top of the parabola through
the three highest points; its width the full width at half height.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

PEAK_SIGMAS = 6.0


@dataclass(frozen=True)
class Peak:
    """One line: `ppm` and `hz` of its top (None without a calibrated axis), `height`
    (negative for a negative line), `width_hz` at half height, `index` the fractional
    point of its top."""

    ppm: float | None
    hz: float | None
    height: float
    width_hz: float
    index: float

    def as_dict(self) -> dict[str, float | None]:
        return {"ppm": self.ppm, "hz": self.hz, "height": self.height, "width_hz": self.width_hz}


class PeakList(list[Peak]):
    """The peaks, highest ppm first, with the `threshold` they were picked at and the
    `noise` level it was derived from; empty when nothing stands above the threshold."""

    def __init__(self, peaks: list[Peak], threshold: float, noise: float) -> None:
        super().__init__(peaks)
        self.threshold = threshold
        self.noise = noise

    def __repr__(self) -> str:
        return f"PeakList({list.__repr__(self)}, threshold={self.threshold!r}, noise={self.noise!r})"


def _at(coordinates: NDArray[np.float64] | None, index: float) -> float | None:
    if coordinates is None:
        return None
    return float(np.interp(index, np.arange(coordinates.size), coordinates))


def pick_peaks(
    real: NDArray[np.float64],
    noise: float,
    hz: NDArray[np.float64] | None,
    ppm: NDArray[np.float64] | None,
    hz_per_point: float,
    threshold: float | None = None,
) -> PeakList:
    """The peaks of `real` (see the module's description)."""
    from scipy.signal import find_peaks, peak_widths  # type: ignore[import-untyped]

    limit = PEAK_SIGMAS * noise if threshold is None else float(threshold)
    found: list[Peak] = []
    if real.size >= 3 and limit > 0 and np.isfinite(real).all():
        for sign in (1.0, -1.0):
            signed = sign * real
            tops, _ = find_peaks(signed, height=limit, prominence=limit)
            if tops.size == 0:
                continue
            widths = peak_widths(signed, tops, rel_height=0.5)[0]
            for top, width in zip(tops, widths, strict=True):
                offset = 0.0
                if 0 < top < real.size - 1:
                    a, b, c = signed[top - 1], signed[top], signed[top + 1]
                    bend = a - 2 * b + c
                    offset = float(np.clip(0.5 * (a - c) / bend, -0.5, 0.5)) if bend < 0 else 0.0
                index = float(top) + offset
                height = sign * float(b - 0.25 * (a - c) * offset) if 0 < top < real.size - 1 else float(real[top])
                found.append(Peak(_at(ppm, index), _at(hz, index), height, float(width) * hz_per_point, index))
    found.sort(key=lambda peak: peak.index)
    return PeakList(found, limit, noise)


def integrate(
    real: NDArray[np.float64],
    ppm: NDArray[np.float64],
    hz_per_point: float,
    ranges: list[tuple[float, float]] | tuple[tuple[float, float], ...],
) -> list[float]:
    """The integral of `real` over each (ppm, ppm) range, its ends in either order: the
    sum of the points inside times the point spacing in Hz."""
    totals = []
    for first, second in ranges:
        low, high = min(first, second), max(first, second)
        inside = (ppm >= low) & (ppm <= high)
        totals.append(float(real[inside].sum() * hz_per_point))
    return totals
