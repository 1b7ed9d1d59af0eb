"""A folder of data files as a Parquet dataset: one row per file. Needs pyarrow (the
"parquet" extra).

The dataset is a folder holding nothing but `part-NNNNN.parquet` files (rows in the
inputs' sorted order), so that every reader takes the folder or a glob of it as it is:
DuckDB's `read_parquet('DS/*.parquet')` and `'DS/**/*.parquet'`, Polars'
`scan_parquet('DS')`, pyarrow.dataset, pandas, Spark. The errors table (columns
`path`, `reason`: the files that could not be read, possibly none) lies beside the
folder, as `DS.errors.parquet` (for a folder named `DS.parquet` too; see errors_path):
Polars and DuckDB read every file under the folder, whatever its name. Row groups hold
at most ROW_GROUP_BYTES of uncompressed data (a single file larger than that is a row
group of its own) and at most ROW_GROUP_ROWS rows; a part holds at most PART_BYTES of
uncompressed data; statistics and a page index are written, compression is zstd. The
same inputs give byte-identical files: no time, process id or host is written
anywhere.

Columns (see SCHEMA_DOC): the index (path relative to the input folder, as text and as
the file system's bytes (`path_bytes`; see below), size, SHA-256,
the summary's fields as typed columns, the parameters as a list of structs and the
header block as a struct), then with data the samples. Samples keep the file's width
in separate columns: `re_f32`, `im_f32` (and `re_im_f32`, `im_re_f32` for four-section
Two_D) hold a 32-bit file's sections, `re_f64` ... a 64-bit file's; the other width's
columns are null. Each section is flattened row by row (C order); `shape` gives
[points] for One_D or [rows, columns] for Two_D.

File names: `path_bytes` holds a name's exact bytes. `path` is the same name as text:
as it is when it is UTF-8 (nearly always), else with each byte that is not part of
UTF-8 written as `\\xNN` (so `x\\xff.vdf` for the bytes 78 ff 2e ...); `path_bytes`
is the lossless one.

The per-file work (`convert_chunk`) runs in worker processes or on Dask workers and
returns an Arrow record batch; the parent writes them in order.
"""

from __future__ import annotations

import os
import queue
import re
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]

from .parquet_rows import INDEX_NAMES, PARAMETER_NAMES, SAMPLE_COLUMNS, FileRows, read_rows

# numpy and pyarrow.parquet are imported where they are used (where samples are
# written, and where files are).
TYPE_CHECKING = False
if TYPE_CHECKING:
    import numpy as np
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

ROW_GROUP_BYTES = 128 * 1024 * 1024
ROW_GROUP_ROWS = 1024
PART_BYTES = 1024 * 1024 * 1024
ERRORS_SUFFIX = ".errors.parquet"
LEGACY_ERRORS_NAME = "_errors.parquet"  # where earlier versions put it, inside the folder
PART_PREFIX = "part-"
# The names of the parts a run writes: with the marker in their metadata, the only
# files a later run removes (see vorn_tools.archive.dataset_files).
PART_NAME = re.compile(rf"{re.escape(PART_PREFIX)}[0-9]{{5,}}\.parquet")
MARKER_KEY = b"vorn_tools.dataset"  # in the key-value metadata of every file a run writes
COMPRESSION = "zstd"

_UNIT = pa.struct([("prefix", pa.string()), ("power", pa.int64()), ("base", pa.string())])
_DATE = pa.struct([("year", pa.int64()), ("month", pa.int64()), ("day", pa.int64())])
_COMPOUND = pa.struct([("scaler", pa.int64()), ("unit", pa.list_(pa.int64()))])
_S, _I, _F, _B = pa.string(), pa.int64(), pa.float64(), pa.bool_()
_LS, _LI, _LF, _LB = pa.list_(_S), pa.list_(_I), pa.list_(_F), pa.list_(_B)
HEADER_TYPE = pa.struct(
    [
        ("fileIdentifier", _S),
        ("endian", _S),
        ("majorVersion", _I),
        ("minorVersion", _I),
        ("dataDimensionNumber", _I),
        ("dataDimensionExist", _LB),
        ("dataType", _S),
        ("dataFormat", _S),
        ("dataInstrument", _S),
        ("translate", _LI),
        ("dataAxisType", _LS),
        ("dataUnits", pa.list_(_UNIT)),
        ("title", _S),
        ("dataAxisRanged", _LS),
        ("dataPoints", _LI),
        ("dataOffsetStart", _LI),
        ("dataOffsetStop", _LI),
        ("dataAxisStart", _LF),
        ("dataAxisStop", _LF),
        ("creationTime", _DATE),
        ("revisionTime", _DATE),
        ("nodeName", _S),
        ("site", _S),
        ("author", _S),
        ("comment", _S),
        ("dataAxisTitles", _LS),
        ("baseFreq", _LF),
        ("zeroPoint", _LF),
        ("reversed", _LB),
        ("annotationOk", _B),
        ("historyUsed", _I),
        ("historyLength", _I),
        ("paramStart", _I),
        ("paramLength", _I),
        ("listStart", _LI),
        ("listLength", _LI),
        ("dataStart", _I),
        ("dataLength", _I),
        ("contextStart", _I),
        ("contextLength", _I),
        ("annoteStart", _I),
        ("annoteLength", _I),
        ("totalSize", _I),
        ("unitLocation", _LI),
        ("compoundUnit", pa.list_(_COMPOUND)),
    ]
)
PARAMETER_TYPE = pa.struct([("name", _S), ("kind", _S), ("value", _S), ("value_float", _F), ("unit", _S)])

INDEX_FIELDS = [
    pa.field("path", _S, nullable=False),
    pa.field("path_bytes", pa.binary(), nullable=False),
    pa.field("size", _I),
    pa.field("sha256", _S),
    pa.field("layout", _S),
    pa.field("data_type", _S),
    pa.field("sample_bits", pa.int8()),
    pa.field("sample", _S),
    pa.field("solvent", _S),
    pa.field("experiment", _S),
    pa.field("nucleus", _LS),
    pa.field("observe_frequency_hz", _LF),
    pa.field("spectral_width_hz", _LF),
    pa.field("offset", _LF),
    pa.field("offset_unit", _LS),
    pa.field("scans", _S),
    pa.field("temperature", _F),
    pa.field("temperature_unit", _S),
    pa.field("dimension", pa.int32()),
    pa.field("points", _LI),
    pa.field("digital_filter", _F),
    pa.field("created", pa.date32()),
    pa.field("revised", pa.date32()),
    pa.field("parameters", pa.list_(PARAMETER_TYPE)),
    pa.field("headers", HEADER_TYPE),
]
DATA_FIELDS = [pa.field("shape", _LI)] + [
    pa.field(name, pa.large_list(pa.float32() if name.endswith("_f32") else pa.float64())) for name in SAMPLE_COLUMNS
]
# The rows are filled by name (vorn_tools.exports.parquet_rows): the same names, in this order
# (checked at import, also under python -O).
if tuple(field.name for field in INDEX_FIELDS) != INDEX_NAMES or tuple(PARAMETER_TYPE.names) != PARAMETER_NAMES:
    raise ImportError("vorn_tools.exports.parquet: the schema's columns differ from parquet_rows' names")
INDEX_SCHEMA = pa.schema(INDEX_FIELDS)
DATA_SCHEMA = pa.schema(INDEX_FIELDS + DATA_FIELDS)
ERRORS_SCHEMA = pa.schema(
    [
        pa.field("path", _S, nullable=False),
        pa.field("reason", _S, nullable=False),
        pa.field("path_bytes", pa.binary(), nullable=False),
    ]
)
# Dictionary encoding pays for the text columns; for samples it is only wasted work.
_DICTIONARY_COLUMNS = [
    "layout",
    "data_type",
    "sample",
    "solvent",
    "experiment",
    "nucleus",
    "offset_unit",
    "scans",
    "temperature_unit",
    "parameters",
]


def schema(with_data: bool) -> pa.Schema:
    return DATA_SCHEMA if with_data else INDEX_SCHEMA


def record_batch(rows: FileRows) -> pa.RecordBatch:
    """The rows of a chunk as a record batch of the dataset's schema."""
    arrays = []
    for field in INDEX_FIELDS:
        if field.name == "parameters":
            values = pa.StructArray.from_arrays(
                [pa.array(rows.params[name], type=PARAMETER_TYPE.field(name).type) for name in PARAMETER_TYPE.names],
                fields=list(PARAMETER_TYPE),
            )
            arrays.append(pa.ListArray.from_arrays(pa.array(rows.param_offsets, pa.int32()), values))
        else:
            arrays.append(pa.array(rows.index[field.name], type=field.type))
    if rows.with_data:
        arrays.append(pa.array(rows.shape, type=_LI))
        for field in DATA_FIELDS[1:]:
            arrays.append(_list_column(*rows.packed[field.name], field.type))
    return pa.RecordBatch.from_arrays(arrays, schema=schema(rows.with_data))


def _list_column(values: np.ndarray, lengths: np.ndarray, missing: np.ndarray, list_type: pa.DataType) -> pa.Array:
    """A large-list column from its rows' values end to end, each row's length and
    whether each row is null; the values are not copied."""
    import numpy as np

    offsets = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return pa.LargeListArray.from_arrays(
        pa.array(offsets), pa.array(values, type=list_type.value_type), mask=pa.array(missing, pa.bool_())
    )


def convert_chunk(jobs: Sequence[tuple[str, str]], with_data: bool) -> tuple[pa.RecordBatch, list[tuple[str, str]]]:
    """Reads files given as (path, path relative to the input folder): a record batch
    of their rows in the order given, and (relative path, reason) for those that could
    not be read (see archive_rows.read_rows)."""
    rows, errors = read_rows(jobs, with_data)
    return record_batch(rows), errors


def row_nbytes(batch: pa.RecordBatch) -> list[int]:
    """An estimate of each row's uncompressed size: its samples plus an even share of
    the rest."""
    import numpy as np

    rows = batch.num_rows
    if rows == 0:
        return []
    sizes = np.zeros(rows, np.int64)
    rest = 0
    for field, column in zip(batch.schema, batch.columns, strict=True):
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
    temporary names in the dataset's folder until `finish` renames them into place.

    The writing (encoding and compression) runs in a thread of its own, so that the
    caller goes on taking results in meanwhile; at most QUEUED_BATCHES wait for it."""

    QUEUED_BATCHES = 4

    def __init__(self, folder: Path, with_data: bool, temporary: Any) -> None:
        self.folder, self.schema, self._temporary = folder, schema(with_data), temporary
        self._rows: list[pa.RecordBatch] = []
        self._bytes = 0  # of the rows waiting for their row group
        self._count = 0
        self._writer: pq.ParquetWriter | None = None
        self._part_bytes = 0  # of the row groups in the open part
        self.parts: list[tuple[Path, Path]] = []  # (temporary, final)
        self._queue: queue.Queue[pa.RecordBatch | None] = queue.Queue(self.QUEUED_BATCHES)
        self._thread: threading.Thread | None = None
        self._failure: BaseException | None = None
        self._abandoned = False

    def _options(self) -> dict[str, Any]:
        # Samples are stored byte-stream split (the first bytes of all values, then the
        # second bytes, ...): sign and exponent bytes then compress well, a dataset of
        # noisy 32-bit FIDs ends up about a fifth smaller for a little less work.
        samples = [f"{name}.list.element" for name in SAMPLE_COLUMNS if name in self.schema.names]
        return dict(
            compression=COMPRESSION,
            write_statistics=True,
            write_page_index=True,
            use_dictionary=[name for name in _DICTIONARY_COLUMNS if name in self.schema.names],
            use_byte_stream_split=samples or False,
        )

    def _flush(self) -> None:
        if not self._rows:
            return
        # The batches are written as they are, not joined first: they are split by the
        # number of files alone (batch._chunks), so the bytes written do not depend on
        # how the work was spread.
        table = pa.Table.from_batches(self._rows, schema=self.schema)
        group_bytes = self._bytes
        self._rows, self._bytes, self._count = [], 0, 0
        if self._writer is None or self._part_bytes + group_bytes > PART_BYTES:
            self._close_part()
            final = self.folder / f"{PART_PREFIX}{len(self.parts):05d}.parquet"
            path, file = self._temporary(final)
            file.close()
            self.parts.append((path, final))
            import pyarrow.parquet as pq

            self._writer = pq.ParquetWriter(path, marked(self.schema), **self._options())
            self._part_bytes = 0
        self._writer.write_table(table, row_group_size=max(table.num_rows, 1))
        self._part_bytes += group_bytes

    def _close_part(self) -> None:
        if self._writer is not None:
            self._writer.close()
            self._writer = None

    def _take(self, batch: pa.RecordBatch) -> None:
        """A row group is written whenever the next row would take it past
        ROW_GROUP_BYTES or ROW_GROUP_ROWS (rows are small without samples: groups of
        a bounded number of them are written while the conversion goes on, not all at
        its end)."""
        start = 0
        for row, size in enumerate(row_nbytes(batch)):
            if self._bytes and (self._bytes + size > ROW_GROUP_BYTES or self._count >= ROW_GROUP_ROWS):
                self._rows.append(batch.slice(start, row - start))
                start = row
                self._flush()
            self._bytes += size
            self._count += 1
        if start < batch.num_rows:
            self._rows.append(batch.slice(start))

    def _run(self) -> None:
        while (batch := self._queue.get()) is not None:
            if self._failure is None and not self._abandoned:
                try:
                    self._take(batch)
                except BaseException as exc:  # handed to the caller by add or finish
                    self._failure = exc

    def _raise_failure(self) -> None:
        if self._failure is not None:
            raise self._failure

    def add(self, batch: pa.RecordBatch) -> None:
        """Adds rows (written in the order given)."""
        self._raise_failure()
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="vorn-parquet-writer", daemon=True)
            self._thread.start()
        self._queue.put(batch)

    def _stop(self) -> None:
        if self._thread is not None:
            self._queue.put(None)
            self._thread.join()
            self._thread = None

    def finish(self) -> list[Path]:
        """Writes what is left (an empty part when there were no rows at all, so the
        dataset still has its schema) and returns the temporary files in part order."""
        self._stop()
        self._raise_failure()
        if self._rows or not self.parts:
            if not self._rows:
                self._rows.append(pa.RecordBatch.from_pylist([], schema=self.schema))
            self._flush()
        self._close_part()
        return [path for path, _ in self.parts]

    def abandon(self) -> None:
        self._abandoned = True
        self._stop()
        self._close_part()
        for path, _ in self.parts:
            path.unlink(missing_ok=True)


def combine(batches: Sequence[Any], with_data: bool) -> list[Any]:
    """Record batches as one, the batch their chunk would have given (a chunk converted
    again file by file)."""
    return list(pa.Table.from_batches(list(batches), schema=schema(with_data)).combine_chunks().to_batches())


def marked(schema: pa.Schema) -> pa.Schema:
    """The schema with the marker that says a run of this conversion wrote the file."""
    return schema.with_metadata({MARKER_KEY: b"1"})


def is_marked(path: Path) -> bool:
    """Whether the Parquet file at `path` carries the marker (False for any other file)."""
    import pyarrow.parquet as pq

    try:
        metadata = pq.read_metadata(path).metadata or {}
    except (OSError, pa.ArrowException):
        return False
    return metadata.get(MARKER_KEY) == b"1"


def write_errors(path: Path, errors: Sequence[tuple[str, str]]) -> None:
    import pyarrow.parquet as pq

    from .parquet_rows import name_text

    table = pa.table(
        {
            "path": [name_text(p) for p, _ in errors],
            "reason": [r for _, r in errors],
            "path_bytes": [os.fsencode(p) for p, _ in errors],
        },
        schema=marked(ERRORS_SCHEMA),
    )
    pq.write_table(table, path, compression=COMPRESSION, write_statistics=True, write_page_index=True)


def errors_path(folder: Path) -> Path:
    """Where the errors table of the dataset `folder` goes: beside it, named for it
    ("DS" and "DS.parquet" both give "DS.errors.parquet")."""
    if folder.name in ("", ".", ".."):
        folder = folder.resolve()
    name = folder.name.removesuffix(".parquet") or folder.name
    return folder.with_name(name + ERRORS_SUFFIX)


def relative_name(path: str | os.PathLike[str], folder: str | os.PathLike[str] | None) -> str:
    """The path as stored: relative to `folder` with "/" between parts, else as given."""
    if folder is None:
        return Path(path).as_posix()
    return Path(path).relative_to(folder).as_posix()
