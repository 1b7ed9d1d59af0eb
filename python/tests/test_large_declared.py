"""Files whose header declares far more than they hold, and long decodes: memory in
proportion to the file (the xarray engine included), and Ctrl-C answered between the
windows of a decode."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from vorn_tools.testing.vdf_writer import PPM, Header, build_file, standard_params

pytest.importorskip("numpy")

AXIS_POINTS = 1 << 28


def run_limited(script: str, tmp_path: Path, limit_mib: int = 768) -> str:
    """Runs `script` in a fresh interpreter whose address space is limited."""
    prelude = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, ({limit_mib} << 20, {limit_mib} << 20))
    """)
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    done = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(script)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_engine_opens_files_declaring_2_28_points_within_an_address_space_limit(tmp_path: Path) -> None:
    pytest.importorskip("xarray")
    # A ~17 KB Two_D file declaring 31 x 2^28 points (no whole 32 x 32 block: no
    # samples at all), and a One_D file declaring 2^28 points, cut short.
    two_d = build_file(
        header=Header(
            data_points=[31, AXIS_POINTS, 1, 1, 1, 1, 1, 1], data_axis_start=[10.0, 150.0], data_axis_stop=[0.0, 5.0]
        ),
        params=standard_params("Two_D", x_points=31, y_points=AXIS_POINTS),
        layout="Two_D",
        sections=[b"", b""],
        trailing=bytes(14_000),
    )
    assert 16_000 < len(two_d) < 18_000
    (tmp_path / "two_d.vdf").write_bytes(two_d)
    (tmp_path / "one_d.vdf").write_bytes(
        build_file(
            header=Header(
                data_points=[AXIS_POINTS, 1, 1, 1, 1, 1, 1, 1],
                data_axis_start=[12.0],
                data_axis_stop=[-2.0],
                data_units=[PPM],
            ),
            params=standard_params("One_D", x_points=AXIS_POINTS),
            sections=[b"", b""],
        )
    )
    out = run_limited(
        """
        import numpy as np
        import xarray as xr
        import vorn_tools

        def samples_kind(ds):
            try:
                ds["re"].values
            except vorn_tools.ParseError as exc:
                return exc.kind

        with xr.open_dataset("two_d.vdf", engine="vorn") as ds:
            print(dict(ds.sizes))
            print(ds["y_axis"][:3].values.tolist(), ds["y_axis"][-2:].values.tolist())
            repr(ds)
            print(samples_kind(ds))
        with xr.open_dataset("one_d.vdf", engine="vorn") as ds:
            print(ds["x_axis"][:3].values.tolist(), ds["x_axis"][AXIS - 1].values.tolist())
            print(ds["x_ppm"][1000:1003].values.tolist() == ds["x_axis"][1000:1003].values.tolist())
            print(samples_kind(ds))
    """.replace("AXIS", str(AXIS_POINTS)),
        tmp_path,
    )
    import numpy as np

    lines = out.splitlines()
    assert lines[0] == f"{{'y': {AXIS_POINTS}, 'x': 0}}"
    y = np.linspace(150.0, 5.0, AXIS_POINTS)
    assert lines[1] == f"{y[:3].tolist()} {y[-2:].tolist()}"
    # The samples: the reader refuses rows the file cannot hold, as it does without xarray.
    assert lines[2] == "damaged"
    assert lines[3] == f"{np.linspace(12.0, -2.0, AXIS_POINTS)[:3].tolist()} -2.0"
    assert lines[4:] == ["True", "damaged"]


def sparse_one_d(path: Path, points: int) -> int:
    """A One_D file of `points` 64-bit samples per section, the samples a hole."""
    head = build_file(
        header=Header(data_points=[points, 1, 1, 1, 1, 1, 1, 1]),
        params=standard_params("One_D", x_points=points),
        sections=[b"", b""],
    )
    path.write_bytes(head)
    size = len(head) + 2 * points * 8
    os.truncate(path, size)
    return size


@pytest.mark.slow
def test_sigint_during_a_1_gib_decode_ends_it_early(tmp_path: Path) -> None:
    path = tmp_path / "big.vdf"
    size = sparse_one_d(path, 1 << 26)  # 1 GiB of samples
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
        import sys
        import vorn_tools

        def bytes_read():
            with open("/proc/self/io") as io:
                return int(next(line for line in io if line.startswith("rchar:")).split()[1])

        f = vorn_tools.open(sys.argv[1])
        before = bytes_read()
        try:
            print("decoding", flush=True)
            f.to_numpy()
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", bytes_read() - before, flush=True)
    """),
            str(path),
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    assert child.stdout.readline() == "decoding\n"
    time.sleep(0.3)  # into the decode, which takes seconds
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    word, *read = out.split()
    # Answered between windows: the decode had begun and stopped long before the end.
    assert word == "interrupted"
    assert 0 < int(read[0]) < size // 2
