"""Tools for vorn_parser users: quiet parsing with ordinary exceptions, readable text,
strict JSON, numpy arrays, plots and batch conversion, and the `vorn` command.

numpy and matplotlib are optional: `to_numpy`, `spectrum`, `save_npz`, `to_jcamp` and
`write_jcamp` need numpy (the "numpy" extra), `plot_document` needs matplotlib (the "plot" extra).
"""

from __future__ import annotations

import os

from .reading.errors import ParseError, failure_reason, is_parse_failure
from .reading.files import VornFile, open
from .reading.optional import optional_module as _optional

TYPE_CHECKING = False  # typing itself is not imported: it costs more than the rest
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Literal

    from vorn_parser import VornDataFile

    from .arrays.samples import SpectrumArrays
    from .arrays.text import parameter_table, summary
    from .checking.report import Report, check
    from .exports.json import jsonable, to_json
    from .processing.fourier import Spectrum
    from .processing.steps import PhaseOption
    from .reading.documents import EXAMPLES, CapturedOutput, captured_output, example_path, read_file
    from .reading.files import Source

# Attributes imported from their modules on first use, so that `import vorn_tools`
# stays quick (tempfile, dataclasses and the parser are not needed to open a file).
_LAZY = {
    "jsonable": "exports.json",
    "to_json": "exports.json",
    "EXAMPLES": "reading.documents",
    "CapturedOutput": "reading.documents",
    "captured_output": "reading.documents",
    "example_path": "reading.documents",
    "read_file": "reading.documents",
    "parameter_table": "arrays.text",
    "summary": "arrays.text",
    "check": "checking.report",
    "Report": "checking.report",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        from importlib import import_module

        value = getattr(import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    # The version is looked up on first use: importlib.metadata costs more than the
    # rest of the import together.
    if name == "__version__":
        from importlib import metadata

        try:
            version = metadata.version("vorn_parser")
        except metadata.PackageNotFoundError:  # run from a source tree
            version = "unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "EXAMPLES",
    "CapturedOutput",
    "ParseError",
    "Report",
    "VornFile",
    "check",
    "open",
    "captured_output",
    "example_path",
    "failure_reason",
    "is_parse_failure",
    "jsonable",
    "parameter_table",
    "plot_document",
    "read_file",
    "save_npz",
    "spectrum",
    "summary",
    "to_jcamp",
    "to_json",
    "to_numpy",
    "write_jcamp",
]


def to_numpy(document: VornDataFile) -> SpectrumArrays:
    """The samples of a result document as complex numpy arrays (see vorn_tools.arrays)."""
    result: SpectrumArrays = _optional("arrays.samples", "numpy").to_numpy(document)
    return result


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
    """The spectrum of a file: time-domain data Fourier-transformed with its digital
    filter's group delay removed, in NMR order; on request phased, flattened and
    referenced automatically (phase, baseline, reference = "auto"; see
    vorn_tools.processing)."""
    result: Spectrum = _optional("processing.fourier", "numpy").spectrum(
        source,
        zero_fill=zero_fill,
        line_broadening=line_broadening,
        phase=phase,
        baseline=baseline,
        reference=reference,
        group_delay=group_delay,
    )
    return result


def save_npz(document: VornDataFile | VornFile, file: str | os.PathLike[str] | BinaryIO) -> None:
    """Writes the samples, axes and metadata of a document to an .npz file."""
    _optional("exports.npz", "numpy").save_npz(document, file)


def plot_document(
    document: VornDataFile,
    path: str | os.PathLike[str],
    *,
    title: str | None = None,
    fid: bool = False,
    processed: bool = True,
) -> None:
    """Writes a plot in the format the path's suffix names: .png, .pdf, .svg, ...; the
    spectrum of a time-domain file unless `fid`, phased, flattened and referenced
    automatically with its peaks marked unless not `processed` (see vorn_tools.exports.plot)."""
    _optional("exports.plot", "plot").plot_document(document, path, title=title, fid=fid, processed=processed)


def to_jcamp(
    source: Source | VornFile, *, spectrum: bool = False, encoding: str = "DIFDUP", form: str | None = None
) -> str:
    """The file as JCAMP-DX text: an NMR FID, or its spectrum (see vorn_tools.exports.jcamp)."""
    result: str = _optional("exports.jcamp", "numpy").to_jcamp(source, spectrum=spectrum, encoding=encoding, form=form)
    return result


def write_jcamp(
    source: Source | VornFile,
    path: str | os.PathLike[str],
    *,
    spectrum: bool = False,
    encoding: str = "DIFDUP",
    form: str | None = None,
) -> None:
    """Writes the file as JCAMP-DX text to `path` (see vorn_tools.exports.jcamp)."""
    _optional("exports.jcamp", "numpy").write_jcamp(source, path, spectrum=spectrum, encoding=encoding, form=form)
