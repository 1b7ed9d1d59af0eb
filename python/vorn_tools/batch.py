"""Batch conversion of a folder of data files to JSON or .npz in a pool of processes.

Parsing holds the interpreter lock from start to end, so the files are spread over
worker processes, not threads. A file that cannot be read is reported with its reason
and the others are still converted; a worker that dies takes its file down alone.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, TextIO

from .errors import ParseError
from .reading import read_file

FORMATS = {"json": ".json", "npz": ".npz"}


@dataclass(frozen=True)
class Outcome:
    """The result of converting one file: `error` is None on success, else one line."""

    source: Path
    target: Path
    error: str | None = None


def _write_atomically(target: Path, write: Callable[[BinaryIO], None]) -> None:
    """Writes a temporary file beside the target and renames it into place at the end,
    so no half-written output is left behind."""
    temporary = target.with_name(f".{target.name}.{os.getpid()}.part")
    try:
        with open(temporary, "wb") as file:
            write(file)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def convert_file(source: str, target: str, fmt: str) -> str | None:
    """Converts one data file; returns None, or the reason it failed as one line.

    Runs in a worker process: everything but an interrupt is turned into the reason.
    """
    try:
        document = read_file(source)
        if fmt == "json":
            from .jsonout import to_json

            text = to_json(document).encode("utf-8")

            def write(file: BinaryIO) -> None:
                file.write(text)
        else:
            from .arrays import save_npz

            def write(file: BinaryIO) -> None:
                save_npz(document, file)
        _write_atomically(Path(target), write)
    except ParseError as exc:
        return exc.reason
    except OSError as exc:
        return f"cannot write {target}: {exc.strerror or exc}"
    except Exception as exc:  # a worker reports, it never dies of a bad file
        return f"{type(exc).__name__}: {exc}"
    return None


def plan_targets(sources: Sequence[Path], out_dir: Path, fmt: str) -> list[Path]:
    """One output path per source: the source's stem with the format's suffix, or its whole
    name with the suffix where stems collide or the output would overwrite an input."""
    suffix = FORMATS[fmt]
    stems: dict[str, int] = {}
    for source in sources:
        stems[source.stem] = stems.get(source.stem, 0) + 1
    inputs = {source.resolve() for source in sources}
    targets = []
    for source in sources:
        target = out_dir / (source.stem + suffix)
        if stems[source.stem] > 1 or target.resolve() in inputs:
            target = out_dir / (source.name + suffix)
        targets.append(target)
    return targets


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


def _ignore_interrupts() -> None:
    """Worker start-up: Ctrl-C is the parent's to handle; a worker finishes its file."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _run_pool(jobs: list[tuple[Path, Path]], fmt: str, workers: int,
              report: Callable[[Outcome], None]) -> list[tuple[Path, Path]]:
    """Converts in a pool; returns the jobs whose worker died (the pool breaks for all of
    them, so which one killed it is not known). On an interrupt the files not yet
    handed to a worker are dropped and the interrupt passes on."""
    broken = []
    context = multiprocessing.get_context("spawn")  # a clean interpreter per worker
    pool = ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_ignore_interrupts)
    try:
        futures: dict[Future[str | None], tuple[Path, Path]] = {
            pool.submit(convert_file, str(source), str(target), fmt): (source, target)
            for source, target in jobs}
        for future in as_completed(futures):
            source, target = futures[future]
            try:
                error = future.result()
            except BrokenProcessPool:
                broken.append((source, target))
                continue
            report(Outcome(source, target, error))
    except BaseException:
        # Waits for the files in hand only. Not waiting would let the pool be collected
        # before its manager thread sees the cancellation, which then runs every file.
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return broken


def convert_folder(folder: Path, fmt: str, *, out_dir: Path | None = None, pattern: str = "*.vdf",
                   workers: int | None = None, progress: TextIO | None = None) -> list[Outcome]:
    """Converts every file in `folder` matching `pattern` (not recursing) to `fmt`
    ("json" or "npz") in `out_dir` (default: `folder`). Returns one Outcome per file in
    name order; failures are also reported on `progress` as they happen."""
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")
    sources = sorted(path for path in folder.glob(pattern) if path.is_file())
    out_dir = folder if out_dir is None else out_dir
    out_dir.mkdir(parents=True, exist_ok=True)
    targets = plan_targets(sources, out_dir, fmt)
    if not sources:
        return []
    bar = ProgressBar(len(sources), progress, f"converting to {fmt}") if progress else None
    outcomes: dict[Path, Outcome] = {}

    def report(outcome: Outcome) -> None:
        outcomes[outcome.source] = outcome
        if bar is not None:
            if outcome.error is not None:
                bar.message(f"{outcome.source}: {outcome.error}")
            bar.advance(outcome.error is not None)

    workers = max(1, min(workers or os.cpu_count() or 1, len(sources)))
    broken = _run_pool(list(zip(sources, targets)), fmt, workers, report)
    for source, target in broken:  # one process each, so a crash names its file
        if _run_pool([(source, target)], fmt, 1, report):
            report(Outcome(source, target, "the converting process died (the parser crashed on this file)"))
    if bar is not None:
        bar.finish()
    return [outcomes[source] for source in sources]
