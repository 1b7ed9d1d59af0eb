"""Which files of a dataset folder a conversion owns, and how a new dataset replaces
the one before it.

Every file a `vorn --batch --to parquet` run writes (its parts in the folder, its
errors table beside it) carries a marker in its Parquet key-value metadata
(vorn_tools.exports.parquet.MARKER_KEY); the folder itself holds nothing else, so that every
reader takes it as it is. A later run into the same folder:

- removes the temporaries of processes that no longer exist (vorn_tools.exports.atomic), in
  the folder and beside it;
- refuses a folder that holds anything but marked parts (a user's
  `part-final-results.parquet`, notes, a dataset of an earlier version), and an
  errors table in the way that is not marked: nothing is touched;
- writes the new files under temporary names, and only when the run has finished
  renames them into place, then removes the old parts that the new run did not write
  again (each checked at the start: its exact name form and its marker).

An interrupted or failed run leaves the previous dataset as it was.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path

from ..exports.atomic import remove_stale
from ..reading.errors import shown_name


class NotADataset(ValueError):
    """The dataset folder holds files that are not a dataset of this conversion."""

    def __init__(self, folder: Path, example: Path) -> None:
        super().__init__(
            f"{shown_name(folder)} holds files that this conversion did not write (such as "
            f"{shown_name(example)}); nothing converted (give an empty or new folder)"
        )
        self.folder = folder


def previous_files(folder: Path, errors_file: Path) -> list[str]:
    """The parts of the dataset in `folder` ([] for a new or empty folder), after
    removing stale temporaries. Raises NotADataset where anything else is in the folder,
    or an unmarked file lies where the errors table goes."""
    from ..exports.parquet import PART_NAME, is_marked

    remove_stale(errors_file.parent)
    remove_stale(folder)
    if errors_file.exists() and not is_marked(errors_file):
        raise NotADataset(folder, errors_file)
    try:
        entries = sorted(os.scandir(folder), key=lambda entry: entry.name)
    except FileNotFoundError:
        return []
    parts = []
    for entry in entries:
        path = Path(entry.path)
        if not (PART_NAME.fullmatch(entry.name) and entry.is_file(follow_symlinks=False) and is_marked(path)):
            raise NotADataset(folder, path)
        parts.append(entry.name)
    return parts


def publish(folder: Path, renames: Sequence[tuple[Path, Path]], previous: Iterable[str]) -> None:
    """Renames each (temporary, final) into place, then removes the previous parts (as
    previous_files found them) that were not written again."""
    for temporary, final in renames:
        os.replace(temporary, final)
    written = {final.name for _, final in renames if final.parent == folder}
    for name in set(previous) - written:
        (folder / name).unlink(missing_ok=True)
