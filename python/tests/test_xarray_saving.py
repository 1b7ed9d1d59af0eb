"""Datasets of the "vorn" engine saved as netCDF (netCDF4, h5netcdf and scipy engines)
and Zarr, and read back: the samples bit for bit, the coordinates and the CF metadata;
figures the file lacks are absent, figures in another unit named for it; the decoder
keywords; selection on a descending ppm axis; the README's recipe as written."""

from __future__ import annotations

import re
import struct
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import vorn_tools  # noqa: E402
from vorn_tools.testing.vdf_writer import HERTZ, Header, Param, Unit, build_file, standard_params  # noqa: E402
from vorn_tools.xarray_backend import complex_data  # noqa: E402

README = Path(__file__).resolve().parents[2] / "README.md"
SIGNALLING = struct.unpack(">d", struct.pack(">Q", 0x7FF4000000000001))[0]


def _swap(params: list[Param], name: str, new: Param) -> list[Param]:
    return [new if p.name == name else p for p in params]


def nan_bits_fid(tmp_path: Path) -> Path:
    """A 32-bit One_D FID with signalling and quiet NaNs, infinities, signed zeros."""
    re_words = ["7fa00001", "ffc00002", "3f800000", "ff800001", "00000001", "80000000"] * 6
    im_words = ["7f800000", "80000000", "7fbfffff", "ff800000", "00000000", "bf000000"] * 6
    raw = [b"".join(bytes.fromhex(w) for w in words) for words in (im_words, re_words)]
    path = tmp_path / "nan_bits.vdf"
    path.write_bytes(build_file(params=standard_params("One_D"), sections=raw, sample_bits=32))
    return path


def four_section_fid(tmp_path: Path) -> Path:
    rng = np.random.default_rng(4)
    sections = [rng.normal(0, 1e4, (32, 64)).tolist() for _ in range(4)]
    sections[2][0][0] = SIGNALLING
    path = tmp_path / "four.vdf"
    path.write_bytes(
        build_file(params=standard_params("Two_D"), layout="Two_D", sections=sections, header=Header(title="hsqc fid"))
    )
    return path


SOURCES: dict[str, Callable[[Path], Path]] = {
    "one_d_example": lambda _: vorn_tools.example_path("one_d"),
    "two_d_example": lambda _: vorn_tools.example_path("two_d"),
    "one_d_nan_bits": nan_bits_fid,
    "two_d_four_sections": four_section_fid,
}
WRITERS = ["netcdf4", "h5netcdf", "scipy", "zarr"]


def _save(ds: Any, path: Path, writer: str) -> Any:
    if writer == "zarr":
        pytest.importorskip("zarr")
        ds.to_zarr(path, consolidated=False)
        return xr.open_zarr(path, consolidated=False)
    pytest.importorskip({"netcdf4": "netCDF4", "h5netcdf": "h5netcdf", "scipy": "scipy"}[writer])
    ds.to_netcdf(path, engine=writer)
    return xr.open_dataset(path, engine=writer)


def _bits(values: Any) -> Any:
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("source", list(SOURCES))
def test_saved_and_read_back_bit_for_bit(tmp_path: Path, source: str, writer: str) -> None:
    path = SOURCES[source](tmp_path)
    with xr.open_dataset(path, engine="vorn") as ds, vorn_tools.open(path) as file:
        arrays = file.to_numpy()
        with _save(ds, tmp_path / "copy", writer) as back:
            back = back.load()
            assert set(back.data_vars) == set(ds.data_vars)
            for name in ds.data_vars:
                assert np.array_equal(_bits(back[name].values), _bits(ds[name].values)), name
                assert back[name].attrs == ds[name].attrs
            for name in ds.coords:
                np.testing.assert_array_equal(back[name].values, ds[name].values)
                assert back[name].attrs == ds[name].attrs, name
            assert back.attrs == ds.attrs
            # The complex samples, one call away, also from the copy.
            np.testing.assert_array_equal(complex_data(back).values, arrays.values)
            if arrays.mixed is not None:
                np.testing.assert_array_equal(back.vorn.mixed.values, arrays.mixed)
            # Indexes are not stored: made again, they select as on the original.
            if "x_ppm" in back.coords:
                again = back.set_xindex("x_ppm").sel(x_ppm=slice(8, 6))
                np.testing.assert_array_equal(again["re"].values, ds.sel(x_ppm=slice(8, 6))["re"].values)


@pytest.mark.parametrize("source", list(SOURCES))
def test_cf_metadata(tmp_path: Path, source: str) -> None:
    with xr.open_dataset(SOURCES[source](tmp_path), engine="vorn") as ds:
        assert ds.attrs["Conventions"].startswith("CF-")
        for name, variable in ds.variables.items():
            assert variable.attrs.get("units") and variable.attrs.get("long_name"), name
        for dim in ds.dims:
            assert dim in ds.coords and ds[dim].dims == (dim,)
        # Plain scalars: strings and numbers, no lists.
        for attrs in [ds.attrs, *(v.attrs for v in ds.variables.values())]:
            for key, value in attrs.items():
                assert isinstance(value, (str, int, float)), (key, value)


def _file(tmp_path: Path, name: str, params: list[Param]) -> Path:
    path = tmp_path / f"{name}.vdf"
    path.write_bytes(build_file(params=params, sections=[[1.0] * 32, [2.0] * 32]))
    return path


def test_absent_figures_are_left_out_and_units_are_named(tmp_path: Path) -> None:
    bare = xr.open_dataset(_file(tmp_path, "bare", [Param("solvent", "D2O")]), engine="vorn")
    for key in ("observe_frequency_hz", "spectral_width_hz", "offset_ppm", "offset_hz", "offset", "nucleus"):
        assert key not in bare["x"].attrs and key not in bare.attrs
    for key in ("temperature", "temperature_unit", "digital_filter_points"):
        assert key not in bare.attrs
    assert bare.attrs["solvent"] == "D2O"

    standard = standard_params("One_D")
    in_hz = xr.open_dataset(
        _file(tmp_path, "hz", _swap(standard, "x_offset", Param("x_offset", 1880.611, units=HERTZ))), engine="vorn"
    )
    assert in_hz["x"].attrs["offset_hz"] == 1880.611 and "offset_ppm" not in in_hz["x"].attrs
    decibel = Unit.named("Decibel")
    in_db = xr.open_dataset(
        _file(tmp_path, "db", _swap(standard, "x_freq", Param("x_freq", 400.0, units=decibel))), engine="vorn"
    )
    assert "observe_frequency_hz" not in in_db["x"].attrs
    assert in_db["x"].attrs["spectral_width_hz"] == 8000.0 and in_db["x"].attrs["offset_ppm"] == 5.0
    with vorn_tools.open(vorn_tools.example_path("one_d")) as file:
        ds = file.to_xarray()
        assert ds.attrs["temperature"] == file.info["temperature"]["magnitude"]
        assert ds.attrs["temperature_unit"] == file.info["temperature"]["unit"]
    for opened in (bare, in_hz, in_db):
        opened.close()


def test_decoder_keywords_are_accepted(tmp_path: Path) -> None:
    path = vorn_tools.example_path("two_d")
    keywords: dict[str, Any] = dict(
        mask_and_scale=True,
        decode_times=False,
        decode_timedelta=False,
        use_cftime=False,
        concat_characters=True,
        decode_coords=False,
    )
    with xr.open_dataset(path, engine="vorn") as plain, xr.open_dataset(path, engine="vorn", **keywords) as given:
        xr.testing.assert_identical(plain.load(), given.load())
    with xr.open_dataset(path, engine="vorn", decode_cf=False) as raw:
        assert set(raw.data_vars) == {"re", "im", "re_im", "im_re"}


def test_descending_ppm_selection() -> None:
    with xr.open_dataset(vorn_tools.example_path("two_d"), engine="vorn") as ds:
        ppm = ds["x_ppm"].values
        assert ppm[0] > ppm[-1]
        window = ds.sel(x_ppm=slice(8, 6))
        inside = (ppm <= 8) & (ppm >= 6)
        assert window.sizes["x"] == inside.sum() > 0
        np.testing.assert_array_equal(window["re"].values, ds["re"].values[:, inside])
        assert ds.sortby("x_ppm").sel(x_ppm=slice(6, 8)).sizes["x"] == inside.sum()


def test_readme_recipe_runs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    pytest.importorskip("netCDF4")
    pytest.importorskip("zarr")
    text = README.read_text(encoding="utf-8")
    section = re.split(r"\n#+ ", text.split("#### Saving: netCDF and Zarr", 1)[1], maxsplit=1)[0]
    (block,) = re.findall(r"```python\n(.*?)```", section, flags=re.S)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "hsqc.vdf").write_bytes(vorn_tools.example_path("two_d").read_bytes())
    namespace: dict[str, Any] = {}
    exec(compile(block, "README.md", "exec"), namespace)
    with vorn_tools.open(tmp_path / "hsqc.vdf") as file:
        expected = file.to_numpy().values
    np.testing.assert_array_equal(namespace["data"].values, expected)
    ppm = namespace["window"]["x_ppm"].values
    assert ppm.size and ppm.max() <= 8 and ppm.min() >= 6
