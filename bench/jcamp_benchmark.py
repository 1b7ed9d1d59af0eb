"""Times vorn_tools.to_jcamp of a 2 x 64 Ki-point FID (DIFDUP, the default).

The file is built in memory by the test-file writer (vorn_tools.testing.vdf_writer):
a decaying two-line FID with noise, 64-bit samples. Reports the median of --repeat
runs after one warm-up; target <= 100 ms. Exits with status 1 when the target is missed.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np

import vorn_tools
from vorn_tools.testing.vdf_writer import SECOND, Header, build_file, standard_params

POINTS = 65536
TARGET_SECONDS = 0.100


def fid_file() -> bytes:
    sweep = 8000.0
    t = np.arange(POINTS) / sweep
    rng = np.random.default_rng(0)
    fid = (np.exp((2j * np.pi * 700 - 3) * t) + 0.5 * np.exp((-2j * np.pi * 1900 - 2) * t)) * 1e6
    fid += rng.normal(0, 20, POINTS) + 1j * rng.normal(0, 20, POINTS)
    header = Header(
        title="benchmark",
        data_units=[SECOND],
        data_axis_start=[0.0],
        data_axis_stop=[(POINTS - 1) / sweep],
        data_axis_titles=["Proton"],
    )
    params = standard_params("One_D", x_points=POINTS, x_sweep=sweep)
    return build_file(header=header, params=params, sections=[fid.imag.tolist(), fid.real.tolist()])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    data = fid_file()
    opened = vorn_tools.open(data)
    text = vorn_tools.to_jcamp(opened)  # warm-up
    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        vorn_tools.to_jcamp(opened)
        times.append(time.perf_counter() - start)
    median = statistics.median(times)
    ok = median <= TARGET_SECONDS
    print(
        f"to_jcamp, 2 x {POINTS} points (DIFDUP): median {median * 1e3:.1f} ms of {args.repeat} "
        f"(min {min(times) * 1e3:.1f} ms), {len(text) / 1e6:.2f} MB of text; "
        f"target <= {TARGET_SECONDS * 1e3:.0f} ms: {'met' if ok else 'MISSED'}"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
