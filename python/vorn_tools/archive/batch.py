"""Folder conversion to one file per input (JSON, .npz or JCAMP-DX) in a pool of processes.

Parsing holds the interpreter lock from start to end, so the files are spread over
worker processes (vorn_tools.archive.pool), not threads. A file that cannot be read is
reported with its reason and the others are still converted; a worker that dies takes
its file down alone, and only when it dies on it a second time.

Where each output goes and which files in the way may be replaced is planned before the
run (vorn_tools.archive.planning); the formats are known only through their table
(vorn_tools.exports.formats). Each output is written under a temporary name and renamed
into place (vorn_tools.exports.atomic); temporaries left by killed runs are removed.

Interrupts: after the first Ctrl-C no further file is handed out; the files in hand get
GRACE_SECONDS to finish, then their workers are killed. A second Ctrl-C kills them at
once.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TextIO

from ..exports.atomic import write_atomically
from ..exports.formats import FORMATS
from ..reading.errors import ParseError, shown_name
from .planning import Outcome, check_existing, matching_entries, plan_targets, prepare_out_dir, worker_count
from .pool import WorkerPool
from .progress import Tally

GRACE_SECONDS = 1.5  # after the first interrupt, for the files in hand

Job = tuple[Path, Path]  # (source, target)


def convert_file(source: str, target: str, fmt: str) -> str | None:
    """Converts one data file; returns None, or the reason it failed as one line.

    Runs in a worker process: everything but an interrupt is turned into the reason,
    which names the failure, not the exception's class. The target's folder is made
    when missing.
    """
    try:
        write = FORMATS[fmt].prepare(source)
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        write_atomically(Path(target), write, inputs=[source])
    except ParseError as exc:
        return exc.reason
    except OSError as exc:
        return f"cannot write {shown_name(target)}: {exc.strerror or exc}"
    except MemoryError:
        return "out of memory"
    except Exception as exc:  # a worker reports, it never dies of a bad file
        return f"cannot convert to {fmt}: {exc or 'no reason given'}"
    return None


def _run_pool(jobs: list[Job], fmt: str, workers: int, tally: Tally) -> None:
    """Converts files to `fmt` in a pool of worker processes."""

    def task(job: Job) -> tuple[object, ...]:
        return (convert_file, str(job[0]), str(job[1]), fmt)

    def done(job: Job, error: str | None) -> None:
        tally.report(Outcome(job[0], job[1], error))

    pool = WorkerPool(workers, task, done, done, tally.say, folders=lambda job: {job[1].parent}, grace=GRACE_SECONDS)
    pool.run(jobs)


def convert_folder(
    folder: Path,
    fmt: str,
    *,
    out_dir: Path | None = None,
    pattern: str = "*.vdf",
    workers: int | None = None,
    progress: TextIO | None = None,
    overwrite: bool = False,
) -> list[Outcome]:
    """Converts every regular file in `folder` matching `pattern` to `fmt` ("json", "npz" or
    "jcamp") in `out_dir` (default: `folder`), in the same folder relative to it as the
    source. Returns one Outcome per matching entry in name order, the entries that are
    not regular files among them as skipped; failures and skipped entries are also
    reported on `progress` as they happen.

    Raises TargetCollision before anything is written when two files would be written
    to one output or an output would replace an input, and ForeignOutput (both are
    RefusedPlan) when an output would replace a file that is not an output of this
    conversion, unless `overwrite`. Raises OSError when `out_dir` cannot be written.
    """
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose one of {', '.join(FORMATS)}")
    sources, skipped = matching_entries(folder, pattern)
    out_dir = folder if out_dir is None else out_dir
    targets = plan_targets(folder, sources, out_dir, fmt)
    tally = Tally(skipped, progress)
    if not sources:
        return tally.in_order()
    if not overwrite:
        check_existing(sources, targets, fmt)
    prepare_out_dir(out_dir, sorted({target.parent for target in targets}))
    tally.start(len(sources), f"converting to {fmt}")
    try:
        _run_pool(
            list(zip(sources, targets, strict=True)), fmt, worker_count(workers, len(sources), os.cpu_count()), tally
        )
    finally:  # also when interrupted: how far it got
        tally.finish()
    return tally.in_order()
