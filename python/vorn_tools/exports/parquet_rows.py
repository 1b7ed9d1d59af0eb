"""The per-file work of a Parquet conversion (vorn_tools.exports.parquet): each file becomes one
row, kept as plain Python columns. Nothing here imports pyarrow, so the worker
processes that run it start quickly; the record batches are made from these columns
where the dataset is written (or by vorn_tools.exports.parquet.convert_chunk on a Dask worker).
"""

from __future__ import annotations

import datetime
import errno
import hashlib
import os
import stat
from collections.abc import Sequence
from typing import Any, cast

from ..arrays.units import unit_symbol, value_text
from ..reading.errors import ParseError
from ..reading.files import VornFile

TYPE_CHECKING = False
if TYPE_CHECKING:
    import numpy as np
    from vorn_parser import Date, Unit, UnitMagnitude

SECTIONS = ("re", "im", "re_im", "im_re")
# The index columns in schema order ("parameters" is made from FileRows.params).
INDEX_NAMES = (
    "path",
    "path_bytes",
    "size",
    "sha256",
    "layout",
    "data_type",
    "sample_bits",
    "sample",
    "solvent",
    "experiment",
    "nucleus",
    "observe_frequency_hz",
    "spectral_width_hz",
    "offset",
    "offset_unit",
    "scans",
    "temperature",
    "temperature_unit",
    "dimension",
    "points",
    "digital_filter",
    "created",
    "revised",
    "parameters",
    "headers",
)
PARAMETER_NAMES = ("name", "kind", "value", "value_float", "unit")
# Samples keep the file's width: a 32-bit file fills the _f32 columns, a 64-bit one
# the _f64 columns; the other width's are None.
SAMPLE_COLUMNS = tuple(f"{name}_f{bits}" for bits in (32, 64) for name in SECTIONS)


def to_date(date: Date) -> datetime.date | None:
    try:
        return datetime.date(date["year"], date["month"], date["day"])
    except (ValueError, OverflowError):
        return None


_UNIT_TEXTS: dict[tuple[str, int, str], str] = {}


def _unit_text(unit: tuple[str, int, str]) -> str:
    """The symbol of a parameter's first unit given as (prefix, power, base); "" for a
    unit without a base. Units repeat across parameters and files, so each is worked
    out once."""
    text = _UNIT_TEXTS.get(unit)
    if text is None:
        prefix, power, base = unit
        # The native reader gives the names as plain str; they are names from the unit tables.
        text = "" if base == "None" else unit_symbol(cast("Unit", {"prefix": prefix, "power": power, "base": base}))
        _UNIT_TEXTS[unit] = text
    return text


# Parameter names and kinds repeat from file to file: one object for each, so that
# the rows sent from a worker carry each once (pickle writes a repeated object as a
# reference). Bounded: an archive of ever new names stops adding at SHARED_AT_MOST.
_SHARED_TEXTS: dict[str, str] = {}
SHARED_AT_MOST = 65536


def _shared(texts: list[str]) -> list[str]:
    known = _SHARED_TEXTS
    if len(known) < SHARED_AT_MOST:
        return [known.setdefault(text, text) for text in texts]
    return [known.get(text, text) for text in texts]


def _hertz(quantities: list[UnitMagnitude]) -> list[float | None]:
    return [q["magnitude"] if q["unit"] == "Hertz" else None for q in quantities]


def name_text(name: str) -> str:
    """A file name as text that any UTF-8 consumer takes: the name itself when it is
    UTF-8, else with each byte that is not part of UTF-8 written as \\xNN (the name's
    exact bytes are kept beside it, in `path_bytes`)."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # bytes the file system gave that are not UTF-8
        return os.fsencode(name).decode("utf-8", "backslashreplace")
    return name


def file_content(path: str) -> bytes:
    """The whole file, read once (hashed, then parsed from memory). Opened without
    blocking and checked to be a regular file, so an entry replaced by a pipe or a
    device after the folder was listed cannot hang the worker."""
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    with os.fdopen(fd, "rb", buffering=0) as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        return file.readall()


class FileRows:
    """The rows of a chunk of files as columns, filled file by file."""

    def __init__(self, with_data: bool) -> None:
        self.with_data = with_data
        self.index: dict[str, list[Any]] = {name: [] for name in INDEX_NAMES if name != "parameters"}
        self.params: dict[str, list[Any]] = {name: [] for name in PARAMETER_NAMES}
        self.param_offsets = [0]
        self.shape: list[list[int]] = []
        self.samples: dict[str, list[np.ndarray | None]] = {name: [] for name in SAMPLE_COLUMNS}
        # After pack(): each sample column as (all rows' values end to end, each row's
        # length, whether each row has none), so that the receiver copies nothing more.
        self.packed: dict[str, tuple[np.ndarray, np.ndarray, np.ndarray]] = {}

    def add(self, rel: str, size: int, digest: str, opened: VornFile) -> None:
        headers, info = opened.headers, opened.info
        bits = 32 if headers["dataType"].startswith("32") else 64
        row = {
            "path": name_text(rel),
            "path_bytes": os.fsencode(rel),
            "size": size,
            "sha256": digest,
            "layout": headers["dataFormat"],
            "data_type": headers["dataType"],
            "sample_bits": bits,
            "sample": value_text(info["sampleName"]),
            "solvent": value_text(info["solvent"]),
            "experiment": value_text(info["experiment"]),
            "nucleus": [value_text(n) for n in info["nucleus"]],
            "observe_frequency_hz": _hertz(info["originFrequency"]),
            "spectral_width_hz": _hertz(info["spectralWidth"]),
            "offset": [q["magnitude"] for q in info["frequencyOffset"]],
            "offset_unit": [q["unit"] for q in info["frequencyOffset"]],
            "scans": value_text(info["numberOfScans"]),
            "temperature": info["temperature"]["magnitude"],
            "temperature_unit": info["temperature"]["unit"],
            "dimension": info["dimension"],
            "points": info["dataPoints"],
            "digital_filter": info["digitalFilter"],
            "created": to_date(info["creationTime"]),
            "revised": to_date(info["revisionTime"]),
            "headers": headers,
        }
        names, kinds, texts, floats, unit_index, units = opened.parameter_columns()
        symbols = [_unit_text(unit) for unit in units] + [""]  # index -1: no unit
        param_columns: dict[str, Sequence[str | float | None]] = {
            "name": _shared(names),
            "kind": _shared(kinds),
            "value": texts,
            "value_float": floats,
            "unit": [symbols[index] for index in unit_index],
        }
        samples: dict[str, np.ndarray | None] = {}
        shape: list[int] = []
        if self.with_data:
            # The decoded sections as they are (float64, views of the samples); pack()
            # writes them in the file's width into one array per column.
            sections = opened.sections()
            shape = list(sections["re"].shape)
            # A four-section file of no rows still has its mixed sections, empty ones:
            # stored as empty lists like its other two, never as nulls.
            if "re_im" not in sections and opened._samples()[1] is not None:
                empty = sections["re"][:0]
                sections = {**sections, "re_im": empty, "im_re": empty}
            for name in SECTIONS:
                for width in (32, 64):
                    samples[f"{name}_f{width}"] = sections.get(name) if width == bits else None
        # Everything is made: the row goes in whole (a failure above leaves no part of it).
        for name, column in self.index.items():
            column.append(row[name])
        for name, items in param_columns.items():
            self.params[name] += items
        self.param_offsets.append(len(self.params["name"]))
        if self.with_data:
            self.shape.append(shape)
            for name, part in samples.items():
                self.samples[name].append(part)

    def pack(self) -> None:
        """Joins each sample column's rows into one array (with data only)."""
        if not self.with_data:
            return
        import numpy as np

        for name, parts in self.samples.items():
            lengths = np.fromiter((0 if part is None else part.size for part in parts), np.int64, len(parts))
            missing = np.fromiter((part is None for part in parts), np.bool_, len(parts))
            # One pass: each section converted (float32 of a 32-bit file's samples is
            # exact) straight into its place.
            values = np.empty(int(lengths.sum()), np.float32 if name.endswith("_f32") else np.float64)
            start = 0
            for part in parts:
                if part is not None:
                    place = values[start : start + part.size].reshape(part.shape)
                    with np.errstate(invalid="ignore"):  # a signalling NaN: its bits are mended below
                        place[...] = part
                    if values.dtype == np.float32:
                        _keep_nan_bits(place, part)
                    start += part.size
            self.packed[name] = (values, lengths, missing)
        self.samples = {}


def _keep_nan_bits(narrow: np.ndarray, wide: np.ndarray) -> None:
    """Writes the NaNs of float64 `wide` into float32 `narrow` by their bits: the cast
    sets the quiet bit of a signalling NaN, this keeps the sign, the quiet bit and the
    payload that widening a 32-bit NaN put at the top of the fraction."""
    import numpy as np

    nan = np.isnan(wide)
    if not nan.any():
        return
    bits = wide[nan].view(np.uint64)  # a boolean index gives a new contiguous array
    narrow_bits = (
        ((bits >> np.uint64(32)) & np.uint64(0x80000000))
        | np.uint64(0x7F800000)
        | ((bits >> np.uint64(29)) & np.uint64(0x007FFFFF))
    )
    narrow.view(np.uint32)[nan] = narrow_bits.astype(np.uint32)


def read_rows(jobs: Sequence[tuple[str, str]], with_data: bool) -> tuple[FileRows, list[tuple[str, str]]]:
    """Reads files given as (path, path relative to the input folder): their rows in
    the order given, and (relative path, reason) for those that could not be read.
    Runs in a worker: every failure but an interrupt becomes a reason."""
    rows = FileRows(with_data)
    errors = []
    for source, rel in jobs:
        try:
            content = file_content(source)
            digest = hashlib.sha256(content).hexdigest()
            opened = VornFile(content, _samples_now=with_data)
            if not with_data:
                opened.require_whole()  # no samples decoded: a cut file is found by its size
            rows.add(rel, len(content), digest, opened)
        except ParseError as exc:
            errors.append((rel, exc.reason))
        except OSError as exc:
            errors.append((rel, f"cannot read the file: {exc.strerror or exc}"))
        except MemoryError:
            errors.append((rel, "out of memory"))
        except Exception as exc:  # a worker reports, it never dies of a bad file
            errors.append((rel, f"cannot convert the file: {exc or 'no reason given'}"))
    rows.pack()
    return rows, errors
