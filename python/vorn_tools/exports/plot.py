"""Plots of a result document, drawn with matplotlib's non-interactive Agg canvas and
written in the format the file name's suffix names (PNG, PDF, SVG, ...).

Time-domain files are drawn as their spectrum (vorn_tools.spectrum), by default
phased, flattened and referenced automatically (phase, baseline and reference "auto")
with the peaks of a One_D spectrum marked, or with `processed=False` as the plain
transform: One_D the real part against ppm, Two_D contours of the real part
(absorption in both dimensions) against ppm on both axes. ppm axes run from high to
low, as spectra are read, also for stored spectra whose header runs the other way.
With `fid=True`, or for files that are not time-domain, the stored samples:
One_D the real and imaginary parts against the axis the header defines (start to stop,
in its unit), Two_D contours of the real section, positive and negative levels in two
colours, both axes running from the header's start to stop value.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from numpy.typing import NDArray

from ..arrays.samples import SpectrumArrays, to_numpy
from ..arrays.units import printable
from ..processing.fourier import transform
from ..processing.peaks import PeakList
from ..reading.files import VornFile
from .atomic import write_atomically

if TYPE_CHECKING:
    from vorn_parser import VornDataFile

# The suffixes written, all by matplotlib without further programs (the bitmap ones
# beyond PNG through Pillow, which matplotlib requires).
PLOT_FORMATS = ("png", "pdf", "svg", "svgz", "eps", "ps", "jpg", "jpeg", "tif", "tiff", "webp")
CONTOUR_LEVELS = 10
LOWEST_LEVEL = 0.04  # of the largest absolute value
MARK_LABELS = 12  # peaks whose shift is written on a plot


def _limits(values: NDArray[np.float64], unit: str = "") -> tuple[float, float] | None:
    """The axis limits: the header's start and stop, high to low on a frequency axis."""
    if values.size <= 1:
        return None
    first, last = float(values[0]), float(values[-1])
    if unit in ("ppm", "Hz", "kHz", "MHz") and first < last:
        first, last = last, first
    return first, last


def _one_d(ax: Axes, arrays: SpectrumArrays) -> None:
    axis = arrays.axes[0]
    ax.plot(axis.values, arrays.values.real, linewidth=0.8, label="real")
    ax.plot(axis.values, arrays.values.imag, linewidth=0.8, label="imaginary", alpha=0.75)
    ax.set_xlabel(axis.label)
    ax.set_ylabel("intensity")
    ax.legend(loc="upper right", frameon=False)
    if (limits := _limits(axis.values, axis.unit)) is not None:
        ax.set_xlim(*limits)


def _one_d_spectrum(ax: Axes, arrays: SpectrumArrays, peaks: PeakList | None = None) -> None:
    axis = arrays.axes[0]
    real = arrays.values.real
    ax.plot(axis.values, real, linewidth=0.7, color="tab:blue")
    ax.set_xlabel(axis.label)
    ax.set_ylabel("intensity (real part)")
    if peaks:
        _mark(ax, axis.values, real, peaks)
    if (limits := _limits(axis.values, axis.unit)) is not None:
        ax.set_xlim(*limits)  # NMR order: high ppm on the left


def _mark(ax: Axes, coordinates: NDArray[np.float64], real: NDArray[np.float64], peaks: PeakList) -> None:
    """A tick above (below) each positive (negative) peak; the shift of the tallest
    MARK_LABELS written above theirs, none within 2.5 % of the axis of another."""
    span = float(np.ptp(real)) or 1.0
    where = np.interp([p.index for p in peaks], np.arange(coordinates.size), coordinates)
    heights = np.array([p.height for p in peaks])
    offsets = np.where(heights >= 0, 0.03, -0.03) * span
    ax.plot(where, heights + offsets, linestyle="none", marker="|", markersize=6, color="tab:red")
    room = 0.025 * abs(float(coordinates[0] - coordinates[-1]))  # labels keep this far apart
    labelled: list[float] = []
    for i in np.argsort(-np.abs(heights)):
        if len(labelled) == MARK_LABELS or any(abs(where[i] - other) < room for other in labelled):
            continue
        labelled.append(float(where[i]))
        shown = round(float(where[i]), 2) + 0.0  # no "-0.00"
        ax.annotate(
            f"{shown:.2f}",
            (where[i], heights[i] + 2 * offsets[i]),
            fontsize=6,
            color="tab:red",
            ha="center",
            va="bottom" if heights[i] >= 0 else "top",
            rotation=90,
        )


def _two_d(ax: Axes, arrays: SpectrumArrays) -> None:
    x, y = arrays.axes
    real = np.ma.masked_invalid(arrays.values.real)
    positive = negative = np.empty(0)
    if real.count():  # levels on a common scale, only those the data reaches
        high, low = float(real.max()), float(real.min())
        levels = max(high, -low) * np.geomspace(LOWEST_LEVEL, 1.0, CONTOUR_LEVELS, endpoint=False)
        positive = levels[levels < high]
        negative = np.sort(-levels)
        negative = negative[negative > low]
    if min(real.shape) >= 2 and (positive.size or negative.size):
        if positive.size:
            ax.contour(x.values, y.values, real, levels=positive, colors="tab:blue", linewidths=0.7)
        if negative.size:
            ax.contour(x.values, y.values, real, levels=negative, colors="tab:red", linewidths=0.7)
    else:  # too small or flat for contours: show the samples as an image
        extent = (float(x.values[0]), float(x.values[-1]), float(y.values[-1]), float(y.values[0]))
        ax.imshow(real, aspect="auto", extent=extent, cmap="RdBu_r", interpolation="nearest")
    ax.set_xlabel(x.label)
    ax.set_ylabel(y.label)
    if (limits := _limits(x.values, x.unit)) is not None:
        ax.set_xlim(*limits)
    if (limits := _limits(y.values, y.unit)) is not None:
        ax.set_ylim(*limits)


def plot_format(path: str | os.PathLike[str]) -> str:
    """The format a plot file's name asks for (its suffix, lower case); ValueError when
    the suffix is missing or not one of PLOT_FORMATS."""
    suffix = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    if suffix not in PLOT_FORMATS:
        what = (
            f"the suffix .{printable(suffix)} names no plot format" if suffix else "no suffix names the plot's format"
        )
        raise ValueError(f"{what}; end the name in " + ", ".join(f".{name}" for name in PLOT_FORMATS))
    return suffix


def _check_drawable(values: NDArray[np.complex128], *, spectrum: bool) -> None:
    """Raises ValueError when the plot would show nothing: samples that are all NaN or
    infinite, or a spectrum of samples among which one is (the transform spreads it
    over every point)."""
    finite = np.isfinite(values)
    bad = int(values.size - np.count_nonzero(finite))
    if bad and (spectrum or bad == values.size):
        held = f"{bad} of the {values.size} samples are NaN or infinite"
        raise ValueError(
            f"{held}; their spectrum has no finite point to draw" if spectrum else f"{held}; there is nothing to draw"
        )


def plot_document(
    document: VornDataFile | VornFile,
    path: str | os.PathLike[str],
    *,
    title: str | None = None,
    fid: bool = False,
    processed: bool = True,
    inputs: Iterable[str | os.PathLike[str]] = (),
) -> None:
    """Writes a plot of the document to `path`, in the format its suffix names: the
    spectrum of a time-domain file (phased, flattened, referenced and its peaks marked
    unless not `processed`), or with `fid` (and for other files) the samples.

    Raises ValueError for a suffix that names no plot format (see plot_format), or when
    the file holds no samples. The image is written atomically (vorn_tools.exports.atomic),
    never over one of `inputs` (ReplacesInput).
    """
    fmt = plot_format(path)
    if isinstance(document, VornFile):  # decoded straight into arrays
        arrays = document.to_numpy()
        headers, info = document.headers, document.info
    else:
        arrays = to_numpy(document)
        headers, info = document["headers"], document["info"]
    if arrays.values.size == 0:
        raise ValueError("the file holds no samples to plot")
    figure = Figure(figsize=(7.0, 4.0), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    ax = figure.add_subplot()
    _check_drawable(arrays.values, spectrum=not fid and arrays.axes[0].domain == "time")
    if not fid and arrays.axes[0].domain == "time":
        spectrum = (
            transform(arrays, info, phase="auto", baseline="auto", reference="auto")
            if processed
            else transform(arrays, info)
        )
        arrays = SpectrumArrays(spectrum.layout, spectrum.values, spectrum.mixed, spectrum.axes)
        if arrays.layout == "One_D":
            _one_d_spectrum(ax, arrays, spectrum.peaks() if processed else None)
        else:
            _two_d(ax, arrays)
    elif arrays.layout == "One_D":
        _one_d(ax, arrays)
    else:
        _two_d(ax, arrays)
    if title is None:
        experiment = info["experiment"]
        title = " - ".join(
            part for part in (headers["title"], experiment if isinstance(experiment, str) else "") if part
        )
    ax.set_title(printable(title), fontsize=11)
    write_atomically(path, lambda file: figure.savefig(file, format=fmt), inputs=inputs)
