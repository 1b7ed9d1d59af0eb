"""vorn_tools reads through one reader: read_file equal to parse() over a sweep, the same
failure (reason and fields) on every path for a set of damaged files, threads decoding
at once, the header's layout facts, zero samples past the end, files cut inside their
samples on the paths that read no samples, and the stub of the native module."""

from __future__ import annotations

import io
import subprocess
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import vorn_parser

import vorn_tools
from helpers import Vorn
from vorn_tools.testing.vdf_writer import (
    BLOCK_EDGE,
    HEADER_SIZE,
    PPM,
    Header,
    Matrix,
    Param,
    build_file,
    standard_params,
    two_d_section_bytes,
)

np = pytest.importorskip("numpy")

REPO = Path(__file__).resolve().parents[2]
EXAMPLES_DIR = REPO / "python" / "vorn_tools" / "examples"


def samples(count: int, seed: int) -> list[float]:
    return [seed * 1000.0 + i * 0.25 - 3.0 for i in range(count)]


def one_d(points: int, sections: int, little: bool, bits: int, **options: Any) -> bytes:
    options.setdefault("params", standard_params("One_D", x_points=max(points, 1)))
    return build_file(
        little_endian=little, sample_bits=bits, sections=[samples(points, s) for s in range(sections)], **options
    )


def two_d(
    x: int,
    y: int,
    sections: int,
    little: bool = False,
    bits: int = 64,
    *,
    params: list[Param] | None = None,
    axis_types: list[int] | None = None,
) -> bytes:
    cols, rows = x // BLOCK_EDGE * BLOCK_EDGE, y // BLOCK_EDGE * BLOCK_EDGE
    stored = [two_d_section_bytes(Matrix(samples(rows * cols, s), rows, cols), little, bits) for s in range(sections)]
    header = Header(
        data_points=[x, y, 1, 1, 1, 1, 1, 1],
        data_units=[PPM, PPM],
        data_axis_type=axis_types,
        data_axis_start=[10.0, 150.0],
        data_axis_stop=[0.0, 5.0],
        data_axis_titles=["H", "C"],
    )
    return build_file(
        header=header,
        layout="Two_D",
        little_endian=little,
        sample_bits=bits,
        sections=stored,
        params=standard_params("Two_D", x_points=max(x, 1), y_points=max(y, 1)) if params is None else params,
    )


SHAPES: list[tuple[str, int, Any]] = [
    ("One_D", 2, 40),
    ("One_D", 4, 33),
    ("Two_D", 2, (70, 45)),
    ("Two_D", 4, (40, 40)),
    ("Two_D", 4, (96, 64)),
]
SWEEP = {
    f"{layout}-{n}-{size}-{'le' if little else 'be'}-{bits}": (
        one_d(size, n, little, bits) if layout == "One_D" else two_d(size[0], size[1], n, little, bits)
    )
    for layout, n, size in SHAPES
    for little in (False, True)
    for bits in (32, 64)
}
SWEEP.update({p.stem: p.read_bytes() for p in sorted(EXAMPLES_DIR.glob("*.vdf"))})


def parsed(content: bytes, capfd: pytest.CaptureFixture[str]) -> Any:
    document = vorn_parser.parse(content)
    capfd.readouterr()  # parse's filter lines
    return document


@pytest.mark.parametrize("name", sorted(SWEEP))
def test_read_file_is_parse(name: str, tmp_path: Path, capfd: pytest.CaptureFixture[str]) -> None:
    content = SWEEP[name]
    path = tmp_path / "f.vdf"
    path.write_bytes(content)
    want = parsed(content, capfd)
    for source in (path, str(path), content, bytearray(content), memoryview(content)):
        got = vorn_tools.read_file(source)
        assert got == want or repr(got) == repr(want)  # NaN samples compare unequal to themselves
        assert list(got) == list(want) and list(got["info"]) == list(want["info"])


def test_read_file_hands_back_the_filter_lines(capfd: pytest.CaptureFixture[str]) -> None:
    content = SWEEP["one_d"]
    parsed(content, capfd)
    vorn_parser.parse(content)
    printed = capfd.readouterr().out
    echo = io.StringIO()
    vorn_tools.read_file(content, echo=echo)
    assert echo.getvalue() == printed and printed.count("\n") >= 1
    assert capfd.readouterr().out == ""  # nothing below sys.stdout


# --- the same failure on every path --------------------------------------------------------

GOOD = SWEEP["Two_D-4-(96, 64)-be-64"]
BAD_ORDERS = [
    p if p.name != "orders" else Param("orders", "x10") for p in standard_params("Two_D", x_points=64, y_points=64)
]
DAMAGED = {
    "text": b"This is a text file, not a data file; it goes on for a while. " * 30,
    "zeros": bytes(HEADER_SIZE + 200),
    "header cut": GOOD[:100],
    "parameters cut": GOOD[: HEADER_SIZE + 40],
    "samples cut": GOOD[:-8],
    "bad orders": two_d(64, 64, 2, params=BAD_ORDERS),
    # one section of Two_D data and a malformed "orders": the data section fails first
    "one section, bad orders": two_d(64, 64, 1, params=BAD_ORDERS, axis_types=[1, 1]),
    "unknown sample type": build_file(header=Header(sample_type_code=2), sections=[[1.0], [2.0]]),
}

Facts = tuple[str, str, tuple[tuple[str, str], ...], int | None, str | None]


def facts(call: Callable[[], object]) -> Facts:
    with pytest.raises(vorn_tools.ParseError) as info:
        call()
    e = info.value
    assert e.kind in vorn_tools.reading.errors.KINDS and str(e).endswith(e.reason)
    return e.reason, e.kind, e.frames, e.position, e.block


@pytest.mark.parametrize("name", sorted(DAMAGED))
def test_same_failure_on_every_path(name: str, tmp_path: Path, vorn: Vorn, capfd: pytest.CaptureFixture[str]) -> None:
    content = DAMAGED[name]
    path = tmp_path / "bad.vdf"
    path.write_bytes(content)
    want = facts(lambda: vorn_tools.read_file(content))
    assert facts(lambda: vorn_tools.read_file(path)) == want
    for source in (path, content, io.BytesIO(content)):
        assert facts(lambda s=source: vorn_tools.open(s).to_numpy()) == want  # type: ignore[misc]
    # The summary and the table read no samples: a failure in the data section reaches
    # them only as a file too short for its samples (see the cut-file tests).
    paths = [("--json", path)] if want[4] == "data" else [("--json", path), (path,), ("--params", path)]
    for args in paths:
        result = vorn(*args)
        assert (result.returncode, result.stderr) == (1, f"vorn: error: {path}: {want[0]}\n")
    if name == "text":
        assert want[1] == "not-this-kind" and want[0].startswith("not a data file of this kind (")
    elif name in ("header cut", "parameters cut", "samples cut"):
        assert want[1] == "damaged" and want[2] and want[4] is not None
    # parse() fails on the same bytes with the same root reason
    with pytest.raises(BaseException) as failure:  # parse's failure is a BaseException
        vorn_parser.parse(content)
    capfd.readouterr()
    assert vorn_tools.is_parse_failure(failure.value)
    root = (
        want[0].removeprefix("not a data file of this kind (").removesuffix(")")
        if want[1] == "not-this-kind"
        else want[0]
    )
    assert root.split(" while reading")[0].split(" (")[0] in " ".join(str(failure.value).split())


def test_one_section_with_bad_orders_is_the_data_section_failure() -> None:
    reason, kind, _, position, block = facts(lambda: vorn_tools.open(DAMAGED["one section, bad orders"]))
    assert "Data section count with value 1" in reason and kind == "damaged"
    assert block == "data" and position is not None


def test_failures_keep_the_full_message() -> None:
    with pytest.raises(vorn_tools.ParseError) as info:
        vorn_tools.open(DAMAGED["parameters cut"])
    assert "While parsing field 'headers'" not in info.value.details
    assert "While parsing field 'parameters' in VornDataFile" in info.value.details


# --- threads -------------------------------------------------------------------------------


def test_threads_decode_the_same_arrays(tmp_path: Path) -> None:
    names = sorted(SWEEP)
    paths = []
    for i, name in enumerate(names):
        paths.append(tmp_path / f"{i}.vdf")
        paths[-1].write_bytes(SWEEP[name])
    wanted = [vorn_tools.open(p).to_numpy() for p in paths]
    failures: list[BaseException] = []
    start = threading.Barrier(4)

    def work(offset: int) -> None:
        try:
            start.wait()
            for k in range(len(names) * 2):
                i = (k + offset) % len(names)
                got = vorn_tools.open(paths[i] if k % 2 else SWEEP[names[i]]).to_numpy()
                assert got.values.tobytes() == wanted[i].values.tobytes()
                assert (
                    vorn_tools.read_file(paths[i])["headers"]["dataPoints"]
                    == vorn_tools.open(paths[i]).headers["dataPoints"]
                )
        except BaseException as exc:  # reported below
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# --- layout facts and axes -----------------------------------------------------------------


def test_two_d_axes_span_the_header_points() -> None:
    """A Two_D header of 40 x 40 points from 10 to 0 ppm keeps 32 x 32 of them: the kept
    points are points 0-31 of the 40."""
    vf = vorn_tools.open(two_d(40, 40, 2))
    layout = vf.layout
    assert layout["header_points"] == [40, 40] and layout["kept_points"] == [32, 32]
    assert layout["shape"] == (32, 32) and layout["sections"] == ["re", "im"]
    x, y = vf.to_numpy().axes
    np.testing.assert_allclose(x.values, np.linspace(10.0, 0.0, 40)[:32])
    np.testing.assert_allclose(y.values, np.linspace(150.0, 5.0, 40)[:32])
    assert x.values[-1] == pytest.approx(10 - 31 * 10 / 39)
    xr = pytest.importorskip("xarray")
    ds = xr.open_dataset(io.BytesIO(two_d(40, 40, 4)), engine="vorn")
    for name in ("x_axis", "x_ppm"):
        np.testing.assert_allclose(ds[name].values, np.linspace(10.0, 0.0, 40)[:32])


@pytest.mark.parametrize("name", sorted(SWEEP))
def test_layout_facts_are_the_arrays(name: str) -> None:
    vf = vorn_tools.open(SWEEP[name])
    layout, arrays = vf.layout, vf.to_numpy()
    assert tuple(layout["shape"]) == arrays.values.shape
    assert ("re_im" in layout["sections"]) == (arrays.mixed is not None)
    assert layout["data_end"] <= len(SWEEP[name]) and not vf.cut_short


# --- zero samples, cut files ---------------------------------------------------------------


def test_zero_samples_past_the_end_give_empty_rows(capfd: pytest.CaptureFixture[str]) -> None:
    content = build_file(header=Header(data_start=10**6), sections=[[], []])
    document = parsed(content, capfd)
    assert document["data"] == {"im": [[]], "re": [[]]}
    assert vorn_tools.read_file(content)["data"] == document["data"]
    arrays = vorn_tools.open(content).to_numpy()
    assert arrays.values.shape == (0,)


CUT = SWEEP["one_d"][:-100]


def test_cut_file_on_the_paths_that_read_no_samples(tmp_path: Path, vorn: Vorn) -> None:
    path = tmp_path / "cut.vdf"
    path.write_bytes(CUT)
    vf = vorn_tools.open(path)
    assert vf.cut_short and vf.headers["dataFormat"] == "One_D"
    with pytest.raises(vorn_tools.ParseError) as info:
        vf.require_whole()
    assert info.value.kind == "damaged"
    with pytest.raises(vorn_tools.ParseError):
        vf.to_numpy()
    for args in ((path,), ("--params", path)):
        result = vorn(*args)
        assert result.returncode == 1 and result.stdout  # the metadata is still shown
        assert result.stderr == f"vorn: error: {path}: {info.value.reason}\n"
    assert not vorn_tools.open(SWEEP["one_d"]).cut_short


def test_cut_file_in_the_errors_table_without_data(tmp_path: Path) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "cut.vdf").write_bytes(CUT)
    (folder / "whole.vdf").write_bytes(SWEEP["one_d"])
    from vorn_tools.archive.datasets import convert_folder_to_parquet

    convert_folder_to_parquet(folder, tmp_path / "out", with_data=False, workers=1)
    errors = pq.read_table(tmp_path / "out.errors.parquet").to_pylist()
    assert [e["path"] for e in errors] == ["cut.vdf"] and "ends before the samples" in errors[0]["reason"]


# --- file objects, extras, the stub --------------------------------------------------------


def test_open_leaves_a_file_object_where_it_was() -> None:
    file = io.BytesIO(SWEEP["one_d"])
    file.seek(10)
    vf = vorn_tools.open(file)
    assert file.tell() == 10
    vf.to_numpy()
    assert file.tell() == 10


@pytest.mark.slow
def test_native_stub_matches_the_module_by_stubtest(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vorn_tools._native", "--mypy-config-file", str(tmp_path / "none.ini")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


@pytest.mark.parametrize(
    "code, extra",
    [
        ("vorn_tools.open(vorn_tools.example_path()).to_numpy()", "numpy"),
        ("vorn_tools.open(vorn_tools.example_path()).sections()", "numpy"),
        ("vorn_tools.open(vorn_tools.example_path()).to_xarray()", "xarray"),
        ("import vorn_tools.dask", "dask"),
    ],
)
def test_a_missing_extra_is_named(code: str, extra: str) -> None:
    blocked = extra
    script = f"import sys; sys.modules[{blocked!r}] = None\nimport vorn_tools\n{code}"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert f"pip install 'vorn_parser[{extra}]'" in result.stderr.splitlines()[-1]
