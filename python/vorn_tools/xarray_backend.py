"""Data files as xarray Datasets: `VornFile.to_xarray()`, and the "vorn" engine of
`xarray.open_dataset` / `open_mfdataset` (registered as an entry point).

A Dataset holds:
  * "data": the complex samples (re + 1j*im), dims ("x",) for One_D, ("y", "x") for
    Two_D; "mixed" (re_im + 1j*im_re) for four-section Two_D files;
  * "re", "im" (and "re_im", "im_re"): the stored sections as float64;
  * coordinates per axis: "x_axis" (the header's start-to-stop values, in its unit),
    and where they apply "x_seconds", "x_hz", "x_ppm" (then the same for "y"), each
    with a "units" attribute; indexed for axes up to 65,536 points, computed when
    first indexed (and not indexed) for longer ones;
  * attributes from the summary: title, nucleus, observe frequency, spectral width,
    offset, scans, temperature, digital filter, creation and revision dates.

The engine opens lazily: opening reads the header and parameter blocks only; the
samples are decoded (once, for all variables) when a variable is first indexed, and
the coordinates of a long axis are computed when first indexed.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from .files import VornFile
from .files import open as open_file

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .arrays import Axis, SpectrumArrays

_COORDINATE_UNITS = {"seconds": "s", "hz": "Hz", "ppm": "ppm"}
_EAGER_AXIS_POINTS = 1 << 16  # axes up to this long get their coordinates at open


class _Samples:
    """Decodes the file's samples once, when a variable first needs them."""

    def __init__(self, file: VornFile) -> None:
        self._file = file
        self._arrays: SpectrumArrays | None = None
        self._lock = threading.Lock()
        self.decodes = 0  # how many times the samples were decoded

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


class _Axes:
    """The axes of a file, computed once when a coordinate first needs them."""

    def __init__(self, headers: Any, info: Any, shape: tuple[int, ...]) -> None:
        self._args = (headers, info, shape)
        self._axes: tuple[Axis, ...] | None = None
        self._lock = threading.Lock()

    def get(self) -> tuple[Axis, ...]:
        with self._lock:
            if self._axes is None:
                from .arrays import axes_for_shape

                self._axes = axes_for_shape(*self._args)
            return self._axes


def _coordinates(headers: Any, info: Any, shape: tuple[int, ...], lazy: bool,
                 indexed: set[str]) -> dict[str, xr.Variable]:
    """The coordinates of every axis: the header's values, then seconds, Hz or ppm
    where the axis has them, each computed when first indexed."""
    from .arrays import axes_for_shape

    names = _dims(headers["dataFormat"])
    lengths = dict(zip(names, shape, strict=True))
    # Which coordinates an axis has depends on its unit and the summary, not on its
    # length: the axes of a two-point shape tell, at no cost.
    probe = axes_for_shape(headers, info, tuple(2 for _ in shape))
    axes = _Axes(headers, info, shape)
    coords: dict[str, xr.Variable] = {}
    for index, (name, axis) in enumerate(zip(("x", "y"), probe, strict=False)):
        n = lengths[name]
        fields = {"axis": ("values", axis.unit)}
        for field, unit in _COORDINATE_UNITS.items():
            if getattr(axis, field, None) is not None:
                fields[field] = (field, unit)
        for suffix, (field, unit) in fields.items():
            def load(i: int = index, f: str = field) -> Any:
                return getattr(axes.get()[i], f)
            # A short axis is computed now: as plain numbers, xarray compares and
            # combines coordinates of many files cheaply (open_mfdataset).
            eager = not lazy or n <= _EAGER_AXIS_POINTS
            data: Any = load() if eager else indexing.LazilyIndexedArray(_LazyArray((n,), np.float64, load))
            attrs = {"units": unit, "long_name": axis.title or f"{name} axis {suffix}"}
            if eager:
                indexed.add(f"{name}_{suffix}")
            coords[f"{name}_{suffix}"] = xr.Variable((name,), data, attrs)
    return coords


def _attributes(file: VornFile) -> dict[str, Any]:
    info, headers = file.info, file.headers

    def per_axis(key: str) -> list[float]:
        return [entry["magnitude"] for entry in info[key]]  # type: ignore[literal-required]

    def date(value: Any) -> str:
        return f"{value['year']:04d}-{value['month']:02d}-{value['day']:02d}"

    attrs: dict[str, Any] = {
        "title": headers["title"],
        "layout": headers["dataFormat"],
        "sample_type": headers["dataType"],
        "nucleus": list(info["nucleus"]),
        "observe_frequency_hz": per_axis("originFrequency"),
        "spectral_width_hz": per_axis("spectralWidth"),
        "offset_ppm": per_axis("frequencyOffset"),
        "scans": info["numberOfScans"] if not isinstance(info["numberOfScans"], dict) else str(info["numberOfScans"]),
        "temperature": info["temperature"]["magnitude"],
        "temperature_unit": info["temperature"]["unit"],
        "digital_filter_points": np.nan if info["digitalFilter"] is None else info["digitalFilter"],
        "creation_date": date(info["creationTime"]),
        "revision_date": date(info["revisionTime"]),
        "experiment": info["experiment"] if isinstance(info["experiment"], str) else str(info["experiment"]),
        "sample": info["sampleName"] if isinstance(info["sampleName"], str) else str(info["sampleName"]),
        "solvent": info["solvent"] if isinstance(info["solvent"], str) else str(info["solvent"]),
    }
    return attrs


def _section_names(mixed: bool) -> tuple[str, ...]:
    return ("re", "im", "re_im", "im_re") if mixed else ("re", "im")


def dataset(file: VornFile, *, lazy: bool = True,
            drop_variables: Iterable[str] | None = None) -> tuple[xr.Dataset, _Samples]:
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
    kinds: list[tuple[str, type[np.generic]]] = [("data", np.complex128)]
    if mixed:
        kinds.append(("mixed", np.complex128))
    kinds += [(name, np.float64) for name in _section_names(mixed)]
    for name, dtype in kinds:
        if name in dropped:
            continue
        def load(n: str = name) -> Any:
            return samples.variable(n)
        data: Any = (indexing.LazilyIndexedArray(_LazyArray(shape, dtype, load)) if lazy else load())
        variables[name] = xr.Variable(dims, data)
    indexed: set[str] = set()
    coords = _coordinates(headers, file.info, shape, lazy, indexed)
    coords = {name: value for name, value in coords.items() if name not in dropped}
    ds = xr.Dataset(variables, coords=coords, attrs=_attributes(file))
    # Coordinates computed at open are indexed: xarray then compares and aligns
    # many files by their indexes (open_mfdataset), and `sel` works on them.
    for name in coords:
        if name in indexed:
            ds = ds.set_xindex(name)
    return ds, samples


def to_xarray(file: VornFile) -> xr.Dataset:
    """The file as an xarray Dataset, with its samples decoded now."""
    return dataset(file, lazy=False)[0]


class VornBackendEntrypoint(BackendEntrypoint):
    """xarray's "vorn" engine: `xr.open_dataset(path, engine="vorn")`."""

    description = "Binary NMR data files read by vorn_parser's core reader"
    open_dataset_parameters = ("filename_or_obj", "drop_variables")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Iterable[str] | None = None) -> xr.Dataset:
        file = open_file(filename_or_obj)
        ds, samples = dataset(file, lazy=True, drop_variables=drop_variables)
        ds.set_close(file.close)
        ds.encoding["vorn_samples"] = samples  # how many decodes, for whoever asks
        if isinstance(filename_or_obj, (str, os.PathLike)):
            ds.encoding["source"] = os.fspath(filename_or_obj)
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        return str(os.fspath(filename_or_obj)).lower().endswith(".vdf")
