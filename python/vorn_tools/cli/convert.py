"""`vorn convert`: a folder of data files converted, one output per file (JSON, .npz,
JCAMP-DX) or one Parquet dataset."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path, PurePath
from typing import TYPE_CHECKING

from ..reading.errors import shown_name
from .common import CommandError, note, path_argument, require

if TYPE_CHECKING:
    from ..archive.planning import Outcome

FORMATS = ("json", "npz", "jcamp", "parquet")


def _pattern(text: str) -> str:
    pattern = PurePath(text)
    if not text or pattern.is_absolute() or ".." in pattern.parts:
        raise argparse.ArgumentTypeError("a glob within FOLDER: not empty, not absolute, no '..'")
    return text


def _jobs(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"a number of 1 or more, not {text!r}")
    return number


def arguments_convert(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("folder", metavar="FOLDER", type=path_argument, help="the folder of data files")
    parser.add_argument(
        "--to",
        choices=FORMATS,
        default="json",
        help="json, npz or jcamp: one file per input (npz and jcamp need numpy); parquet: one "
        "dataset, a row per file (needs pyarrow) (default json)",
    )
    parser.add_argument(
        "--out",
        metavar="FOLDER",
        type=path_argument,
        help="where the outputs go, in the inputs' subfolders (default: FOLDER); "
        "for --to parquet the dataset folder (needed)",
    )
    parser.add_argument(
        "--pattern",
        metavar="GLOB",
        type=_pattern,
        default="*.vdf",
        help="which files are converted (default '*.vdf'; '**/*.vdf' also takes those in subfolders)",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_jobs, metavar="N", help="worker processes (default: one per CPU)")
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="--to parquet: convert on the dask.distributed cluster at ADDRESS instead of local "
        "processes (needs the 'dask' extra)",
    )
    parser.add_argument(
        "--overwrite",
        action="store_true",
        help="json, npz, jcamp: replace files in the way of the outputs that a conversion did not write",
    )
    parser.add_argument(
        "--no-data", action="store_true", help="--to parquet: write the index alone (metadata, no samples)"
    )


def _check(args: argparse.Namespace) -> None:
    fmt = args.to
    if fmt == "parquet":
        if args.out is None:
            raise CommandError("--to parquet needs --out, the dataset folder", status=2)
        if args.overwrite:
            raise CommandError(
                "--overwrite: for json, npz and jcamp; a dataset run replaces only its own files", status=2
            )
    else:
        used = [flag for flag, on in (("--no-data", args.no_data), ("--scheduler", args.scheduler)) if on]
        if used:
            raise CommandError(f"{', '.join(used)}: for --to parquet only, not --to {fmt}", status=2)
    folder: Path = args.folder
    if not folder.is_dir():
        what = "no such folder" if not folder.exists() else "a file, not a folder"
        raise CommandError(f"{shown_name(folder)}: {what}")
    if fmt in ("npz", "jcamp"):
        require("numpy", "numpy", f"--to {fmt}")
    if fmt == "parquet":
        require("pyarrow", "parquet", "--to parquet")
        require("numpy", "parquet", "--to parquet")
        if args.scheduler is not None:
            require("distributed", "dask", "--scheduler")


def _run(args: argparse.Namespace, out_dir: Path) -> list[Outcome]:
    from ..archive.batch import convert_folder
    from ..archive.dataset_files import NotADataset
    from ..archive.datasets import SchedulerUnreachable, convert_folder_to_parquet
    from ..archive.planning import RefusedPlan
    from ..archive.pool import WorkerStartError

    try:
        if args.to == "parquet":
            return convert_folder_to_parquet(
                args.folder,
                out_dir,
                pattern=args.pattern,
                with_data=not args.no_data,
                workers=args.jobs,
                scheduler=args.scheduler,
                progress=sys.stderr,
            )
        return convert_folder(
            args.folder,
            args.to,
            out_dir=out_dir,
            pattern=args.pattern,
            workers=args.jobs,
            progress=sys.stderr,
            overwrite=args.overwrite,
        )
    except (RefusedPlan, NotADataset) as exc:
        raise CommandError(str(exc), status=2) from None
    except (WorkerStartError, SchedulerUnreachable) as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot write to {shown_name(out_dir)}: {exc.strerror or exc}") from None


def run_convert(args: argparse.Namespace) -> int:
    _check(args)
    out_dir: Path = args.out if args.out is not None else args.folder
    outcomes = _run(args, out_dir)
    skipped = sum(outcome.skipped is not None for outcome in outcomes)
    failed = sum(outcome.error is not None for outcome in outcomes)
    if len(outcomes) == skipped:
        raise CommandError(
            f"no files matching {args.pattern!r} in {shown_name(args.folder)}"
            + (f"; {skipped} skipped" if skipped else "")
        )
    note(
        f"converted {len(outcomes) - failed - skipped} of {len(outcomes)} files to {args.to} in "
        f"{shown_name(out_dir)}"
        + (f"; {failed} failed" if failed else "")
        + (f"; {skipped} skipped" if skipped else "")
    )
    if args.to == "parquet" and any(o.error is not None and o.target is not None for o in outcomes):
        from ..exports.parquet import errors_path

        note(f"{failed} failed file(s) listed in {shown_name(errors_path(out_dir))}")
    return 1 if failed else 0
