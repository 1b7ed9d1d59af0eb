"""Times `vorn --batch DIR --to parquet` on 2,000 small files with 2 worker processes.

The files: One_D, 2 x 16384 32-bit big-endian samples (different in every file),
about 150 parameters (vdf_writer.standard_params plus extras). Each case runs in a
fresh process; the time is the wall time of convert_folder_to_parquet (pool start-up
and the workers' imports included, the imports of the parent not: numpy, pyarrow and
what pyarrow imports on first use), median of --repeat runs.

  * the floor: the files' bytes read and their samples decoded with numpy
    (np.frombuffer, then to native float32) in a pool of 2 processes, timed from a
    started pool;
  * --no-data (target >= 3,000 files/s and >= 0.5 x the floor);
  * with data (target >= 1,000 files/s and >= 0.5 x the floor);
  * the dataset with data at most 1.3 x the inputs' total size.

Prints one table; exits with status 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

FILES = 2000
POINTS = 16384
JOBS = 2
NO_DATA_FILES_PER_S = 3000
DATA_FILES_PER_S = 1000
OVER_FLOOR = 0.5
SIZE_OVER_INPUT = 1.3


def write_files(directory: Path) -> int:
    """The inputs; returns where their samples start."""
    import numpy as np

    from vorn_tools.testing import vdf_writer as vw

    params = vw.standard_params("One_D", x_points=POINTS)
    params += [vw.Param(f"extra_{i:03d}", [f"text {i}", i, i * 0.5][i % 3]) for i in range(150 - len(params))]
    template = vw.build_file(params=params, sections=[[0.0] * POINTS, [0.0] * POINTS], sample_bits=32)
    data_start = len(template) - 2 * POINTS * 4
    rng = np.random.default_rng(7)
    t = np.arange(2 * POINTS, dtype=np.float64)
    directory.mkdir()
    for i in range(FILES):
        signal = np.sin(t * (0.01 + i * 1e-5)) * np.exp(-t / 20000.0) * 1e5
        noise = rng.normal(0.0, 50.0, t.size)
        samples = (signal + noise).astype(">f4").tobytes()
        (directory / f"small_{i:04d}.vdf").write_bytes(template[:data_start] + samples)
    return data_start


def _floor_part(arguments: tuple[list[str], int]) -> int:
    import numpy as np

    paths, data_start = arguments
    total = 0
    for path in paths:
        with open(path, "rb") as f:
            content = f.read()
        samples = np.frombuffer(content, ">f4", 2 * POINTS, data_start).astype(np.float32)
        re, im = samples[POINTS:], samples[:POINTS]
        total += re.size + im.size
    return total


def child(kind: str, directory: str, out: str, data_start: int) -> None:
    import multiprocessing

    import numpy  # noqa: F401 - imported untimed
    import pyarrow

    # pyarrow imports pandas (where installed) the first time it converts Python
    # objects: an import of the parent's too, so also untimed.
    pyarrow.array([0])

    from vorn_tools.archive.datasets import convert_folder_to_parquet

    if kind == "floor":
        paths = sorted(str(p) for p in Path(directory).glob("*.vdf"))
        with multiprocessing.get_context("spawn").Pool(JOBS) as pool:
            pool.map(_floor_part, [([paths[0]], data_start)] * JOBS)  # started, imports done
            start = time.perf_counter()
            pool.map(_floor_part, [(paths[k::JOBS], data_start) for k in range(JOBS)])
            seconds = time.perf_counter() - start
    else:
        start = time.perf_counter()
        outcomes = convert_folder_to_parquet(Path(directory), Path(out), with_data=(kind == "data"), workers=JOBS)
        seconds = time.perf_counter() - start
        assert all(outcome.error is None for outcome in outcomes) and len(outcomes) == FILES
    print(json.dumps({"files_per_s": FILES / seconds}))


def run_child(kind: str, directory: Path, out: Path, data_start: int) -> float:
    result = subprocess.run(
        [sys.executable, __file__, "--child", kind, str(directory), str(out), str(data_start)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(result.stdout.splitlines()[-1])["files_per_s"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, directory, out, data_start = args.child
        child(kind, directory, out, int(data_start))
        return 0
    with tempfile.TemporaryDirectory(prefix="vorn-parquet-bench-") as temporary:
        folder = Path(temporary) / "files"
        data_start = write_files(folder)
        input_bytes = sum(p.stat().st_size for p in folder.iterdir())
        rates = {}
        for kind in ("floor", "no-data", "data"):
            runs = []
            for run in range(args.repeat):
                out = Path(temporary) / f"{kind}-{run}"
                runs.append(run_child(kind, folder, out, data_start))
            rates[kind] = statistics.median(runs)
        dataset_bytes = sum(p.stat().st_size for p in (Path(temporary) / "data-0").iterdir())
    floor = rates["floor"]
    rows = [
        ("read + numpy decode (floor)", f"{floor:,.0f} files/s", "", True),
        (
            "--to parquet --no-data",
            f"{rates['no-data']:,.0f} files/s",
            f">= {NO_DATA_FILES_PER_S:,} and >= {OVER_FLOOR} x floor ({rates['no-data'] / floor:.2f} x)",
            rates["no-data"] >= NO_DATA_FILES_PER_S and rates["no-data"] >= OVER_FLOOR * floor,
        ),
        (
            "--to parquet (with data)",
            f"{rates['data']:,.0f} files/s",
            f">= {DATA_FILES_PER_S:,} and >= {OVER_FLOOR} x floor ({rates['data'] / floor:.2f} x)",
            rates["data"] >= DATA_FILES_PER_S and rates["data"] >= OVER_FLOOR * floor,
        ),
        (
            "dataset size / input size",
            f"{dataset_bytes / input_bytes:.3f}",
            f"<= {SIZE_OVER_INPUT} ({dataset_bytes / 2**20:.1f} MiB of {input_bytes / 2**20:.1f} MiB)",
            dataset_bytes <= SIZE_OVER_INPUT * input_bytes,
        ),
    ]
    print(
        f"{FILES:,} One_D files (2 x {POINTS} 32-bit samples, 150 parameters), {JOBS} jobs, "
        f"median of {args.repeat} runs"
    )
    for name, value, target, met in rows:
        print(f"  {name:30} {value:>16}  {target}{'' if met else '  MISSED'}")
    return 0 if all(met for *_, met in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
