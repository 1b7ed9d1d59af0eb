"""vorn_tools.spectrum and the calibrated axes, checked on synthetic FIDs made from known
lines and passed through a digital filter with a known group delay.

The filter is simulated as the hardware does it: the decay is sampled `OVERSAMPLE`
times faster, convolved with a low-pass FIR (a Blackman-windowed sinc centred at
OVERSAMPLE x delay samples, so its group delay is `delay` output points) and decimated.
Lines sit on the frequency grid of the transform, where an absorption line is real.
"""

import math
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
import vorn_parser
from numpy.typing import NDArray

import vorn_tools
from vorn_tools.testing.vdf_writer import (
    PPM,
    SECOND,
    Header,
    Param,
    Unit,
    build_file,
    digital_filter_delay,
    filtered_params,
)

Array = NDArray[Any]

OVERSAMPLE = 8
SF_X, O_X = 399.78219838, 5.0  # MHz, ppm: as vdf_writer.standard_params
SF_Y, O_Y = 100.52530333, 80.0
FILTER = {"filter_orders": (12, 20, 262), "filter_factors": (2, 2, 2)}  # about 68 points


def filtered(signal_of_time: Callable[[Array], Any], points: int, sweep: float, delay: float) -> Array:
    """`points` samples at 1/sweep of a causal signal seen through the digital filter."""
    m = OVERSAMPLE
    fine = signal_of_time(np.arange(points * m) / (sweep * m))
    centre = m * delay
    taps = np.arange(int(2 * centre) + 1)
    u = (taps - centre) / centre
    window = 0.42 + 0.5 * np.cos(np.pi * u) + 0.08 * np.cos(2 * np.pi * u)
    kernel = np.sinc((taps - centre) / m) / m * window
    return np.convolve(fine, kernel)[: points * m : m]


def on_grid(ppm: float, sf: float, offset: float, points: int, sweep: float) -> tuple[float, float, int]:
    """(Hz from the carrier, ppm, index) of the grid point nearest `ppm` (NMR order)."""
    k = round(points // 2 - (ppm - offset) * sf / sweep * points)
    hz = (points // 2 - k) * sweep / points
    return hz, offset + hz / sf, k


def decay(lines: list[tuple[float, float]], t2: float) -> Callable[[Array], Any]:
    return lambda t: sum(a * np.exp((2j * np.pi * f - 1 / t2) * t) for f, a in lines)


def one_d_fid(
    ppms: list[float], points: int = 2048, sweep: float = 8000.0, t2: float = 0.1, with_filter: bool = True
) -> tuple[bytes, list[float], list[int], float]:
    """(file bytes, true ppm, true indices, delay in points)."""
    params, delay = filtered_params("One_D", x_points=points, x_sweep=sweep, **FILTER)
    if not with_filter:
        params = [p for p in params if p.name not in ("orders", "factors")]
    grid = [on_grid(ppm, SF_X, O_X, points, sweep) for ppm in ppms]
    fid = filtered(decay([(hz, 1.0 + 0.2 * i) for i, (hz, _, _) in enumerate(grid)], t2), points, sweep, delay)
    header = Header(
        data_units=[SECOND], data_axis_start=[0.0], data_axis_stop=[(points - 1) / sweep], data_axis_titles=["Proton"]
    )
    data = build_file(header=header, params=params, sections=[fid.imag.tolist(), fid.real.tolist()])
    return data, [g[1] for g in grid], [g[2] for g in grid], delay


def maxima(real: Array, lowest: float = 0.1) -> list[int]:
    inner = real[1:-1]
    return list(np.nonzero((inner > real[:-2]) & (inner >= real[2:]) & (inner > lowest * real.max()))[0] + 1)


def peak_phases(values: Array, indices: list[int]) -> Array:
    return np.degrees(np.angle(values[indices]))


LINES_PPM = [12.3, 8.9, 6.1, 2.4, -1.7]  # both sides of the carrier at 5 ppm, 500 Hz apart or more


# --- the digital filter's figure ---------------------------------------------------


def test_summary_gives_the_delay_the_writer_simulates() -> None:
    data, _, _, delay = one_d_fid(LINES_PPM)
    info = vorn_tools.open(data).info
    assert info["digitalFilter"] == delay
    # 2047 x (11/8 + 19/4 + 261/2) x 0.5 / (8000 x 2048 / 8000); 50 x (4 / 2) x 0.5 / (100 x 0.5)
    assert delay == pytest.approx(2047 * 136.625 * 0.5 / 2048)
    assert digital_filter_delay((5,), (2,), x_sweep=100.0, x_acq_time=0.5, x_points=51) == 1.0


# --- one-dimensional spectra ---------------------------------------------------------


@pytest.mark.parametrize(
    "options", [{}, {"zero_fill": 4096, "line_broadening": 2.0}], ids=["plain", "zero-filled, broadened"]
)
def test_lines_at_their_ppm_in_absorption(options: dict[str, Any]) -> None:
    data, true_ppm, _, delay = one_d_fid(LINES_PPM)
    spectrum = vorn_tools.spectrum(data, **options)
    points = options.get("zero_fill", 2048)
    assert spectrum.ppm is not None and spectrum.hz is not None
    assert spectrum.layout == "One_D" and spectrum.transformed and spectrum.group_delay == delay
    assert spectrum.values.shape == spectrum.ppm.shape == spectrum.hz.shape == (points,)
    assert spectrum.ppm[0] > spectrum.ppm[-1]  # NMR order
    step = 8000.0 / points / SF_X
    found = maxima(spectrum.values.real)
    assert len(found) == len(true_ppm)
    errors = np.abs(spectrum.ppm[found] - np.array(true_ppm)) / step
    assert errors.max() <= 1.0, errors  # within one point
    assert (spectrum.values.real[found] > 0).all()
    assert np.abs(peak_phases(spectrum.values, found)).max() < 1.0


@pytest.mark.parametrize("how", ["delay zeroed", "file without the filter", "half a point off"])
def test_without_the_group_delay_the_lines_are_not_absorptive(how: str) -> None:
    data, _, true_idx, delay = one_d_fid(LINES_PPM, with_filter=how != "file without the filter")
    options: dict[str, dict[str, Any]] = {
        "delay zeroed": {"group_delay": 0.0},
        "half a point off": {"group_delay": delay + 0.5},
    }
    spectrum = vorn_tools.spectrum(data, **options.get(how, {}))
    assert spectrum.group_delay == options.get(how, {}).get("group_delay", 0.0)
    phases = peak_phases(spectrum.values, true_idx)
    # Half a point leaves 180 x f / SW degrees: 10 to 66 degrees at these lines.
    assert np.abs(phases).max() > 20.0, phases


def test_phase_convention() -> None:
    data, _, idx, _ = one_d_fid(LINES_PPM)
    plain = vorn_tools.spectrum(data)
    phased = vorn_tools.spectrum(data, phase=(30.0, -90.0))
    assert plain.hz is not None
    f_over_sw = (plain.hz - (O_X * SF_X)) / 8000.0
    expected = plain.values * np.exp(1j * np.radians(30.0 - 90.0 * f_over_sw))
    np.testing.assert_allclose(phased.values, expected, rtol=1e-9, atol=1e-9 * abs(plain.values).max())
    # The group delay is a first-order phase of 360 x D per spectral width.
    uncorrected = vorn_tools.spectrum(data, group_delay=0.0, phase=(0.0, 360.0 * plain.group_delay))
    np.testing.assert_allclose(uncorrected.values[idx], plain.values[idx], rtol=1e-9)


def test_bad_options_and_stored_spectra() -> None:
    data, _, _, _ = one_d_fid(LINES_PPM)
    with pytest.raises(ValueError, match="fewer than the 2048 points"):
        vorn_tools.spectrum(data, zero_fill=1000)
    with pytest.raises(ValueError, match="no samples"):
        vorn_tools.spectrum(build_file(sections=[[], []]))
    stored = vorn_tools.spectrum(vorn_tools.example_path("two_d"))
    arrays = vorn_tools.open(vorn_tools.example_path("two_d")).to_numpy()
    assert not stored.transformed
    np.testing.assert_array_equal(stored.values, arrays.values)
    np.testing.assert_array_equal(stored.ppm, np.linspace(10.0, 0.0, 64))


# --- two-dimensional spectra ---------------------------------------------------------

X_POINTS, X_SWEEP, Y_POINTS, Y_SWEEP = 256, 4000.0, 64, 16000.0
PEAKS_2D = [(7.2, 128.5), (2.6, 28.9), (1.2, 15.6), (9.0, 140.0)]


def two_d_fid(with_filter: bool = True) -> tuple[bytes, list[tuple[float, float, int, int]]]:
    params, delay = filtered_params(
        "Two_D", x_points=X_POINTS, x_sweep=X_SWEEP, y_points=Y_POINTS, y_sweep=Y_SWEEP, **FILTER
    )
    if not with_filter:
        params = [p for p in params if p.name not in ("orders", "factors")]
    t1 = np.arange(Y_POINTS) / Y_SWEEP
    cosine = np.zeros((Y_POINTS, X_POINTS), complex)
    sine = np.zeros_like(cosine)
    truth = []
    for i, (px, py) in enumerate(PEAKS_2D):
        hx, ppm_x, kx = on_grid(px, SF_X, O_X, X_POINTS, X_SWEEP)
        hy, ppm_y, ky = on_grid(py, SF_Y, O_Y, Y_POINTS, Y_SWEEP)
        row = filtered(decay([(hx, 1.0)], 0.05), X_POINTS, X_SWEEP, delay)
        envelope = (1.0 + 0.3 * i) * np.exp(-t1 / 0.01)
        cosine += np.outer(envelope * np.cos(2 * np.pi * hy * t1), row)
        sine += np.outer(envelope * np.sin(2 * np.pi * hy * t1), row)
        truth.append((ppm_x, ppm_y, kx, ky))
    header = Header(
        data_units=[SECOND, SECOND],
        data_axis_start=[0.0, 0.0],
        data_axis_stop=[(X_POINTS - 1) / X_SWEEP, (Y_POINTS - 1) / Y_SWEEP],
        data_axis_titles=["Proton", "Carbon13"],
    )
    sections = [cosine.real, sine.real, cosine.imag, sine.imag]  # re, re_im, im, im_re
    data = build_file(header=header, params=params, layout="Two_D", sections=[s.tolist() for s in sections])
    return data, truth


def test_two_d_peaks_in_place_and_absorptive_along_both_axes() -> None:
    data, truth = two_d_fid()
    spectrum = vorn_tools.spectrum(data)
    x, y = spectrum.axes
    assert spectrum.mixed is not None and x.ppm is not None and y.ppm is not None
    assert spectrum.values.shape == spectrum.mixed.shape == (Y_POINTS, X_POINTS)
    assert (x.points, y.points, x.domain, y.domain) == (X_POINTS, Y_POINTS, "frequency", "frequency")
    rr = spectrum.values.real
    ir, ri = spectrum.values.imag, spectrum.mixed.real
    for ppm_x, ppm_y, kx, ky in truth:
        box = rr[ky - 3 : ky + 4, kx - 3 : kx + 4]
        row, col = np.unravel_index(np.argmax(box), box.shape)
        assert abs(x.ppm[kx - 3 + col] - ppm_x) <= X_SWEEP / X_POINTS / SF_X
        assert abs(y.ppm[ky - 3 + row] - ppm_y) <= Y_SWEEP / Y_POINTS / SF_Y
        assert rr[ky, kx] == box.max() > 0
        assert abs(math.degrees(math.atan2(ir[ky, kx], rr[ky, kx]))) < 1.0  # along x
        assert abs(math.degrees(math.atan2(ri[ky, kx], rr[ky, kx]))) < 1.0  # along y
    # Without the group delay the x phase is wrong at the lines off the carrier.
    uncorrected = vorn_tools.spectrum(two_d_fid(with_filter=False)[0])
    phases = [
        math.degrees(math.atan2(uncorrected.values.imag[ky, kx], uncorrected.values.real[ky, kx]))
        for _, _, kx, ky in truth
    ]
    assert max(abs(p) for p in phases) > 20.0, phases


# --- axes ------------------------------------------------------------------------------


def test_axes_of_the_bundled_examples() -> None:
    one_d = vorn_tools.open(vorn_tools.example_path("one_d")).to_numpy()
    (t,) = one_d.axes
    assert (t.domain, t.points, t.unit, t.title) == ("time", 4096, "s", "Proton")
    assert (t.start, t.stop) == (0.0, 4095 * (1 / 5000.0))
    assert t.seconds is not None
    assert t.seconds[1] == 1 / 5000.0 and t.seconds[-1] == pytest.approx(0.8190)
    assert t.hz is None and t.ppm is None
    s = vorn_tools.spectrum(vorn_tools.example_path("one_d"))
    # hz_k = 5 ppm x 399.78219838 MHz + 2500 Hz - k x 5000 / 4096 Hz
    assert s.hz is not None and s.ppm is not None
    assert s.hz[0] == pytest.approx(1998.9109919 + 2500.0)
    assert s.hz[2048] == pytest.approx(1998.9109919)
    assert s.ppm[0] == pytest.approx(5.0 + 2500.0 / 399.78219838)
    assert s.ppm[-1] == pytest.approx(5.0 - (2500.0 - 5000.0 / 4096) / 399.78219838)

    document = vorn_parser.parse(vorn_tools.example_path("two_d"))
    x, y = vorn_tools.to_numpy(document).axes
    assert (x.domain, y.domain, x.points, y.points) == ("frequency", "frequency", 64, 32)
    assert (x.start, x.stop, y.start, y.stop) == (10.0, 0.0, 160.0, 0.0)
    assert x.ppm is not None and x.hz is not None and y.ppm is not None and y.hz is not None
    assert x.ppm[1] == pytest.approx(10.0 - 10.0 / 63) and x.seconds is None
    assert x.hz[0] == pytest.approx(3997.8219838) and y.hz[0] == pytest.approx(16084.0485328)
    assert y.ppm[-1] == 0.0 and y.hz[-1] == 0.0
    native = vorn_tools.open(vorn_tools.example_path("two_d")).to_numpy().axes
    for a, b in zip((x, y), native, strict=True):
        np.testing.assert_array_equal(a.hz, b.hz)


def test_axes_from_what_the_file_gives() -> None:
    sweep = [
        Param("x_sweep", 1000.0, units=vorn_tools_units("Hertz")),
        Param("x_freq", 400.0, units=vorn_tools_units("Hertz", "Mega")),
        Param("x_offset", 4.0, units=vorn_tools_units("Ppm")),
    ]
    cases = {
        # time axis, no summary: the dwell from the header's range (ms)
        "time, header only": (
            Header(data_units=[vorn_tools_units("Second", "Milli")], data_axis_start=[0.0], data_axis_stop=[7.0]),
            [],
            "time",
        ),
        # frequency axis without a range: from the summary
        "frequency, summary only": (Header(data_units=[PPM]), sweep, "frequency"),
        "no unit": (Header(), sweep, "points"),
    }
    for name, (header, params, domain) in cases.items():
        axis = (
            vorn_tools.open(build_file(header=header, params=params, sections=[[0.0] * 8, [1.0] * 8]))
            .to_numpy()
            .axes[0]
        )
        assert axis.domain == domain, name
        if domain == "time":
            assert axis.seconds is not None
            np.testing.assert_allclose(axis.seconds, np.arange(8) * 0.001)
        elif domain == "frequency":
            # hz_k = 4 ppm x 400 MHz + 500 - k x 125 Hz
            assert axis.hz is not None and axis.ppm is not None
            np.testing.assert_allclose(axis.hz, 1600.0 + 500.0 - np.arange(8) * 125.0)
            np.testing.assert_allclose(axis.ppm, axis.hz / 400.0)
            assert axis.unit == "point"  # no range in the header: values are point numbers
        else:
            assert axis.seconds is None and axis.hz is None and axis.ppm is None


def vorn_tools_units(base: str, prefix: str = "None") -> Unit:
    return Unit.named(base, prefix)
