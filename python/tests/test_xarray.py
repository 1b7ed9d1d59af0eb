"""Data files as xarray Datasets: to_xarray, the lazy "vorn" engine, open_mfdataset."""

from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import vorn_tools  # noqa: E402
from vorn_tools.testing.vdf_writer import Header, build_file, standard_params  # noqa: E402


def one_d(tmp_path: Path, name: str = "one.vdf", scale: float = 1.0, points: int = 64) -> Path:
    path = tmp_path / name
    path.write_bytes(
        build_file(
            params=standard_params("One_D"),
            sections=[[scale * i for i in range(points)], [-scale * i for i in range(points)]],
        )
    )
    return path


def four_section_two_d(tmp_path: Path) -> Path:
    rows, columns = 32, 64
    sections = [[[s * 1000.0 + r * columns + c for c in range(columns)] for r in range(rows)] for s in range(4)]
    path = tmp_path / "two.vdf"
    path.write_bytes(
        build_file(
            header=Header(data_points=[columns, rows]),
            params=standard_params("Two_D"),
            sections=sections,
            layout="Two_D",
        )
    )
    return path


@pytest.mark.parametrize("make", [one_d, four_section_two_d], ids=["One_D", "Two_D four sections"])
def test_engine_equals_to_xarray_and_the_numpy_arrays(tmp_path: Path, make: Callable[[Path], Path]) -> None:
    path = make(tmp_path)
    with vorn_tools.open(path) as f:
        eager = f.to_xarray()
        arrays = f.to_numpy()
    with xr.open_dataset(path, engine="vorn") as lazy:
        xr.testing.assert_identical(lazy.load(), eager)
    np.testing.assert_array_equal(eager.vorn.data.values, arrays.values)
    for name, section in arrays.sections.items():
        np.testing.assert_array_equal(eager[name].values, section)
    if arrays.mixed is not None:
        np.testing.assert_array_equal(eager.vorn.mixed.values, arrays.mixed)
    assert eager.vorn.data.dims == (("x",) if arrays.layout == "One_D" else ("y", "x"))
    np.testing.assert_array_equal(eager["x_axis"].values, arrays.axes[0].values)
    assert eager["x_axis"].attrs["units"] == arrays.axes[0].unit
    assert eager.attrs["layout"] == arrays.layout
    assert [eager[dim].attrs["observe_frequency_hz"] for dim in ("x", "y") if dim in eager.dims] == [
        a["magnitude"] for a in f.info["originFrequency"]
    ]


def test_opening_reads_no_samples_until_a_variable_is_indexed(tmp_path: Path) -> None:
    path = four_section_two_d(tmp_path)
    with xr.open_dataset(path, engine="vorn") as ds:
        samples = ds.encoding["vorn_samples"]
        assert samples.decodes == 0
        assert ds["re"].shape == (32, 64) and ds["re"].dtype == np.float64
        corner = ds.vorn.data[:2, :3].values
        assert samples.decodes == 1
        ds["re_im"].values, ds["im"][5].values  # the same decode serves every variable
        assert samples.decodes == 1
    assert corner[1, 2] == complex(0 * 1000 + 64 + 2, 2 * 1000 + 64 + 2)


def test_drop_variables_and_a_data_failure_raised_when_indexed(tmp_path: Path) -> None:
    path = one_d(tmp_path)
    with xr.open_dataset(path, engine="vorn", drop_variables=["im"]) as ds:
        assert set(ds.data_vars) == {"re"}
    with xr.open_dataset(path, engine="vorn", complex_variables=True, drop_variables=["re", "im"]) as ds:
        assert set(ds.data_vars) == {"data"} and ds["data"].dtype == np.complex128
    cut = tmp_path / "cut.vdf"
    cut.write_bytes(path.read_bytes()[:-8])
    # The header and parameters are whole: the failure comes with the samples.
    with (
        xr.open_dataset(cut, engine="vorn") as ds,
        pytest.raises(vorn_tools.ParseError, match="failed to fill whole buffer"),
    ):
        ds["re"].values  # noqa: B018 - reading the values is what fails


def test_open_mfdataset_stacks_a_series_in_order(tmp_path: Path) -> None:
    pytest.importorskip("dask")
    paths = [one_d(tmp_path, f"s{i:02d}.vdf", scale=float(i + 1), points=32) for i in range(50)]
    with xr.open_mfdataset(paths, engine="vorn", combine="nested", concat_dim="spectrum") as ds:
        assert ds["re"].shape == (50, 32)
        stacked = ds.vorn.data.values
    for i in (0, 17, 49):
        np.testing.assert_array_equal(stacked[i], vorn_tools.open(paths[i]).to_numpy().values)
