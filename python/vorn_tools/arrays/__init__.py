"""Arrays: the samples of a document as numpy arrays with calibrated axes (samples), and
the text side of a document: unit symbols and numbers (units), the summary and the
parameter table (text).

    from vorn_tools.arrays import SpectrumArrays, Axis, to_numpy

The numpy names are looked up on first use, so that the text modules beside them need
no numpy.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from .samples import (
        Axis,
        Coordinate,
        SpectrumArrays,
        axes_for_shape,
        calibrate_axis,
        carrier_hz,
        from_native,
        nmr_frequencies,
        observe_frequency,
        spectral_width,
        to_numpy,
    )

__all__ = [
    "Axis",
    "Coordinate",
    "SpectrumArrays",
    "axes_for_shape",
    "calibrate_axis",
    "carrier_hz",
    "from_native",
    "nmr_frequencies",
    "observe_frequency",
    "spectral_width",
    "to_numpy",
]
_SAMPLES = frozenset(__all__)


def __getattr__(name: str) -> Any:
    if name in _SAMPLES:
        from . import samples

        value = getattr(samples, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
