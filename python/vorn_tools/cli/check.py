"""`vorn check`: validation reports (vorn_tools.checking) for files and folders of files.

    vorn check FILE... [--json] [--strict] [--samples]
    vorn check --batch FOLDER [--pattern GLOB] [--jobs N] [--json] [--strict] [--samples]

Prints a table (one row per finding) or, with --json, one JSON object per file and line,
in file-name order; a summary line goes to standard error. Exit status: 0 when every
file reads (warnings included, unless --strict), 1 when any is damaged or not a data
file of this kind (or, with --strict, has warnings), 2 for a bad command line,
130 interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from ..archive.planning import not_regular
from ..checking.report import Report, check_path
from ..reading.errors import shown_name
from .common import CommandError, silence

# Files per task handed to a thread: enough that handing out costs little, few enough
# to keep every thread busy to the end.
CHUNK = 64
COLUMNS = ("FILE", "VERDICT", "CODE", "OFFSET", "FIELD", "TEXT")


def arguments_check(parser: argparse.ArgumentParser) -> None:
    parser.description = (
        "Check NMR data files: whether the reader can read each one and what it loses or finds "
        "odd on the way (see the README, 'Checking files', for the codes)."
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="the data files to check")
    parser.add_argument("--batch", metavar="FOLDER", help="check every file in FOLDER that matches --pattern")
    parser.add_argument(
        "--pattern", metavar="GLOB", help="with --batch: which files (default '*.vdf'; '**/*.vdf' takes subfolders too)"
    )
    parser.add_argument("--jobs", type=int, metavar="N", help="with --batch: worker processes (default: one per CPU)")
    parser.add_argument("--json", action="store_true", help="one JSON object per file and line")
    parser.add_argument("--strict", action="store_true", help="files with warnings fail too (exit status 1)")
    parser.add_argument(
        "--samples", action="store_true", help="also decode the samples and count the non-finite ones (slower)"
    )


def _check_arguments(args: argparse.Namespace) -> None:
    def bad(message: str) -> NoReturn:
        raise CommandError(message, status=2)

    if args.batch is not None and args.files:
        bad("give FILE... or --batch FOLDER, not both")
    if args.batch is None and not args.files:
        bad("give FILE... or --batch FOLDER")
    if args.batch is None and (args.pattern is not None or args.jobs is not None):
        bad("--pattern and --jobs go with --batch")
    if args.batch == "" or any(name == "" for name in args.files):
        bad("an empty path names no file or folder")
    if args.jobs is not None and args.jobs < 1:
        bad("--jobs needs at least 1")
    if args.batch is not None and not Path(args.batch).is_dir():
        bad(f"--batch {shown_name(args.batch)}: not a folder")


def _in_threads(paths: list[str], samples: bool, jobs: int) -> list[Report]:
    """The reports in `jobs` threads, in the order of `paths`: the native check of a
    path runs without the interpreter lock, so the threads check in parallel."""
    from concurrent.futures import ThreadPoolExecutor

    chunks = [paths[i : i + CHUNK] for i in range(0, len(paths), CHUNK)]

    def run(chunk: list[str]) -> list[Report]:
        return [check_path(path, shown_name(path), samples=samples) for path in chunk]

    with ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(run, chunk) for chunk in chunks]
        try:
            return [report for future in futures for report in future.result()]
        except KeyboardInterrupt:
            for future in futures:
                future.cancel()  # the chunks in hand finish: a check is short
            raise


def _matching(folder: Path, pattern: str) -> tuple[list[str], list[tuple[str, str]]]:
    """The regular files in `folder` matching `pattern` and the other matching entries
    with what they are, in name order: as the conversions' batch lists them, without
    importing its pool (glob.glob is also quicker than pathlib's)."""
    import glob
    import stat

    paths, skipped = [], []
    for name in sorted(glob.glob(pattern, root_dir=folder, recursive=True, include_hidden=True)):
        path = os.path.join(folder, name)
        try:
            regular = stat.S_ISREG(os.stat(path).st_mode)
        except OSError:
            regular = False
        if regular:
            paths.append(path)
        else:
            skipped.append((path, not_regular(Path(path)) or "not a regular file"))
    return paths, skipped


def run_batch(folder: Path, pattern: str, *, samples: bool, jobs: int | None) -> tuple[list[Report], int]:
    """The reports on the matching regular files of `folder` in name order, and the
    number of matching entries skipped (folders, pipes, ...; each named on standard error)."""
    paths, skipped = _matching(folder, pattern)
    for entry, what in skipped:
        _say(f"{shown_name(entry)}: skipped: {what}")
    workers = min(jobs or os.cpu_count() or 1, max(1, len(paths) // CHUNK))
    if workers > 1:
        reports = _in_threads(paths, samples, workers)
    else:
        reports = [check_path(p, shown_name(p), samples=samples) for p in paths]
    return reports, len(skipped)


def _say(message: str) -> None:
    sys.stderr.write(f"vorn: {message}\n")
    sys.stderr.flush()


def table(reports: Sequence[Report]) -> str:
    """The reports as an aligned table, one row per finding (one for a file without)."""
    rows: list[tuple[str, ...]] = [COLUMNS]
    for report in reports:
        if not report.findings:
            rows.append((report.file, report.verdict, "", "", "", ""))
        for i, f in enumerate(report.findings):
            first = i == 0
            rows.append(
                (
                    report.file if first else "",
                    report.verdict if first else "",
                    f.code,
                    "" if f.offset is None else str(f.offset),
                    f.field,
                    f.text,
                )
            )
    widths = [max(len(row[c]) for row in rows) for c in range(len(COLUMNS) - 1)]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row, widths, strict=False)] + [row[-1]]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def json_lines(reports: Sequence[Report]) -> str:
    return "".join(json.dumps(r.to_dict(), ensure_ascii=False) + "\n" for r in reports)


def summary(reports: Sequence[Report], skipped: int) -> str:
    counts = {verdict: 0 for verdict in ("ok", "warnings", "damaged", "not this kind")}
    for r in reports:
        counts[r.verdict] = counts.get(r.verdict, 0) + 1
    text = (
        f"checked {len(reports)} file{'s' if len(reports) != 1 else ''}: {counts['ok']} ok, "
        f"{counts['warnings']} with warnings, {counts['damaged']} damaged, "
        f"{counts['not this kind']} not this kind"
    )
    return text + (f"; {skipped} skipped" if skipped else "")


def exit_status(reports: Sequence[Report], strict: bool) -> int:
    if any(r.failed for r in reports):
        return 1
    if strict and any(r.verdict == "warnings" for r in reports):
        return 1
    return 0


def run_check(args: argparse.Namespace) -> int:
    _check_arguments(args)
    try:
        if args.batch is not None:
            reports, skipped = run_batch(
                Path(args.batch), args.pattern or "*.vdf", samples=args.samples, jobs=args.jobs
            )
        else:
            reports = [check_path(name, shown_name(name), samples=args.samples) for name in args.files]
            skipped = 0
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    try:
        sys.stdout.write(json_lines(reports) if args.json else table(reports))
        sys.stdout.flush()
    except OSError as exc:  # a full disk, or a reader that went away
        silence(1)
        _say(f"error: cannot write to standard output: {exc.strerror or exc}")
        return 1
    _say(summary(reports, skipped))
    return exit_status(reports, args.strict)
