"""`vorn check`: validation reports for files and folders of files.

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
from typing import Any

from .check_report import Finding, Report, check_path
from .errors import shown_name

PROG = "vorn check"
# Files per task handed to a worker: large enough that the pool's messages cost little
# next to the checks, small enough to keep both workers busy to the end.
CHUNK = 64
# Below this many files a batch is checked in this process: starting workers costs
# more than they save.
POOL_FROM = 2048
COLUMNS = ("FILE", "VERDICT", "CODE", "OFFSET", "FIELD", "TEXT")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Check NMR data files: whether the reader can read each one and what it loses "
                    "or finds odd on the way (see the README, 'Checking files', for the codes).")
    parser.add_argument("files", nargs="*", metavar="FILE", help="the data files to check")
    parser.add_argument("--batch", metavar="FOLDER", help="check every file in FOLDER that matches --pattern")
    parser.add_argument("--pattern", metavar="GLOB",
                        help="with --batch: which files (default '*.vdf'; '**/*.vdf' takes subfolders too)")
    parser.add_argument("--jobs", type=int, metavar="N", help="with --batch: worker processes (default: one per CPU)")
    parser.add_argument("--json", action="store_true", help="one JSON object per file and line")
    parser.add_argument("--strict", action="store_true", help="files with warnings fail too (exit status 1)")
    parser.add_argument("--samples", action="store_true",
                        help="also decode the samples and count the non-finite ones (slower)")
    return parser


def _arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.batch is not None and args.files:
        parser.error("give FILE... or --batch FOLDER, not both")
    if args.batch is None and not args.files:
        parser.error("give FILE... or --batch FOLDER")
    if args.batch is None and (args.pattern is not None or args.jobs is not None):
        parser.error("--pattern and --jobs go with --batch")
    if args.batch == "" or any(name == "" for name in args.files):
        parser.error("an empty path names no file or folder")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs needs at least 1")
    if args.batch is not None and not Path(args.batch).is_dir():
        parser.error(f"--batch {shown_name(args.batch)}: not a folder")
    return args


def check_chunk(paths: Sequence[str], samples: bool) -> list[dict[str, object]]:
    """A worker's task: the reports on some files, as dicts (they cross processes)."""
    return [check_path(path, shown_name(path), samples=samples).to_dict() for path in paths]


def _from_dict(d: dict[str, Any]) -> Report:
    findings: list[dict[str, Any]] = d["findings"]
    return Report(str(d["file"]), str(d["verdict"]), tuple(Finding(**f) for f in findings))


def _in_pool(paths: list[str], samples: bool, jobs: int) -> list[Report]:
    from .batch import run_in_pool

    chunks = [paths[i:i + CHUNK] for i in range(0, len(paths), CHUNK)]
    reports: list[Report] = []

    def done(chunk: list[str], result: list[dict[str, object]]) -> None:
        reports.extend(_from_dict(d) for d in result)

    broken, waiting = run_in_pool(chunks, jobs, lambda chunk: (check_chunk, chunk, samples), done, _say,
                                  lambda chunk: set(), per_worker=2)
    # A worker that ended takes its files with it; they are checked again one by one
    # in this process (the checks cannot crash: they are the reader's own).
    for chunk in broken + waiting:
        reports.extend(check_path(path, shown_name(path), samples=samples) for path in chunk)
    return reports


def run_batch(folder: Path, pattern: str, *, samples: bool, jobs: int | None) -> tuple[list[Report], int]:
    """The reports on the matching regular files of `folder` in name order, and the
    number of matching entries skipped (folders, pipes, ...; each named on standard error)."""
    from .batch import matching_entries

    sources, skipped = matching_entries(folder, pattern)
    for entry, what in skipped:
        _say(f"{shown_name(entry)}: skipped: {what}")
    paths = [str(p) for p in sources]
    workers = min(jobs or os.cpu_count() or 1, max(1, len(paths) // CHUNK))
    if workers > 1 and (jobs is not None or len(paths) >= POOL_FROM):
        reports = _in_pool(paths, samples, workers)
        order = {shown_name(p): i for i, p in enumerate(paths)}
        reports.sort(key=lambda r: order.get(r.file, len(order)))
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
            rows.append((report.file if first else "", report.verdict if first else "", f.code,
                         "" if f.offset is None else str(f.offset), f.field, f.text))
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
    text = (f"checked {len(reports)} file{'s' if len(reports) != 1 else ''}: {counts['ok']} ok, "
            f"{counts['warnings']} with warnings, {counts['damaged']} damaged, "
            f"{counts['not this kind']} not this kind")
    return text + (f"; {skipped} skipped" if skipped else "")


def exit_status(reports: Sequence[Report], strict: bool) -> int:
    if any(r.failed for r in reports):
        return 1
    if strict and any(r.verdict == "warnings" for r in reports):
        return 1
    return 0


def main(argv: Sequence[str]) -> int:
    """Runs `vorn check` with the arguments after "check"."""
    args = _arguments(argv)
    try:
        if args.batch is not None:
            reports, skipped = run_batch(Path(args.batch), args.pattern or "*.vdf", samples=args.samples,
                                         jobs=args.jobs)
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
        from .cli import _silence

        _silence(1)
        _say(f"error: cannot write to standard output: {exc.strerror or exc}")
        return 1
    _say(summary(reports, skipped))
    return exit_status(reports, args.strict)
