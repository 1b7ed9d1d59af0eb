"""Planning a folder conversion before anything is written: which entries are inputs,
where each output goes, and the rule for files already in the way.

Outputs mirror the inputs' folders below the output folder; two inputs never share an
output, no output is an input, and a file in the way that a conversion did not write is
not replaced without `overwrite`. A plan that would break any of these is refused
before the run starts, with an exception that names both files.
"""

from __future__ import annotations

import stat
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from ..exports.atomic import check_writable, remove_stale
from ..exports.formats import FORMATS
from ..reading.errors import shown_name


@dataclass(frozen=True)
class Outcome:
    """The result of one matching entry: converted (`error` and `skipped` None), failed
    (`error` says why, in one line) or skipped as not a regular file (`skipped` says what
    it is; `target` is None)."""

    source: Path
    target: Path | None
    error: str | None = None
    skipped: str | None = None


class RefusedPlan(ValueError):
    """A run refused before it starts: `first` and `second` are the inputs concerned (the
    same one where one input is concerned), `target` the output in question."""

    def __init__(self, message: str, first: Path, second: Path, target: Path) -> None:
        super().__init__(message)
        self.first, self.second, self.target = first, second, target


class TargetCollision(RefusedPlan):
    """Two inputs would be written to one output, or an output would replace an input."""

    def __init__(self, first: Path, second: Path, target: Path, *, overwrites_input: bool) -> None:
        if overwrites_input:
            message = (
                f"the output of {shown_name(first)} would replace the input {shown_name(second)}; "
                "nothing converted (give another --out or --pattern)"
            )
        else:
            message = (
                f"{shown_name(first)} and {shown_name(second)} would both be written to "
                f"{shown_name(target)}; nothing converted (narrow --pattern or rename one)"
            )
        super().__init__(message, first, second, target)


class ForeignOutput(RefusedPlan):
    """An output would replace a file that this conversion did not write."""

    def __init__(self, source: Path, target: Path, fmt: str) -> None:
        super().__init__(
            f"{shown_name(target)} exists and was not written by a conversion to {fmt}; "
            f"the output of {shown_name(source)} would replace it; nothing converted "
            "(give another --out, or --overwrite to replace it)",
            source,
            source,
            target,
        )


class OutputHoldsInput(RefusedPlan):
    """An input lies inside the dataset folder, which a run rewrites."""

    def __init__(self, source: Path, out_dir: Path) -> None:
        super().__init__(
            f"the input {shown_name(source)} lies inside the dataset folder "
            f"{shown_name(out_dir)}; nothing converted (give another --out)",
            source,
            source,
            out_dir,
        )


def not_regular(path: Path) -> str | None:
    """None for a regular file (or a link to one); else what the entry is, for the report."""
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        return "a broken symbolic link" if path.is_symlink() else "gone"
    except OSError as exc:
        return f"cannot look at it: {exc.strerror or exc}"
    if stat.S_ISREG(mode):
        return None
    if stat.S_ISDIR(mode):
        return "a folder"
    if stat.S_ISFIFO(mode):
        return "a named pipe"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def matching_entries(folder: Path, pattern: str) -> tuple[list[Path], list[tuple[Path, str]]]:
    """The regular files in `folder` matching `pattern` (a glob; "**/" recurses), and the
    other matching entries with what they are; both in name order."""
    sources, skipped = [], []
    for entry in sorted(folder.glob(pattern)):
        what = not_regular(entry)
        if what is None:
            sources.append(entry)
        else:
            skipped.append((entry, what))
    return sources, skipped


def _entry_key(path: Path) -> Path:
    """The directory entry a path names: its folder resolved, its own name as it is (a
    symbolic link is an entry of its own; replacing it leaves its target alone)."""
    return path.parent.resolve() / path.name


def _names(folder: Path, sources: Sequence[Path], out_dir: Path, suffix: str) -> list[Path]:
    """The source's stem with the suffix, or its whole name with the suffix where stems
    in one folder collide (also in case alone: one file on some file systems) or the
    output would be an input."""
    places = [out_dir / source.relative_to(folder).parent for source in sources]
    stems: dict[tuple[Path, str], int] = {}
    for place, source in zip(places, sources, strict=True):
        key = (place, source.stem.casefold())
        stems[key] = stems.get(key, 0) + 1
    folded_inputs = {str(_entry_key(source)).casefold() for source in sources}
    targets = []
    for place, source in zip(places, sources, strict=True):
        target = place / (source.stem + suffix)
        if stems[(place, source.stem.casefold())] > 1 or str(_entry_key(target)).casefold() in folded_inputs:
            target = place / (source.name + suffix)
        targets.append(target)
    return targets


def plan_targets(folder: Path, sources: Sequence[Path], out_dir: Path, fmt: str) -> list[Path]:
    """One output path per source, in the source's folder relative to `folder`, mirrored
    below `out_dir`, named as _names says.

    Raises TargetCollision, naming both files, when two sources still share an output
    or an output is still an input.
    """
    targets = _names(folder, sources, out_dir, FORMATS[fmt].suffix)
    inputs = {_entry_key(source): source for source in sources}
    claimed: dict[Path, Path] = {}
    for source, target in zip(sources, targets, strict=True):
        entry = _entry_key(target)
        if entry in inputs:
            raise TargetCollision(source, inputs[entry], target, overwrites_input=True)
        if entry in claimed:
            raise TargetCollision(claimed[entry], source, target, overwrites_input=False)
        claimed[entry] = source
    return targets


def check_existing(sources: Sequence[Path], targets: Sequence[Path], fmt: str) -> None:
    """Raises ForeignOutput for the first target that exists and is not an output of
    this conversion (a folder, a link to elsewhere or a user's file of that name)."""
    for source, target in zip(sources, targets, strict=True):
        try:
            mode = target.lstat().st_mode
        except FileNotFoundError:
            continue
        except OSError:
            raise ForeignOutput(source, target, fmt) from None
        if not stat.S_ISREG(mode) or not FORMATS[fmt].is_output(target):
            raise ForeignOutput(source, target, fmt)


def check_outside(sources: Sequence[Path], out_dir: Path) -> None:
    """Raises OutputHoldsInput when an input lies inside `out_dir` or is `out_dir`."""
    resolved_out = out_dir.resolve()
    holds: dict[Path, tuple[Path, bool]] = {}  # each input folder resolved once
    for source in sources:
        parent = source.parent
        if parent not in holds:
            real = parent.resolve()
            holds[parent] = (real, real == resolved_out or resolved_out in real.parents)
        real, inside = holds[parent]
        if inside or real / source.name == resolved_out:
            raise OutputHoldsInput(source, out_dir)


def prepare_out_dir(out_dir: Path, places: Sequence[Path] = ()) -> None:
    """Makes the output folder and finds a read-only one now, not at the first result;
    removes the temporaries that killed runs left in `places`."""
    out_dir.mkdir(parents=True, exist_ok=True)
    check_writable(out_dir)
    for place in places:
        remove_stale(place)


def worker_count(workers: int | None, files: int, cpus: int | None) -> int:
    """`workers`, or one per CPU; never more than there are files, at least one."""
    return max(1, min(workers or cpus or 1, files))
