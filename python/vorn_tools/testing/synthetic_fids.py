"""Free-induction decays of known lines, phase, baseline and reference, written as data
files by the test-file writer (shared by the processing tests and bench/).

The wanted spectrum is built on the transform's grid (NMR order): complex Lorentzian
lines, a broad background line and a smooth complex roll, turned by a known phase, plus
white noise of a known level; the decay is its inverse transform, delayed by the
digital filter's group delay (which spectrum() removes exactly). `Truth.ideal` is the
real part of the lines alone in absorption: what a perfect processing gives back.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vorn_tools.testing.vdf_writer import SECOND, Header, Param, build_file, filtered_params

FILTER = {"filter_orders": (12, 20, 262), "filter_factors": (2, 2, 2)}


@dataclass
class Line:
    ppm: float
    height: float  # negative for a negative line of an edited spectrum
    width_hz: float  # full width at half height


@dataclass
class Truth:
    lines: list[Line]
    ideal: NDArray[np.float64]  # real part of the lines in absorption, NMR order
    ppm: NDArray[np.float64]  # the true ppm of each point
    phase: tuple[float, float]  # the (p0, p1) that undoes the phase put on
    noise: float
    carrier_error: float  # ppm the file's offset is off by (the axis reads this much high)
    reference_ppm: float | None  # the reference line's shift, None when it is absent
    extras: dict[str, Any] = field(default_factory=dict)


def lorentzians(freqs: NDArray[np.float64], lines: list[tuple[float, float, float]]) -> NDArray[np.complex128]:
    """Complex Lorentzians (absorption real) of (Hz, height, width Hz) at freqs (Hz)."""
    out = np.zeros(freqs.size, dtype=np.complex128)
    for f0, height, width in lines:
        half = width / 2.0
        out += height * half / (half + 1j * (freqs - f0))
    return out


def make_fid(
    lines: list[Line],
    *,
    points: int = 4096,
    sweep: float = 5000.0,
    sf_mhz: float = 399.78219838,
    offset_ppm: float = 5.0,
    nucleus: str = "1H",
    solvent: str = "CHLOROFORM-D",
    phase: tuple[float, float] = (0.0, 0.0),
    noise: float = 1.0,
    carrier_error: float = 0.0,
    background: tuple[float, float, float] | None = None,
    roll: tuple[complex, ...] = (),
    reference_ppm: float | None = None,
    seed: int = 0,
) -> tuple[bytes, Truth]:
    """(file bytes, truth). `phase` is the correction that undoes the phase put on;
    `background` (ppm, height, width Hz) a broad line and `roll` the coefficients of a
    complex polynomial across the window, neither part of the ideal spectrum."""
    rng = np.random.default_rng(seed)
    freqs = ((points // 2 - np.arange(points)) * (sweep / points)).astype(np.float64)  # from the carrier
    ppm: NDArray[np.float64] = offset_ppm + freqs / sf_mhz
    wanted = lorentzians(freqs, [((ln.ppm - offset_ppm) * sf_mhz, ln.height, ln.width_hz) for ln in lines])
    ideal = wanted.real.copy()
    if background is not None:
        b_ppm, b_height, b_width = background
        wanted += lorentzians(freqs, [((b_ppm - offset_ppm) * sf_mhz, b_height, b_width)])
    f = freqs / sweep
    wanted = wanted * np.exp(-1j * np.radians(phase[0] + phase[1] * f))
    x = 2.0 * f
    for power, coefficient in enumerate(roll):
        wanted += coefficient * x**power
    wanted += noise * (rng.standard_normal(points) + 1j * rng.standard_normal(points))
    params, delay = filtered_params("One_D", x_points=points, x_sweep=sweep, **FILTER)
    wanted = wanted * np.exp(-2j * np.pi * delay * f)
    # Undo the NMR order (reversed and rotated bins), then the transform.
    fid = np.fft.ifft(np.flip(np.roll(wanted, points - 1 - points // 2)))
    changed: dict[str, str | float] = {
        "x_offset": offset_ppm + carrier_error,
        "x_freq": sf_mhz,
        "x_domain": nucleus,
        "solvent": solvent,
    }
    params = [dataclasses.replace(p, value=changed[p.name]) if p.name in changed else p for p in params]
    header = Header(
        data_units=[SECOND],
        data_axis_start=[0.0],
        data_axis_stop=[(points - 1) / sweep],
        data_axis_titles=[nucleus],
        base_freq=[sf_mhz],
    )
    data = build_file(header=header, params=params, sections=[fid.imag.tolist(), fid.real.tolist()])
    return data, Truth(lines, ideal, ppm, phase, noise, carrier_error, reference_ppm)


def params_named(params: list[Param], name: str) -> Param:
    return next(p for p in params if p.name == name)
