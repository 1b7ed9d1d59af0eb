"""The steps after the Fourier transform that make a spectrum ready to read: phase,
baseline and reference (steps 6-8 of vorn_tools.processing)."""

from __future__ import annotations

from dataclasses import replace
from typing import TYPE_CHECKING, Literal

import numpy as np
from numpy.typing import NDArray

from ..arrays.samples import Axis, observe_frequency
from .phasing import auto_phase, noise_level, phase_factors

if TYPE_CHECKING:
    from vorn_parser import Info

    from .fourier import Spectrum

PhaseOption = tuple[float, float] | float | Literal["auto"] | None
STRONGEST = 8  # rows (columns) of a 2-D spectrum its automatic phase is taken from


def phase_pair(phase: PhaseOption) -> tuple[float, float] | None:
    """(p0, p1) of a given phase (a number is p0), None for "auto"; ValueError otherwise."""
    if phase is None:
        return 0.0, 0.0
    if isinstance(phase, str):
        if phase != "auto":
            raise ValueError(f"phase {phase!r} is neither 'auto', a number nor (p0, p1)")
        return None
    pair = (phase, 0.0) if isinstance(phase, int | float) else tuple(phase)
    if len(pair) != 2 or not all(isinstance(p, int | float) and np.isfinite(p) for p in pair):
        raise ValueError(f"phase {phase!r} is not (p0, p1) in degrees")
    return float(pair[0]), float(pair[1])


def _strongest(lines: NDArray[np.complex128]) -> list[NDArray[np.complex128]]:
    """The rows of `lines` with the tallest magnitudes."""
    heights = np.abs(lines).max(axis=1)
    return [lines[i] for i in np.argsort(heights)[::-1][:STRONGEST]]


def _phase_x(
    values: NDArray[np.complex128], mixed: NDArray[np.complex128] | None, pair: tuple[float, float]
) -> tuple[NDArray[np.complex128], NDArray[np.complex128] | None]:
    if pair == (0.0, 0.0):
        return values, mixed
    factors = phase_factors(values.shape[-1], pair)
    return values * factors, None if mixed is None else mixed * factors


def _phase_y(
    values: NDArray[np.complex128], mixed: NDArray[np.complex128], pair: tuple[float, float]
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]:
    """The y phase of a hypercomplex pair: complex along y are RR + i RI and IR + i II."""
    factors = phase_factors(values.shape[0], pair)[:, None]
    x_real = (values.real + 1j * mixed.real) * factors
    x_imag = (values.imag + 1j * mixed.imag) * factors
    return x_real.real + 1j * x_imag.real, x_real.imag + 1j * x_imag.imag


def _shifted(axis: Axis, shift: float, sf: float | None) -> Axis:
    ppm = None if axis.ppm is None else axis.ppm + shift
    hz = None if axis.hz is None or sf is None else axis.hz + shift * sf / 1e6
    values = (
        ppm if axis.unit == "ppm" and ppm is not None else hz if axis.unit == "Hz" and hz is not None else axis.values
    )
    return replace(axis, values=values, ppm=ppm, hz=hz, start=float(values[0]), stop=float(values[-1]))


def finish(
    result: Spectrum,
    info: Info,
    *,
    phase: PhaseOption,
    baseline: Literal["auto"] | None,
    reference: float | Literal["auto"] | None,
) -> Spectrum:
    """`result` phased, flattened and referenced as asked."""
    if baseline not in (None, "auto"):
        raise ValueError(f"baseline {baseline!r} is neither 'auto' nor None")
    if isinstance(reference, str) and reference != "auto":
        raise ValueError(f"reference {reference!r} is neither 'auto' nor a shift in ppm")
    values, mixed = result.values, result.mixed
    pair, pair_y = phase_pair(phase), (0.0, 0.0)
    if pair is None:
        pair = auto_phase([values] if values.ndim == 1 else _strongest(values))
    values, mixed = _phase_x(values, mixed, pair)
    if phase == "auto" and mixed is not None:
        # Along y the zero order only: the first-order phase of an indirect dimension is
        # set by the timing of its first increment (normally none), and its lines are
        # too few and too coarsely sampled to fit one.
        pair_y = auto_phase(_strongest((values.real + 1j * mixed.real).T), first_order=False)
        values, mixed = _phase_y(values, mixed, pair_y)
    curve = None
    if baseline == "auto":
        from .baseline import estimate_baseline

        if values.ndim == 1:
            curve = estimate_baseline(values.real)
        else:
            curve = np.stack([estimate_baseline(row) for row in values.real])
        values = values - curve
    shift, source = 0.0, ""
    if reference == "auto":
        found = _find_reference(result.axes[0], values, info)
        if found is not None:
            source, shift = found
    elif reference is not None:
        if not np.isfinite(reference):
            raise ValueError(f"reference {reference!r} is not a finite shift in ppm")
        shift, source = float(reference), "given"
    axes = result.axes
    if shift:
        axes = (_shifted(axes[0], shift, observe_frequency(info, 0)), *axes[1:])
    return replace(
        result,
        values=values,
        mixed=mixed,
        axes=axes,
        phase=pair,
        phase_y=pair_y,
        baseline=curve,
        reference_shift=shift,
        reference=source,
    )


def _find_reference(axis: Axis, values: NDArray[np.complex128], info: Info) -> tuple[str, float] | None:
    from .referencing import find_reference

    if values.ndim != 1 or axis.ppm is None:
        return None
    nuclei = info["nucleus"]
    nucleus = nuclei[0] if nuclei else None
    return find_reference(axis.ppm, values.real, noise_level(values.real), nucleus, info["solvent"])
