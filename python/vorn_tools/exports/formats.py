"""The per-file output formats of a folder conversion, behind one small interface.

A format turns one data file into the bytes of one output and recognises an output of
its own; where the output goes, under which name, what happens to a file in the way and
how it is written (atomically) belong to the runner (vorn_tools.archive.batch), which
knows a format only by this table. Each format's module is imported when it is used, in
the process that converts, so that a run pays only for the format it writes.

A format module has two functions:

    prepare(source: str) -> Callable[[BinaryIO], None]
        reads the file (raising ParseError) and returns what writes its output
    is_output(path: Path) -> bool
        whether the file at `path` looks like an output of this format
"""

from __future__ import annotations

from dataclasses import dataclass
from importlib import import_module
from typing import TYPE_CHECKING, BinaryIO, Protocol

if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path


class FormatModule(Protocol):
    def prepare(self, source: str) -> Callable[[BinaryIO], None]: ...

    def is_output(self, path: Path) -> bool: ...


@dataclass(frozen=True)
class FileFormat:
    """One output format: its name on the command line, the suffix of its files, the
    module that makes them and the extra that installs what that module needs."""

    name: str
    suffix: str
    module: str
    extra: str | None

    def _module(self) -> FormatModule:
        module: FormatModule = import_module(f"{__package__}.{self.module}")
        return module

    def prepare(self, source: str) -> Callable[[BinaryIO], None]:
        return self._module().prepare(source)

    def is_output(self, path: Path) -> bool:
        return self._module().is_output(path)


FORMATS = {
    fmt.name: fmt
    for fmt in (
        FileFormat("json", ".json", "json", None),
        FileFormat("npz", ".npz", "npz", "numpy"),
        FileFormat("jcamp", ".jdx", "jcamp", "numpy"),
    )
}


def file_start(path: Path, size: int = 4096) -> bytes | None:
    """The first `size` bytes of a file, or None when it cannot be read."""
    try:
        with open(path, "rb") as file:
            return file.read(size)
    except (OSError, ValueError):
        return None
