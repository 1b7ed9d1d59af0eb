"""Files per second of `vorn check --batch` over a folder of small files.

Writes N small files (One_D, 2 x 1024 binary32 samples, the standard parameter set,
about 10 KB each) to a temporary folder, then times whole runs of the command in fresh
processes (start-up included), best of --repeat: without the samples (the default),
with --jobs 1 and --jobs 2, and with --samples. As a floor, the same files are each
opened and their header block read in one Python loop. Each run shows its wall-clock
time and files per second, and its CPU time (user + system), which a machine shared
with other work does not inflate as much. Target: at least 5,000 files per second
(wall clock) for the default run on 2 cores.

    .venv/bin/python bench/check_benchmark.py [--files 2000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from vorn_tools.testing.vdf_writer import build_file, standard_params

ROOT = Path(__file__).resolve().parents[1]

TARGET = 5000.0


def make_files(folder: Path, count: int) -> None:
    data = build_file(
        params=standard_params("One_D", x_points=1024),
        sections=[[float(i % 97) for i in range(1024)], [-1.0] * 1024],
        sample_bits=32,
    )
    for i in range(count):
        (folder / f"f{i:05d}.vdf").write_bytes(data)


def run(folder: Path, *extra: str) -> tuple[float, float]:
    """Wall-clock and CPU seconds (user + system) of one run of the command."""
    command = [sys.executable, "-m", "vorn_tools", "check", "--batch", str(folder), "--json", *extra]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"vorn check failed ({done.returncode}): {done.stderr}")
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return elapsed, cpu


def floor(folder: Path) -> tuple[float, float]:
    start, cpu = time.perf_counter(), time.process_time()
    for path in sorted(folder.glob("*.vdf")):
        with open(path, "rb") as f:
            f.read(1360)
    return time.perf_counter() - start, time.process_time() - cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        make_files(folder, args.files)
        runs = {
            "vorn check --batch (default)": (),
            "  --jobs 1": ("--jobs", "1"),
            "  --jobs 2": ("--jobs", "2"),
            "  --samples": ("--samples",),
        }
        best = {name: min(run(folder, *extra) for _ in range(args.repeat)) for name, extra in runs.items()}
        best["floor: open + read the header, one loop"] = min(floor(folder) for _ in range(args.repeat))
    print(
        f"{args.files} files, best of {args.repeat} (fresh processes, start-up included); "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs"
    )
    print(f"{'':44s} {'wall':>8s}     {'files/s':>9s}  {'CPU':>8s}")
    for name, (wall, cpu) in best.items():
        print(f"{name:44s} {wall * 1000:8.1f} ms  {args.files / wall:9.0f}  {cpu * 1000:8.1f} ms")
    rate = args.files / best["vorn check --batch (default)"][0]
    met = rate >= TARGET
    print(f"target >= {TARGET:.0f} files/s: {'met' if met else 'MISSED'} ({rate:.0f})")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
