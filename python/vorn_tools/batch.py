"""Batch conversion of a folder of data files to JSON, .npz or JCAMP-DX in a pool of processes.

Parsing holds the interpreter lock from start to end, so the files are spread over
worker processes, not threads. A file that cannot be read is reported with its reason
and the others are still converted; a worker that dies takes its file down alone.

Outputs mirror the inputs' folders below the output folder; two inputs never share an
output and no output is an input (a run that would break either is refused before it
starts). Each output is written under a short temporary name and renamed into place.

Interrupts: the workers ignore SIGINT from their start, so Ctrl-C reaches the parent
alone. After the first, no further file is handed out; the files in hand get a few
seconds to finish, then their workers are terminated. A second Ctrl-C terminates them
at once.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import secrets
import signal
import stat
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, TextIO

from .errors import ParseError, shown_name
from .reading import read_file

FORMATS = {"json": ".json", "npz": ".npz", "jcamp": ".jdx"}
GRACE_SECONDS = 2.0  # after the first interrupt, for the files in hand
_TERMINATE_SECONDS = 1.0  # from SIGTERM to SIGKILL for a worker that has not ended
_TEMPORARY_PREFIX = ".vorn-"


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


def _temporary_path(target: Path) -> tuple[Path, BinaryIO]:
    """A new file beside `target` under a short name that holds this process's id (so an
    interrupted run can find what its workers left) and is created exclusively, with the
    usual permissions."""
    while True:
        temporary = target.with_name(f"{_TEMPORARY_PREFIX}{os.getpid()}-{secrets.token_hex(4)}.part")
        try:
            return temporary, open(temporary, "xb")
        except FileExistsError:
            continue


def _write_atomically(target: Path, write: Callable[[BinaryIO], None]) -> None:
    """Writes a temporary file beside the target and renames it into place at the end,
    so no half-written output is left behind."""
    temporary, file = _temporary_path(target)
    try:
        with file:
            write(file)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _remove_leftovers(folders: set[Path], pids: Sequence[int]) -> None:
    """Removes the temporary files of terminated workers from the folders they wrote in."""
    for folder in folders:
        for pid in pids:
            for leftover in folder.glob(f"{_TEMPORARY_PREFIX}{pid}-*.part"):
                leftover.unlink(missing_ok=True)


def convert_file(source: str, target: str, fmt: str) -> str | None:
    """Converts one data file; returns None, or the reason it failed as one line.

    Runs in a worker process: everything but an interrupt is turned into the reason.
    The target's folder is made when missing.
    """
    try:
        if fmt == "json":
            from .jsonout import to_json

            text = to_json(read_file(source)).encode("utf-8")

            def write(file: BinaryIO) -> None:
                file.write(text)
        elif fmt == "jcamp":
            from .files import open as open_file
            from .jcamp import to_jcamp

            jdx = to_jcamp(open_file(source)).encode("ascii")

            def write(file: BinaryIO) -> None:
                file.write(jdx)
        else:
            from .arrays import save_npz
            from .files import open as open_file

            # The samples are decoded straight into arrays (no Python float each);
            # a data failure leaves no output behind.
            opened = open_file(source)

            def write(file: BinaryIO) -> None:
                save_npz(opened, file)
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        _write_atomically(Path(target), write)
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


def _ignore_interrupts() -> None:
    """Worker start-up: Ctrl-C is the parent's to handle. The worker was started with
    SIGINT blocked (see _interrupts_held), so none reached it before this."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds back SIGINT from this thread for the block; one that comes meanwhile is
    delivered at its end.

    Around starting workers: a process inherits the blocked signal and keeps it blocked
    until its initializer ignores it, so a Ctrl-C while the worker's interpreter starts
    cannot end it with a traceback. Threads started in the block (the pool's own) keep
    it blocked too, so the interrupt always lands in this thread.
    """
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


Job = tuple[Path, Path]


def _terminate(pool: ProcessPoolExecutor, folders: set[Path]) -> None:
    """Ends the pool's workers now (SIGTERM, then SIGKILL for any still there after a
    moment) and removes the temporary files they were writing in `folders`."""
    # The pool's process table (Python 3.14 gains terminate_workers() for this); taken
    # before shutdown(), which lets go of it.
    processes = list(dict(getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    deadline = time.monotonic() + _TERMINATE_SECONDS
    for process in processes:
        process.join(max(deadline - time.monotonic(), 0.0))
        if process.is_alive():
            process.kill()
            process.join()
    pids = [process.pid for process in processes if process.pid is not None]
    _remove_leftovers(folders, pids)


def _run_pool(jobs: Sequence[Job], fmt: str, workers: int, report: Callable[[Outcome], None],
              say: Callable[[str], None]) -> tuple[list[Job], list[Job]]:
    """Converts files to `fmt` in a pool (see run_in_pool)."""
    return run_in_pool(jobs, workers, lambda job: (convert_file, str(job[0]), str(job[1]), fmt),
                       lambda job, error: report(Outcome(job[0], job[1], error)), say,
                       lambda job: {job[1].parent})


def run_in_pool(jobs: Sequence[Any], workers: int, task: Callable[[Any], tuple[Any, ...]],
                done: Callable[[Any, Any], None], say: Callable[[str], None],
                folders: Callable[[Any], set[Path]], per_worker: int = 1) -> tuple[list[Any], list[Any]]:
    """Runs jobs in a pool, handing out `per_worker` jobs per worker at a time (one by
    default, so a job is either in a worker's hands or not started; more keeps workers
    busy while the parent takes results in). `task(job)` is the function and its arguments
    to run, `done(job, result)` takes each result, `folders(job)` is where its worker
    may leave temporary files.

    Returns the jobs whose worker died (the pool breaks for all the files in hand, so
    which one killed it is not known) and the jobs not started because of that. On an
    interrupt no file is started any more; the files in hand get GRACE_SECONDS (a second
    interrupt cuts that short), then the workers are terminated and the interrupt passes on.
    """
    waiting = deque(jobs)
    in_flight: dict[Future[Any], Any] = {}
    broken: list[Any] = []
    context = multiprocessing.get_context("spawn")  # a clean interpreter per worker
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_ignore_interrupts)

    def collect(finished: set[Future[Any]]) -> None:
        for future in finished:
            job = in_flight.pop(future)
            try:
                result = future.result()
            except BrokenProcessPool:
                broken.append(job)
                continue
            done(job, result)

    stopped = False  # the pool broke before a file could be handed out
    try:
        while True:
            while waiting and not broken and not stopped and len(in_flight) < workers * per_worker:
                function, *arguments = task(waiting[0])
                try:
                    with _interrupts_held():  # the pool starts its workers and threads in here
                        future = pool.submit(function, *arguments)
                        in_flight[future] = waiting.popleft()
                except BrokenProcessPool:
                    stopped = True  # the file stays waiting, for the next pool
                    break
            if not in_flight:
                break
            finished, _ = wait(in_flight, return_when=FIRST_COMPLETED)
            collect(finished)
    except KeyboardInterrupt:
        try:
            with _interrupts_held():
                if in_flight:
                    say(f"interrupted: waiting up to {GRACE_SECONDS:g} s for the {len(in_flight)} "
                        "file(s) in hand; Ctrl-C again to stop at once")
            # From here a second interrupt cuts the wait short.
            finished, _ = wait(in_flight, timeout=GRACE_SECONDS)
            collect(finished)
        except KeyboardInterrupt:
            pass
        finally:
            with _interrupts_held():
                _terminate(pool, set().union(*map(folders, in_flight.values())))
        raise
    except BaseException:
        with _interrupts_held():
            _terminate(pool, set().union(*map(folders, in_flight.values())))
        raise
    pool.shutdown()
    return broken, list(waiting)


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
                   workers: int | None = None, progress: TextIO | None = None) -> list[Outcome]:
    """Converts every regular file in `folder` matching `pattern` to `fmt` ("json", "npz" or
    "jcamp") in `out_dir` (default: `folder`), in the same folder relative to it as the
    source. Returns one Outcome per matching entry in name order, the entries that are
    not regular files among them as skipped; failures and skipped entries are also
    reported on `progress` as they happen.

    Raises TargetCollision before anything is written when two files would be written
    to one output or an output would replace an input.
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
    out_dir.mkdir(parents=True, exist_ok=True)
    bar = ProgressBar(len(sources), progress, f"converting to {fmt}") if progress else None

    report, say = _reporters(outcomes, bar)

    workers = max(1, min(workers or os.cpu_count() or 1, len(sources)))
    pending: list[Job] = list(zip(sources, targets, strict=True))
    try:
        while pending:
            broken, pending = _run_pool(pending, fmt, workers, report, say)
            for source, target in broken:  # one process each, so a crash names its file
                if _run_pool([(source, target)], fmt, 1, report, say)[0]:
                    report(Outcome(source, target, "the converting process died (the parser crashed on this file)"))
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
PROCESS_DIED = "the converting process died (the parser crashed on this file)"


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
    """Converts chunks in a local process pool. A chunk whose pool broke is converted
    again file by file, one process each, so a crash names its file."""
    from .archive_rows import read_rows
    from .parquet import record_batch

    def task(chunk: Chunk) -> tuple[Any, ...]:
        return (read_rows, chunk.jobs, with_data)

    def rows_done(chunk: Chunk, result: Any) -> None:
        # The workers send plain columns (they start without pyarrow); the record
        # batch is made here.
        done(chunk, None if result is None else (record_batch(result[0]), result[1]))

    def folders(chunk: Chunk) -> set[Path]:
        return set()

    pending: list[Chunk] = chunks
    while pending:
        # Two chunks a worker: the next one is at hand while the parent takes a result.
        broken, pending = run_in_pool(pending, workers, task, rows_done, say, folders, per_worker=2)
        for chunk in broken:
            for single in _singles(chunk):
                if run_in_pool([single], 1, task, rows_done, say, folders)[0]:
                    done(single, None)


def _run_dask(chunks: list[Chunk], address: str, with_data: bool, done: Callable[[Chunk, Any], None],
              on_result: Callable[[Any], None] | None = None) -> None:
    """Converts chunks on the dask.distributed cluster at `address`. Tasks on a worker
    that dies are run again by the scheduler; each chunk's result is taken once. A
    chunk the scheduler gives up on (its workers kept dying) is run again file by file,
    and a file that still kills its worker is reported as failed."""
    from distributed import Client, as_completed
    from distributed.scheduler import KilledWorker

    from .parquet import convert_chunk

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
                        done(chunk, None)
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
    from . import parquet

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
    out_dir.mkdir(parents=True, exist_ok=True)
    # Below `folder` by construction (matching_entries): its parts dropped, which is
    # what relative_to does, without its per-path cost.
    depth = len(folder.parts)
    by_name = {"/".join(source.parts[depth:]): source for source in sources}
    jobs = [(str(source), name) for name, source in by_name.items()]
    workers = max(1, min(workers or os.cpu_count() or 1, len(sources)))
    chunks = _chunks(jobs)
    bar = ProgressBar(len(sources), progress, "converting to parquet") if progress else None

    def temporary(target: Path) -> tuple[Path, BinaryIO]:
        return _temporary_path(target)

    writer = parquet.DatasetWriter(out_dir, with_data, temporary)
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
        if result is None:  # the process died on this single file
            result = (parquet.schema(with_data).empty_table().to_batches(),
                      [(chunk.jobs[0][1], PROCESS_DIED)])
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
        temporaries = writer.finish()
        errors_temporary, file = _temporary_path(parquet.errors_path(out_dir))
        file.close()
        parquet.write_errors(errors_temporary, sorted(errors))
    except BaseException:
        writer.abandon()
        with contextlib.suppress(NameError):
            errors_temporary.unlink(missing_ok=True)
        raise
    for temporary_part, (_, final) in zip(temporaries, writer.parts, strict=True):
        os.replace(temporary_part, final)
    os.replace(errors_temporary, parquet.errors_path(out_dir))
    (out_dir / parquet.LEGACY_ERRORS_NAME).unlink(missing_ok=True)  # no table but the rows in the folder
    kept = {final.name for _, final in writer.parts}
    for stale in out_dir.glob(f"{parquet.PART_PREFIX}*.parquet"):
        if stale.name not in kept:
            stale.unlink(missing_ok=True)
    return sorted(outcomes.values(), key=lambda outcome: outcome.source)
