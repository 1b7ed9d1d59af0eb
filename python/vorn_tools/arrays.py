"""The samples of a result document as numpy arrays, with their axes.

The document keeps each section as lists of rows. Its two fields "re" and "im" hold
either a matrix each (two sections) or a pair {"im": main, "re": partner} each (four
sections). In every layout the main matrix of "re" is the real part and that of "im"
the imaginary part; in a four-section Two_D file the partners are the mixed quadrants
"re_im" (under "re") and "im_re" (under "im").
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .units import unit_symbol

if TYPE_CHECKING:
    from vorn_parser import DataField, Headers, Info, Matrix, VornDataFile

    from .files import VornFile


@dataclass(frozen=True)
class Axis:
    """One axis of the data: a value per point, from the header's start to stop value."""

    values: NDArray[np.float64]
    unit: str  # a symbol such as "ppm" or "s"; "point" when the header gives no range
    title: str

    @property
    def label(self) -> str:
        return f"{self.title} ({self.unit})" if self.title else self.unit


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


def _axis(headers: Headers, index: int, points: int) -> Axis:
    start, stop = headers["dataAxisStart"][index], headers["dataAxisStop"][index]
    title = headers["dataAxisTitles"][index]
    if start == stop or not (math.isfinite(start) and math.isfinite(stop)):
        return Axis(np.arange(points, dtype=np.float64), "point", title)
    return Axis(np.linspace(start, stop, points), unit_symbol(headers["dataUnits"][index]) or "a.u.", title)


def to_numpy(document: VornDataFile) -> SpectrumArrays:
    """The samples of a result document as complex arrays shaped like its sections."""
    layout = document["headers"]["dataFormat"]
    re_main, re_partner = _split(document["data"]["re"])
    im_main, im_partner = _split(document["data"]["im"])
    values = _complex(re_main, im_main, layout)
    mixed = None
    if re_partner and im_partner:  # four-section Two_D; One_D leaves the partners empty
        mixed = _complex(re_partner, im_partner, layout)
    return _with_axes(document["headers"], values, mixed)


def axes_for_shape(headers: Headers, info: Info | None, shape: tuple[int, ...]) -> tuple[Axis, ...]:
    """The axes of samples of that shape: x, then y for Two_D. Needs no samples."""
    if headers["dataFormat"] == "One_D":
        return (_axis(headers, 0, shape[0]),)
    rows, columns = shape if len(shape) == 2 else (0, 0)
    return (_axis(headers, 0, columns), _axis(headers, 1, rows))


def _with_axes(headers: Headers, values: NDArray[np.complex128],
               mixed: NDArray[np.complex128] | None, info: Info | None = None) -> SpectrumArrays:
    return SpectrumArrays(headers["dataFormat"], values, mixed, axes_for_shape(headers, info, values.shape))


def _complex_view(samples: object) -> NDArray[np.complex128]:
    """A block of (real, imaginary) double pairs from the native reader, as complex
    numbers: the same memory, no copy."""
    pairs = np.asarray(samples)
    return pairs.view(np.complex128)[..., 0]


def from_native(headers: Headers, values: object, mixed: object | None) -> SpectrumArrays:
    """The arrays of a file whose samples the native reader decoded: the same result as
    to_numpy of its document."""
    complex_values = _complex_view(values)
    complex_mixed = None
    # As in to_numpy: a four-section Two_D file of no rows has no mixed part.
    if mixed is not None:
        complex_mixed = _complex_view(mixed)
        if complex_mixed.shape[0] == 0:
            complex_mixed = None
    return _with_axes(headers, complex_values, complex_mixed)


def save_npz(document: VornDataFile | VornFile, file: str | os.PathLike[str] | BinaryIO) -> None:
    """Writes the samples, axes and metadata of a document to an uncompressed .npz file.

    Arrays: "data" (complex, shaped like the sections), "data_mixed" (four-section Two_D
    only), "x_axis" and for Two_D "y_axis"; "metadata_json" is a 0-d string array
    holding the rest of the document ("headers", "parameters", "info") as JSON.
    """
    from .files import VornFile
    from .jsonout import to_json

    metadata: dict[str, object]
    if isinstance(document, VornFile):
        arrays = document.to_numpy()
        metadata = {"headers": document.headers, "parameters": document.parameters, "info": document.info}
    else:
        arrays = to_numpy(document)
        metadata = {key: value for key, value in document.items() if key != "data"}
    content: dict[str, NDArray[Any]] = {"data": arrays.values, "x_axis": arrays.axes[0].values}
    if len(arrays.axes) > 1:
        content["y_axis"] = arrays.axes[1].values
    if arrays.mixed is not None:
        content["data_mixed"] = arrays.mixed
    content["metadata_json"] = np.array(to_json(metadata))
    # Every key is an array name; none is one of savez's own keyword arguments.
    np.savez(file, **content)  # type: ignore[arg-type]
