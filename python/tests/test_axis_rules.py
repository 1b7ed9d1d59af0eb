"""Axes as rules per point: any part equals the same part of the whole array, bit for
bit, as numpy computes it; nothing is computed before it is read."""

from __future__ import annotations

import pickle
from pathlib import Path
from typing import Any

import pytest

import vorn_tools

np = pytest.importorskip("numpy")

from vorn_tools.arrays import Coordinate, nmr_frequencies  # noqa: E402

EXAMPLES = Path(vorn_tools.__file__).parent / "examples"


def same_bits(a: Any, b: Any) -> bool:
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


PARTS: list[Any] = [slice(None), slice(2, 7), slice(None, None, -3), slice(-2, None), slice(5, 5)]


@pytest.mark.parametrize(
    "start, stop, total, points",
    [
        (10.0, 0.0, 40, 32),  # a header's 40 points of which 32 are kept
        (0.0, 5e-324, 3, 3),  # a step that rounds to zero (numpy's own path for it)
        (-1e308, 1e308, 5, 5),  # a span that overflows
        (1.0, 1.0 + 2**-52, 7, 7),
        (3.5, -2.25, 1, 1),
        (12.0, -2.0, 1 << 20, 1 << 20),
    ],
)
def test_linspace_rule_equals_numpy_in_every_part(start: float, stop: float, total: int, points: int) -> None:
    with np.errstate(over="ignore", invalid="ignore"):  # numpy warns of an overflowing span, as the rule does
        whole = np.linspace(start, stop, total)[:points]
        rule = Coordinate(points, ("linspace", start, stop, total))
        assert same_bits(rule.array(), whole)
        for part in PARTS:
            assert same_bits(rule[part], whole[part])
        assert same_bits(rule[-1], whole[-1]) and same_bits(rule[0], whole[0])


@pytest.mark.parametrize("total, points", [(4096, 4096), (4097, 4000), (1, 1)])
def test_nmr_rule_and_steps_equal_the_array_formulas(total: int, points: int) -> None:
    sweep, carrier, sf = 5000.0, 1999.1, 399.78e6
    hz = carrier + nmr_frequencies(total, sweep)[:points]
    ppm = hz / sf * 1e6
    rule = Coordinate(points, ("nmr", total, sweep)).then("add", carrier)
    assert same_bits(rule.array(), hz)
    assert same_bits(rule.then("div", sf).then("mul", 1e6).array(), ppm)
    for part in PARTS:
        assert same_bits(rule[part], hz[part])


def test_to_numpy_axes_are_computed_when_read_and_equal_the_formulas() -> None:
    with vorn_tools.open(EXAMPLES / "one_d.vdf") as f:
        arrays = f.to_numpy()
        info = f.info
    axis = arrays.axes[0]
    # Nothing made before it is read.
    assert isinstance(axis.coordinate("values"), Coordinate) and isinstance(axis.coordinate("seconds"), Coordinate)
    sweep = info["spectralWidth"][0]["magnitude"]
    assert same_bits(axis.seconds, np.arange(axis.points, dtype=np.float64) * (1.0 / sweep))
    assert isinstance(axis.coordinate("seconds"), np.ndarray)
    assert same_bits(axis.values, np.linspace(axis.start, axis.stop, axis.points))
    # Survives pickling, read or not.
    again = pickle.loads(pickle.dumps(vorn_tools.open(EXAMPLES / "one_d.vdf").to_numpy()))
    assert same_bits(again.axes[0].seconds, axis.seconds)


def test_two_d_ppm_and_hz_axes_equal_the_formulas() -> None:
    with vorn_tools.open(EXAMPLES / "two_d.vdf") as f:
        arrays = f.to_numpy()
        headers, info = f.headers, f.info
    for index, axis in enumerate(arrays.axes):
        if axis.ppm is None:
            continue
        declared = headers["dataPoints"][index]
        values = np.linspace(axis.start, axis.stop, max(declared, axis.points))[: axis.points]
        assert same_bits(axis.ppm, values)
        sf = info["originFrequency"][index]["magnitude"]
        assert axis.hz is not None and same_bits(axis.hz, values * (sf / 1e6))


def test_engine_computes_only_the_indices_asked(monkeypatch: pytest.MonkeyPatch) -> None:
    xr = pytest.importorskip("xarray")
    from vorn_tools.testing.vdf_writer import PPM, Header, build_file, standard_params

    points = 1 << 22
    content = build_file(
        header=Header(
            data_points=[points, 1, 1, 1, 1, 1, 1, 1], data_axis_start=[12.0], data_axis_stop=[-2.0], data_units=[PPM]
        ),
        params=standard_params("One_D", x_points=points),
        sections=[b"", b""],
    )
    asked: list[int] = []
    real = Coordinate.at

    def counted(self: Coordinate, indices: Any) -> Any:
        asked.append(len(indices))
        return real(self, indices)

    monkeypatch.setattr(Coordinate, "at", counted)
    import io

    with xr.open_dataset(io.BytesIO(content), engine="vorn") as ds:
        repr(ds)
        assert asked == []
        got = ds["x_ppm"][:3].values
        assert asked == [3]
        assert same_bits(got, np.linspace(12.0, -2.0, points)[:3])
        assert same_bits(ds["x_axis"][points - 2 :].values, [np.linspace(12.0, -2.0, points)[-2], -2.0])
