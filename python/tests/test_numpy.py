"""vorn_tools.to_numpy and save_npz: shapes, section placement and values against the document."""

import io
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest
import vorn_parser

import vorn_tools
from vorn_tools.testing.vdf_writer import PPM, SECOND, Header, build_file

np = pytest.importorskip("numpy")

EXAMPLES_DIR = Path(__file__).resolve().parents[2] / "examples"


def matrix(rows: int, cols: int, offset: float) -> list[list[float]]:
    """A rows x cols section whose every sample tells its section, row and column."""
    return [[offset + r * 1000 + c for c in range(cols)] for r in range(rows)]


def test_one_d_two_sections() -> None:
    im = [0.5, math.inf, -math.inf, math.nan, -0.0]
    re = [1.0, 2.0, math.nan, 4.0, 5.0]
    header = Header(data_units=[SECOND], data_axis_start=[0.0], data_axis_stop=[0.4], data_axis_titles=["Proton"])
    document = vorn_parser.parse(build_file(header=header, sections=[im, re]))
    arrays = vorn_tools.to_numpy(document)
    assert arrays.layout == "One_D" and arrays.mixed is None
    assert arrays.values.shape == (5,) and arrays.values.dtype == np.complex128
    # Section 0 is the imaginary part, section 1 the real part; infinite imaginary
    # samples leave the real part alone.
    np.testing.assert_array_equal(arrays.values.real, np.array(re))
    np.testing.assert_array_equal(arrays.values.imag, np.array(im))
    assert math.copysign(1.0, arrays.values.imag[4]) == -1.0
    (axis,) = arrays.axes
    np.testing.assert_allclose(axis.values, [0.0, 0.1, 0.2, 0.3, 0.4])
    assert (axis.unit, axis.label) == ("s", "Proton (s)")


def test_one_d_four_sections_use_the_first_two() -> None:
    document = vorn_parser.parse(build_file(sections=[[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]]))
    arrays = vorn_tools.to_numpy(document)
    np.testing.assert_array_equal(arrays.values, [3.0 + 1.0j, 4.0 + 2.0j])
    assert arrays.mixed is None
    assert arrays.axes[0].unit == "point"  # the header gives no axis range
    np.testing.assert_array_equal(arrays.axes[0].values, [0.0, 1.0])


def test_two_d_two_sections_keep_rows_and_columns() -> None:
    rows, cols = 32, 64
    header = Header(data_units=[PPM, PPM], data_axis_start=[10.0, 160.0], data_axis_stop=[0.0, 0.0])
    document = vorn_parser.parse(
        build_file(header=header, layout="Two_D", sections=[matrix(rows, cols, 0.0), matrix(rows, cols, 0.5)])
    )
    arrays = vorn_tools.to_numpy(document)
    assert arrays.values.shape == (rows, cols)
    np.testing.assert_array_equal(arrays.values.real, np.array(document["data"]["re"]))
    np.testing.assert_array_equal(arrays.values.imag, np.array(document["data"]["im"]))
    assert arrays.values[3, 40] == (3040.0 + 3040.5j)  # file section 0 is re, 1 is im
    x, y = arrays.axes
    assert (x.values.size, x.values[0], x.values[-1], x.unit) == (cols, 10.0, 0.0, "ppm")
    assert (y.values.size, y.values[0], y.values[-1]) == (rows, 160.0, 0.0)


def test_two_d_four_sections_are_two_complex_pairs() -> None:
    rows, cols = 32, 32
    sections = [matrix(rows, cols, k / 10) for k in range(4)]  # file order: re, re_im, im, im_re
    arrays = vorn_tools.to_numpy(vorn_parser.parse(build_file(layout="Two_D", sections=sections)))
    named = arrays.sections
    assert list(named) == ["re", "im", "re_im", "im_re"]
    for name, index in (("re", 0), ("re_im", 1), ("im", 2), ("im_re", 3)):
        np.testing.assert_array_equal(named[name], np.array(sections[index]), err_msg=name)
    assert arrays.values[1, 2] == (1002.0 + 1002.2j)
    assert arrays.mixed is not None
    assert arrays.mixed[1, 2] == (1002.1 + 1002.3j)


def test_bundled_examples_and_empty_data() -> None:
    two_d = vorn_tools.to_numpy(vorn_parser.parse(vorn_tools.example_path("two_d")))
    assert two_d.mixed is not None
    assert two_d.values.shape == two_d.mixed.shape == (32, 64)
    assert [axis.label for axis in two_d.axes] == ["Proton (ppm)", "Carbon13 (ppm)"]
    empty = vorn_tools.to_numpy(vorn_parser.parse(build_file(sections=[[], []])))
    assert empty.values.shape == (0,) and empty.axes[0].values.shape == (0,)


def test_save_npz_round_trip() -> None:
    document = vorn_parser.parse(vorn_tools.example_path("one_d"))
    buffer = io.BytesIO()
    vorn_tools.save_npz(document, buffer)
    buffer.seek(0)
    with np.load(buffer) as saved:  # no pickles needed
        assert sorted(saved.files) == ["data", "metadata_json", "x_axis"]
        np.testing.assert_array_equal(saved["data"], vorn_tools.to_numpy(document).values)
        assert saved["x_axis"][-1] == document["headers"]["dataAxisStop"][0]
        metadata = json.loads(saved["metadata_json"].item())
    assert metadata == {key: document[key] for key in ("headers", "parameters", "info")}


def test_example_script_finds_the_lines_the_fid_was_made_of() -> None:
    # examples/make_examples.py builds the FID from the first-order multiplets of
    # ethylbenzene (and CHCl3, TMS); every line is a maximum within one point.
    sys.path.insert(0, str(EXAMPLES_DIR))
    try:
        import make_examples  # type: ignore[import-not-found]  # found through the path set above
    finally:
        sys.path.remove(str(EXAMPLES_DIR))
    hz = sorted(
        (f for group in make_examples.ETHYLBENZENE for f, _ in make_examples.multiplet_lines(*group)), reverse=True
    )
    expected = [make_examples.ONE_D_OFFSET_PPM + f / make_examples.ONE_D_FREQ_MHZ for f in hz]
    result = subprocess.run(
        [sys.executable, str(EXAMPLES_DIR / "peaks.py")], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "ethylbenzene_1H: 1H in CHLOROFORM-D"
    found = [float(line.split()[0]) for line in result.stdout.splitlines()[1:]]
    point = make_examples.ONE_D_SWEEP / make_examples.ONE_D_POINTS / make_examples.ONE_D_FREQ_MHZ
    assert found == pytest.approx(expected, abs=point)  # one point: 1.22 Hz, 0.0031 ppm
