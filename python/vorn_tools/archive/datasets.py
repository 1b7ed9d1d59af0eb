"""A folder of data files converted to one Parquet dataset (vorn_tools.exports.parquet),
in a local pool of processes or on a dask.distributed cluster.

The inputs are cut into chunks of consecutive files; each chunk becomes one record
batch, and the batches are written in the inputs' order whatever order they come back
in, so the same inputs give the same bytes however many workers share them. A chunk
whose worker died is converted again file by file; a file that kills its worker again
is reported as failed. The dataset is written under temporary names and published
(vorn_tools.archive.dataset_files) only when the run is over.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from ..exports.atomic import temporary_path
from ..reading.errors import shown_name
from . import dataset_files
from .planning import Outcome, check_outside, matching_entries, prepare_out_dir, worker_count
from .pool import WorkerPool
from .progress import Tally

if TYPE_CHECKING:
    from distributed import Client

GRACE_SECONDS = 1.5  # after the first interrupt, for the files in hand
CHUNK_FILES = 64  # files per task at most
CHUNKS_AT_LEAST = 16
PROCESS_DIED = (
    "the converting process died on this file again and again (the parser crashed on it, or it ran out of memory)"
)

CONNECT_SECONDS = 10  # to reach a scheduler

Job = tuple[str, str]  # (absolute path, path relative to the input folder)
Failure = tuple[str, str]  # (path relative to the input folder, reason)


class SchedulerUnreachable(Exception):
    """The dask.distributed scheduler at `address` could not be reached."""

    def __init__(self, address: str, reason: str) -> None:
        super().__init__(f"cannot reach the Dask scheduler at {address}: {reason}")
        self.address = address


@dataclass(frozen=True)
class Chunk:
    """A run of consecutive inputs converted by one task: `index` orders the chunks (a
    chunk run again file by file has parts indexed (*index, n)), `jobs` its files."""

    index: tuple[int, ...]
    jobs: tuple[Job, ...]

    def singles(self) -> list[Chunk]:
        return [Chunk((*self.index, number), (job,)) for number, job in enumerate(self.jobs)]


@dataclass(frozen=True)
class ChunkResult:
    """What a chunk gave: its record batches (pyarrow) and the files that failed."""

    batches: list[Any]
    failures: list[Failure]


def chunks_of(jobs: Sequence[Job]) -> list[Chunk]:
    """Consecutive runs of at most CHUNK_FILES files, at least CHUNKS_AT_LEAST of them
    where there are enough files. The split depends on the number of files alone, not
    on the workers: each chunk is a record batch, written as it is, so the same inputs
    give the same bytes however many workers share them."""
    size = max(1, min(CHUNK_FILES, -(-len(jobs) // CHUNKS_AT_LEAST)))
    return [
        Chunk((number,), tuple(jobs[start : start + size])) for number, start in enumerate(range(0, len(jobs), size))
    ]


Done = Callable[[Chunk, ChunkResult | str], None]  # a chunk's result, or why its file was given up


def _read_rows_task(read_rows: Callable[..., Any], with_data: bool) -> Callable[[Chunk], tuple[Any, ...]]:
    def task(chunk: Chunk) -> tuple[Any, ...]:
        return (read_rows, chunk.jobs, with_data)

    return task


def run_local(chunks: list[Chunk], workers: int, with_data: bool, done: Done, say: Callable[[str], None]) -> None:
    """Converts chunks in a local pool of worker processes. A chunk whose worker died is
    converted again file by file, in parallel; a file whose worker dies again is given
    to `done` with the reason."""
    from ..exports import parquet_rows
    from ..exports.parquet import record_batch

    def rows_done(chunk: Chunk, result: tuple[Any, list[Failure]]) -> None:
        # The workers send plain columns (they start without pyarrow); the record
        # batch is made here.
        done(chunk, ChunkResult([record_batch(result[0])], result[1]))

    def lost(chunk: Chunk, reason: str) -> None:
        for single in chunk.singles() if len(chunk.jobs) > 1 else [chunk]:
            done(single, reason)

    # read_rows is looked up now, so that a stand-in put there is used. Two chunks a
    # worker: the next one is at hand while the parent takes a result.
    WorkerPool(
        workers,
        _read_rows_task(parquet_rows.read_rows, with_data),
        rows_done,
        lost,
        say,
        split=Chunk.singles,
        per_worker=2,
        grace=GRACE_SECONDS,
    ).run(chunks)


def run_dask(
    chunks: list[Chunk], address: str, with_data: bool, done: Done, on_result: Callable[[Client], None] | None = None
) -> None:
    """Converts chunks on the dask.distributed cluster at `address`. Tasks on a worker
    that dies are run again by the scheduler; each chunk's result is taken once. A
    chunk the scheduler gives up on (its workers kept dying) is run again file by file,
    and a file that still kills its worker is reported as failed."""
    from distributed import Client, as_completed
    from distributed.scheduler import KilledWorker

    from ..exports.parquet import convert_chunk

    try:
        client = Client(address, set_as_default=False, timeout=CONNECT_SECONDS)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as exc:  # refused, timed out, or not an address
        raise SchedulerUnreachable(address, str(exc) or "no answer") from None
    with client:

        def submit(chunk: Chunk) -> Any:
            future = client.submit(convert_chunk, chunk.jobs, with_data, pure=False, key=f"vorn-{chunk.index}")
            futures[future] = chunk
            return future

        futures: dict[Any, Chunk] = {}
        queue = as_completed([submit(chunk) for chunk in chunks], loop=client.loop)  # type: ignore[no-untyped-call]
        try:
            for future in queue:
                chunk = futures.pop(future)
                try:
                    batch, failures = future.result()
                except KilledWorker:
                    if len(chunk.jobs) == 1:
                        done(chunk, PROCESS_DIED)
                    for single in chunk.singles() if len(chunk.jobs) > 1 else []:
                        queue.add(submit(single))  # type: ignore[no-untyped-call]
                    continue
                done(chunk, ChunkResult([batch], failures))
                if on_result is not None:
                    on_result(client)
        finally:
            client.cancel(list(futures), force=True)  # type: ignore[no-untyped-call]


class InOrder:
    """Takes the chunks' results as they come and hands them on in the chunks' order; a
    chunk run again file by file is complete when all its files are in."""

    def __init__(self, chunks: Sequence[Chunk], with_data: bool, take: Callable[[ChunkResult], None]) -> None:
        self._sizes = {chunk.index: len(chunk.jobs) for chunk in chunks}
        self._order = [chunk.index for chunk in chunks]
        self._position = 0
        self._results: dict[tuple[int, ...], ChunkResult] = {}
        self._split: set[tuple[int, ...]] = set()
        self._with_data = with_data
        self._take = take

    def add(self, chunk: Chunk, result: ChunkResult) -> None:
        if len(chunk.index) > 1:
            self._split.add(chunk.index[:-1])
        self._results[chunk.index] = result
        while self._position < len(self._order):
            got = self._ready(self._order[self._position])
            if got is None:
                break
            self._take(got)
            self._position += 1

    def _ready(self, index: tuple[int, ...]) -> ChunkResult | None:
        """The result of a chunk, or of all its single-file parts once they are in."""
        if index in self._results:
            return self._results.pop(index)
        if index not in self._split:
            return None
        keys = [(*index, n) for n in range(self._sizes[index])]
        if any(key not in self._results for key in keys):
            return None
        from ..exports.parquet import combine

        parts = [self._results.pop(key) for key in keys]
        return ChunkResult(
            combine([b for p in parts for b in p.batches], self._with_data), [f for p in parts for f in p.failures]
        )


class DatasetRun:
    """One conversion's state: the writer of the dataset's parts, the failures for its
    errors table, and the tally of outcomes."""

    def __init__(
        self, out_dir: Path, chunks: list[Chunk], by_name: dict[str, Path], with_data: bool, tally: Tally
    ) -> None:
        from ..exports import parquet

        self.out_dir, self.by_name, self.with_data, self.tally = out_dir, by_name, with_data, tally
        self.writer = parquet.DatasetWriter(out_dir, with_data, temporary_path)
        self.failures: list[Failure] = []
        self.order = InOrder(chunks, with_data, self._take)

    def _take(self, result: ChunkResult) -> None:
        for batch in result.batches:
            self.writer.add(batch)
        self.failures.extend(result.failures)

    def done(self, chunk: Chunk, result: ChunkResult | str) -> None:
        if isinstance(result, str):  # the file is given up: why
            from ..exports.parquet import schema

            result = ChunkResult(schema(self.with_data).empty_table().to_batches(), [(chunk.jobs[0][1], result)])
        reasons = dict(result.failures)
        for _, name in chunk.jobs:
            self.tally.report(Outcome(self.by_name[name], self.out_dir, reasons.get(name)))
        self.order.add(chunk, result)

    def publish(self, previous: list[str]) -> None:
        """Writes the errors table and puts the parts and it in place of what was there."""
        from ..exports import parquet

        errors_file = parquet.errors_path(self.out_dir)
        errors_temporary: Path | None = None
        try:
            temporaries = self.writer.finish()
            errors_temporary, file = temporary_path(errors_file)
            file.close()
            parquet.write_errors(errors_temporary, sorted(self.failures))
        except BaseException:
            self.writer.abandon()
            if errors_temporary is not None:
                errors_temporary.unlink(missing_ok=True)
            raise
        renames = [
            *zip(temporaries, (final for _, final in self.writer.parts), strict=True),
            (errors_temporary, errors_file),
        ]
        dataset_files.publish(self.out_dir, renames, previous)


def _jobs(folder: Path, sources: Sequence[Path]) -> tuple[list[Job], dict[str, Path]]:
    """The jobs of the sources, and each source by its name relative to `folder`. The
    sources are below `folder` by construction (matching_entries): its parts dropped,
    which is what relative_to does, without its per-path cost. The paths handed to the
    workers are absolute: a cluster's workers run in folders of their own."""
    depth = len(folder.parts)
    by_name = {"/".join(source.parts[depth:]): source for source in sources}
    return [(str(source.absolute()), name) for name, source in by_name.items()], by_name


def convert_folder_to_parquet(
    folder: Path,
    out_dir: Path,
    *,
    pattern: str = "*.vdf",
    with_data: bool = True,
    workers: int | None = None,
    scheduler: str | None = None,
    progress: TextIO | None = None,
    _on_result: Callable[[Client], None] | None = None,
) -> list[Outcome]:
    """Converts every regular file in `folder` matching `pattern` to one row of the
    Parquet dataset `out_dir` (see vorn_tools.exports.parquet); the files that fail go to
    its errors table. Runs in a local pool of `workers` processes, or on the Dask
    cluster at `scheduler`. Returns one Outcome per matching entry in name order
    (`target` is the dataset folder), as convert_folder does."""
    from ..exports import parquet

    sources, skipped = matching_entries(folder, pattern)
    check_outside(sources, out_dir)
    tally = Tally(skipped, progress)
    if not sources:
        return tally.in_order()
    previous = dataset_files.previous_files(out_dir, parquet.errors_path(out_dir))  # refuses others' files
    prepare_out_dir(out_dir)
    jobs, by_name = _jobs(folder, sources)
    chunks = chunks_of(jobs)
    run = DatasetRun(out_dir, chunks, by_name, with_data, tally)
    tally.start(len(sources), "converting to parquet")
    try:
        try:
            if scheduler is None:
                run_local(chunks, worker_count(workers, len(sources), os.cpu_count()), with_data, run.done, tally.say)
            else:
                run_dask(chunks, scheduler, with_data, run.done, _on_result)
        finally:  # also when interrupted: how far it got
            tally.finish()
    except BaseException:
        run.writer.abandon()
        raise
    if previous and not tally.converted():
        # Not one row: the dataset there is kept, not replaced by an empty one.
        run.writer.abandon()
        if progress is not None:
            progress.write(f"no file converted: the dataset in {shown_name(out_dir)} is left as it was\n")
        # target None: nothing of the run was written (its errors table neither)
        return [Outcome(o.source, None, o.error, o.skipped) for o in tally.in_order()]
    run.publish(previous)
    return tally.in_order()
