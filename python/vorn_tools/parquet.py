"""A folder of data files as a Parquet dataset: one row per file. Needs pyarrow (the
"parquet" extra).

The dataset is a folder holding `part-NNNNN.parquet` files (rows in the inputs' sorted
order, a new part every PART_ROW_GROUPS row groups) and `_errors.parquet` (columns
`path`, `reason`: the files that could not be read, possibly none). pyarrow.dataset
leaves names starting with "_" or "." out of a dataset, so the errors table is not
read as rows. Row groups hold at most ROW_GROUP_BYTES of uncompressed data (a single
file larger than that is a row group of its own); statistics and a page index are
written, compression is zstd. The same inputs give byte-identical files: no time,
process id or host is written anywhere.

Columns (see SCHEMA_DOC): the index (path relative to the input folder, size, SHA-256,
the summary's fields as typed columns, the parameters as a list of structs and the
header block as a struct), then with data the samples. Samples keep the file's width
in separate columns: `re_f32`, `im_f32` (and `re_im_f32`, `im_re_f32` for four-section
Two_D) hold a 32-bit file's sections, `re_f64` ... a 64-bit file's; the other width's
columns are null. Each section is flattened row by row (C order); `shape` gives
[points] for One_D or [rows, columns] for Two_D.

The per-file work (`convert_chunk`) runs in worker processes or on Dask workers and
returns an Arrow record batch; the parent writes them in order.
"""

from __future__ import annotations

import datetime
import hashlib
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from .errors import ParseError
from .files import open as open_file
from .units import unit_symbol, value_text

ROW_GROUP_BYTES = 128 * 1024 * 1024
PART_ROW_GROUPS = 8
ERRORS_NAME = "_errors.parquet"
PART_PREFIX = "part-"
SECTIONS = ("re", "im", "re_im", "im_re")
COMPRESSION = "zstd"

_UNIT = pa.struct([("prefix", pa.string()), ("power", pa.int64()), ("base", pa.string())])
_DATE = pa.struct([("year", pa.int64()), ("month", pa.int64()), ("day", pa.int64())])
_COMPOUND = pa.struct([("scaler", pa.int64()), ("unit", pa.list_(pa.int64()))])
_S, _I, _F, _B = pa.string(), pa.int64(), pa.float64(), pa.bool_()
_LS, _LI, _LF, _LB = pa.list_(_S), pa.list_(_I), pa.list_(_F), pa.list_(_B)
HEADER_TYPE = pa.struct([
    ("fileIdentifier", _S), ("endian", _S), ("majorVersion", _I), ("minorVersion", _I),
    ("dataDimensionNumber", _I), ("dataDimensionExist", _LB), ("dataType", _S), ("dataFormat", _S),
    ("dataInstrument", _S), ("translate", _LI), ("dataAxisType", _LS), ("dataUnits", pa.list_(_UNIT)),
    ("title", _S), ("dataAxisRanged", _LS), ("dataPoints", _LI), ("dataOffsetStart", _LI),
    ("dataOffsetStop", _LI), ("dataAxisStart", _LF), ("dataAxisStop", _LF), ("creationTime", _DATE),
    ("revisionTime", _DATE), ("nodeName", _S), ("site", _S), ("author", _S), ("comment", _S),
    ("dataAxisTitles", _LS), ("baseFreq", _LF), ("zeroPoint", _LF), ("reversed", _LB),
    ("annotationOk", _B), ("historyUsed", _I), ("historyLength", _I), ("paramStart", _I),
    ("paramLength", _I), ("listStart", _LI), ("listLength", _LI), ("dataStart", _I), ("dataLength", _I),
    ("contextStart", _I), ("contextLength", _I), ("annoteStart", _I), ("annoteLength", _I),
    ("totalSize", _I), ("unitLocation", _LI), ("compoundUnit", pa.list_(_COMPOUND)),
])
PARAMETER_TYPE = pa.struct([("name", _S), ("kind", _S), ("value", _S), ("value_float", _F), ("unit", _S)])

INDEX_FIELDS = [
    pa.field("path", _S, nullable=False), pa.field("size", _I), pa.field("sha256", _S),
    pa.field("layout", _S), pa.field("data_type", _S), pa.field("sample_bits", pa.int8()),
    pa.field("sample", _S), pa.field("solvent", _S), pa.field("experiment", _S),
    pa.field("nucleus", _LS), pa.field("observe_frequency_hz", _LF), pa.field("spectral_width_hz", _LF),
    pa.field("offset", _LF), pa.field("offset_unit", _LS), pa.field("scans", _S),
    pa.field("temperature", _F), pa.field("temperature_unit", _S), pa.field("dimension", pa.int32()),
    pa.field("points", _LI), pa.field("digital_filter", _F), pa.field("created", pa.date32()),
    pa.field("revised", pa.date32()), pa.field("parameters", pa.list_(PARAMETER_TYPE)),
    pa.field("headers", HEADER_TYPE),
]
DATA_FIELDS = [pa.field("shape", _LI)] + [
    pa.field(f"{name}_f{bits}", pa.large_list(pa.float32() if bits == 32 else pa.float64()))
    for bits in (32, 64) for name in SECTIONS]
INDEX_SCHEMA = pa.schema(INDEX_FIELDS)
DATA_SCHEMA = pa.schema(INDEX_FIELDS + DATA_FIELDS)
ERRORS_SCHEMA = pa.schema([pa.field("path", _S, nullable=False), pa.field("reason", _S, nullable=False)])
# Dictionary encoding pays for the text columns; for samples it is only wasted work.
_DICTIONARY_COLUMNS = ["layout", "data_type", "sample", "solvent", "experiment", "nucleus", "offset_unit",
                       "scans", "temperature_unit", "parameters"]


def schema(with_data: bool) -> pa.Schema:
    return DATA_SCHEMA if with_data else INDEX_SCHEMA


def value_float(value: Any) -> float | None:
    """A numeric parameter value as a float, else None."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


def to_date(date: dict[str, int]) -> datetime.date | None:
    try:
        return datetime.date(date["year"], date["month"], date["day"])
    except (ValueError, OverflowError):
        return None




def _unit_text(units: list[Any]) -> str:
    """The symbol of a parameter's (first) unit; "" for none."""
    if not units or units[0]["base"] == "None":
        return ""
    return unit_symbol(units[0])


_UNIT_TEXTS: dict[tuple[str, int, str], str] = {}


def _first_unit_text(unit: tuple[str, int, str] | None) -> str:
    """The symbol of a parameter's first unit given as (prefix, power, base); "" for
    none. Units repeat across parameters and files, so each is worked out once."""
    if unit is None:
        return ""
    text = _UNIT_TEXTS.get(unit)
    if text is None:
        prefix, power, base = unit
        text = _unit_text([{"prefix": prefix, "power": power, "base": base}])
        _UNIT_TEXTS[unit] = text
    return text


def _hertz(quantities: list[dict[str, Any]]) -> list[float | None]:
    return [q["magnitude"] if q["unit"] == "Hertz" else None for q in quantities]


def _digest(path: str) -> tuple[int, str]:
    with open(path, "rb") as file:
        content = file.read()
    return len(content), hashlib.sha256(content).hexdigest()


class _Columns:
    """The columns of one chunk of files, filled file by file."""

    def __init__(self, with_data: bool) -> None:
        self.with_data = with_data
        self.index: dict[str, list[Any]] = {field.name: [] for field in INDEX_FIELDS if field.name != "parameters"}
        self.params: dict[str, list[Any]] = {name: [] for name in PARAMETER_TYPE.names}
        self.param_offsets = [0]
        self.shape: list[list[int]] = []
        self.samples: dict[str, list[np.ndarray | None]] = {f.name: [] for f in DATA_FIELDS[1:]}

    def add(self, rel: str, size: int, digest: str, opened: Any, sections: dict[str, Any] | None) -> None:
        headers, info = opened.headers, opened.info
        bits = 32 if headers["dataType"].startswith("32") else 64
        row = {
            "path": rel, "size": size, "sha256": digest, "layout": headers["dataFormat"],
            "data_type": headers["dataType"], "sample_bits": bits,
            "sample": value_text(info["sampleName"]), "solvent": value_text(info["solvent"]),
            "experiment": value_text(info["experiment"]),
            "nucleus": [value_text(n) for n in info["nucleus"]],
            "observe_frequency_hz": _hertz(info["originFrequency"]),
            "spectral_width_hz": _hertz(info["spectralWidth"]),
            "offset": [q["magnitude"] for q in info["frequencyOffset"]],
            "offset_unit": [q["unit"] for q in info["frequencyOffset"]],
            "scans": value_text(info["numberOfScans"]),
            "temperature": info["temperature"]["magnitude"], "temperature_unit": info["temperature"]["unit"],
            "dimension": info["dimension"], "points": info["dataPoints"],
            "digital_filter": info["digitalFilter"],
            "created": to_date(info["creationTime"]), "revised": to_date(info["revisionTime"]),
            "headers": headers,
        }
        names, kinds, values, units = opened.parameter_columns()
        param_columns = {
            "name": names,
            "kind": kinds,
            "value": [value if type(value) is str else value_text(value) for value in values],
            "value_float": [float(value) if type(value) in (int, float) else None for value in values],
            "unit": [_first_unit_text(unit) for unit in units],
        }
        samples: dict[str, np.ndarray | None] = {}
        if self.with_data:
            assert sections is not None
            dtype = np.float32 if bits == 32 else np.float64
            for name in SECTIONS:
                for width in (32, 64):
                    section = sections.get(name) if width == bits else None
                    samples[f"{name}_f{width}"] = (
                        None if section is None else np.ascontiguousarray(section, dtype=dtype).reshape(-1))
        # Everything is made: the row goes in whole (a failure above leaves no part of it).
        for name, column in self.index.items():
            column.append(row[name])
        for name, items in param_columns.items():
            self.params[name] += items
        self.param_offsets.append(len(self.params["name"]))
        if self.with_data:
            assert sections is not None
            self.shape.append(list(sections["re"].shape))
            for name, part in samples.items():
                self.samples[name].append(part)

    def batch(self) -> pa.RecordBatch:
        arrays = []
        for field in INDEX_FIELDS:
            if field.name == "parameters":
                values = pa.StructArray.from_arrays(
                    [pa.array(self.params[name], type=PARAMETER_TYPE.field(name).type)
                     for name in PARAMETER_TYPE.names], fields=list(PARAMETER_TYPE))
                arrays.append(pa.ListArray.from_arrays(pa.array(self.param_offsets, pa.int32()), values))
            else:
                arrays.append(pa.array(self.index[field.name], type=field.type))
        if self.with_data:
            arrays.append(pa.array(self.shape, type=_LI))
            for field in DATA_FIELDS[1:]:
                arrays.append(_list_column(self.samples[field.name], field.type))
        return pa.RecordBatch.from_arrays(arrays, schema=schema(self.with_data))


def _list_column(parts: list[np.ndarray | None], list_type: pa.DataType) -> pa.Array:
    """A large-list column from one array (or None: null) per row, in one copy."""
    value_type = list_type.value_type
    lengths = np.fromiter((0 if part is None else part.size for part in parts), np.int64, len(parts))
    offsets = np.zeros(len(parts) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    present = [part for part in parts if part is not None]
    values = np.concatenate(present) if present else np.empty(0, value_type.to_pandas_dtype())
    mask = pa.array([part is None for part in parts], pa.bool_())
    return pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(values, type=value_type), mask=mask)


def convert_chunk(jobs: Sequence[tuple[str, str]], with_data: bool) -> tuple[pa.RecordBatch, list[tuple[str, str]]]:
    """Reads files given as (path, path relative to the input folder): a record batch
    of their rows in the order given, and (relative path, reason) for those that could
    not be read. Runs in a worker: every failure but an interrupt becomes a reason."""
    columns = _Columns(with_data)
    errors = []
    for source, rel in jobs:
        try:
            size, digest = _digest(source)
            opened = open_file(source)
            sections = opened.sections() if with_data else None
            columns.add(rel, size, digest, opened, sections)
        except ParseError as exc:
            errors.append((rel, exc.reason))
        except OSError as exc:
            errors.append((rel, f"cannot read the file: {exc.strerror or exc}"))
        except Exception as exc:  # a worker reports, it never dies of a bad file
            errors.append((rel, f"{type(exc).__name__}: {exc}"))
    return columns.batch(), errors


def row_nbytes(batch: pa.RecordBatch) -> list[int]:
    """An estimate of each row's uncompressed size: its samples plus an even share of
    the rest."""
    rows = batch.num_rows
    if rows == 0:
        return []
    sizes = np.zeros(rows, np.int64)
    rest = 0
    for field, column in zip(batch.schema, batch.columns):
        if pa.types.is_large_list(field.type):
            offsets = np.asarray(column.offsets)
            sizes += np.diff(offsets) * field.type.value_type.bit_width // 8
        else:
            rest += column.nbytes
    sizes += rest // rows
    result: list[int] = sizes.tolist()
    return result


class DatasetWriter:
    """Writes record batches given in order as the part files of a dataset, under
    temporary names in the dataset's folder until `finish` renames them into place."""

    def __init__(self, folder: Path, with_data: bool, temporary: Any) -> None:
        self.folder, self.schema, self._temporary = folder, schema(with_data), temporary
        self._rows: list[pa.RecordBatch] = []
        self._bytes = 0
        self._writer: pq.ParquetWriter | None = None
        self._groups = 0
        self.parts: list[tuple[Path, Path]] = []  # (temporary, final)

    def _options(self) -> dict[str, Any]:
        return dict(compression=COMPRESSION, write_statistics=True, write_page_index=True,
                    use_dictionary=[name for name in _DICTIONARY_COLUMNS if name in self.schema.names])

    def _flush(self) -> None:
        if not self._rows:
            return
        table = pa.Table.from_batches(self._rows, schema=self.schema).combine_chunks()
        self._rows, self._bytes = [], 0
        if self._writer is None or self._groups >= PART_ROW_GROUPS:
            self._close_part()
            final = self.folder / f"{PART_PREFIX}{len(self.parts):05d}.parquet"
            path, file = self._temporary(final)
            file.close()
            self.parts.append((path, final))
            self._writer = pq.ParquetWriter(path, self.schema, **self._options())
            self._groups = 0
        self._writer.write_table(table, row_group_size=max(table.num_rows, 1))
        self._groups += 1

    def _close_part(self) -> None:
        if self._writer is not None:
            self._writer.close()
            self._writer = None

    def add(self, batch: pa.RecordBatch) -> None:
        """Adds rows; a row group is written whenever the next row would take it past
        ROW_GROUP_BYTES."""
        start = 0
        for row, size in enumerate(row_nbytes(batch)):
            if self._bytes and self._bytes + size > ROW_GROUP_BYTES:
                self._rows.append(batch.slice(start, row - start))
                start = row
                self._flush()
            self._bytes += size
        if start < batch.num_rows:
            self._rows.append(batch.slice(start))

    def finish(self) -> list[Path]:
        """Writes what is left (an empty part when there were no rows at all, so the
        dataset still has its schema) and returns the temporary files in part order."""
        if self._rows or not self.parts:
            if not self._rows:
                self._rows.append(pa.RecordBatch.from_pylist([], schema=self.schema))
            self._flush()
        self._close_part()
        return [path for path, _ in self.parts]

    def abandon(self) -> None:
        self._close_part()
        for path, _ in self.parts:
            path.unlink(missing_ok=True)


def combine(batches: Sequence[Any], with_data: bool) -> list[Any]:
    """Record batches as one (a chunk converted again file by file)."""
    return list(pa.Table.from_batches(list(batches), schema=schema(with_data)).to_batches())


def write_errors(path: Path, errors: Sequence[tuple[str, str]]) -> None:
    table = pa.table({"path": [p for p, _ in errors], "reason": [r for _, r in errors]}, schema=ERRORS_SCHEMA)
    pq.write_table(table, path, compression=COMPRESSION, write_statistics=True, write_page_index=True)


def relative_name(path: str | os.PathLike[str], folder: str | os.PathLike[str] | None) -> str:
    """The path as stored: relative to `folder` with "/" between parts, else as given."""
    if folder is None:
        return Path(path).as_posix()
    return Path(path).relative_to(folder).as_posix()
