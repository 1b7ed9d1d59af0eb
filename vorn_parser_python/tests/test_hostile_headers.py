"""Tiny files whose header or parameter block asks for huge counts or far offsets.

Each must end in its documented error within a second and with less than 50 MB of
extra memory: the counts are checked against the bytes that are there before
anything is sized from them. Each case runs in a fresh interpreter, so that its
peak resident size is its own; outside AddressSanitizer the address space is also
capped at 50 MB above what is mapped, so that a large reservation fails even if
its pages are never touched.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from helpers import FAILURE_NAME, LEAD, small_file
from vorn_tools.testing.vdf_writer import HEADER_SIZE, Header, Param, ParamBlock, build_file

LIMIT_SECONDS = 1.0
LIMIT_BYTES = 50 * 1024 * 1024
U32_MAX = 4294967295
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

CHILD = r"""
import json, resource, sys, time
import vorn_parser

data = open(sys.argv[1], "rb").read()
extra = int(sys.argv[2])
# The code tables, interned names and exception class are made on first use.
vorn_parser.parse(open(sys.argv[3], "rb").read())
try:
    vorn_parser.parse(b"")
except BaseException:
    pass
if sys.argv[4] == "cap":
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + extra, resource.RLIM_INFINITY))
peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
try:
    vorn_parser.parse(data)
    kind, message = "dict", ""
except BaseException as exc:
    kind, message = type(exc).__name__, str(exc)
seconds = time.perf_counter() - start
peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"kind": kind, "message": message, "seconds": seconds,
                  "peak_growth": (peak_after - peak_before) * 1024}))
"""

TWO_SAMPLES = [[1.0, 2.0], [3.0, 4.0]]


def run_case(tmp_path: Path, data: bytes) -> Any:
    case = tmp_path / "case.vdf"
    case.write_bytes(data)
    warm = tmp_path / "warm.vdf"
    warm.write_bytes(small_file())
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(case), str(LIMIT_BYTES), str(warm), "nocap" if UNDER_ASAN else "cap"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def read_error(root: str, *frames: str) -> list[str]:
    """The pieces a rendered read error holds, innermost frame first."""
    return [LEAD, f"Error: {root}\n"] + [f"While parsing field {frame}" for frame in frames]


SHORT = "failed to fill whole buffer"
# Where the data section starts when the parameter block is empty (16 bytes).
NO_PARAMS_DATA_START = HEADER_SIZE + 16

CASES = {
    "high_index 4294967295 on one record": (
        # Data first, then the parameter block, which ends the file after one record.
        build_file(
            header=Header(data_start=HEADER_SIZE, param_start=HEADER_SIZE + 32),
            params=ParamBlock((Param("scans", 16),), high_index=U32_MAX),
            sections=TWO_SAMPLES,
        ),
        read_error(SHORT, "'scaler' in Param", "'param_array' in Parameters", "'parameters' in VornDataFile"),
    ),
    "high_index 4294967295 on no records": (
        build_file(
            header=Header(data_start=HEADER_SIZE, param_start=HEADER_SIZE + 32),
            params=ParamBlock((), high_index=U32_MAX),
            sections=TWO_SAMPLES,
        ),
        read_error(SHORT, "'scaler' in Param", "'param_array' in Parameters", "'parameters' in VornDataFile"),
    ),
    "data_points 4294967295 (One_D)": (
        build_file(header=Header(data_points=[U32_MAX]), sections=TWO_SAMPLES),
        read_error(SHORT, "'data_results' in Data", "'data' in VornDataFile"),
    ),
    "data_points 4294967295 in 256 sections (One_D)": (
        build_file(header=Header(data_points=[U32_MAX], data_axis_type=["Complex"] * 8), sections=TWO_SAMPLES),
        read_error(SHORT, "'data_results' in Data", "'data' in VornDataFile"),
    ),
    "data_points 4294967295 x 4294967295 (Two_D)": (
        build_file(header=Header(data_points=[U32_MAX, U32_MAX]), sections=[bytes(64), bytes(64)], layout="Two_D"),
        read_error(SHORT, "'data_results' in Data", "'data' in VornDataFile"),
    ),
    "by 134217727 with bx 0 (Two_D)": (
        build_file(header=Header(data_points=[31, U32_MAX]), sections=[bytes(64), bytes(64)], layout="Two_D"),
        read_error(
            "Two_D section of 4294967264 empty rows is too large for a file of "
            f"{NO_PARAMS_DATA_START + 128} bytes at 0x{NO_PARAMS_DATA_START:x}",
            "'data_results' in Data",
            "'data' in VornDataFile",
        ),
    ),
    "256 sections of 32 x 32 (Two_D)": (
        build_file(
            header=Header(data_points=[32, 32], data_axis_type=["Complex"] * 8),
            sections=[bytes(32 * 32 * 8)],
            layout="Two_D",
        ),
        read_error(
            "Data section count with value 256 is not supported for Two_D kind, only 2 and 4 are "
            f"supported. at 0x{NO_PARAMS_DATA_START + 32 * 32 * 8:x}",
            "'data_results' in Data",
            "'data' in VornDataFile",
        ),
    ),
    "param_start 4294967295": (
        small_file(header=Header(param_start=U32_MAX, data_start=HEADER_SIZE), param_at=HEADER_SIZE),
        read_error(SHORT, "'parameters_size' in Parameters", "'parameters' in VornDataFile"),
    ),
    "data_start 4294967295": (
        small_file(header=Header(data_start=U32_MAX), data_at=HEADER_SIZE + 16 + 2 * 64),
        read_error(SHORT, "'data_results' in Data", "'data' in VornDataFile"),
    ),
    "data_dimension_number 255": (
        small_file(header=Header(data_dimension_number=255)),
        ["data_dimension_number 255 exceeds the 8 data_points entries"],
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_header_ends_in_its_documented_error_quickly_and_small(tmp_path: Path, name: str) -> None:
    data, pieces = CASES[name]
    assert len(data) < 20000
    got = run_case(tmp_path, data)
    assert got["kind"] == FAILURE_NAME, got
    position = 0
    for piece in pieces:  # each piece present, in this order
        found = got["message"].find(piece, position)
        assert found >= 0, f"{piece!r} not in order in {got['message']!r}"
        position = found + len(piece)
    assert got["seconds"] < LIMIT_SECONDS
    assert got["peak_growth"] < LIMIT_BYTES
