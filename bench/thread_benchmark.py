"""Threads decoding files at once: open(p).to_numpy() over 200 One_D files of 4 MiB
by one thread, then by two (a ThreadPoolExecutor), files per second in one run (the
best of --repeat passes each). The native reader lets go of the interpreter lock
while it reads and decodes a path, so two threads on two cores should come close to
twice one thread's rate (target >= 1.8 x). Also xr.open_mfdataset over the files,
parallel=True against parallel=False, when xarray and dask are installed.

Prints the rates and ratios; exits with status 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import parse_benchmark as pb

vw = pb.vw

FILES = 200
POINTS = 262144  # 2 sections of 64-bit samples: 4 MiB a file
TWO_OVER_ONE = 1.8


def write_files(directory: Path) -> list[str]:
    params = vw.standard_params("One_D", x_points=POINTS, filter_orders=None)
    content = vw.build_file(
        params=params, sections=[pb.section_values(s, POINTS, 64) for s in range(2)], sample_bits=64
    )
    paths = []
    for i in range(FILES):
        path = directory / f"f_{i:03d}.vdf"
        path.write_bytes(content)
        paths.append(str(path))
    return paths


def rate(paths: list[str], threads: int, repeat: int) -> float:
    import vorn_tools

    def one(p: str) -> None:
        vorn_tools.open(p).to_numpy()

    best = 0.0
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(one, paths[:threads]))  # warm: imports, pages of the files
        for _ in range(repeat):
            start = time.perf_counter()
            list(pool.map(one, paths))
            best = max(best, len(paths) / (time.perf_counter() - start))
    return best


def mfdataset_seconds(paths: list[str], parallel: bool) -> float:
    import xarray as xr

    start = time.perf_counter()
    with xr.open_mfdataset(paths, engine="vorn", combine="nested", concat_dim="file", parallel=parallel) as ds:
        (ds["re"].sum() + ds["im"].sum()).compute()
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="passes per case (the best is taken)")
    parser.add_argument("--workdir", help="where to write the files (default: a temporary folder)")
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0))
    print(f"machine: {pb.machine()}; {cores} cores available")
    missed = []
    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        paths = write_files(Path(tmp))
        one = rate(paths, 1, args.repeat)
        two = rate(paths, 2, args.repeat)
        ratio = two / one
        flag = "" if ratio >= TWO_OVER_ONE else "  MISSED"
        if flag:
            missed.append(f"two threads / one {ratio:.2f}")
        print(
            f"{FILES} files of 4 MiB, open(p).to_numpy(), files/s: one thread {one:,.0f}, "
            f"two threads {two:,.0f}: {ratio:.2f} x (target >= {TWO_OVER_ONE}){flag}"
        )
        try:
            import dask  # noqa: F401
            import xarray  # noqa: F401
        except ImportError:
            print("xarray or dask not installed: open_mfdataset not timed")
        else:
            serial = min(mfdataset_seconds(paths, False) for _ in range(args.repeat))
            parallel = min(mfdataset_seconds(paths, True) for _ in range(args.repeat))
            flag = "" if parallel < serial else "  MISSED"
            if flag:
                missed.append("open_mfdataset parallel not faster")
            print(
                f"xr.open_mfdataset over {FILES} files, data summed: parallel=False {serial * 1e3:.0f} ms, "
                f"parallel=True {parallel * 1e3:.0f} ms: {serial / parallel:.2f} x{flag}"
            )
    if missed:
        print("targets MISSED: " + "; ".join(missed))
        return 1
    print("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
