"""Which files of a dataset folder a conversion owns, and how a new dataset replaces
the one before it.

A dataset folder that `vorn --batch --to parquet` wrote holds a marker file, MARKER,
listing the files the run wrote (its parts and its errors table). A later run into the
same folder:

- removes the temporaries of processes that no longer exist (vorn_tools.atomic);
- refuses a folder that holds anything and has no marker: it is not one of its
  datasets, and nothing in it is touched;
- writes the new files under temporary names, and only when the run has finished
  renames them into place, writes the new marker, then removes the files the old
  marker lists that the new run did not write again. A name is removed only when the
  old marker lists it and it has the exact form of a file the run writes; anything
  else in the folder (a user's notes, a `part-final-results.parquet`) stays.

An interrupted or failed run leaves the previous dataset as it was.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterable, Sequence
from pathlib import Path

from .atomic import remove_stale, temporary_pid, write_text_atomically
from .errors import shown_name

MARKER = ".vorn-dataset.json"
_KIND = "vorn_tools Parquet dataset"


class NotADataset(ValueError):
    """The dataset folder holds files and is not a dataset of this conversion."""

    def __init__(self, folder: Path, example: str) -> None:
        super().__init__(f"{shown_name(folder)} holds files (such as {shown_name(example)}) and is not a dataset "
                         f"written by vorn (it has no {MARKER}); nothing converted (give an empty or new folder)")
        self.folder = folder


def previous_files(folder: Path) -> list[str]:
    """The files the previous run listed in `folder`'s marker ([] for a new or empty
    folder); removes stale temporaries first. Raises NotADataset for a folder that holds
    other things and no marker."""
    remove_stale(folder)
    try:
        names = sorted(entry.name for entry in os.scandir(folder))
    except FileNotFoundError:
        return []
    if MARKER not in names:
        others = [name for name in names if temporary_pid(name) is None]
        if others:
            raise NotADataset(folder, others[0])
        return []
    try:
        content = json.loads((folder / MARKER).read_text(encoding="utf-8"))
        files = content["files"] if content.get("kind") == _KIND else None
    except (OSError, ValueError, KeyError, AttributeError, TypeError):
        files = None
    if not isinstance(files, list) or not all(isinstance(name, str) for name in files):
        raise NotADataset(folder, MARKER)
    return files


def publish(folder: Path, renames: Sequence[tuple[Path, Path]], previous: Iterable[str],
            owned: re.Pattern[str]) -> None:
    """Renames each (temporary, final) into place, writes the marker listing the finals,
    then removes the previous files not written again whose names match `owned`."""
    for temporary, final in renames:
        os.replace(temporary, final)
    written = [final.name for _, final in renames]
    write_text_atomically(folder / MARKER, json.dumps({"kind": _KIND, "files": written}, indent=1) + "\n")
    for name in set(previous) - set(written):
        if owned.fullmatch(name) and "/" not in name:
            (folder / name).unlink(missing_ok=True)
