"""The `vorn` command: exit codes and messages, summary, JSON, parameter table, plot, batch.

Run in this process through its entry point (the `vorn` fixture), and as the installed
script in a process of its own where that is what is checked."""

import io
import json
import math
import os
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
import vorn_parser

import vorn_tools
from helpers import Completed, Vorn
from vorn_tools.archive import batch
from vorn_tools.testing.vdf_writer import (
    CELSIUS,
    HEADER_SIZE,
    MEGA_HERTZ,
    MICRO_SECOND,
    PARAM_BLOCK_HEADER_SIZE,
    Header,
    Param,
    build_file,
    standard_params,
)

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# The lines parse writes for the standard parameters' filter: "F, i, c" per factor digit.
FILTER_LINES = ["842, 0, 8", "842, 1, 4", "842, 2, 2"]


def vorn_process(*args: object, cwd: Path | None = None, code: str | None = None) -> subprocess.CompletedProcess[str]:
    """Runs the installed command (or `code` standing in for it) in a process of its own;
    returns the process. The other tests run the command in this process (the `vorn`
    fixture)."""
    command = [sys.executable, "-c", code] if code else [str(Path(sys.executable).parent / "vorn")]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300)


def summary_fields(stdout: str) -> dict[str, str]:
    fields = {}
    for line in stdout.splitlines():
        label, _, value = line.partition("  ")
        fields[label] = value.strip()
    return fields


def one_d_file(path: Path, **options: Any) -> Path:
    options.setdefault("params", standard_params("One_D", x_points=64, x_sweep=8000.0))
    options.setdefault("header", Header(title="menthol_1H"))
    path.write_bytes(build_file(sections=[[float(-i) for i in range(64)], [float(i) for i in range(64)]], **options))
    return path


def assert_one_line_error(result: Completed, path: Path, reason: str) -> None:
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr == f"vorn: error: {path}: {reason}\n"


# --- one file: summary and failures --------------------------------------------------


def test_summary_of_a_file_and_of_the_bundled_example(tmp_path: Path) -> None:
    path = one_d_file(tmp_path / "menthol.vdf")
    result = vorn_process(path)
    assert result.returncode == 0 and result.stderr == ""
    fields = summary_fields(result.stdout)
    document = vorn_parser.parse(path)
    assert fields["Title"] == "menthol_1H"
    assert fields["Experiment"] == "single_pulse"
    assert (fields["Sample"], fields["Solvent"], fields["Nucleus"]) == ("EB-0042", "CHLOROFORM-D", "1H")
    assert fields["Dimensions"].startswith("1 (One_D, ")
    assert fields["Points"] == "64"
    assert fields["Spectral width"] == "8000 Hz"
    assert fields["Frequency"] == "399.7821984 MHz"  # stored as 399.78219838 MHz
    assert (fields["Scans"], fields["Temperature"]) == ("16", "25.3 °C")
    delay, unit = fields["Digital filter"].split(" ", 1)
    assert float(delay) == pytest.approx(document["info"]["digitalFilter"], rel=1e-7)
    assert unit == "points (group delay)"
    assert fields["Parameters"] == str(len(standard_params("One_D")))
    # The parser's filter lines are kept off standard output.
    assert not any(line in result.stdout for line in FILTER_LINES)

    bundled = vorn_process(cwd=tmp_path)  # no file: the example installed with the package
    assert bundled.returncode == 0, bundled.stderr
    assert summary_fields(bundled.stdout)["File"] == "one_d.vdf (bundled example)"
    assert summary_fields(bundled.stdout)["Title"] == "ethylbenzene_1H"
    two_d = summary_fields(vorn_process("--example", "two_d").stdout)
    assert (two_d["Nucleus"], two_d["Points"]) == ("1H, 13C", "64 x 32")


def test_summary_marks_what_the_file_does_not_hold(tmp_path: Path, vorn: Vorn) -> None:
    path = one_d_file(tmp_path / "bare.vdf", params=[Param("temp_get", 300, units=CELSIUS)])
    fields = summary_fields(vorn(path).stdout)
    assert fields["Temperature"] == "300 °C"
    assert fields["Solvent"] == fields["Scans"] == fields["Digital filter"] == fields["Spectral width"] == "-"
    assert fields["Parameters"] == "1"


def test_missing_file_and_folder(tmp_path: Path, vorn: Vorn) -> None:
    assert_one_line_error(vorn(tmp_path / "nope.vdf"), tmp_path / "nope.vdf", "no such file")
    assert_one_line_error(vorn(tmp_path), tmp_path, "is a directory, not a data file")


@pytest.mark.parametrize(
    "damage, reason",
    [
        ("cut in a parameter name", "not enough bytes in reader while reading field 'name' of Param (parameter block)"),
        ("empty", "not enough bytes in reader while reading field 'file_identifier' of Headers (header block)"),
        (
            "Three_D layout",
            "Only One_D and Two_D data formats are implemented yet, received Three_D instead at 0x0 (header block)",
        ),
        ("cut in the samples", "failed to fill whole buffer while reading field 'data_results' of Data (data section)"),
    ],
)
def test_damaged_file_gives_one_line_and_status_1(tmp_path: Path, damage: str, reason: str, vorn: Vorn) -> None:
    good = build_file(params=[Param("scans", 16)], sections=[[1.0] * 8, [2.0] * 8])
    data = {
        "cut in a parameter name": good[: HEADER_SIZE + PARAM_BLOCK_HEADER_SIZE + 50],
        "empty": b"",
        "Three_D layout": build_file(header=Header(layout_code="Three_D"), sections=[[1.0], [2.0]]),
        "cut in the samples": good[:-4],
    }[damage]
    path = tmp_path / "damaged.vdf"
    path.write_bytes(data)
    result = vorn(path)
    if damage == "cut in the samples":
        # The summary reads only the header and parameter blocks: it finds the file too
        # short for its samples by its size, shows the summary and fails; the JSON
        # document reads the samples and fails where they end.
        assert result.returncode == 1 and "File " in result.stdout
        assert (
            result.stderr == f"vorn: error: {path}: the file ends before the samples its header declares "
            "(data section)\n"
        )
        result = vorn("--json", path)
    assert_one_line_error(result, path, reason)
    assert "Traceback" not in result.stderr


def test_internal_failure_is_one_line_and_verbose_shows_the_whole_message(tmp_path: Path, vorn: Vorn) -> None:
    path = tmp_path / "bad_text.vdf"
    path.write_bytes(build_file(header=Header(title=b"AB\xff"), sections=[[1.0], [2.0]]))
    result = vorn(path)
    assert result.returncode == 1 and result.stderr.count("\n") == 1
    assert result.stderr.startswith(f"vorn: error: {path}: ")
    assert "detected at" not in result.stderr  # the module's own diagnostic stays hidden

    cut = tmp_path / "cut.vdf"
    cut.write_bytes(build_file(params=[Param("scans", 16)], sections=[[1.0], [2.0]])[:1400])
    verbose = vorn("-v", cut)
    assert verbose.returncode == 1
    assert "While parsing field 'param_array' in Parameters" in verbose.stderr
    assert verbose.stderr.rstrip("\n").splitlines()[-1].startswith(f"vorn: error: {cut}: ")


def test_bad_command_lines_exit_2(tmp_path: Path, vorn: Vorn) -> None:
    for args in (
        ["--json", "--params"],
        ["--batch", tmp_path, "--plot", "x.png"],
        ["--jobs", "2"],
        ["--example", "three_d"],
        ["--indent", "2"],
    ):
        result = vorn(*args)
        assert result.returncode == 2, args
        assert "usage: vorn" in result.stderr and "Traceback" not in result.stderr


def test_read_file_is_quiet_and_raises_an_ordinary_exception(capfd: pytest.CaptureFixture[str]) -> None:
    echo = io.StringIO()
    data = build_file(params=standard_params("One_D", x_points=8), sections=[[1.0] * 8, [2.0] * 8])
    assert vorn_tools.read_file(data, echo=echo) == vorn_parser.parse(data)
    capfd.readouterr()  # what the direct parse printed
    assert echo.getvalue().splitlines() == FILTER_LINES
    with pytest.raises(vorn_tools.ParseError) as info:
        vorn_tools.read_file(b"")
    assert info.value.source == "<bytes>"
    assert info.value.reason.startswith("not enough bytes in reader while reading field 'file_identifier'")
    assert "While parsing field 'headers' in VornDataFile" in info.value.details
    assert capfd.readouterr() == ("", "")  # neither the filter lines nor the diagnostic
    with pytest.raises(BaseException) as raw:
        vorn_parser.parse(b"")
    assert vorn_tools.is_parse_failure(raw.value)
    assert not vorn_tools.is_parse_failure(KeyboardInterrupt())


# --- JSON and the parameter table ----------------------------------------------------


def expected_json(value: object) -> object:
    """The document as the documented JSON rules write it."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, list):
        return [expected_json(v) for v in value]
    if isinstance(value, dict):
        return {k: expected_json(v) for k, v in value.items()}
    return value


def test_json_round_trips_with_non_finite_values_as_strings(tmp_path: Path, vorn: Vorn) -> None:
    path = tmp_path / "special.vdf"
    im = [math.nan, math.inf, -math.inf, -0.0, 1.5, 5e-324]
    path.write_bytes(build_file(params=standard_params("One_D", x_points=6), sections=[im, [0.25] * 6]))
    result = vorn("--json", path)
    assert result.returncode == 0 and result.stderr == ""
    loaded = json.loads(result.stdout)  # strict: the filter lines did not get in
    assert loaded == expected_json(vorn_parser.parse(path))
    assert loaded["data"]["im"][0][:3] == ["NaN", "Infinity", "-Infinity"]
    assert math.copysign(1.0, loaded["data"]["im"][0][3]) == -1.0
    assert loaded["data"]["im"][0][5] == 5e-324
    assert isinstance(loaded["info"]["digitalFilter"], float)

    verbose = vorn("--json", "-v", path)  # the filter lines go to standard error
    assert json.loads(verbose.stdout) == loaded
    assert verbose.stderr.splitlines() == FILTER_LINES


def test_json_writes_an_absent_digital_filter_as_null(tmp_path: Path, vorn: Vorn) -> None:
    path = one_d_file(tmp_path / "plain.vdf", params=[Param("scans", 4)])
    loaded = json.loads(vorn("--json", "--indent", "1", path).stdout)
    assert loaded["info"]["digitalFilter"] is None
    assert loaded["info"]["numberOfScans"] == 4


def test_parameter_table_is_aligned_with_exact_values(tmp_path: Path, vorn: Vorn) -> None:
    params = [
        Param("x_freq", 399.78219838, units=MEGA_HERTZ),
        Param("SCANS", 16),
        Param("solvent", "CDCl3"),
        Param("phase", complex(1.5, -2.0)),
        Param("x90", 10.5, units=MICRO_SECOND),
        Param("note", ""),
    ]
    path = one_d_file(tmp_path / "params.vdf", params=params)
    result = vorn("--params", path)
    assert result.returncode == 0 and result.stderr == ""
    header, *rows = result.stdout.splitlines()
    columns = [header.index(title) for title in ("NAME", "KIND", "VALUE", "UNIT")]
    assert columns[0] == 0
    cells = [
        tuple(row[start:end].strip() for start, end in zip(columns, [*columns[1:], None], strict=False)) for row in rows
    ]
    assert cells == [
        ("x_freq", "Float", "399.78219838", "MHz"),
        ("scans", "Integer", "16", ""),
        ("solvent", "String", "CDCl3", ""),
        ("phase", "Complex", "1.5-2.0i", ""),
        ("x90", "Float", "10.5", "µs"),
        ("note", "String", "-", ""),
    ]


# --- plot ----------------------------------------------------------------------------


def png_size(data: bytes) -> tuple[int, ...]:
    assert data.startswith(PNG_SIGNATURE)
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("args", [["--example", "one_d"], ["--example", "one_d", "--fid"], ["--example", "two_d"]])
def test_plot_writes_a_png(tmp_path: Path, args: list[str], vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    out = tmp_path / "plot.png"
    result = vorn(*args, "--plot", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == f"vorn: plot written to {out}\n"
    data = out.read_bytes()
    assert len(data) > 10_000
    assert png_size(data) == (700, 400)


def test_plot_failures(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    alone = vorn("--fid")
    assert alone.returncode == 2 and "--fid only applies to --plot" in alone.stderr
    empty = tmp_path / "empty.vdf"
    empty.write_bytes(build_file(sections=[[], []]))
    result = vorn(empty, "--plot", tmp_path / "p.png")
    assert_one_line_error(result, empty, "cannot plot: the file holds no samples to plot")
    unwritable = vorn("--plot", tmp_path / "no" / "such" / "folder.png")
    assert unwritable.returncode == 1 and "vorn: error: cannot write" in unwritable.stderr


def test_missing_optional_dependency_names_the_extra(tmp_path: Path) -> None:
    without = (
        "import sys; sys.modules['matplotlib'] = sys.modules['numpy'] = None; "
        "from vorn_tools.cli import main; sys.exit(main(sys.argv[1:]))"
    )
    result = vorn_process("--plot", tmp_path / "p.png", code=without)
    assert result.returncode == 1
    assert result.stderr == (
        "vorn: error: a plot needs matplotlib, which is not installed: pip install 'vorn_parser[plot]'\n"
    )
    folder = tmp_path / "in"
    folder.mkdir()
    result = vorn_process("--batch", folder, "--to", "npz", code=without)
    assert result.returncode == 1 and "pip install 'vorn_parser[numpy]'" in result.stderr


# --- batch ---------------------------------------------------------------------------


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """Both bundled examples, a damaged file and a file the pattern leaves out."""
    folder = tmp_path / "archive"
    folder.mkdir()
    for name in vorn_tools.EXAMPLES:
        (folder / f"{name}.vdf").write_bytes(vorn_tools.example_path(name).read_bytes())
    (folder / "broken.vdf").write_bytes(vorn_tools.example_path("one_d").read_bytes()[:2000])
    (folder / "notes.txt").write_text("not a data file")
    return folder


def test_batch_to_json_converts_the_good_files_and_names_the_bad_one(folder: Path, tmp_path: Path, vorn: Vorn) -> None:
    out = tmp_path / "json"
    result = vorn("--batch", folder, "--out", out, "--jobs", "2")
    assert result.returncode == 1
    assert result.stdout == ""
    assert (
        f"{folder / 'broken.vdf'}: not enough bytes in reader while reading field 'name' of Param (parameter block)\n"
    ) in result.stderr
    assert "[" + "#" * 30 + "] 3/3, 1 failed" in result.stderr
    assert result.stderr.endswith(f"vorn: converted 2 of 3 files to json in {out}; 1 failed\n")
    assert sorted(p.name for p in out.iterdir()) == ["one_d.json", "two_d.json"]
    for name in vorn_tools.EXAMPLES:
        loaded = json.loads((out / f"{name}.json").read_text(encoding="utf-8"))
        assert loaded == expected_json(vorn_parser.parse(folder / f"{name}.vdf"))


def test_batch_to_npz(folder: Path, tmp_path: Path, vorn: Vorn) -> None:
    np = pytest.importorskip("numpy")
    (folder / "broken.vdf").unlink()
    result = vorn("--batch", folder, "--to", "npz")
    assert result.returncode == 0, result.stderr
    assert result.stderr.endswith(f"vorn: converted 2 of 2 files to npz in {folder}\n")
    with np.load(folder / "two_d.npz") as saved:
        assert sorted(saved.files) == ["data", "data_mixed", "metadata_json", "x_axis", "y_axis"]
        arrays = vorn_tools.to_numpy(vorn_parser.parse(folder / "two_d.vdf"))
        assert np.array_equal(saved["data"], arrays.values)
        assert np.array_equal(saved["data_mixed"], arrays.mixed)
        metadata = json.loads(saved["metadata_json"].item())
        assert list(metadata) == ["headers", "parameters", "info"]
    with np.load(folder / "one_d.npz") as saved:
        assert saved["data"].shape == (4096,) and "y_axis" not in saved.files


def test_batch_of_an_empty_or_missing_folder(tmp_path: Path, vorn: Vorn) -> None:
    result = vorn("--batch", tmp_path)
    assert result.returncode == 1
    assert result.stderr == f"vorn: error: no files matching '*.vdf' in {tmp_path}\n"
    result = vorn("--batch", tmp_path / "nowhere")
    assert result.stderr == f"vorn: error: {tmp_path / 'nowhere'}: no such folder\n"


def crash_on_bad(source: str, target: str, fmt: str) -> str | None:
    """Stands in for batch.convert_file in a worker: dies on files named crash*."""
    if Path(source).name.startswith("crash"):
        os._exit(3)
    return batch.convert_file(source, target, fmt)


def test_batch_survives_a_worker_that_dies(folder: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(batch, "convert_file", crash_on_bad)
    (folder / "crash.vdf").write_bytes(b"")
    outcomes = batch.convert_folder(folder, "json", out_dir=tmp_path / "out", workers=2)
    errors = {outcome.source.name: outcome.error for outcome in outcomes}
    assert errors["one_d.vdf"] is None and errors["two_d.vdf"] is None
    assert "died" in (errors["crash.vdf"] or "")
    assert (errors["broken.vdf"] or "").startswith("not enough bytes in reader")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["one_d.json", "two_d.json"]
