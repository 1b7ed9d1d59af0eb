"""Times vorn_parser.parse on large files against the fastest standard-library floor.

Writes its own files with the test-side writer, then measures in one run, with
several repetitions and medians:

  * parse(path), parse(bytes) and parse(bytearray) of three large data files;
  * the floor: the same number of Python floats, in lists of the same row
    lengths, made from the same bytes with array.frombytes, byteswap and
    tolist per row;
  * every run the first call in a fresh process, which also gives its peak RSS;
  * a file of 100,000 parameter records, in records per second;
  * optionally the core's section decode against memcpy (the Google Benchmark
    binary given with --decode-benchmark).

Prints one table and exits with status 1 when a target is missed.

The floor starts from the file's bytes already in memory, so it pays no file
read, while parse(path) does: the comparison is the stricter one for parse.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from array import array
from dataclasses import asdict, dataclass
from pathlib import Path

from vorn_tools.testing import vdf_writer as vw

ROOT = Path(__file__).resolve().parent.parent


# Targets: ratios measured in the same run on the same machine.
PATH_OVER_FLOOR = 1.25
BYTES_OVER_PATH = 1.10
PATH_OVER_BASELINE = 1.05
RSS_OVER_FLOOR = 1.30
DECODE_OVER_MEMCPY = 3.0

SIDE = 1024
ONE_D_POINTS = 4_194_304
PARAM_RECORDS = 100_000
HOST_LITTLE = sys.byteorder == "little"


@dataclass(frozen=True)
class DataFile:
    """A benchmark file and where its samples lie, for the floor."""

    name: str
    label: str
    path: str
    data_start: int
    sample_bits: int
    little_endian: bool
    samples: int
    row_length: int

    @property
    def data_bytes(self) -> int:
        return self.samples * self.sample_bits // 8


# --- the files ---------------------------------------------------------------------


def section_values(index: int, count: int, sample_bits: int) -> array:
    """Deterministic, varied samples; exactly representable in the sample width."""
    phase = 0.37 * index
    values = array("d", (math.sin(i * 0.0123 + phase) * 1.0e5 + i * 1.0e-3 for i in range(count)))
    return values if sample_bits == 64 else array("d", array("f", values))


def write_data_file(
    directory: Path, name: str, label: str, layout: str, sections: int, sample_bits: int, little_endian: bool
) -> tuple[DataFile, list[array]]:
    if layout == "Two_D":
        values = [section_values(s, SIDE * SIDE, sample_bits) for s in range(sections)]
        content = vw.build_file(
            params=vw.standard_params("Two_D", x_points=SIDE, y_points=SIDE, filter_orders=None),
            sections=[vw.Matrix(v, SIDE, SIDE) for v in values],
            little_endian=little_endian,
            sample_bits=sample_bits,
            layout="Two_D",
        )
        row_length = SIDE
    else:
        values = [section_values(s, ONE_D_POINTS, sample_bits) for s in range(sections)]
        content = vw.build_file(
            params=vw.standard_params("One_D", x_points=ONE_D_POINTS, filter_orders=None),
            sections=values,
            little_endian=little_endian,
            sample_bits=sample_bits,
            layout="One_D",
        )
        row_length = ONE_D_POINTS
    path = directory / f"{name}.vdf"
    path.write_bytes(content)
    samples = sum(len(v) for v in values)
    data_start = len(content) - samples * sample_bits // 8
    datafile = DataFile(name, label, str(path), data_start, sample_bits, little_endian, samples, row_length)
    return datafile, values


def write_param_file(directory: Path) -> Path:
    kinds = [lambda i: f"text {i}", lambda i: i * 7 - 50_000, lambda i: i * 0.25, lambda i: complex(i, -i)]
    params = [vw.Param(f"param_{i:06d}", kinds[i % 4](i)) for i in range(PARAM_RECORDS)]
    content = vw.build_file(params=params, sections=[[0.0] * 32, [1.0] * 32], sample_bits=32)
    path = directory / "params_100k.vdf"
    path.write_bytes(content)
    return path


def check_result(datafile: DataFile, values: list[array], result: dict) -> None:
    """The parse result holds every sample written, in its place."""
    data = result["data"]
    if datafile.row_length == ONE_D_POINTS:
        placed = [data["im"][0], data["re"][0]]
        rows_of = [[v.tolist()] for v in values]
        got = [[p] for p in placed]
    else:
        # Four sections: 0 "re", 1 "re_im", 2 "im", 3 "im_re".
        placed = [data["re"]["im"], data["re"]["re"], data["im"]["im"], data["im"]["re"]]
        rows_of = [[v[r * SIDE : (r + 1) * SIDE].tolist() for r in (0, 1, SIDE - 1)] for v in values]
        got = [[m[r] for r in (0, 1, SIDE - 1)] for m in placed]
        if any(len(m) != SIDE or any(len(row) != SIDE for row in m) for m in placed):
            raise SystemExit(f"{datafile.name}: wrong matrix shape")
    for expected, actual, section, v in zip(rows_of, got, placed, values, strict=False):
        if expected != actual:
            raise SystemExit(f"{datafile.name}: rows differ from the samples written")
        flat = section if datafile.row_length == ONE_D_POINTS else [x for row in section for x in row]
        if math.fsum(flat) != math.fsum(v):
            raise SystemExit(f"{datafile.name}: section sums differ from the samples written")


# --- what is measured --------------------------------------------------------------


def floor(content: bytes | bytearray, datafile: DataFile) -> list[list[float]]:
    """The fastest standard-library way from the bytes to lists of Python floats."""
    samples = array("f" if datafile.sample_bits == 32 else "d")
    samples.frombytes(memoryview(content)[datafile.data_start : datafile.data_start + datafile.data_bytes])
    if datafile.little_endian != HOST_LITTLE:
        samples.byteswap()
    n = datafile.row_length
    if n == len(samples):
        return [samples.tolist()]
    view = memoryview(samples)
    return [view[i : i + n].tolist() for i in range(0, len(samples), n)]


def read_bytearray(path: str) -> bytearray:
    buffer = bytearray(os.path.getsize(path))
    with open(path, "rb") as f:
        f.readinto(buffer)
    return buffer


def peak_of_this_process_kib() -> int:
    """VmHWM, the peak RSS of this process's own memory (ru_maxrss would keep,
    across exec, the peak of the parent that forked us)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise SystemExit("no VmHWM in /proc/self/status")


CASES = ("floor", "path", "bytes", "bytearray")


def case_child(kind: str, datafile: DataFile) -> None:
    """Runs one case once in this fresh process; prints its wall-clock and CPU
    times in seconds and the process's peak RSS in KiB. The input is made
    ready untimed."""
    import vorn_parser

    content: bytes | bytearray | None = None
    if kind in ("floor", "bytes"):
        content = Path(datafile.path).read_bytes()
    elif kind == "bytearray":
        content = read_bytearray(datafile.path)
    elif kind != "path":
        raise SystemExit(f"unknown case {kind}")
    if kind == "floor":

        def run():
            return floor(content, datafile)
    else:

        def run():
            return vorn_parser.parse(datafile.path if kind == "path" else content)

    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = run()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    del result
    print(wall, cpu, peak_of_this_process_kib())


def run_case(kind: str, datafile: DataFile, clock: str, python: str = sys.executable) -> tuple[float, int]:
    """Seconds on the chosen clock and peak RSS (KiB) of one case, run in a
    fresh process of `python`."""
    out = subprocess.run(
        [python, __file__, "--case", kind, json.dumps(asdict(datafile))], check=True, capture_output=True, text=True
    )
    wall, cpu, kib = out.stdout.split()[-3:]
    return float(cpu if clock == "cpu" else wall), int(kib)


# glibc settings under which freed memory is kept for reuse (a warm allocator).
WARM_ALLOCATOR = "glibc.malloc.trim_threshold=4294967295:glibc.malloc.mmap_threshold=4294967295"


def decode_benchmark(binary: str, repetitions: int, warm_allocator: bool) -> list[dict]:
    """Runs the Google Benchmark of the core's section decode; the median row per width."""
    env = dict(os.environ)
    if warm_allocator:
        env["GLIBC_TUNABLES"] = WARM_ALLOCATOR
    out = subprocess.run(
        [
            binary,
            "--benchmark_format=json",
            f"--benchmark_repetitions={repetitions}",
            "--benchmark_report_aggregates_only=true",
        ],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    )
    return [b for b in json.loads(out.stdout)["benchmarks"] if b.get("aggregate_name") == "median"]


# --- report ------------------------------------------------------------------------


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, CPython {platform.python_version()}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=15, help="repetitions per timing (median taken)")
    parser.add_argument(
        "--clock",
        choices=("cpu", "wall"),
        default="cpu",
        help="process CPU time (user + system; default), which other work on a shared "
        "machine disturbs less, or wall-clock time",
    )
    parser.add_argument(
        "--decode-benchmark", metavar="BINARY", help="the vorn_decode_benchmark binary; its ratios join the table"
    )
    parser.add_argument("--workdir", help="where to write the files (default: a temporary folder)")
    parser.add_argument(
        "--baseline",
        metavar="PYTHON",
        help="an interpreter whose vorn_parser is an earlier build: its parse(path) is "
        f"timed in the same run, and ours may be at most {PATH_OVER_BASELINE:.2f} x it",
    )
    parser.add_argument("--case", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        case_child(args.case[0], DataFile(**json.loads(args.case[1])))
        return 0

    import vorn_parser

    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        directory = Path(tmp)
        print(f"machine: {machine()}")
        print(f"writing the benchmark files to {directory} ...", flush=True)
        files = [
            write_data_file(directory, "two_d_f64_be", "Two_D 4 x 1024 x 1024, 64-bit BE", "Two_D", 4, 64, False),
            write_data_file(directory, "two_d_f32_le", "Two_D 4 x 1024 x 1024, 32-bit LE", "Two_D", 4, 32, True),
            write_data_file(directory, "one_d_f32_be", "One_D 2 x 4194304, 32-bit BE", "One_D", 2, 32, False),
        ]
        param_path = write_param_file(directory)

        # Each file's result is checked once before anything is timed.
        for datafile, values in files:
            check_result(datafile, values, vorn_parser.parse(datafile.path))
        datafiles = [datafile for datafile, _ in files]
        del files
        gc.collect()

        # Every run is the first parse of a fresh process, as when a user
        # loads a file, so that no case inherits memory another one freed.
        print(f"timing ({args.repeat} repetitions, each run in a fresh process, cases interleaved) ...", flush=True)
        params = DataFile("params", "100,000 parameter records", str(param_path), 0, 32, False, 0, 1)
        times: dict[tuple[str, str], list[float]] = {}
        peaks: dict[tuple[str, str], list[int]] = {}
        for _ in range(args.repeat):
            for datafile in datafiles:
                for kind in CASES:
                    seconds, kib = run_case(kind, datafile, args.clock)
                    times.setdefault((datafile.name, kind), []).append(seconds)
                    peaks.setdefault((datafile.name, kind), []).append(kib)
                if args.baseline:
                    seconds, kib = run_case("path", datafile, args.clock, args.baseline)
                    times.setdefault((datafile.name, "baseline"), []).append(seconds)
                    peaks.setdefault((datafile.name, "baseline"), []).append(kib)
            times.setdefault(("params", "path"), []).append(run_case("path", params, args.clock)[0])
        param_times = times.pop(("params", "path"))
        rss = {key: statistics.median(v) for key, v in peaks.items()}

    if args.decode_benchmark:
        print("running the decode benchmark (default and warm allocator) ...", flush=True)
        decode_cold = decode_benchmark(args.decode_benchmark, 5, warm_allocator=False)
        decode_warm = decode_benchmark(args.decode_benchmark, 5, warm_allocator=True)

    missed: list[str] = []

    def ratio(value: float, base: float, limit: float, what: str) -> str:
        r = value / base
        mark = "" if r <= limit else " MISSED"
        if mark:
            missed.append(f"{what}: {r:.2f} > {limit}")
        return f"{r:5.2f}{mark}"

    med = {key: statistics.median(v) for key, v in times.items()}
    print()
    print(
        "Ratios first (targets: path/floor <= {:.2f}, bytes and bytearray/path <= {:.2f}, "
        "RSS/floor RSS <= {:.2f});\ntimes in ms are medians of {} runs, each the first call in a fresh "
        "process, in {}; RSS peaks in MiB.\nThe floor starts from the bytes in memory (array.frombytes, "
        "byteswap, tolist per row);\nparse(path) also reads the file (from the page cache).".format(
            PATH_OVER_FLOOR,
            BYTES_OVER_PATH,
            RSS_OVER_FLOOR,
            args.repeat,
            "process CPU time (user + system)" if args.clock == "cpu" else "wall-clock time",
        )
    )
    print()
    head = (
        f"{'file':<36}{'path/floor':>11}{'bytes/path':>11}{'bytearr/path':>13}"
        f"{'floor':>8}{'path':>8}{'bytes':>8}{'bytearr':>8}"
    )
    print(head)
    print("-" * len(head))
    for datafile in datafiles:
        t = {k: med[(datafile.name, k)] for k in ("floor", "path", "bytes", "bytearray")}
        print(
            f"{datafile.label:<36}"
            f"{ratio(t['path'], t['floor'], PATH_OVER_FLOOR, datafile.name + ' path/floor'):>11}"
            f"{ratio(t['bytes'], t['path'], BYTES_OVER_PATH, datafile.name + ' bytes/path'):>11}"
            f"{ratio(t['bytearray'], t['path'], BYTES_OVER_PATH, datafile.name + ' bytearray/path'):>13}"
            f"{t['floor'] * 1e3:8.1f}{t['path'] * 1e3:8.1f}{t['bytes'] * 1e3:8.1f}{t['bytearray'] * 1e3:8.1f}"
        )
    print()
    head = (
        f"{'peak RSS':<36}{'path/floor':>11}{'bytes/floor':>12}{'bytearr/floor':>14}"
        f"{'floor':>8}{'path':>8}{'bytes':>8}{'bytearr':>8}"
    )
    print(head)
    print("-" * len(head))
    for datafile in datafiles:
        r = {k: rss[(datafile.name, k)] for k in ("floor", "path", "bytes", "bytearray")}
        print(
            f"{datafile.label:<36}"
            f"{ratio(r['path'], r['floor'], RSS_OVER_FLOOR, datafile.name + ' RSS path/floor'):>11}"
            f"{ratio(r['bytes'], r['floor'], RSS_OVER_FLOOR, datafile.name + ' RSS bytes/floor'):>12}"
            f"{ratio(r['bytearray'], r['floor'], RSS_OVER_FLOOR, datafile.name + ' RSS bytearray/floor'):>14}"
            + "".join(f"{r[k] / 1024:8.0f}" for k in ("floor", "path", "bytes", "bytearray"))
        )
    if args.baseline:
        print()
        head = f"{'parse(path) against the baseline':<36}{'path/base':>11}{'RSS/base':>11}{'base':>8}{'path':>8}"
        print(head)
        print("-" * len(head))
        for datafile in datafiles:
            base, ours = med[(datafile.name, "baseline")], med[(datafile.name, "path")]
            base_rss, ours_rss = rss[(datafile.name, "baseline")], rss[(datafile.name, "path")]
            print(
                f"{datafile.label:<36}"
                f"{ratio(ours, base, PATH_OVER_BASELINE, datafile.name + ' path/baseline'):>11}"
                f"{ours_rss / base_rss:11.2f}{base * 1e3:8.1f}{ours * 1e3:8.1f}"
            )
    print()
    param_median = statistics.median(param_times)
    print(
        f"parameters: {PARAM_RECORDS:,} records by parse(path) in {param_median * 1e3:.1f} ms "
        f"= {PARAM_RECORDS / param_median:,.0f} records/s"
    )

    if args.decode_benchmark:
        print()
        print("core section decode of Two_D 4 x 1024 x 1024 big-endian vs memcpy of the same input bytes")
        print("(Google Benchmark, medians of 5). The target compares like with like: the decode allocates")
        print("its rows and first-touches that memory (page faults), so it is set against memcpy into a")
        print("freshly allocated buffer. With an allocator that keeps freed memory (glibc tunables) neither")
        print("pays first touch, and the decode is set against memcpy into a reused buffer (information).")
        print(
            f"{'width':<8}{'decode/fresh memcpy':>21}{'warm: decode/memcpy':>21}"
            f"{'decode':>9}{'fresh cp':>9}{'warm dec':>9}{'warm cp':>9}   (ms)"
        )
        for cold, warm in zip(decode_cold, decode_warm, strict=False):
            width = cold["run_name"].split("/")[1].split(":")[1] + " B"
            r = ratio(cold["decode_ms"], cold["fresh_memcpy_ms"], DECODE_OVER_MEMCPY, f"decode {width}")
            print(
                f"{width:<8}{r:>21}{warm['decode_ms'] / warm['warm_memcpy_ms']:21.2f}"
                f"{cold['decode_ms']:9.1f}{cold['fresh_memcpy_ms']:9.1f}"
                f"{warm['decode_ms']:9.1f}{warm['warm_memcpy_ms']:9.1f}"
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
