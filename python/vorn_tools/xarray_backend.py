"""Data files as xarray Datasets: `VornFile.to_xarray()`, and the "vorn" engine of
`xarray.open_dataset` / `open_mfdataset` (registered as an entry point).

A Dataset holds:
  * "re", "im" (and "re_im", "im_re" for four-section Two_D files): the stored
    sections as float64, dims ("x",) for One_D, ("y", "x") for Two_D. The complex
    samples are re + 1j*im ("mixed": re_im + 1j*im_re), stored as their real and
    imaginary parts so that every netCDF and Zarr writer takes the Dataset as it is
    (`ds.to_netcdf(path)`, `ds.to_zarr(path)`); `complex_data(ds)` or `ds.vorn.data`
    (`ds.vorn.mixed`) gives them as complex numbers, also of a Dataset read back from
    such a file. `complex_variables=True` adds them as the complex variables "data"
    and "mixed" (which netCDF then needs `auto_complex=True` for);
  * a coordinate variable for each dimension, "x" (and "y"): the point index, with
    the axis's summary figures as attributes (nucleus, observe_frequency_hz,
    spectral_width_hz, offset_ppm or offset_hz, each only where the file has it);
  * coordinates per axis: "x_axis" (the header's start-to-stop values, in its unit),
    and where they apply "x_seconds", "x_hz", "x_ppm" (then the same for "y"), each
    with "units" and "long_name"; indexed for axes up to 65,536 points, computed when
    first indexed (and not indexed) for longer ones;
  * attributes of the whole file as plain scalars: title, layout, sample type, scans,
    temperature (with its unit), digital filter, creation and revision dates,
    experiment, sample, solvent. A figure the file lacks is left out, never written
    as 0; a figure in another unit than the attribute's name says is left out of that
    attribute (the offset is named for the unit it is stored in).

A ppm (or Hz) axis descends, as NMR spectra are drawn: select with the larger value
first, `ds.sel(x_ppm=slice(8, 6))`, or sort first, `ds.sortby("x_ppm").sel(x_ppm=slice(6, 8))`.

The engine opens lazily: opening reads the header and parameter blocks only; the
samples are decoded (once, for all variables) when a variable is first indexed, and
the coordinates of a long axis are computed when first indexed. The decoder keywords
of `open_dataset` (mask_and_scale, decode_times, decode_timedelta, use_cftime,
concat_characters, decode_coords) are accepted and change nothing: no variable here
is scaled, masked, or a time. A netCDF or Zarr copy keeps the values and attributes;
its indexes are made again with `set_xindex("x_ppm")`.
"""

from __future__ import annotations

import math
import os
import threading
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from .arrays.samples import Coordinate, SpectrumArrays, axes_for_shape, observe_frequency, spectral_width
from .reading.files import VornFile
from .reading.files import open as open_file

if TYPE_CHECKING:
    from numpy.typing import NDArray

_COORDINATE_UNITS = {"seconds": "s", "hz": "Hz", "ppm": "ppm"}
# The unit of a summary figure the file does not have (its magnitude is then 0).
_NO_UNIT = ("NA", "None")
_EAGER_AXIS_POINTS = 1 << 16  # axes up to this long get their coordinates at open


class _Samples:
    """Decodes the file's samples once, when a variable first needs them."""

    def __init__(self, file: VornFile) -> None:
        self._file = file
        self._arrays: SpectrumArrays | None = None
        self._lock = threading.Lock()
        self.decodes = 0  # how many times the samples were decoded

    def __deepcopy__(self, memo: dict[int, Any]) -> _Samples:
        # A handle on the open file, shared by every copy of the Dataset that holds it
        # in its encoding (sortby, copy(deep=True)): not copied.
        return self

    def arrays(self) -> SpectrumArrays:
        with self._lock:
            if self._arrays is None:
                self._arrays = self._file.to_numpy()
                self.decodes += 1
            return self._arrays

    def variable(self, name: str) -> NDArray[Any]:
        arrays = self.arrays()
        if name == "data":
            return arrays.values
        if name == "mixed":
            assert arrays.mixed is not None
            return arrays.mixed
        return arrays.sections[name]


class _LazyArray(BackendArray):
    """One variable or coordinate, made by `load` when first indexed."""

    def __init__(self, shape: tuple[int, ...], dtype: Any, load: Any) -> None:
        self.shape = shape
        self.dtype = np.dtype(dtype)
        self._load = load

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._raw)

    def _raw(self, key: tuple[Any, ...]) -> Any:
        return np.asarray(self._load())[key]


def _dims(layout: str) -> tuple[str, ...]:
    return ("x",) if layout == "One_D" else ("y", "x")


class _LazyCoordinate(BackendArray):
    """A coordinate of an axis computed for the indices asked only (see
    arrays.Coordinate): `ds.x_ppm[:3]` computes three values, whatever the axis's length."""

    def __init__(self, coordinate: Coordinate) -> None:
        self.shape = (len(coordinate),)
        self.dtype = np.dtype(np.float64)
        self._coordinate = coordinate

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._raw)

    def _raw(self, key: tuple[Any, ...]) -> Any:
        (part,) = key
        return self._coordinate[part]


def _coordinates(
    headers: Any, info: Any, shape: tuple[int, ...], lazy: bool, indexed: set[str]
) -> dict[str, xr.Variable]:
    """The coordinates of every axis: the header's values, then seconds, Hz or ppm
    where the axis has them. A long axis's are computed for the indices asked, when
    asked; nothing is made in proportion to a length the header declares."""
    names = _dims(headers["dataFormat"])
    lengths = dict(zip(names, shape, strict=True))
    # The axes hold rules per point (arrays.Coordinate): making them costs nothing.
    axes = axes_for_shape(headers, info, shape)
    coords: dict[str, xr.Variable] = {}
    for name, axis in zip(("x", "y"), axes, strict=False):
        n = lengths[name]
        fields = {"axis": ("values", axis.unit)}
        for field, unit in _COORDINATE_UNITS.items():
            if axis.coordinate(field) is not None:
                fields[field] = (field, unit)
        for suffix, (field, unit) in fields.items():
            # A short axis is computed now: as plain numbers, xarray compares and
            # combines coordinates of many files cheaply (open_mfdataset).
            eager = not lazy or n <= _EAGER_AXIS_POINTS
            stored = axis.coordinate(field)
            data: Any = getattr(axis, field) if eager else indexing.LazilyIndexedArray(_LazyCoordinate(stored))  # type: ignore[arg-type]
            attrs = {"units": unit, "long_name": axis.title or f"{name} axis {suffix}"}
            if eager:
                indexed.add(f"{name}_{suffix}")
            coords[f"{name}_{suffix}"] = xr.Variable((name,), data, attrs)
    return coords


def _with_point_indexes(ds: xr.Dataset, info: Any, shape: tuple[int, ...]) -> xr.Dataset:
    """Adds the coordinate variable of each dimension: the point index, carrying the
    axis's summary figures. A range index where xarray has one (no memory per point,
    so a long axis costs nothing at open), else the numbers."""
    import xarray.indexes

    range_index = getattr(xarray.indexes, "RangeIndex", None)  # xarray 2025.6 on
    for index, (name, n) in enumerate(zip(("x", "y"), reversed(shape), strict=False)):
        if range_index is not None:
            ds = ds.assign_coords(xr.Coordinates.from_xindex(range_index.arange(0, n, 1, dim=name, coord_name=name)))
        else:
            ds = ds.assign_coords({name: np.arange(n, dtype=np.float64)})
        ds[name].attrs.update({"long_name": f"{name} point index", "units": "1", **_axis_attributes(info, index)})
    return ds


def _axis_attributes(info: Any, index: int) -> dict[str, Any]:
    """The summary's figures of one axis, each where the file has it, in the unit its
    name says (frequencies in Hz: one stored in another unit is left out)."""
    attrs: dict[str, Any] = {}
    nuclei = info["nucleus"]
    if index < len(nuclei) and isinstance(nuclei[index], str) and nuclei[index]:
        attrs["nucleus"] = nuclei[index]
    sf, sw = observe_frequency(info, index), spectral_width(info, index)
    if sf is not None:
        attrs["observe_frequency_hz"] = sf
    if sw is not None:
        attrs["spectral_width_hz"] = sw
    offsets = info["frequencyOffset"]
    if index < len(offsets) and math.isfinite(offsets[index]["magnitude"]):
        unit = offsets[index]["unit"]
        magnitude = offsets[index]["magnitude"]
        if unit == "Ppm":
            attrs["offset_ppm"] = magnitude
        elif unit == "Hertz":
            attrs["offset_hz"] = magnitude
        elif unit not in _NO_UNIT:
            attrs["offset"], attrs["offset_unit"] = magnitude, unit
    return attrs


def _text(value: Any) -> str:
    return value if isinstance(value, str) else str(value)


def _date(value: Any) -> str | None:
    import datetime

    try:
        return datetime.date(value["year"], value["month"], value["day"]).isoformat()
    except (ValueError, OverflowError, TypeError):
        return None


def _attributes(file: VornFile) -> dict[str, Any]:
    """The file's own figures as plain scalars (strings and numbers, what every netCDF
    and Zarr writer stores); those the file lacks are left out."""
    info, headers = file.info, file.headers
    attrs: dict[str, Any] = {
        "Conventions": "CF-1.10",
        "title": headers["title"],
        "layout": headers["dataFormat"],
        "sample_type": headers["dataType"],
        "complex_variables": "data = re + 1j*im; mixed = re_im + 1j*im_re",
        "scans": _text(info["numberOfScans"]),
        "experiment": _text(info["experiment"]),
        "sample": _text(info["sampleName"]),
        "solvent": _text(info["solvent"]),
    }
    temperature = info["temperature"]
    if temperature["unit"] not in _NO_UNIT and math.isfinite(temperature["magnitude"]):
        attrs["temperature"], attrs["temperature_unit"] = temperature["magnitude"], temperature["unit"]
    if info["digitalFilter"] is not None and math.isfinite(info["digitalFilter"]):
        attrs["digital_filter_points"] = info["digitalFilter"]
    for key, field in (("creation_date", "creationTime"), ("revision_date", "revisionTime")):
        date = _date(info[field])  # type: ignore[literal-required]
        if date is not None:
            attrs[key] = date
    return attrs


_SECTION_NAMES = {
    "re": "real part of the samples",
    "im": "imaginary part of the samples",
    "re_im": "real part of the mixed samples",
    "im_re": "imaginary part of the mixed samples",
    "data": "samples",
    "mixed": "mixed samples",
}


def complex_data(ds: xr.Dataset, mixed: bool = False) -> xr.DataArray:
    """The complex samples of a Dataset of this engine (or of its netCDF or Zarr copy):
    re + 1j*im, or re_im + 1j*im_re with `mixed`."""
    re, im = ("re_im", "im_re") if mixed else ("re", "im")
    data: xr.DataArray = ds[re] + 1j * ds[im]
    name = "mixed" if mixed else "data"
    return data.rename(name).assign_attrs(long_name=_SECTION_NAMES[name], units="1")


@xr.register_dataset_accessor("vorn")  # type: ignore[no-untyped-call]
class VornAccessor:
    """`ds.vorn.data`, `ds.vorn.mixed`: the complex samples (see complex_data)."""

    def __init__(self, ds: xr.Dataset) -> None:
        self._ds = ds

    @property
    def data(self) -> xr.DataArray:
        return complex_data(self._ds)

    @property
    def mixed(self) -> xr.DataArray:
        return complex_data(self._ds, mixed=True)


def _section_names(mixed: bool) -> tuple[str, ...]:
    return ("re", "im", "re_im", "im_re") if mixed else ("re", "im")


def dataset(
    file: VornFile, *, lazy: bool = True, drop_variables: Iterable[str] | None = None, complex_variables: bool = False
) -> tuple[xr.Dataset, _Samples]:
    """The Dataset of an open file, and the object that decodes its samples."""
    headers = file.headers
    layout = headers["dataFormat"]
    # The shape and the sections as the reader makes them (its layout facts).
    facts = file.layout
    shape = tuple(facts["shape"])
    mixed = "re_im" in facts["sections"] and shape[0] != 0
    samples = _Samples(file)
    dims = _dims(layout)
    dropped = set(drop_variables or ())
    variables: dict[str, xr.Variable] = {}
    kinds: list[tuple[str, type[np.generic]]] = []
    if complex_variables:
        kinds.append(("data", np.complex128))
        if mixed:
            kinds.append(("mixed", np.complex128))
    kinds += [(name, np.float64) for name in _section_names(mixed)]
    for name, dtype in kinds:
        if name in dropped:
            continue

        def load(n: str = name) -> Any:
            return samples.variable(n)

        data: Any = indexing.LazilyIndexedArray(_LazyArray(shape, dtype, load)) if lazy else load()
        variables[name] = xr.Variable(dims, data, {"long_name": _SECTION_NAMES[name], "units": "1"})
    indexed: set[str] = set()
    coords = _coordinates(headers, file.info, shape, lazy, indexed)
    coords = {name: value for name, value in coords.items() if name not in dropped}
    ds = _with_point_indexes(xr.Dataset(variables, coords=coords, attrs=_attributes(file)), file.info, shape)
    # Coordinates computed at open are indexed: xarray then compares and aligns
    # many files by their indexes (open_mfdataset), and `sel` works on them.
    for name in coords:
        if name in indexed:
            ds = ds.set_xindex(name)
    return ds, samples


def to_xarray(file: VornFile, *, complex_variables: bool = False) -> xr.Dataset:
    """The file as an xarray Dataset, with its samples decoded now."""
    return dataset(file, lazy=False, complex_variables=complex_variables)[0]


_DECODERS = ("mask_and_scale", "decode_times", "decode_timedelta", "use_cftime", "concat_characters", "decode_coords")


class VornBackendEntrypoint(BackendEntrypoint):
    """xarray's "vorn" engine: `xr.open_dataset(path, engine="vorn")`."""

    description = "Binary NMR data files read by vorn_parser's core reader"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "complex_variables", *_DECODERS)

    def open_dataset(
        self,
        filename_or_obj: Any,
        *,
        drop_variables: Iterable[str] | None = None,
        complex_variables: bool = False,
        mask_and_scale: Any = None,
        decode_times: Any = None,
        decode_timedelta: Any = None,
        use_cftime: Any = None,
        concat_characters: Any = None,
        decode_coords: Any = None,
    ) -> xr.Dataset:
        # The decoder keywords are taken and change nothing (see the module's description).
        file = open_file(filename_or_obj)
        ds, samples = dataset(file, lazy=True, drop_variables=drop_variables, complex_variables=complex_variables)
        ds.set_close(file.close)
        ds.encoding["vorn_samples"] = samples  # how many decodes, for whoever asks
        if isinstance(filename_or_obj, (str, os.PathLike)):
            ds.encoding["source"] = os.fspath(filename_or_obj)
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        return str(os.fspath(filename_or_obj)).lower().endswith(".vdf")
