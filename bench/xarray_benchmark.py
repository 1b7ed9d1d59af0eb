"""Times the xarray engine and spectra: xr.open_dataset of a 512 MB file, open_mfdataset
over 1,000 small One_D files, and vorn_tools.spectrum of a 2 x 64 Ki-point FID against
numpy.fft.fft of the same samples plus their read.

Each figure is the median of several in-process runs (after one untimed run that
imports everything); prints one table and exits 1 when a target is missed.

    .venv/bin/python bench/xarray_benchmark.py [--quick]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy_benchmark as nb

from vorn_tools.testing import vdf_writer as vw

OPEN_DATASET_MS = 5.0
MFDATASET_S = 3.0
SPECTRUM_OVER_FFT = 1.5
MF_FILES = 1000
FID_POINTS = 64 * 1024


def median_seconds(run, repeat: int) -> float:
    run()  # imports and first-use costs out of the timing
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    repeat = 3 if args.quick else 9

    import numpy as np
    import xarray as xr

    import vorn_tools

    missed: list[str] = []

    def mark(ok: bool, what: str) -> str:
        if not ok:
            missed.append(what)
        return "" if ok else "  MISSED"

    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp)
        big, _ = nb.write_sparse_file(directory)

        def open_big() -> None:
            with xr.open_dataset(big, engine="vorn") as ds:
                ds.attrs["title"]

        open_ms = median_seconds(open_big, repeat) * 1e3
        print(
            f"xr.open_dataset of a 512 MiB file: {open_ms:.2f} ms (target <= {OPEN_DATASET_MS} ms)"
            + mark(open_ms <= OPEN_DATASET_MS, "open_dataset")
        )

        small_dir = directory / "series"
        small_dir.mkdir()
        content = vw.build_file(
            params=vw.standard_params("One_D", x_points=1024),
            sections=[[float(i) for i in range(1024)], [0.5 * i for i in range(1024)]],
            sample_bits=32,
        )
        paths = []
        for i in range(MF_FILES):
            path = small_dir / f"s{i:04d}.vdf"
            path.write_bytes(content)
            paths.append(path)

        def open_series() -> None:
            with xr.open_mfdataset(paths, engine="vorn", combine="nested", concat_dim="spectrum") as ds:
                ds["re"].shape  # noqa: B018

        mf_s = median_seconds(open_series, 1 if args.quick else 3)
        print(
            f"xr.open_mfdataset over {MF_FILES:,} small One_D files: {mf_s:.2f} s (target <= {MFDATASET_S} s)"
            + mark(mf_s <= MFDATASET_S, "open_mfdataset")
        )

        # A 2 x 64 Ki-point FID with the standard digital-filter parameters.
        t = np.arange(FID_POINTS) / 8000.0
        fid = np.exp(2j * np.pi * 1200.0 * t - t / 0.2) + 0.5 * np.exp(-2j * np.pi * 800.0 * t - t / 0.1)
        fid_path = directory / "fid.vdf"
        header = vw.Header(data_units=[vw.SECOND], data_axis_start=[0.0], data_axis_stop=[(FID_POINTS - 1) / 8000.0])
        fid_path.write_bytes(
            vw.build_file(
                header=header,
                params=vw.standard_params("One_D", x_points=FID_POINTS),
                sections=[fid.imag.tolist(), fid.real.tolist()],
                sample_bits=32,
            )
        )

        def floor() -> None:
            values = vorn_tools.open(fid_path).to_numpy().values
            np.fft.fftshift(np.fft.fft(values))

        def ours() -> None:
            result = vorn_tools.spectrum(fid_path)
            assert result.transformed, "the benchmark FID must be a time-domain file"

        floor_ms = median_seconds(floor, repeat) * 1e3
        ours_ms = median_seconds(ours, repeat) * 1e3
        ratio = ours_ms / floor_ms
        print(
            f"spectrum of a 2 x {FID_POINTS // 1024} Ki-point FID: {ours_ms:.2f} ms; read + numpy fft "
            f"{floor_ms:.2f} ms; ratio {ratio:.2f} (target <= {SPECTRUM_OVER_FFT})"
            + mark(ratio <= SPECTRUM_OVER_FFT, "spectrum/fft")
        )

    print()
    if missed:
        print("targets MISSED: " + ", ".join(missed))
        return 1
    print("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
