"""Data files as Dask collections (see vorn_tools.archive.dask, where they are made).
Needs the "dask" extra (dask[dataframe,bag], pyarrow).

    from vorn_tools.dask import read_info, read_arrays
"""

from .archive.dask import read_arrays, read_info

__all__ = ["read_arrays", "read_info"]
