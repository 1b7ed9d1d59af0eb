"""Data files as Dask collections. Needs the "dask" extra (dask[dataframe,bag], pyarrow).

    from vorn_tools.dask import read_info, read_arrays
    frame = read_info(sorted(glob.glob("archive/*.vdf")))   # one row per file
    frame[frame.solvent == "CDCL3"].compute()
    bag = read_arrays(paths)                                # SpectrumArrays per file

read_info gives the index columns of a `vorn --batch DIR --to parquet` dataset (see
vorn_tools.exports.parquet), with `path` as given (a name that is not UTF-8 escaped as the
dataset escapes it, its exact bytes in `path_bytes`); a file that cannot be read raises
its ParseError when its partition is computed. Every file is read by the native reader.
The paths sent to the workers are absolute, so a cluster whose workers run in other
folders reads the same files.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import dask.bag
    import dask.dataframe

    from ..arrays.samples import SpectrumArrays

try:  # what the collections need, named by the extra that installs it
    import dask
    import pyarrow  # type: ignore[import-untyped]  # noqa: F401
except ImportError as exc:
    raise ImportError(f"{exc.name or 'dask'} is not installed; pip install 'vorn_parser[dask]'", name=exc.name) from exc

FILES_PER_PARTITION = 64


def _info_partition(paths: Sequence[tuple[str, str]]) -> Any:
    """The rows of files given as (absolute path, path as given)."""
    from ..exports.parquet import convert_chunk
    from ..reading.errors import ParseError

    batch, errors = convert_chunk(paths, False)
    if errors:
        path, reason = errors[0]
        raise ParseError(path, reason)
    return _frame(batch)


def _frame(batch: Any) -> Any:
    """Arrow-backed columns, so Dask keeps the lists and structs as they are (it would
    turn object columns into strings)."""
    import pandas as pd  # type: ignore[import-untyped]

    return batch.to_pandas(types_mapper=pd.ArrowDtype)


def read_info(
    paths: Sequence[str | os.PathLike[str]], *, files_per_partition: int = FILES_PER_PARTITION
) -> dask.dataframe.DataFrame:
    """A Dask DataFrame of one row per file (in the order given), with the index
    columns of the Parquet dataset."""
    if isinstance(files_per_partition, bool) or not isinstance(files_per_partition, int) or files_per_partition < 1:
        raise ValueError(f"files_per_partition must be a whole number of 1 or more, not {files_per_partition!r}")
    import dask.dataframe as dd

    from ..exports.parquet import schema

    meta = _frame(schema(False).empty_table())
    names = [(str(Path(path).absolute()), os.fspath(path)) for path in paths]
    parts = [names[start : start + files_per_partition] for start in range(0, len(names), files_per_partition)]
    frame: dask.dataframe.DataFrame
    if not parts:
        frame = dd.from_pandas(meta, npartitions=1)  # type: ignore[no-untyped-call]
    else:
        frame = dd.from_map(_info_partition, parts, meta=meta, enforce_metadata=False)  # type: ignore[no-untyped-call]
    return frame


def _arrays(path: str) -> SpectrumArrays:
    from ..reading.files import open as open_file

    return open_file(path).to_numpy()


def read_arrays(paths: Sequence[str | os.PathLike[str]], *, npartitions: int | None = None) -> dask.bag.Bag:
    """A Dask Bag of the files' SpectrumArrays (samples decoded natively), in the
    order given."""
    import dask.bag as db

    names = [str(Path(path).absolute()) for path in paths]
    bag: dask.bag.Bag = db.from_sequence(names, npartitions=npartitions).map(_arrays)  # type: ignore[no-untyped-call]
    return bag
