"""Lazy access to one data file: its metadata at once, its samples as numpy arrays
when asked, both read by the native reader (the same core as vorn_parser.parse).

    with vorn_tools.open("spectrum.vdf") as f:
        print(f.info["nucleus"])          # header and parameter blocks only
        arrays = f.to_numpy()             # the samples, straight into numpy

Opening reads the header block and the parameter block; the samples are read by
`to_numpy()` or `sections()`. Nothing stays open in between: a path is opened
again for the samples, a bytes object is kept, other buffers are copied, and a file
object is used again, so it must stay open (its reads are serialised, so threads may
share one VornFile). A path or a file object is checked to be the file it was: the
reader compares the descriptor it opened (device, inode, size, modification and
change times) and the header and parameter bytes read again; a file object, its size
and those bytes. A changed file raises ParseError ("the file changed since it was
opened") rather than give another file's samples under this one's metadata.
Paths that are not regular files (pipes, devices) cannot be read twice: their
samples are read at open, and a failure there is raised by `to_numpy()`.
"""

from __future__ import annotations

import os
import stat
from _thread import allocate_lock

from .. import _native
from .errors import ParseError, shown_name
from .optional import optional_module

CUT_SHORT = "the file ends before the samples its header declares (data section)"

TYPE_CHECKING = False  # typing is not imported at run time: it is slow to import
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Protocol

    import xarray
    from numpy import float64
    from numpy.typing import NDArray
    from vorn_parser import Headers, Info, Parameters

    from ..arrays.samples import SpectrumArrays

    class _BinaryFile(Protocol):
        def read(self, size: int = ..., /) -> bytes: ...
        def seek(self, offset: int, whence: int = ..., /) -> int: ...

    type Source = str | os.PathLike[str] | bytes | bytearray | memoryview | _BinaryFile


def open(source: Source) -> VornFile:  # the name users expect, as in h5py or mrcfile
    """Opens a data file: a path, its content (bytes-like), or a binary file object
    with read() and seek(). Reads the header and parameter blocks; raises ParseError
    when they cannot be read."""
    return VornFile(source)


class VornFile:
    """One data file: `headers`, `parameters` and `info` as vorn_parser.parse gives
    them, the samples by `to_numpy()` and `sections()`. A context manager."""

    def __init__(self, source: Source, *, _samples_now: bool = False) -> None:
        # _samples_now: the samples are read at open too, in the same pass (for callers
        # that want both, such as the Parquet conversion).
        self._data: tuple[Any, Any] | ParseError | None = None
        self._kind, self._source, self._size, self.name = _classify(source)
        # A file object's seek() and read() of one read must not interleave with another's.
        self._file_lock = allocate_lock() if self._kind == "file" else None
        if self._kind == "path":
            path = os.fsdecode(self._source)
            try:
                st = os.stat(path)
            except FileNotFoundError:
                raise ParseError(self.name, "no such file") from None
            except OSError as exc:
                raise ParseError(self.name, f"cannot open the file ({exc.strerror or exc})") from None
            if stat.S_ISDIR(st.st_mode):
                raise ParseError(self.name, "is a directory, not a data file")
            regular = stat.S_ISREG(st.st_mode) and st.st_size > 0
            # A pipe or a device cannot be read a second time: its samples come now.
            now = _samples_now or not regular
        else:
            now = _samples_now
        self._meta, data = self._read(data=now)
        if now:
            self._data = data
        self._headers: Headers | None = None
        self._parameters: Parameters | None = None
        self._info: Info | None = None
        self._layout: dict[str, Any] | None = None

    @property
    def layout(self) -> dict[str, Any]:
        """What the header says of the samples, as the reader reads them: "format"
        (One_D or Two_D), "section_count" (stored), "sections" (those kept, in stored
        order), "header_points" and "kept_points" per axis (x, then y; Two_D keeps whole
        32 x 32 blocks), "axis_kinds", "shape" of each kept section, "sample_bytes",
        "data_end" (where the samples end) and "cut_short"."""
        if self._layout is None:
            self._layout = self._meta.layout()
        return self._layout

    @property
    def cut_short(self) -> bool:
        """True when the file ends before the samples its header declares (found by one
        size comparison at open, nothing decoded): to_numpy() will fail."""
        return bool(self.layout["cut_short"])

    def require_whole(self) -> None:
        """Raises ParseError when the file ends before the samples its header declares
        (see cut_short): for readers of the metadata alone, which decode nothing."""
        if self.cut_short:
            raise ParseError(self.name, CUT_SHORT, kind="damaged", block="data")

    # The records are read at open; each becomes Python objects on first use.
    @property
    def headers(self) -> Headers:
        """The header block, as the "headers" entry of vorn_parser.parse."""
        if self._headers is None:
            self._headers = self._meta.headers()
        return self._headers

    @property
    def parameters(self) -> Parameters:
        """The parameter block, as the "parameters" entry of vorn_parser.parse."""
        if self._parameters is None:
            self._parameters = self._meta.parameters()
        return self._parameters

    def parameter_columns(
        self,
    ) -> tuple[list[str], list[str], list[str], list[float | None], list[int], list[tuple[str, int, str]]]:
        """The parameters as columns, for tables of many files: names, value kinds,
        values as exact text (as vorn_tools.arrays.units.value_text writes them), numeric
        values as floats (None for text and complex values), and for each parameter
        the index of its first unit in the last list, the distinct first units as
        (prefix, power, base) (-1: no unit). Made without a dict per parameter."""
        return self._meta.parameter_columns()

    @property
    def info(self) -> Info:
        """The summary, as the "info" entry of vorn_parser.parse."""
        if self._info is None:
            self._info = self._meta.info()
        return self._info

    def __repr__(self) -> str:
        return f"<VornFile {self.name} {self.headers['dataFormat']} {self.headers['dataType']}>"

    def __enter__(self) -> VornFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Lets go of the content or file object (a path holds nothing open)."""
        self._source = None

    def to_numpy(self) -> SpectrumArrays:
        """The samples as complex arrays with their axes: the same as
        vorn_tools.to_numpy(vorn_parser.parse(...)) of the same bytes, element for
        element, made without a Python float per sample. Needs numpy."""
        from_native = optional_module("arrays.samples", "numpy").from_native

        values, mixed = self._samples()
        arrays: SpectrumArrays = from_native(self.headers, self.info, values, mixed)
        return arrays

    def to_xarray(self) -> xarray.Dataset:
        """The file as an xarray Dataset (see vorn_tools.xarray_backend), its samples
        decoded now. Needs xarray (the "xarray" extra)."""
        result: xarray.Dataset = optional_module("xarray_backend", "xarray").to_xarray(self)
        return result

    def sections(self) -> dict[str, NDArray[float64]]:
        """The stored sections by name ("re", "im", and "re_im", "im_re" in four-section
        Two_D files) as float64 arrays shaped (points,) or (rows, columns)."""
        return self.to_numpy().sections

    # --- reading -------------------------------------------------------------------

    def _samples(self) -> tuple[Any, Any]:
        data = self._data
        if data is None:
            if self._source is None:
                raise ValueError(f"{self.name}: the file was closed")
            data = self._read_samples()
        if isinstance(data, ParseError):  # the data step failed
            raise data
        values, mixed = data
        return values, mixed

    def _read_samples(self) -> Any:
        """The samples, where the metadata read at open says they are (it is not read
        again; the reader checks that the file is still the one it was)."""
        if self._kind != "file":
            return _native.samples(self._meta, self._kind, self._source, self._size, self.name)
        # A file object is read through its own seek() and read(), one read at a time,
        # at the size it has now (compared with the size at open); it is left where it was.
        file = self._source
        assert self._file_lock is not None
        with self._file_lock:
            position = file.tell() if hasattr(file, "tell") else None
            try:
                return _native.samples(self._meta, self._kind, file, _file_size(file), self.name)
            finally:
                if position is not None:
                    file.seek(position)

    def _read(self, *, data: bool) -> tuple[_native.Metadata, Any]:
        if self._kind != "file":
            return _native.read(self._kind, self._source, self._size, data, self.name)
        file = self._source
        assert self._file_lock is not None
        with self._file_lock:
            position = file.tell() if hasattr(file, "tell") else None
            try:
                return _native.read(self._kind, file, self._size, data, self.name)
            finally:
                if position is not None:
                    file.seek(position)


def _file_size(file: Any) -> int:
    """The size of a file object: where seek(0, SEEK_END) puts it (the caller puts it back)."""
    size = file.seek(0, os.SEEK_END)
    if not isinstance(size, int) or isinstance(size, bool):
        raise TypeError(
            f"the file object's seek() returned {type(size).__qualname__}, not the new position as "
            "an integer: it cannot be read as a data file"
        )
    return size


def _classify(source: Source) -> tuple[str, Any, int | None, str]:
    """(kind, what the native reader reads, size of a file object, name in messages)."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, bytes):
            return "path", path, None, shown_name(os.fsdecode(path))
        if path == "":
            raise ParseError("''", "an empty path names no file")
        return "path", os.fsencode(path), None, shown_name(path)
    if isinstance(source, bytes):
        return "buffer", source, None, "<bytes>"
    if isinstance(source, (bytearray, memoryview)) or _is_buffer(source):
        # Copied, so later changes to the caller's buffer do not reach the samples.
        return "buffer", memoryview(source).cast("B").tobytes(), None, "<bytes>"  # type: ignore[arg-type]
    if hasattr(source, "read") and hasattr(source, "seek"):
        file: BinaryIO = source  # type: ignore[assignment]
        name = getattr(file, "name", None)
        position = file.tell() if hasattr(file, "tell") else None
        size = _file_size(file)
        if position is not None:
            file.seek(position)
        return "file", file, size, shown_name(name) if isinstance(name, str) else "<file object>"
    raise TypeError(
        f"cannot read a data file from a {type(source).__qualname__}: give a path, "
        "bytes or a binary file object with read() and seek()"
    )


def _is_buffer(source: object) -> bool:
    try:
        memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        return False
    return True
