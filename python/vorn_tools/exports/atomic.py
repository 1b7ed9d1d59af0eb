"""Writing files so that no reader ever sees half of one, and cleaning up after runs
that were killed.

An output is written to a temporary file beside it, `.vorn-PID-XXXXXXXX.part` (the
writing process's id and eight random hex digits), and renamed over the target only
when it is whole: a full disk, a crash or Ctrl-C leaves the old file as it was. The
name says which process made the temporary, so a later run removes those of processes
that no longer exist (`remove_stale`) and never those of a run still going.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import shutil
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import BinaryIO

from ..reading.errors import shown_name

PREFIX = ".vorn-"
SUFFIX = ".part"
_TEMPORARY = re.compile(r"\.vorn-([0-9]+)-[0-9a-f]{8}\.part")

type PathLike = str | os.PathLike[str]


class ReplacesInput(ValueError):
    """The output would be written over one of the inputs."""

    def __init__(self, target: PathLike) -> None:
        super().__init__(f"{shown_name(os.fspath(target))} is the input; it is not written over (give another output)")
        self.target = target


def temporary_path(target: Path) -> tuple[Path, BinaryIO]:
    """A new file beside `target` (so that renaming it is atomic), created exclusively
    with the usual permissions, under a name that holds this process's id."""
    while True:
        temporary = target.with_name(f"{PREFIX}{os.getpid()}-{secrets.token_hex(4)}{SUFFIX}")
        try:
            return temporary, open(temporary, "xb")
        except FileExistsError:
            continue


def same_file(first: PathLike, second: PathLike) -> bool:
    """Whether two paths name one existing file (a link to it included)."""
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def write_atomically(target: PathLike, write: Callable[[BinaryIO], None], *, inputs: Iterable[PathLike] = ()) -> None:
    """Calls `write` with a temporary file beside `target` and renames it into place once
    `write` has returned and the file is closed; on any failure the temporary is removed
    and the target is left as it was.

    Raises ReplacesInput, before anything is written, when the target is one of `inputs`
    (the same file by device and inode, so also through another name or a link).
    """
    target = Path(target)
    for source in inputs:
        if same_file(source, target):
            raise ReplacesInput(target)
    temporary, file = temporary_path(target)
    try:
        with file:  # closing reports a failed write (a full disk) too
            write(file)
        _keep_mode(target, temporary)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def write_text_atomically(
    target: PathLike, text: str, *, encoding: str = "utf-8", inputs: Iterable[PathLike] = ()
) -> None:
    data = text.encode(encoding)

    def write(file: BinaryIO) -> None:
        file.write(data)

    write_atomically(target, write, inputs=inputs)


def _keep_mode(target: Path, temporary: Path) -> None:
    """A file that is replaced keeps its permission bits (a new one gets the usual ones)."""
    with contextlib.suppress(OSError):
        os.chmod(temporary, os.stat(target).st_mode & 0o7777)


def process_exists(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True


def temporary_pid(name: str) -> int | None:
    """The process id in a temporary's name, or None when `name` is not one."""
    match = _TEMPORARY.fullmatch(name)
    return int(match.group(1)) if match else None


def remove_stale(folder: Path) -> list[Path]:
    """Removes the temporaries in `folder` (not below it; spool folders with what they
    hold) left by processes that no longer exist; returns them. Anything else, and the temporaries of live processes,
    is left alone."""
    removed: list[Path] = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for entry in entries:
        pid = temporary_pid(entry.name)
        if pid is None or pid == os.getpid() or process_exists(pid):
            continue
        with contextlib.suppress(OSError):
            if entry.is_dir(follow_symlinks=False):  # a spool folder (vorn_tools.archive.pool)
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)
            removed.append(Path(entry.path))
    return removed


def remove_own(folder: Path, pids: Iterable[int]) -> None:
    """Removes the temporaries in `folder` made by the given processes (workers that were
    ended)."""
    wanted = set(pids)
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        if temporary_pid(entry.name) in wanted:
            with contextlib.suppress(OSError):
                os.unlink(entry.path)


def check_writable(folder: Path) -> None:
    """Raises OSError (say a read-only file system, or no permission) unless a file can
    be made in `folder`: found at the start of a run, not after its first results."""
    temporary, file = temporary_path(folder / "probe")
    file.close()
    temporary.unlink()
