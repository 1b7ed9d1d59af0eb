"""The samples of a result document as numpy arrays, with their axes.

The document keeps each section as lists of rows. Its two fields "re" and "im" hold
either a matrix each (two sections) or a pair {"im": main, "re": partner} each (four
sections). In every layout the main matrix of "re" is the real part and that of "im"
the imaginary part; in a four-section Two_D file the partners are the mixed quadrants
"re_im" (under "re") and "im_re" (under "im").
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .units import PREFIX_POWERS, unit_symbol

if TYPE_CHECKING:
    from vorn_parser import DataField, Headers, Info, Matrix, Unit, UnitMagnitude, VornDataFile


@dataclass(frozen=True)
class Coordinate:
    """One coordinate of an axis as a rule per point index k, so that any part of it is
    computed alone (`coordinate[2:5]`, `coordinate.at(indices)`) and the whole only when
    asked (`array()`). The rule is a base value (the index itself; a point of
    numpy.linspace(start, stop, total); or the NMR frequency (total//2 - k) x sweep /
    total) followed by elementwise steps ("mul", "div" or "add" a constant), each done
    as numpy does it over the whole axis: a part equals the same part of the whole,
    bit for bit."""

    points: int
    base: tuple[Any, ...]  # ("index",), ("linspace", start, stop, total) or ("nmr", total, sweep)
    steps: tuple[tuple[str, float], ...] = ()

    def then(self, operation: str, value: float) -> Coordinate:
        return Coordinate(self.points, self.base, (*self.steps, (operation, value)))

    def at(self, indices: NDArray[np.integer[Any]]) -> NDArray[np.float64]:
        """The coordinate at the given point indices (each in range(points))."""
        k = np.asarray(indices).astype(np.float64)
        y: NDArray[np.float64]
        kind = self.base[0]
        if kind == "linspace":
            y = _linspace_at(k, *self.base[1:])
        elif kind == "nmr":
            total, sweep = self.base[1:]
            y = (total // 2 - k) * (sweep / total)
        else:
            y = k
        for operation, value in self.steps:
            if operation == "mul":
                y = y * value
            elif operation == "div":
                y = y / value
            else:
                y = value + y
        return y

    def __getitem__(self, key: int | slice) -> Any:
        if isinstance(key, slice):
            span = range(self.points)[key]
            return self.at(np.arange(span.start, span.stop, span.step, dtype=np.int64))
        index = range(self.points)[key]
        return self.at(np.array([index], dtype=np.int64))[0]

    def __len__(self) -> int:
        return self.points

    def array(self) -> NDArray[np.float64]:
        """The whole coordinate, one value per point."""
        return self.at(np.arange(self.points, dtype=np.int64))


def _linspace_at(k: NDArray[np.float64], start: float, stop: float, total: int) -> NDArray[np.float64]:
    """Points k of numpy.linspace(start, stop, total), computed as it computes them."""
    delta = np.subtract(stop, start, dtype=np.float64)
    div = total - 1
    y: NDArray[np.float64]
    if div > 0:
        step = delta / div
        y = k / div * delta if step == 0 else k * step
    else:
        y = k * delta
    y = y + start
    if total > 1:
        y[k == div] = stop
    return y


class _Computed:
    """A field of Axis given as an array, or as a Coordinate made into its array when
    first read (`Axis.coordinate` gives it without making the whole). Put on the class
    after dataclass() made it, so the fields keep no default."""

    def __init__(self, name: str) -> None:
        self.slot = f"_{name}"

    def __get__(self, axis: object, owner: type | None = None) -> Any:
        if axis is None:
            return self
        value = axis.__dict__[self.slot]
        if isinstance(value, Coordinate):
            value = value.array()
            axis.__dict__[self.slot] = value
        return value

    def __set__(self, axis: object, value: Any) -> None:
        axis.__dict__[self.slot] = value


@dataclass(frozen=True)
class Axis:
    """One axis of the data: a value per point, from the header's start to stop value,
    and the calibrated coordinates the header's unit and the summary allow.

    `domain` is "time" when the header's unit of the axis is seconds, "frequency" when it
    is Hz or ppm, else "points". `seconds` (time axes) and `hz`, `ppm` (frequency axes)
    hold one coordinate per point, or None where the axis is of the other domain or the
    file lacks what they are computed from (see calibrate_axis). The four are computed
    when first read; `coordinate(name)` gives any part of one without the whole.
    """

    values: NDArray[np.float64]
    unit: str  # a symbol such as "ppm" or "s"; "point" when the header gives no range
    title: str
    points: int
    start: float  # the header's dataAxisStart of this axis, in its unit
    stop: float  # the header's dataAxisStop
    domain: str
    seconds: NDArray[np.float64] | None
    hz: NDArray[np.float64] | None
    ppm: NDArray[np.float64] | None

    def coordinate(self, name: str) -> Coordinate | NDArray[np.float64] | None:
        """ "values", "seconds", "hz" or "ppm" as stored: a Coordinate while it has not
        been read whole, else its array (both index alike); None where the axis lacks it."""
        if name not in ("values", "seconds", "hz", "ppm"):
            raise ValueError(f"an axis has no coordinate {name!r}")
        stored: Coordinate | NDArray[np.float64] | None = self.__dict__[f"_{name}"]
        return stored

    @property
    def label(self) -> str:
        return f"{self.title} ({self.unit})" if self.title else self.unit


for _name in ("values", "seconds", "hz", "ppm"):
    setattr(Axis, _name, _Computed(_name))


@dataclass(frozen=True)
class SpectrumArrays:
    """The samples of one file.

    `values` is re + 1j*im: shape (points,) for One_D, (rows, columns) = (y, x) for
    Two_D. `mixed` is re_im + 1j*im_re for four-section Two_D data, else None. `axes`
    holds the x axis, then the y axis for Two_D.
    """

    layout: str
    values: NDArray[np.complex128]
    mixed: NDArray[np.complex128] | None
    axes: tuple[Axis, ...]

    @property
    def sections(self) -> dict[str, NDArray[np.float64]]:
        """The sections by name, as the float arrays they were stored as."""
        named = {"re": self.values.real, "im": self.values.imag}
        if self.mixed is not None:
            named["re_im"], named["im_re"] = self.mixed.real, self.mixed.imag
        return named


def _matrix(rows: Matrix) -> NDArray[np.float64]:
    if not rows:
        return np.empty((0, 0), dtype=np.float64)
    return np.array(rows, dtype=np.float64)


def _split(field: DataField) -> tuple[Matrix, Matrix | None]:
    """The main matrix of a data field and its partner (None for two-section data)."""
    if isinstance(field, dict):
        return field["im"], field["re"]
    return field, None


def _complex(re: Matrix, im: Matrix, layout: str) -> NDArray[np.complex128]:
    real, imag = _matrix(re), _matrix(im)
    if real.shape != imag.shape:
        raise ValueError(f"real part {real.shape} and imaginary part {imag.shape} differ in shape")
    # Filled part by part: real + 1j * imag would turn an infinite imaginary sample into
    # a NaN real part (0 * inf).
    values = np.empty(real.shape, dtype=np.complex128)
    values.real, values.imag = real, imag
    if layout == "One_D":  # one row per section
        values = values.reshape(-1)
    return values


def _magnitude(values: list[UnitMagnitude], index: int, unit: str) -> float | None:
    """A per-axis summary figure in the given base unit, when the file has it (finite,
    positive for widths and frequencies: checked by the callers)."""
    if index >= len(values) or values[index]["unit"] != unit:
        return None
    magnitude = values[index]["magnitude"]
    return magnitude if math.isfinite(magnitude) else None


def _positive(value: float | None) -> float | None:
    return value if value is not None and value > 0 else None


def spectral_width(info: Info, index: int) -> float | None:
    """The spectral width of an axis in Hz (the summary's "spectralWidth"), or None."""
    return _positive(_magnitude(info["spectralWidth"], index, "Hertz"))


def observe_frequency(info: Info, index: int) -> float | None:
    """The observe frequency SF of an axis in Hz (the summary's "originFrequency"), or None."""
    return _positive(_magnitude(info["originFrequency"], index, "Hertz"))


def carrier_hz(info: Info, index: int) -> float | None:
    """The carrier's offset O x SF in Hz from the summary's "frequencyOffset" (stored in
    ppm, converted with the observe frequency; an offset stored in Hz is taken as is)."""
    in_hz = _magnitude(info["frequencyOffset"], index, "Hertz")
    if in_hz is not None:
        return in_hz
    in_ppm = _magnitude(info["frequencyOffset"], index, "Ppm")
    sf = observe_frequency(info, index)
    return None if in_ppm is None or sf is None else in_ppm * sf / 1e6


def nmr_frequencies(points: int, sweep: float) -> NDArray[np.float64]:
    """Frequencies from the carrier in Hz of an N-point spectrum in NMR order:
    f_k = (N//2 - k) x SW / N, so f_0 = +SW/2 for even N (the Nyquist frequency, the same
    as -SW/2), the carrier at k = N//2 and the last point at -SW/2 + SW/N."""
    return (points // 2 - np.arange(points, dtype=np.float64)) * (sweep / points)


def _prefix_scale(unit: Unit) -> float:
    return float(10.0 ** PREFIX_POWERS.get(unit["prefix"], 0))


def calibrate_axis(headers: Headers, info: Info | None, index: int, points: int) -> Axis:
    """One axis of the stored samples (see Axis), `points` of them kept. The header's
    start..stop spans the header's N points of the axis (dataPoints), of which the reader
    may keep fewer (Two_D keeps whole blocks): each coordinate is that of its point of
    the N, so the kept points are the first `points` of the N. Time axes: t_k = k x dwell
    with dwell = 1 / spectral width, else (stop - start) / (N - 1) from the header.
    Frequency axes: the header's start..stop (its values) in its unit, the other unit
    through the observe frequency SF (ppm = Hz / SF x 1e6); a header without a range
    falls back on the summary: hz_k = O x SF / 1e6 + (N//2 - k) x SW / N."""
    start, stop = headers["dataAxisStart"][index], headers["dataAxisStop"][index]
    declared = headers["dataPoints"][index] if index < len(headers["dataPoints"]) else points
    total = max(declared, points)  # the N points the header's range spans
    title = headers["dataAxisTitles"][index]
    unit = headers["dataUnits"][index]
    ranged = start != stop and math.isfinite(start) and math.isfinite(stop)
    # Each coordinate is a rule per point, computed when read (see Coordinate).
    values: Coordinate
    if ranged:
        values = Coordinate(points, ("linspace", start, stop, total))
        symbol = unit_symbol(unit) or "a.u."
    else:
        values, symbol = Coordinate(points, ("index",)), "point"
    base = unit["base"]
    domain = "time" if base == "Second" else "frequency" if base in ("Hertz", "Ppm") else "points"
    seconds: Coordinate | None = None
    hz: Coordinate | None = None
    ppm: Coordinate | None = None
    sweep = sf = carrier = None
    if info is not None:
        sweep, sf, carrier = spectral_width(info, index), observe_frequency(info, index), carrier_hz(info, index)
    if domain == "time":
        dwell = None
        if sweep is not None:
            dwell = 1.0 / sweep
        elif ranged and total > 1:
            dwell = (stop - start) * _prefix_scale(unit) / (total - 1)
        if dwell is not None:
            seconds = Coordinate(points, ("index",)).then("mul", dwell)
    elif domain == "frequency":
        # As arrays: ppm = values; hz = ppm x (SF / 1e6); hz = values x scale;
        # ppm = hz / SF x 1e6; hz = carrier + nmr_frequencies(N, SW)[:points].
        if ranged and base == "Ppm":
            ppm = values
            hz = None if sf is None else ppm.then("mul", sf / 1e6)
        elif ranged:
            hz = values.then("mul", _prefix_scale(unit))
            ppm = None if sf is None else hz.then("div", sf).then("mul", 1e6)
        elif sweep is not None and carrier is not None:
            hz = Coordinate(points, ("nmr", total, sweep)).then("add", carrier)
            ppm = None if sf is None else hz.then("div", sf).then("mul", 1e6)
    # The coordinates go in as rules (Coordinate) and the domain as text; Axis's
    # descriptors turn the rules into arrays when read.
    fields: tuple[Any, ...] = (values, symbol, title, points, float(start), float(stop), domain, seconds, hz, ppm)
    return Axis(*fields)


def to_numpy(document: VornDataFile) -> SpectrumArrays:
    """The samples of a result document as complex arrays shaped like its sections."""
    layout = document["headers"]["dataFormat"]
    info = document.get("info")
    re_main, re_partner = _split(document["data"]["re"])
    im_main, im_partner = _split(document["data"]["im"])
    values = _complex(re_main, im_main, layout)
    mixed = None
    if re_partner and im_partner:  # four-section Two_D; One_D leaves the partners empty
        mixed = _complex(re_partner, im_partner, layout)
    return _with_axes(document["headers"], info, values, mixed)


def axes_for_shape(headers: Headers, info: Info | None, shape: tuple[int, ...]) -> tuple[Axis, ...]:
    """The axes of samples of that shape: x, then y for Two_D. Needs no samples."""
    if headers["dataFormat"] == "One_D":
        return (calibrate_axis(headers, info, 0, shape[0]),)
    rows, columns = shape if len(shape) == 2 else (0, 0)
    return (calibrate_axis(headers, info, 0, columns), calibrate_axis(headers, info, 1, rows))


def _with_axes(
    headers: Headers, info: Info | None, values: NDArray[np.complex128], mixed: NDArray[np.complex128] | None
) -> SpectrumArrays:
    return SpectrumArrays(headers["dataFormat"], values, mixed, axes_for_shape(headers, info, values.shape))


def _complex_view(samples: object) -> NDArray[np.complex128]:
    """A block of (real, imaginary) double pairs from the native reader, as complex
    numbers: the same memory, no copy."""
    pairs = np.asarray(samples)
    return pairs.view(np.complex128)[..., 0]


def from_native(headers: Headers, info: Info | None, values: object, mixed: object | None) -> SpectrumArrays:
    """The arrays of a file whose samples the native reader decoded: the same result as
    to_numpy of its document."""
    complex_values = _complex_view(values)
    complex_mixed = None
    # As in to_numpy: a four-section Two_D file of no rows has no mixed part.
    if mixed is not None:
        complex_mixed = _complex_view(mixed)
        if complex_mixed.shape[0] == 0:
            complex_mixed = None
    return _with_axes(headers, info, complex_values, complex_mixed)
