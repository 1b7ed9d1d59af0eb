"""Automatic phase, baseline and reference, peaks, integrals and noise of
vorn_tools.spectrum, on FIDs of known truth (synthetic_fids) read by the normal path.
The full set of cases and the targets are in bench/processing_benchmark.py."""

import json
import math
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from numpy.typing import NDArray

import vorn_tools
from helpers import Vorn
from vorn_tools.processing import Spectrum
from vorn_tools.processing.phasing import phase_factors
from vorn_tools.processing.steps import finish
from vorn_tools.testing.synthetic_fids import Line, Truth, lorentzians, make_fid
from vorn_tools.testing.vdf_writer import PPM, Header, build_file, standard_params

SF, OFFSET = 399.78219838, 5.0  # as make_fid's defaults
# A proton spectrum: a triplet, a quartet, a singlet, the solvent's residual line and TMS.
PROTON = (
    [Line(1.20 + d * 7.5 / SF, h, 1.2) for d, h in ((-1, 25.0), (0, 50.0), (1, 25.0))]
    + [Line(3.60 + d * 7.5 / SF, h, 1.2) for d, h in ((-1.5, 10.0), (-0.5, 30.0), (0.5, 30.0), (1.5, 10.0))]
    + [Line(8.10, 40.0, 1.5), Line(7.26, 8.0, 1.0)]
)
TMS = Line(0.0, 20.0, 1.0)


def phase_error(result: Spectrum, truth: Truth, lines: list[Line], points: int, sweep: float = 5000.0) -> float:
    """The largest residual phase (degrees) at `lines`."""
    worst = 0.0
    for line in lines:
        f = (line.ppm - OFFSET) * SF / sweep
        residual = (result.phase[0] + result.phase[1] * f) - (truth.phase[0] + truth.phase[1] * f)
        worst = max(worst, abs((residual + 180.0) % 360.0 - 180.0))
    return worst


def auto(data: bytes, **options: Any) -> Spectrum:
    return vorn_tools.spectrum(data, phase="auto", baseline="auto", reference="auto", **options)


def far_from(truth: Truth, lines: list[Line], hz: float) -> NDArray[np.bool_]:
    far = np.ones(truth.ppm.size, dtype=bool)
    for line in lines:
        far &= np.abs(truth.ppm - line.ppm) * SF > hz
    return far


@pytest.mark.parametrize("seed", [3, 11])
def test_proton_spectrum_phased_flattened_and_referenced(seed: int) -> None:
    rng = np.random.default_rng(seed)
    phase = (float(rng.uniform(-180, 180)), float(rng.uniform(-45, 45)))
    lines = [*PROTON, TMS]
    data, truth = make_fid(
        lines,
        points=8192,
        phase=phase,
        noise=0.05,
        carrier_error=0.04,
        background=(4.0, 1.0, 400.0),
        roll=(0.5 + 0.3j, -0.4j, 0.3),
        seed=seed,
    )
    result = auto(data)
    assert result.ppm is not None and result.hz is not None and result.baseline is not None
    assert phase_error(result, truth, lines, 8192) <= 3.0
    # The reference: TMS found, the carrier's error undone within a point.
    step = 5000.0 / 8192 / SF
    assert result.reference == "TMS"
    assert abs(result.reference_shift + truth.carrier_error) <= step
    np.testing.assert_allclose(result.ppm, truth.ppm, atol=step)
    np.testing.assert_allclose(result.hz, result.ppm * SF, rtol=1e-12, atol=1e-6)
    # Flat away from the lines; the noise estimate close to what was put in.
    far = far_from(truth, lines, 60.0)
    assert np.sqrt(np.mean((result.values.real - truth.ideal)[far] ** 2)) <= 2 * truth.noise
    assert result.noise == pytest.approx(truth.noise, rel=0.15)
    # Every line found within 1.5 points, nothing else; heights and widths as made.
    peaks = result.peaks()
    assert peaks.threshold == pytest.approx(6 * result.noise)
    assert len(peaks) == len(lines)
    by_ppm = sorted(lines, key=lambda ln: ln.ppm)
    for peak, line in zip(sorted(peaks, key=lambda p: -p.index), by_ppm, strict=True):
        assert peak.ppm is not None and abs(peak.ppm - line.ppm) <= 1.5 * step
        # The top of a parabola through 3 points of a line about 2 points wide: within 20 %.
        assert peak.height == pytest.approx(
            lorentzians(np.array([line.ppm * SF]), [(other.ppm * SF, other.height, other.width_hz) for other in lines])[
                0
            ].real,
            rel=0.2,
        )
        assert peak.width_hz == pytest.approx(line.width_hz, abs=2 * 5000.0 / 8192)
    # An isolated line's integral, the ends in either order, as the ideal spectrum's.
    inside = np.abs(truth.ppm - 8.10) <= 0.05
    ideal = truth.ideal[inside].sum() * 5000.0 / 8192
    assert result.integrate([(8.05, 8.15)])[0] == pytest.approx(ideal, rel=0.02)
    assert result.integrate([(8.15, 8.05), (8.05, 8.15)]) == [result.integrate([(8.05, 8.15)])[0]] * 2


def test_solvent_line_references_without_tms_and_edited_signs_kept() -> None:
    lines = [Line(7.26, 20.0, 1.0), Line(2.0, 60.0, 1.5), Line(4.5, -40.0, 1.5), Line(9.0, 30.0, 1.0)]
    data, truth = make_fid(lines, points=8192, phase=(-100.0, 20.0), noise=0.05, carrier_error=-0.05)
    result = auto(data)
    assert result.reference == "solvent CDCL3"
    assert abs(result.reference_shift - 0.05) <= 5000.0 / 8192 / SF
    assert phase_error(result, truth, lines, 8192) <= 3.0
    heights = {round(p.ppm or 0.0, 1): p.height for p in result.peaks()}
    assert heights[4.5] < 0 < heights[2.0]  # the negative line stays negative
    # 13C: the solvent's carbon, not its proton shift.
    carbon = [Line(77.16, 5.0, 2.0), Line(128.0, 10.0, 2.0), Line(20.0, 8.0, 2.0)]
    data, truth = make_fid(
        carbon,
        points=16384,
        sweep=25000.0,
        sf_mhz=100.61,
        offset_ppm=100.0,
        nucleus="13C",
        phase=(50.0, -30.0),
        noise=0.02,
        carrier_error=0.5,
    )
    result = auto(data)
    assert result.reference == "solvent CDCL3"
    assert abs(result.reference_shift + 0.5) <= 25000.0 / 16384 / 100.61


def test_noise_only_is_an_honest_nothing() -> None:
    data, _ = make_fid([], points=4096, noise=1.0, seed=5)
    result = auto(data)
    assert result.phase == (0.0, 0.0) and result.reference == "" and result.reference_shift == 0.0
    assert result.noise == pytest.approx(1.0, rel=0.15)
    peaks = result.peaks()
    assert peaks == [] and peaks.threshold == pytest.approx(6 * result.noise)
    assert result.baseline is not None and np.abs(result.baseline).max() < 1.0


@pytest.mark.parametrize("case", ["one line", "line at the edge", "odd point count", "zero-filled, broadened"])
def test_edge_cases(case: str) -> None:
    points = 4095 if case == "odd point count" else 4096
    options: dict[str, Any] = {"zero_fill": 16384, "line_broadening": 1.0} if case == "zero-filled, broadened" else {}
    if case == "line at the edge":
        # 10 Hz from the window's end: its phase comes from the other lines.
        lines = [Line(OFFSET + 2490.0 / SF, 30.0, 2.0), Line(2.0, 50.0, 2.0), Line(9.5, 40.0, 2.0)]
    elif case == "one line":
        lines = [Line(6.3, 50.0, 1.5)]
    else:
        lines = [Line(6.3, 50.0, 3.0), Line(1.5, 30.0, 3.0), Line(0.0, 20.0, 3.0)]
    data, truth = make_fid(lines, points=points, phase=(75.0, 0.0 if case == "one line" else 25.0), noise=0.02)
    result = auto(data, **options)
    assert result.values.shape == (options.get("zero_fill", points),)
    assert phase_error(result, truth, lines, points) <= 3.0
    peaks = result.peaks()
    assert len(peaks) == len(lines)
    assert all(p.height > 0 for p in peaks)
    found = sorted(p.ppm or 0.0 for p in peaks)
    step = 5000.0 / result.values.size / SF
    for got, line in zip(found, sorted(lines, key=lambda ln: ln.ppm), strict=True):
        assert abs(got - line.ppm) <= 1.5 * max(step, 5000.0 / points / SF)


def test_phase_options_and_stored_spectra(tmp_path: Path) -> None:
    data, _ = make_fid([Line(6.0, 10.0, 2.0)], points=1024, phase=(40.0, 0.0), noise=0.01)
    number = vorn_tools.spectrum(data, phase=40.0)
    pair = vorn_tools.spectrum(data, phase=(40.0, 0.0))
    assert number.phase == pair.phase == (40.0, 0.0)
    np.testing.assert_array_equal(number.values, pair.values)
    for bad in ("manual", (1.0,), (1.0, math.nan)):
        with pytest.raises(ValueError, match="phase"):
            vorn_tools.spectrum(data, phase=bad)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="baseline"):
        vorn_tools.spectrum(data, baseline="spline")  # type: ignore[arg-type]
    shifted = vorn_tools.spectrum(data, reference=0.25)
    assert shifted.reference == "given" and shifted.ppm is not None and pair.ppm is not None
    np.testing.assert_allclose(shifted.ppm, pair.ppm + 0.25)
    np.testing.assert_allclose(shifted.axes[0].values, shifted.ppm)
    # A stored spectrum (ppm rising in its header) keeps its data: no step applies.
    ppm = np.linspace(-1.0, 9.0, 512)
    real = 100.0 / (1.0 + ((ppm - 3.0) / 0.01) ** 2)
    path = tmp_path / "stored.vdf"
    path.write_bytes(
        build_file(
            header=Header(data_units=[PPM], data_axis_start=[-1.0], data_axis_stop=[9.0]),
            params=standard_params("One_D", x_points=512),
            sections=[[0.0] * 512, real.tolist()],
        )
    )
    stored = auto(path.read_bytes())
    assert not stored.transformed and stored.phase == (0.0, 0.0) and stored.baseline is None
    np.testing.assert_array_equal(stored.values.real, real)
    peaks = stored.peaks(threshold=10.0)
    assert len(peaks) == 1 and peaks[0].ppm == pytest.approx(3.0, abs=0.02)
    from vorn_tools.exports.plot import _limits

    assert _limits(stored.axes[0].values, stored.axes[0].unit) == (9.0, -1.0)  # drawn high to low


def test_two_d_phase_along_both_axes() -> None:
    from test_processing import two_d_fid

    data, truth = two_d_fid()
    plain = vorn_tools.spectrum(data)
    assert plain.mixed is not None
    # Turn the hypercomplex spectrum by known phases along x and y, then find them again.
    rows, columns = plain.values.shape
    x_turn, y_turn = phase_factors(columns, (70.0, 15.0)), phase_factors(rows, (-120.0, 0.0))[:, None]
    values, mixed = plain.values * x_turn, plain.mixed * x_turn
    a, b = (values.real + 1j * mixed.real) * y_turn, (values.imag + 1j * mixed.imag) * y_turn
    turned = Spectrum(plain.layout, a.real + 1j * b.real, a.imag + 1j * b.imag, plain.axes, True, plain.group_delay)
    result = finish(turned, vorn_tools.open(data).info, phase="auto", baseline="auto", reference=None)
    assert result.mixed is not None and result.baseline is not None
    assert result.baseline.shape == result.values.shape
    for _, _, kx, ky in truth:
        rr, ir, ri = result.values.real[ky, kx], result.values.imag[ky, kx], result.mixed.real[ky, kx]
        assert rr > 0
        assert abs(math.degrees(math.atan2(ir, rr))) < 3.0  # along x
        assert abs(math.degrees(math.atan2(ri, rr))) < 3.0  # along y (zero order only)
    assert result.phase_y[1] == 0.0


def test_command_peak_table_and_plots(vorn: Vorn, tmp_path: Path) -> None:
    data, _ = make_fid([*PROTON, TMS], points=8192, phase=(150.0, -20.0), noise=0.05, carrier_error=0.03)
    path = tmp_path / "measured.vdf"
    path.write_bytes(data)
    table = vorn(path, "--peaks")
    assert table.returncode == 0, table.stderr
    head, columns, *rows = table.stdout.splitlines()
    assert head.startswith("# threshold ") and "reference TMS" in head
    assert columns.split() == ["ppm", "height", "width_hz"]
    assert len(rows) == len(PROTON) + 1
    assert float(rows[-1].split()[0]) == pytest.approx(0.0, abs=0.002)  # TMS last, at 0 ppm
    document = json.loads(vorn(path, "--peaks", "--json").stdout)
    assert document["reference"] == "TMS" and len(document["peaks"]) == len(rows)
    assert set(document["peaks"][0]) == {"ppm", "hz", "height", "width_hz"}
    noise, _ = make_fid([], points=2048, noise=1.0)
    (tmp_path / "noise.vdf").write_bytes(noise)
    nothing = vorn(tmp_path / "noise.vdf", "--peaks")
    assert nothing.returncode == 0 and "no peaks above the threshold" in nothing.stdout
    for image, flags in ((tmp_path / "auto.png", []), (tmp_path / "raw.png", ["--raw"])):
        drawn = vorn(path, "--plot", image, *flags)
        assert drawn.returncode == 0, drawn.stderr
        assert image.read_bytes().startswith(b"\x89PNG")
    refused = vorn(path, "--raw")
    assert refused.returncode == 2 and "--raw only applies to --plot" in refused.stderr
    two_d = vorn("--example", "two_d", "--peaks")
    assert two_d.returncode == 1 and "one-dimensional" in two_d.stderr
