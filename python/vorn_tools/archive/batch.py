"""Batch conversion of a folder of data files to JSON, .npz or JCAMP-DX in a pool of processes.

Parsing holds the interpreter lock from start to end, so the files are spread over
worker processes (vorn_tools.workers), not threads. A file that cannot be read is
reported with its reason and the others are still converted; a worker that dies takes
its file down alone, and only when it dies on it a second time.

Outputs mirror the inputs' folders below the output folder; two inputs never share an
output, no output is an input, and a file in the way that this conversion did not
write is not replaced without `overwrite` (a run that would break any of these is
refused before it starts). Each output is written under a temporary name and renamed
into place (vorn_tools.atomic); temporaries left by killed runs are removed.

Interrupts: after the first Ctrl-C no further file is handed out; the files in hand get
GRACE_SECONDS to finish, then their workers are killed. A second Ctrl-C kills them at
once.
"""

from __future__ import annotations

import contextlib
import os
import stat
import zipfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, TextIO

from ..exports.atomic import check_writable, remove_stale, temporary_path, write_atomically
from ..reading.documents import read_file
from ..reading.errors import ParseError, shown_name
from . import dataset_files
from .pool import WorkerPool

FORMATS = {"json": ".json", "npz": ".npz", "jcamp": ".jdx"}
GRACE_SECONDS = 1.5  # after the first interrupt, for the files in hand

# Kept for callers of the earlier names.
_temporary_path = temporary_path
_write_atomically = write_atomically


@dataclass(frozen=True)
class Outcome:
    """The result of one matching entry: converted (`error` and `skipped` None), failed
    (`error` says why, in one line) or skipped as not a regular file (`skipped` says what
    it is; `target` is None)."""

    source: Path
    target: Path | None
    error: str | None = None
    skipped: str | None = None


class TargetCollision(ValueError):
    """Two inputs would be written to one output, or an output would replace an input."""

    def __init__(self, first: Path, second: Path, target: Path, *, overwrites_input: bool) -> None:
        if overwrites_input:
            message = (f"the output of {shown_name(first)} would replace the input {shown_name(second)}; "
                       "nothing converted (give another --out or --pattern)")
        else:
            message = (f"{shown_name(first)} and {shown_name(second)} would both be written to "
                       f"{shown_name(target)}; nothing converted (narrow --pattern or rename one)")
        super().__init__(message)
        self.first, self.second, self.target = first, second, target


def convert_file(source: str, target: str, fmt: str) -> str | None:
    """Converts one data file; returns None, or the reason it failed as one line.

    Runs in a worker process: everything but an interrupt is turned into the reason.
    The target's folder is made when missing.
    """
    try:
        if fmt == "json":
            from ..exports.json import to_json

            text = to_json(read_file(source)).encode("utf-8")

            def write(file: BinaryIO) -> None:
                file.write(text)
        elif fmt == "jcamp":
            from ..exports.jcamp import to_jcamp
            from ..reading.files import open as open_file

            jdx = to_jcamp(open_file(source)).encode("ascii")

            def write(file: BinaryIO) -> None:
                file.write(jdx)
        else:
            from ..arrays.samples import save_npz
            from ..reading.files import open as open_file

            # The samples are decoded straight into arrays (no Python float each);
            # a data failure leaves no output behind.
            opened = open_file(source)

            def write(file: BinaryIO) -> None:
                save_npz(opened, file)
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        write_atomically(Path(target), write, inputs=[source])
    except ParseError as exc:
        return exc.reason
    except OSError as exc:
        return f"cannot write {shown_name(target)}: {exc.strerror or exc}"
    except Exception as exc:  # a worker reports, it never dies of a bad file
        return f"{type(exc).__name__}: {exc}"
    return None


def _entry_key(path: Path) -> Path:
    """The directory entry a path names: its folder resolved, its own name as it is (a
    symbolic link is an entry of its own; replacing it leaves its target alone)."""
    return path.parent.resolve() / path.name


def plan_targets(folder: Path, sources: Sequence[Path], out_dir: Path, fmt: str) -> list[Path]:
    """One output path per source, in the source's folder relative to `folder`, mirrored
    below `out_dir`: the source's stem with the format's suffix, or its whole name with
    the suffix where stems in one folder collide (also in case alone: one file on some
    file systems) or the output would be an input.

    Raises TargetCollision, naming both files, when two sources still share an output
    or an output is still an input.
    """
    suffix = FORMATS[fmt]
    places = [out_dir / source.relative_to(folder).parent for source in sources]
    stems: dict[tuple[Path, str], int] = {}
    for place, source in zip(places, sources, strict=True):
        key = (place, source.stem.casefold())
        stems[key] = stems.get(key, 0) + 1
    inputs = {_entry_key(source): source for source in sources}
    folded_inputs = {str(key).casefold() for key in inputs}
    targets = []
    for place, source in zip(places, sources, strict=True):
        target = place / (source.stem + suffix)
        if stems[(place, source.stem.casefold())] > 1 or str(_entry_key(target)).casefold() in folded_inputs:
            target = place / (source.name + suffix)
        targets.append(target)

    claimed: dict[Path, Path] = {}
    for source, target in zip(sources, targets, strict=True):
        entry = _entry_key(target)
        if entry in inputs:
            raise TargetCollision(source, inputs[entry], target, overwrites_input=True)
        if entry in claimed:
            raise TargetCollision(claimed[entry], source, target, overwrites_input=False)
        claimed[entry] = source
    return targets


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


class ProgressBar:
    """A progress bar on a text stream: redrawn in place on a terminal, else written once
    at the end. Messages go on lines of their own above it."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO, label: str) -> None:
        self.total, self.stream, self.label = total, stream, label
        self.done = self.failed = 0
        self.live = stream.isatty()
        self._shown = 0
        if self.live:
            self._draw()

    def _line(self) -> str:
        filled = self.WIDTH * self.done // max(self.total, 1)
        failed = f", {self.failed} failed" if self.failed else ""
        return f"{self.label} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total}{failed}"

    def _draw(self) -> None:
        line = self._line()
        self.stream.write("\r" + line + " " * max(self._shown - len(line), 0))
        self._shown = len(line)
        self.stream.flush()

    def message(self, text: str) -> None:
        if self.live and self._shown:
            self.stream.write("\r" + " " * self._shown + "\r")
            self._shown = 0
        self.stream.write(text + "\n")
        if self.live:
            self._draw()
        self.stream.flush()

    def advance(self, failed: bool) -> None:
        self.done += 1
        self.failed += failed
        if self.live:
            self._draw()

    def finish(self) -> None:
        if self.live:
            self._draw()
            self.stream.write("\n")
        else:
            self.stream.write(self._line() + "\n")
        self.stream.flush()


def _reporters(outcomes: dict[Path, Outcome],
               bar: ProgressBar | None) -> tuple[Callable[[Outcome], None], Callable[[str], None]]:
    """report(outcome): keeps each file's outcome and shows it on the bar (failures as
    a line of their own); say(text): a line above the bar."""

    def report(outcome: Outcome) -> None:
        outcomes[outcome.source] = outcome
        if bar is not None:
            if outcome.error is not None:
                bar.message(f"{shown_name(outcome.source)}: {outcome.error}")
            bar.advance(outcome.error is not None)

    def say(text: str) -> None:
        if bar is not None:
            bar.message(text)

    return report, say


Job = tuple[Path, Path]


class ForeignOutput(TargetCollision):
    """An output would replace a file that this conversion did not write."""

    def __init__(self, source: Path, target: Path, fmt: str) -> None:
        ValueError.__init__(self, f"{shown_name(target)} exists and was not written by a conversion to {fmt}; "
                                  f"the output of {shown_name(source)} would replace it; nothing converted "
                                  "(give another --out, or --overwrite to replace it)")
        self.first = self.second = source
        self.target = target


def written_by_conversion(path: Path, fmt: str) -> bool:
    """Whether the file at `path` looks like an output of the conversion to `fmt`: a JSON
    result document, an .npz holding the document's metadata, a JCAMP-DX file. A file
    that cannot be read is not."""
    try:
        if fmt == "npz":
            with zipfile.ZipFile(path) as archive:
                names = set(archive.namelist())
            return {"data.npy", "metadata_json.npy"} <= names
        with open(path, "rb") as file:
            start = file.read(4096)
    except (OSError, zipfile.BadZipFile, ValueError):
        return False
    if fmt == "json":
        return start.startswith(b'{"headers": {')
    return start.startswith(b"##TITLE=") and b"##JCAMP-DX=" in start


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
        if not stat.S_ISREG(mode) or not written_by_conversion(target, fmt):
            raise ForeignOutput(source, target, fmt)


def _run_pool(jobs: Sequence[Job], fmt: str, workers: int, report: Callable[[Outcome], None],
              say: Callable[[str], None]) -> None:
    """Converts files to `fmt` in a pool of worker processes."""
    pool = WorkerPool(workers, lambda job: (convert_file, str(job[0]), str(job[1]), fmt),
                      lambda job, error: report(Outcome(job[0], job[1], error)),
                      lambda job, reason: report(Outcome(job[0], job[1], reason)), say,
                      folders=lambda job: {job[1].parent}, grace=GRACE_SECONDS)
    pool.run(jobs)


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


def convert_folder(folder: Path, fmt: str, *, out_dir: Path | None = None, pattern: str = "*.vdf",
                   workers: int | None = None, progress: TextIO | None = None,
                   overwrite: bool = False) -> list[Outcome]:
    """Converts every regular file in `folder` matching `pattern` to `fmt` ("json", "npz" or
    "jcamp") in `out_dir` (default: `folder`), in the same folder relative to it as the
    source. Returns one Outcome per matching entry in name order, the entries that are
    not regular files among them as skipped; failures and skipped entries are also
    reported on `progress` as they happen.

    Raises TargetCollision before anything is written when two files would be written
    to one output or an output would replace an input, and ForeignOutput (one of its
    kind) when an output would replace a file that is not an output of this
    conversion, unless `overwrite`. Raises OSError when `out_dir` cannot be written.
    """
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")
    sources, skipped = matching_entries(folder, pattern)
    out_dir = folder if out_dir is None else out_dir
    targets = plan_targets(folder, sources, out_dir, fmt)
    outcomes: dict[Path, Outcome] = {entry: Outcome(entry, None, skipped=what) for entry, what in skipped}
    if progress is not None:
        for entry, what in skipped:
            progress.write(f"{shown_name(entry)}: skipped: {what}\n")
        progress.flush()
    if not sources:
        return [outcomes[entry] for entry, _ in skipped]
    if not overwrite:
        check_existing(sources, targets, fmt)
    out_dir.mkdir(parents=True, exist_ok=True)
    check_writable(out_dir)  # a read-only --out is found now, not at the first result
    for place in {target.parent for target in targets}:
        remove_stale(place)
    bar = ProgressBar(len(sources), progress, f"converting to {fmt}") if progress else None

    report, say = _reporters(outcomes, bar)

    workers = max(1, min(workers or os.cpu_count() or 1, len(sources)))
    try:
        _run_pool(list(zip(sources, targets, strict=True)), fmt, workers, report, say)
    finally:  # also when interrupted: how far it got
        if bar is not None:
            bar.finish()
    return sorted(outcomes.values(), key=lambda outcome: outcome.source)


# --- Parquet datasets -----------------------------------------------------------------

class OutputHoldsInput(TargetCollision):
    """An input lies inside the dataset folder, which a run rewrites."""

    def __init__(self, source: Path, out_dir: Path) -> None:
        ValueError.__init__(self, f"the input {shown_name(source)} lies inside the dataset folder "
                                  f"{shown_name(out_dir)}; nothing converted (give another --out)")
        self.first = self.second = source
        self.target = out_dir


@dataclass(frozen=True)
class Chunk:
    """A run of consecutive inputs converted by one task: `index` orders the chunks,
    `jobs` are (path, path relative to the input folder)."""

    index: tuple[int, ...]
    jobs: tuple[tuple[str, str], ...]


CHUNK_FILES = 64  # files per task at most
CHUNKS_AT_LEAST = 16
PROCESS_DIED = ("the converting process died on this file again and again (the parser crashed on it, or it ran "
                "out of memory)")


def _chunks(jobs: Sequence[tuple[str, str]]) -> list[Chunk]:
    """Consecutive runs of at most CHUNK_FILES files, at least CHUNKS_AT_LEAST of them
    where there are enough files. The split depends on the number of files alone, not
    on the workers: each chunk is a record batch, written as it is, so the same inputs
    give the same bytes however many workers share them."""
    size = max(1, min(CHUNK_FILES, -(-len(jobs) // CHUNKS_AT_LEAST)))
    return [Chunk((number,), tuple(jobs[start:start + size]))
            for number, start in enumerate(range(0, len(jobs), size))]


def _singles(chunk: Chunk) -> list[Chunk]:
    return [Chunk((*chunk.index, number), (job,)) for number, job in enumerate(chunk.jobs)]


def _run_local(chunks: list[Chunk], workers: int, with_data: bool, done: Callable[[Chunk, Any], None],
               say: Callable[[str], None]) -> None:
    """Converts chunks in a local pool of worker processes. A chunk whose worker died is
    converted again file by file, in parallel; a file whose worker dies again is given
    to `done` with no rows and the reason."""
    from ..exports import parquet_rows as archive_rows
    from ..exports.parquet import record_batch

    read_rows = archive_rows.read_rows  # looked up now: a stand-in put there is used

    def task(chunk: Chunk) -> tuple[Any, ...]:
        return (read_rows, chunk.jobs, with_data)

    def rows_done(chunk: Chunk, result: Any) -> None:
        # The workers send plain columns (they start without pyarrow); the record
        # batch is made here.
        done(chunk, (record_batch(result[0]), result[1]))

    def split(chunk: Chunk) -> list[Chunk]:
        return _singles(chunk)

    def lost(chunk: Chunk, reason: str) -> None:
        for single in _singles(chunk) if len(chunk.jobs) > 1 else [chunk]:
            done(single, reason)

    # Two chunks a worker: the next one is at hand while the parent takes a result.
    WorkerPool(workers, task, rows_done, lost, say, split=split, per_worker=2, grace=GRACE_SECONDS).run(chunks)


def _run_dask(chunks: list[Chunk], address: str, with_data: bool, done: Callable[[Chunk, Any], None],
              on_result: Callable[[Any], None] | None = None) -> None:
    """Converts chunks on the dask.distributed cluster at `address`. Tasks on a worker
    that dies are run again by the scheduler; each chunk's result is taken once. A
    chunk the scheduler gives up on (its workers kept dying) is run again file by file,
    and a file that still kills its worker is reported as failed."""
    from distributed import Client, as_completed
    from distributed.scheduler import KilledWorker

    from ..exports.parquet import convert_chunk

    with Client(address, set_as_default=False) as client:  # type: ignore[no-untyped-call]
        futures = {client.submit(convert_chunk, chunk.jobs, with_data, pure=False, key=f"vorn-{chunk.index}"):
                   chunk for chunk in chunks}
        try:
            queue = as_completed(list(futures), loop=client.loop)  # type: ignore[no-untyped-call]
            for future in queue:
                chunk = futures.pop(future)
                try:
                    result = future.result()
                except KilledWorker:
                    if len(chunk.jobs) == 1:
                        done(chunk, PROCESS_DIED)
                        continue
                    for single in _singles(chunk):
                        retry = client.submit(convert_chunk, single.jobs, with_data, pure=False,
                                              key=f"vorn-{single.index}")
                        futures[retry] = single
                        queue.add(retry)  # type: ignore[no-untyped-call]
                    continue
                done(chunk, result)
                if on_result is not None:
                    on_result(client)
        finally:
            client.cancel(list(futures), force=True)


def convert_folder_to_parquet(folder: Path, out_dir: Path, *, pattern: str = "*.vdf", with_data: bool = True,
                              workers: int | None = None, scheduler: str | None = None,
                              progress: TextIO | None = None,
                              _on_result: Callable[[Any], None] | None = None) -> list[Outcome]:
    """Converts every regular file in `folder` matching `pattern` to one row of the
    Parquet dataset `out_dir` (see vorn_tools.parquet); the files that fail go to its
    errors table. Runs in a local pool of `workers` processes, or on the Dask cluster
    at `scheduler`. Returns one Outcome per matching entry in name order (`target` is
    the dataset folder), as convert_folder does."""
    from ..exports import parquet

    sources, skipped = matching_entries(folder, pattern)
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
    outcomes: dict[Path, Outcome] = {entry: Outcome(entry, None, skipped=what) for entry, what in skipped}
    if progress is not None:
        for entry, what in skipped:
            progress.write(f"{shown_name(entry)}: skipped: {what}\n")
        progress.flush()
    if not sources:
        return [outcomes[entry] for entry, _ in skipped]
    previous = dataset_files.previous_files(out_dir, parquet.errors_path(out_dir))  # refuses others' files
    out_dir.mkdir(parents=True, exist_ok=True)
    check_writable(out_dir)  # a read-only --out is found now, not at the first result
    # Below `folder` by construction (matching_entries): its parts dropped, which is
    # what relative_to does, without its per-path cost. The paths handed to the workers
    # are absolute: a cluster's workers run in folders of their own.
    depth = len(folder.parts)
    by_name = {"/".join(source.parts[depth:]): source for source in sources}
    jobs = [(str(source.absolute()), name) for name, source in by_name.items()]
    workers = max(1, min(workers or os.cpu_count() or 1, len(sources)))
    chunks = _chunks(jobs)
    bar = ProgressBar(len(sources), progress, "converting to parquet") if progress else None

    writer = parquet.DatasetWriter(out_dir, with_data, temporary_path)
    results: dict[tuple[int, ...], Any] = {}
    errors: list[tuple[str, str]] = []
    order = [chunk.index for chunk in chunks]
    position = 0
    split: dict[tuple[int, ...], int] = {}  # a chunk run again file by file: how many files
    chunk_by_index = {chunk.index: chunk for chunk in chunks}

    def ready(index: tuple[int, ...]) -> Any:
        """The result of a chunk, or of all its single-file parts once they are in."""
        if index in results:
            return results.pop(index)
        count = split.get(index)
        if count is None or any((*index, n) not in results for n in range(count)):
            return None
        parts = [results.pop((*index, n)) for n in range(count)]
        return (parquet.combine([b for p in parts for b in p[0]], with_data),
                [e for p in parts for e in p[1]])

    def done(chunk: Chunk, result: Any) -> None:
        nonlocal position
        if isinstance(result, str):  # the file is given up: why
            result = (parquet.schema(with_data).empty_table().to_batches(), [(chunk.jobs[0][1], result)])
        elif not isinstance(result[0], list):
            result = ([result[0]], result[1])
        if len(chunk.index) > 1:
            split[chunk.index[:-1]] = len(chunk_by_index[chunk.index[:-1]].jobs)
        results[chunk.index] = result
        reasons = dict(result[1])
        for _, rel in chunk.jobs:
            report(Outcome(by_name[rel], out_dir, reasons.get(rel)))
        while position < len(order):
            got = ready(order[position])
            if got is None:
                break
            for batch in got[0]:
                writer.add(batch)
            errors.extend(got[1])
            position += 1

    report, say = _reporters(outcomes, bar)

    try:
        try:
            if scheduler is None:
                _run_local(chunks, workers, with_data, done, say)
            else:
                _run_dask(chunks, scheduler, with_data, done, _on_result)
        finally:  # also when interrupted: how far it got
            if bar is not None:
                bar.finish()
        converted = sum(outcome.error is None and outcome.skipped is None for outcome in outcomes.values())
        if previous and not converted:
            # Not one row: the dataset there is kept, not replaced by an empty one.
            writer.abandon()
            if progress is not None:
                progress.write(f"no file converted: the dataset in {shown_name(out_dir)} is left as it was\n")
            # target None: nothing of the run was written (its errors table neither)
            return sorted((Outcome(o.source, None, o.error, o.skipped) for o in outcomes.values()),
                          key=lambda outcome: outcome.source)
        temporaries = writer.finish()
        errors_temporary, file = temporary_path(parquet.errors_path(out_dir))
        file.close()
        parquet.write_errors(errors_temporary, sorted(errors))
    except BaseException:
        writer.abandon()
        with contextlib.suppress(NameError):
            errors_temporary.unlink(missing_ok=True)
        raise
    renames = [*zip(temporaries, (final for _, final in writer.parts), strict=True),
               (errors_temporary, parquet.errors_path(out_dir))]
    dataset_files.publish(out_dir, renames, previous)
    return sorted(outcomes.values(), key=lambda outcome: outcome.source)
