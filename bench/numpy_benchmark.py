"""Times vorn_tools.open(...).to_numpy() and .info against a numpy floor.

Uses the large files of parse_benchmark.py and measures, every run in a fresh
process (medians of --repeat runs; wall time, peak RSS from VmHWM):

  * the numpy floor, the best a user could write: the data section read through
    one reused 1 MiB buffer, each chunk written straight into its place in the
    preallocated complex arrays (32 x 32 blocks put in place a row of blocks at a
    time);
  * open(path).to_numpy() (targets: time <= 1.3 x floor, RSS <= 1.2 x floor's)
    and to_numpy(parse(path)) for information;
  * open(path).info of a 512 MiB sparse file: time per call after the first
    (<= 2 ms) and bytes read, from rchar of /proc/self/io (at most the header,
    the parameter block and one 64 KiB window);
  * 2,000 small One_D files (2 x 16384 samples, about 150 parameters) on one
    core, in files/s: the floor, open(p).to_numpy() (>= 0.5 x the floor) and
    open(p).info (>= 5000 files/s);
  * the `vorn FILE` summary of the 512 MiB file (< 150 ms wall time).

Prints one table; exits with status 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict
from pathlib import Path

import parse_benchmark as pb
from parse_benchmark import DataFile, peak_of_this_process_kib

vw = pb.vw

OPEN_OVER_FLOOR = 1.3
RSS_OVER_FLOOR = 1.2
INFO_SECONDS = 0.002
WINDOW = 64 * 1024
SMALL_OVER_FLOOR = 0.5
INFO_FILES_PER_S = 5000
SUMMARY_SECONDS = 0.150
SUMMARY_TIMEOUT = 3.0  # seconds; a slower summary is reported as this
SPARSE_BYTES = 512 * 1024 * 1024
SMALL_FILES = 2000
SMALL_POINTS = 16384


# --- the floor ---------------------------------------------------------------------


CHUNK = 1 << 20  # the floor's one reused read buffer


def _fill(f, view) -> None:
    """Reads exactly len(view) bytes into view."""
    done = 0
    while done < len(view):
        got = f.readinto(view[done:])
        if not got:
            raise SystemExit("the benchmark file ended early")
        done += got


def numpy_floor(path: str, datafile: DataFile):
    """The file's samples as complex arrays with numpy alone: the data section read
    through one reused 1 MiB buffer, each chunk written straight into its place in the
    preallocated complex arrays (Two_D: whole rows of 32 x 32 blocks at a time)."""
    import numpy as np

    dtype = np.dtype(("<" if datafile.little_endian else ">") + ("f4" if datafile.sample_bits == 32 else "f8"))
    width = dtype.itemsize
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        f.seek(datafile.data_start)
        if datafile.row_length == datafile.samples // 2:  # One_D, 2 sections: im, then re
            n = datafile.row_length
            values = np.empty(n, np.complex128)
            for target in (values.imag, values.real):
                done = 0
                while done < n:
                    k = min(n - done, CHUNK // width)
                    _fill(f, view[: k * width])
                    target[done : done + k] = np.frombuffer(buffer, dtype, k)
                    done += k
            return values, None
        side = datafile.row_length
        edge = vw.BLOCK_EDGE
        blocks = side // edge
        block_row = edge * side  # samples in one row of blocks
        per_chunk = max(1, CHUNK // (block_row * width))
        values = np.empty((side, side), np.complex128)
        mixed = np.empty((side, side), np.complex128)
        # Stored: re, re_im, im, im_re; each block rows, block columns, 32 rows of 32.
        for target in (values.real, mixed.real, values.imag, mixed.imag):
            r = 0
            while r < blocks:
                k = min(per_chunk, blocks - r)
                _fill(f, view[: k * block_row * width])
                chunk = np.frombuffer(buffer, dtype, k * block_row).reshape(k, blocks, edge, edge)
                target[r * edge : (r + k) * edge] = chunk.transpose(0, 2, 1, 3).reshape(k * edge, side)
                r += k
        return values, mixed


# --- children: one case, in a fresh process -----------------------------------------


def child_big(kind: str, datafile: DataFile) -> None:
    import numpy  # noqa: F401 - imported untimed in every case
    import vorn_parser

    import vorn_tools

    if kind == "floor":

        def run():
            return numpy_floor(datafile.path, datafile)
    elif kind == "open":

        def run():
            return vorn_tools.open(datafile.path).to_numpy()
    else:

        def run():
            return vorn_tools.to_numpy(vorn_parser.parse(datafile.path))

    gc.collect()
    wall = time.perf_counter()
    result = run()
    wall = time.perf_counter() - wall
    del result
    print(json.dumps({"seconds": wall, "kib": peak_of_this_process_kib()}))


def rchar() -> int:
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise SystemExit("no rchar in /proc/self/io")


def child_info(path: str, repeat: int) -> None:
    import vorn_tools

    _ = vorn_tools.open(path).info  # the first call, with the lazy imports
    before = rchar()
    _ = vorn_tools.open(path).info
    read = rchar() - before
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        _ = vorn_tools.open(path).info
        times.append(time.perf_counter() - start)
    print(json.dumps({"seconds": statistics.median(times), "read": read}))


def child_small(kind: str, directory: str, datafile: DataFile) -> None:
    import numpy  # noqa: F401

    import vorn_tools

    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    paths = sorted(str(p) for p in Path(directory).glob("*.vdf"))
    if kind == "floor":

        def one(p):
            return numpy_floor(p, datafile)
    elif kind == "open":

        def one(p):
            return vorn_tools.open(p).to_numpy()
    else:

        def one(p):
            return vorn_tools.open(p).info

    one(paths[0])  # lazy imports out of the timing
    gc.collect()
    start = time.perf_counter()
    for p in paths:
        one(p)
    seconds = time.perf_counter() - start
    print(json.dumps({"files_per_s": len(paths) / seconds}))


def run_child(*args: str) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", *args], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.splitlines()[-1])


# --- the files ---------------------------------------------------------------------


def write_sparse_file(directory: Path) -> tuple[Path, int]:
    """A One_D 2-section 32-bit file of SPARSE_BYTES of samples, all holes; returns
    (path, bytes before the data)."""
    points = SPARSE_BYTES // 8
    params = vw.standard_params("One_D", x_points=points)
    head = vw.build_file(
        header=vw.Header(
            data_points=[points] + [1] * 7, data_length=SPARSE_BYTES, data_axis_type=vw.section_count_axis_types(2, 1)
        ),
        params=params,
        sections=[b""],
        sample_bits=32,
    )
    head_length = len(head)
    total = head_length + SPARSE_BYTES
    head = vw.build_file(
        header=vw.Header(
            data_points=[points] + [1] * 7,
            data_length=SPARSE_BYTES,
            data_axis_type=vw.section_count_axis_types(2, 1),
            total_size=total,
        ),
        params=params,
        sections=[b""],
        sample_bits=32,
    )
    path = directory / "sparse_512m.vdf"
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(total)
    return path, head_length


def write_small_files(directory: Path) -> DataFile:
    params = vw.standard_params("One_D", x_points=SMALL_POINTS)
    params += [vw.Param(f"extra_{i:03d}", [f"text {i}", i, i * 0.5][i % 3]) for i in range(150 - len(params))]
    sections = [pb.section_values(s, SMALL_POINTS, 32) for s in range(2)]
    content = vw.build_file(params=params, sections=sections, sample_bits=32)
    directory.mkdir()
    for i in range(SMALL_FILES):
        (directory / f"small_{i:04d}.vdf").write_bytes(content)
    data_start = len(content) - 2 * SMALL_POINTS * 4
    return DataFile("small", "small", "", data_start, 32, False, 2 * SMALL_POINTS, SMALL_POINTS)


def check_floor(datafile: DataFile) -> None:
    """The floor gives the arrays that open().to_numpy() gives."""
    import numpy as np

    import vorn_tools

    values, mixed = numpy_floor(datafile.path, datafile)
    arrays = vorn_tools.open(datafile.path).to_numpy()
    same = np.array_equal(values.view(np.uint64), arrays.values.view(np.uint64))
    if mixed is not None:
        same = same and np.array_equal(mixed.view(np.uint64), arrays.mixed.view(np.uint64))
    if not same:
        raise SystemExit(f"{datafile.name}: the floor and open().to_numpy() differ")


# --- main --------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7, help="fresh-process runs per case (median taken)")
    parser.add_argument("--quick", action="store_true", help="3 runs per case")
    parser.add_argument("--workdir", help="where to write the files (default: a temporary folder)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        what, *rest = args.child
        if what == "big":
            child_big(rest[0], DataFile(**json.loads(rest[1])))
        elif what == "info":
            child_info(rest[0], int(rest[1]))
        else:
            child_small(rest[0], rest[1], DataFile(**json.loads(rest[2])))
        return 0
    repeat = 3 if args.quick else args.repeat

    missed: list[str] = []

    def mark(ok: bool, what: str) -> str:
        if not ok:
            missed.append(what)
        return "" if ok else "  MISSED"

    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        directory = Path(tmp)
        print(f"machine: {pb.machine()}")
        print(f"writing the benchmark files to {directory} ...", flush=True)
        big = [
            pb.write_data_file(directory, "two_d_f64_be", "Two_D 4 x 1024 x 1024, 64-bit BE", "Two_D", 4, 64, False)[0],
            pb.write_data_file(directory, "two_d_f32_le", "Two_D 4 x 1024 x 1024, 32-bit LE", "Two_D", 4, 32, True)[0],
            pb.write_data_file(directory, "one_d_f32_be", "One_D 2 x 4194304, 32-bit BE", "One_D", 2, 32, False)[0],
        ]
        sparse, sparse_head = write_sparse_file(directory)
        small = write_small_files(directory / "small")
        for datafile in big:
            check_floor(datafile)
        check_floor(DataFile(**{**asdict(small), "path": str(directory / "small" / "small_0000.vdf")}))
        gc.collect()

        print(f"timing ({repeat} runs per case, each in a fresh process, cases interleaved) ...", flush=True)
        big_runs: dict[tuple[str, str], list[dict]] = {}
        small_runs: dict[str, list[float]] = {}
        summary_times: list[float] = []
        vorn = str(Path(sys.executable).parent / "vorn")
        for _ in range(repeat):
            for datafile in big:
                for kind in ("floor", "open", "parse"):
                    big_runs.setdefault((datafile.name, kind), []).append(
                        run_child("big", kind, json.dumps(asdict(datafile)))
                    )
            for kind in ("floor", "open", "info"):
                small_runs.setdefault(kind, []).append(
                    run_child("small", kind, str(directory / "small"), json.dumps(asdict(small)))["files_per_s"]
                )
            if not summary_times or summary_times[-1] < SUMMARY_TIMEOUT:
                start = time.perf_counter()
                try:
                    subprocess.run([vorn, str(sparse)], check=True, capture_output=True, timeout=SUMMARY_TIMEOUT)
                    summary_times.append(time.perf_counter() - start)
                except subprocess.TimeoutExpired:  # far beyond the target: not waited for again
                    summary_times.append(SUMMARY_TIMEOUT)
        info = run_child("info", str(sparse), str(max(50, repeat * 20)))

    print()
    print(f"Large files: medians of {repeat} fresh-process runs, wall time in ms, peak RSS (VmHWM) in MiB.")
    print(f"Targets: open/floor time <= {OPEN_OVER_FLOOR}, RSS <= {RSS_OVER_FLOOR}; parse is for information.")
    head = (
        f"{'file':<36}{'floor':>8}{'open':>8}{'parse':>8}{'open/fl':>9}"
        f"{'RSS fl':>8}{'RSS op':>8}{'RSS pa':>8}{'RSS op/fl':>10}"
    )
    print(head)
    print("-" * len(head))
    for datafile in big:
        kinds = ("floor", "open", "parse")
        t = {k: statistics.median(r["seconds"] for r in big_runs[(datafile.name, k)]) for k in kinds}
        m = {k: statistics.median(r["kib"] for r in big_runs[(datafile.name, k)]) / 1024 for k in kinds}
        rt, rm = t["open"] / t["floor"], m["open"] / m["floor"]
        flags = mark(rt <= OPEN_OVER_FLOOR, f"{datafile.name} time open/floor {rt:.2f}") + mark(
            rm <= RSS_OVER_FLOOR, f"{datafile.name} RSS open/floor {rm:.2f}"
        )
        print(
            f"{datafile.label:<36}{t['floor'] * 1e3:8.1f}{t['open'] * 1e3:8.1f}{t['parse'] * 1e3:8.1f}{rt:9.2f}"
            f"{m['floor']:8.0f}{m['open']:8.0f}{m['parse']:8.0f}{rm:10.2f}{flags}"
        )

    print()
    limit = sparse_head + WINDOW
    print(
        f"open(path).info of a 512 MiB sparse file (median of the calls after the first; "
        f"bytes read by one call, target <= header + parameters + 64 KiB = {limit:,}):"
    )
    print(
        f"  {info['seconds'] * 1e3:.3f} ms{mark(info['seconds'] <= INFO_SECONDS, 'info time')}"
        f"   {info['read']:,} bytes read{mark(info['read'] <= limit, 'info bytes read')}"
    )
    summary = statistics.median(summary_times)
    shown = f">= {SUMMARY_TIMEOUT * 1e3:.0f} (stopped)" if summary >= SUMMARY_TIMEOUT else f"{summary * 1e3:.1f}"
    print(
        f"`vorn FILE` summary of the 512 MiB file: {shown} ms wall (target < "
        f"{SUMMARY_SECONDS * 1e3:.0f}){mark(summary < SUMMARY_SECONDS, 'vorn summary time')}"
    )

    print()
    s = {k: statistics.median(v) for k, v in small_runs.items()}
    print(f"{SMALL_FILES:,} small One_D files (2 x {SMALL_POINTS} 32-bit samples, 150 parameters), one core, files/s:")
    print(f"  numpy floor          {s['floor']:9,.0f}")
    ratio = s["open"] / s["floor"]
    print(
        f"  open(p).to_numpy()   {s['open']:9,.0f}   {ratio:.2f} x floor (target >= {SMALL_OVER_FLOOR})"
        f"{mark(ratio >= SMALL_OVER_FLOOR, f'small files open/floor {ratio:.2f}')}"
    )
    print(
        f"  open(p).info         {s['info']:9,.0f}   (target >= {INFO_FILES_PER_S:,})"
        f"{mark(s['info'] >= INFO_FILES_PER_S, 'small files info rate')}"
    )

    print()
    if missed:
        print("targets MISSED:")
        for line in missed:
            print(f"  {line}")
        return 1
    print("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
