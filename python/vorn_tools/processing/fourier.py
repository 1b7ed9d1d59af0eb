"""Spectra from free-induction decays: group-delay removal, apodization, zero filling,
Fourier transform in NMR order and phase correction. Needs numpy.

    s = vorn_tools.spectrum("fid.vdf", line_broadening=0.3)
    s.ppm, s.values.real            # index 0 is the highest ppm

Along a time axis of N points with spectral width SW (Hz) and dwell 1/SW, for each
transformed axis in this order:

1. exponential apodization w_k = exp(-pi x LB x max(t_k, 0)), t_k = (k - D) / SW, where
   D is the group delay in points on the x axis (the summary's "digitalFilter"; 0 on
   the y axis), so the window starts at the true time zero and the filter's pre-echo
   keeps weight 1;
2. zero filling to `zero_fill` points (appended zeros);
3. discrete Fourier transform, put in NMR order: point k of Nz holds the frequency
   f_k = (Nz//2 - k) x SW / Nz from the carrier (k = 0 is +SW/2, the carrier is at
   k = Nz//2, frequency falls to the right);
4. x axis: the group delay removed by the first-order phase exp(+2 pi i D f_k / SW).
   For a whole D this is exactly a circular shift of the zero-filled FID by D points
   to earlier times (the pre-echo wraps to the end, i.e. to negative time); a fraction
   of a point is shifted the same way, with no separate step for it;
5. x axis: the zero- and first-order phase of `phase` = (p0, p1) in degrees, pivot at
   the carrier: phi_k = p0 + p1 x f_k / SW, the points multiplied by exp(i phi_k).
   The group-delay step is the same as p1 = 360 x D.

Calibrated coordinates: hz_k = O x SF / 1e6 + f_k, ppm_k = hz_k / SF x 1e6, with SF
the observe frequency (summary "originFrequency", Hz) and O the carrier offset
(summary "frequencyOffset", stored in ppm). For even Nz this is
hz_k = O x SF / 1e6 + SW/2 - k x SW / Nz.

Two_D time-domain files (rows = y increments, columns = x points): the x axis as above
on every row, then the y axis. With four sections the rows are States pairs:
`values` (re + i im) is the cosine-modulated FID and `mixed` (re_im + i im_re) the
sine-modulated one; after the x transform the y signal Re(cos) + i Re(sin) gives the
x-real half and Im(cos) + i Im(sin) the x-imaginary half. The result keeps the layout
of stored spectra: values = RR + i IR (complex along x, real along y) and mixed =
RI + i II, so values.real is absorption in both dimensions when both are in phase.
With two sections the rows are taken as complex along y and values is the plain 2-D
transform (mixed None). `phase` and the group delay apply to x only; the apodization
to both axes, `zero_fill` takes (x, y) or an x count.

Files whose axes are not time axes (stored spectra) are returned as they are, with
their calibrated axes: the steps below are not applied to them.

After the transform, on request (each one-dimensional, or along x for Two_D):

6. `phase="auto"`: p0 and p1 chosen from the lines (vorn_tools.processing.phasing; for four-section
   Two_D data along x from its strongest rows, and p0 along y from its strongest
   columns), and applied as in 5;
7. `baseline="auto"`: a smooth baseline estimated from the signal-free points
   (vorn_tools.processing.baseline, needs scipy) subtracted from the real part, per row for Two_D;
8. `reference="auto"`: the shift that puts TMS/DSS at 0 ppm, or else the solvent's
   residual line at its table value (vorn_tools.processing.referencing); a number is a shift in
   ppm added to the x axis. `ppm` and `hz` include it.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Literal

import numpy as np
from numpy.typing import NDArray

from ..arrays.samples import Axis, SpectrumArrays, carrier_hz, nmr_frequencies, observe_frequency, spectral_width
from ..reading.files import VornFile
from ..reading.files import open as open_file
from .peaks import PeakList, integrate, pick_peaks
from .phasing import noise_level
from .steps import PhaseOption, finish, phase_pair

if TYPE_CHECKING:
    from vorn_parser import Info

    from ..reading.files import Source


@dataclass(frozen=True)
class Spectrum:
    """A spectrum: `values` complex, shape (points,) for One_D or (rows, columns) =
    (y, x) for Two_D, index 0 of each axis the highest frequency; `mixed` the other
    half of a hypercomplex Two_D spectrum (RI + i II), else None; `axes` the x axis,
    then the y axis; `transformed` whether it was made here from time-domain data;
    `group_delay` the delay in points removed along x (0 when none); `phase` the (p0,
    p1) in degrees applied along x (`phase_y` along y for Two_D); `baseline` the
    baseline subtracted from the real part (None when none); `reference_shift` the
    shift in ppm added to the x axis and `reference` what it was taken from ("TMS",
    "DSS", "solvent CDCL3", "given", or "" for none)."""

    layout: str
    values: NDArray[np.complex128]
    mixed: NDArray[np.complex128] | None
    axes: tuple[Axis, ...]
    transformed: bool
    group_delay: float
    phase: tuple[float, float] = (0.0, 0.0)
    phase_y: tuple[float, float] = (0.0, 0.0)
    baseline: NDArray[np.float64] | None = None
    reference_shift: float = 0.0
    reference: str = ""

    @property
    def ppm(self) -> NDArray[np.float64] | None:
        """The x axis in ppm (None when the file lacks the observe frequency or offset)."""
        return self.axes[0].ppm

    @property
    def hz(self) -> NDArray[np.float64] | None:
        """The x axis in Hz (hz = ppm x SF / 1e6)."""
        return self.axes[0].hz

    @cached_property
    def noise(self) -> float:
        """The estimated noise standard deviation of the real part."""
        return noise_level(self.values.real)

    def _hz_per_point(self) -> float:
        axis = self.axes[0]
        coordinates = axis.hz if axis.hz is not None else axis.values
        return abs(float(coordinates[0] - coordinates[-1])) / (axis.points - 1) if axis.points > 1 else 1.0

    def peaks(self, threshold: float | None = None) -> PeakList:
        """The peaks of the real part of a one-dimensional spectrum (vorn_tools.processing.peaks,
        needs scipy): those above `threshold`, by default 6 x `noise`; the list states
        its threshold and noise. An empty list when nothing stands out."""
        if self.values.ndim != 1:
            raise ValueError("peaks are picked on one-dimensional spectra")
        return pick_peaks(self.values.real, self.noise, self.hz, self.ppm, self._hz_per_point(), threshold)

    def integrate(self, ranges: Sequence[tuple[float, float]]) -> list[float]:
        """One integral of the real part per (ppm, ppm) range, the ends in either order:
        the sum of the points inside times the point spacing in Hz."""
        if self.values.ndim != 1:
            raise ValueError("integrals are taken of one-dimensional spectra")
        if self.ppm is None:
            raise ValueError("the spectrum has no ppm axis (the file lacks the observe frequency or offset)")
        return integrate(self.values.real, self.ppm, self._hz_per_point(), tuple(ranges))


def _sweep(info: Info, axis: Axis, index: int) -> float:
    """The spectral width of a time axis in Hz: the summary's, else 1 / dwell of the axis."""
    sweep = spectral_width(info, index)
    if sweep is None and axis.seconds is not None and axis.points > 1 and axis.seconds[1] > 0:
        sweep = 1.0 / float(axis.seconds[1])
    if sweep is None:
        raise ValueError(f"axis {index} has no spectral width (no summary figure and no header range)")
    return sweep


def _frequency_axis(info: Info, time_axis: Axis, index: int, points: int, sweep: float) -> Axis:
    offsets = nmr_frequencies(points, sweep)
    sf, carrier = observe_frequency(info, index), carrier_hz(info, index)
    hz = ppm = None
    if carrier is not None:
        hz = carrier + offsets
        ppm = None if sf is None else hz / sf * 1e6
    # The values in ppm when known, else in Hz (from the carrier when its offset is unknown).
    values, unit = (ppm, "ppm") if ppm is not None else (hz, "Hz") if hz is not None else (offsets, "Hz")
    return Axis(
        values,
        unit,
        time_axis.title,
        points,
        float(values[0]) if points else 0.0,
        float(values[-1]) if points else 0.0,
        "frequency",
        None,
        hz,
        ppm,
    )


def _transform(
    data: NDArray[np.complex128], axis: int, sweep: float, points: int, *, delay: float, line_broadening: float
) -> NDArray[np.complex128]:
    """Steps 1-4 along one axis of `data`."""
    n = data.shape[axis]
    shape = [1] * data.ndim
    shape[axis] = n
    if line_broadening:
        t = np.maximum(np.arange(n) - delay, 0.0) / sweep
        data = data * np.exp(-math.pi * line_broadening * t).reshape(shape)
    transformed = np.fft.fft(data, n=points, axis=axis)  # zero-filled to `points`
    # NMR order: point k holds bin (points//2 - k) mod points, i.e. the bins
    # reversed and rotated.
    spectrum = np.roll(np.flip(transformed, axis), -(points - 1 - points // 2), axis=axis)
    if delay:
        shape[axis] = points
        spectrum = spectrum * _linear_phase(2 * math.pi * delay, points).reshape(shape)
    return spectrum


def _linear_phase(cycles_rad: float, points: int) -> NDArray[np.complex128]:
    """exp(1j * cycles_rad * f_k / SW) for the NMR-ordered f_k of `points` points, made
    as the outer product of two short runs of exponentials (one complex exp per point
    would cost more than the transform)."""
    ramp_step = -cycles_rad / points  # f_k / SW falls by 1/points per point
    start = cycles_rad * (points // 2) / points
    block = 256
    rows = -(-points // block)
    inner = np.exp(1j * ramp_step * np.arange(block))
    outer = np.exp(1j * (start + ramp_step * block * np.arange(rows)))
    return (outer[:, None] * inner[None, :]).reshape(-1)[:points]


def _counts(zero_fill: int | tuple[int, int] | None, shape: tuple[int, ...]) -> tuple[int, ...]:
    """The point counts after zero filling: x first, then y."""
    sizes = tuple(reversed(shape))
    if zero_fill is None:
        return sizes
    wanted = (zero_fill,) if isinstance(zero_fill, int) else tuple(zero_fill)
    if len(wanted) > len(sizes):
        raise ValueError(f"zero_fill gives {len(wanted)} counts for {len(sizes)} axes")
    counts = tuple(wanted) + sizes[len(wanted) :]
    for count, size in zip(counts, sizes, strict=True):
        if not isinstance(count, int) or count < size:
            raise ValueError(f"zero_fill {count!r} is fewer than the {size} points measured")
    return counts


def group_delay_of(info: Info) -> float:
    """The digital filter's group delay in points: the summary's "digitalFilter", 0 when
    the file has none. ValueError when it is not a finite number of points >= 0."""
    delay = info["digitalFilter"]
    if delay is None:
        return 0.0
    if not math.isfinite(delay) or delay < 0:
        raise ValueError(
            f"the digital filter's group delay {delay!r} is no number of points; pass group_delay= to set it"
        )
    return float(delay)


def spectrum(
    source: Source | VornFile,
    *,
    zero_fill: int | tuple[int, int] | None = None,
    line_broadening: float = 0.0,
    phase: PhaseOption = None,
    baseline: Literal["auto"] | None = None,
    reference: float | Literal["auto"] | None = None,
    group_delay: float | None = None,
) -> Spectrum:
    """The spectrum of a file (see the module's description). `source` is anything
    vorn_tools.open takes, or a VornFile. `zero_fill`: points after zero filling (an x
    count, or (x, y)); `line_broadening`: exponential apodization in Hz; `phase`:
    (p0, p1) in degrees along x, a number for (p0, 0), or "auto"; `baseline`: "auto"
    to subtract an estimated baseline (needs scipy); `reference`: "auto" (TMS/DSS, else
    the solvent's residual line) or a shift in ppm; `group_delay`: the delay in points
    to remove along x, None for the summary's "digitalFilter"."""
    file = source if isinstance(source, VornFile) else open_file(source)
    return transform(
        file.to_numpy(),
        file.info,
        zero_fill=zero_fill,
        line_broadening=line_broadening,
        phase=phase,
        baseline=baseline,
        reference=reference,
        group_delay=group_delay,
    )


def transform(
    arrays: SpectrumArrays,
    info: Info,
    *,
    zero_fill: int | tuple[int, int] | None = None,
    line_broadening: float = 0.0,
    phase: PhaseOption = None,
    baseline: Literal["auto"] | None = None,
    reference: float | Literal["auto"] | None = None,
    group_delay: float | None = None,
) -> Spectrum:
    """spectrum() of samples already read: `arrays` from to_numpy and the file's summary."""
    phase_pair(phase)  # a bad phase is refused before any work
    if arrays.values.size == 0:
        raise ValueError("the file holds no samples")
    if not math.isfinite(line_broadening):
        raise ValueError(f"line_broadening {line_broadening!r} is not a finite number of Hz")
    times = [axis.domain == "time" for axis in arrays.axes]
    if not times[0]:  # a stored spectrum (or an axis of no known kind): as it is
        return Spectrum(arrays.layout, arrays.values, arrays.mixed, arrays.axes, False, 0.0)
    delay = group_delay_of(info) if group_delay is None else float(group_delay)
    counts = _counts(zero_fill, arrays.values.shape)
    x_axis = arrays.axes[0]
    x_sweep = _sweep(info, x_axis, 0)

    def along_x(data: NDArray[np.complex128]) -> NDArray[np.complex128]:
        return _transform(data, data.ndim - 1, x_sweep, counts[0], delay=delay, line_broadening=line_broadening)

    values, mixed = along_x(arrays.values), None
    axes = [_frequency_axis(info, x_axis, 0, counts[0], x_sweep)]
    if arrays.layout != "One_D":
        y_axis = arrays.axes[1]
        if not times[1]:
            axes.append(y_axis)
            if arrays.mixed is not None:
                mixed = along_x(arrays.mixed)
        else:
            y_sweep = _sweep(info, y_axis, 1)

            def along_y(data: NDArray[np.complex128]) -> NDArray[np.complex128]:
                return _transform(data, 0, y_sweep, counts[1], delay=0.0, line_broadening=line_broadening)

            if arrays.mixed is not None:  # States: cosine and sine rows
                sine = along_x(arrays.mixed)
                x_real = along_y(values.real + 1j * sine.real)
                x_imag = along_y(values.imag + 1j * sine.imag)
                values = x_real.real + 1j * x_imag.real
                mixed = x_real.imag + 1j * x_imag.imag
            else:
                values = along_y(values)
            axes.append(_frequency_axis(info, y_axis, 1, counts[1], y_sweep))
    plain = Spectrum(
        arrays.layout,
        values.astype(np.complex128, copy=False),
        None if mixed is None else mixed.astype(np.complex128, copy=False),
        tuple(axes),
        True,
        delay,
    )
    return finish(plain, info, phase=phase, baseline=baseline, reference=reference)
