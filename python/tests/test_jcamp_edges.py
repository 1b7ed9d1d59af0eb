"""JCAMP-DX exports at the edges: non-finite complex parameters, samples too small for a
FACTOR, extreme axes, label names that meet after upper-casing, "$$" and non-ASCII text,
the label order of LINK files, and the command's options. Read back with the reader of
test_jcamp (never the encoder) and the standard library's unicode_escape codec."""

from __future__ import annotations

import codecs
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from test_jcamp import decode_table, numbers, parse_blocks

import vorn_tools
from vorn_tools.cli import export
from vorn_tools.exports import jcamp
from vorn_tools.testing.vdf_writer import CELSIUS, SECOND, Header, Param, build_file, standard_params

VORN = [sys.executable, "-m", "vorn_tools"]


def fid(params: list[Param], re: list[float] | None = None, header: Header | None = None) -> bytes:
    re = re if re is not None else [float(k) for k in range(16)]
    header = header or Header(title="edges", data_units=[SECOND], data_axis_start=[0.0], data_axis_stop=[1.5])
    return build_file(header=header, params=params, sections=[[0.5] * len(re), re])


def user_labels(text: str) -> dict[str, str]:
    """The ##$ labels as (name, value) with the value's comment cut off at "$$", both
    decoded with unicode_escape, as a reader that knows the documented escapes would."""
    found: dict[str, str] = {}
    for line in text.splitlines():
        if line.startswith("##$"):
            name, _, value = line[3:].partition("=")
            value = value.split("$$", 1)[0].strip()
            found[codecs.decode(name.strip(), "unicode_escape")] = codecs.decode(value, "unicode_escape")
    return found


def comments(text: str, label: str) -> list[str]:
    return [
        line.split("$$", 1)[1].strip() for line in text.splitlines() if line.startswith(f"##${label}=") and "$$" in line
    ]


def test_non_finite_complex_parameters_are_written_like_floats(tmp_path: Path) -> None:
    params = [Param("c1", complex(math.inf, math.nan)), Param("c2", complex(-math.inf, 2.5)), Param("f", math.nan)]
    text = vorn_tools.to_jcamp(fid(params))
    labels = user_labels(text)
    assert (labels["C1"], labels["C2"], labels["F"]) == ("(INF, NAN)", "(-INF, 2.5)", "NAN")
    path = tmp_path / "c.vdf"
    path.write_bytes(fid(params))
    done = subprocess.run([*VORN, str(path), "--to", "jcamp"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == text, done.stderr


def test_subnormal_samples_are_refused_clearly_and_tiny_normal_ones_round_trip(tmp_path: Path) -> None:
    subnormal = [k * 1e-318 for k in range(16)]  # the largest 1.5e-317
    with pytest.raises(ValueError, match="too small for a JCAMP-DX FACTOR"):
        vorn_tools.to_jcamp(fid([], re=subnormal))
    path = tmp_path / "tiny.vdf"
    path.write_bytes(fid([], re=subnormal))
    done = subprocess.run([*VORN, str(path), "--to", "jcamp"], capture_output=True, text=True)
    assert done.returncode == 1 and "too small for a JCAMP-DX FACTOR" in done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""

    tiny = [k * 1e-300 for k in range(16)]
    (block,) = parse_blocks(vorn_tools.to_jcamp(fid([], re=tiny)))
    factor = numbers(block["labels"]["FACTOR"][0])[1]
    assert 0 < factor <= 2e-7 * 15e-300
    _, _, ys = decode_table(block["tables"][0][1])
    assert np.max(np.abs(np.array(ys) * factor - np.array(tiny))) <= factor / 2 * (1 + 1e-9)


def test_extreme_axes_are_written_as_points() -> None:
    header = Header(title="wide", data_units=[SECOND], data_axis_start=[-1.7e308], data_axis_stop=[1.7e308])
    (block,) = parse_blocks(vorn_tools.to_jcamp(fid([], header=header)))
    assert block["labels"]["UNITS"][0].startswith("POINTS")
    xs, _, _ = decode_table(block["tables"][0][1])
    assert xs[0] == 0 and all(math.isfinite(x) for x in xs)


def test_label_names_stay_unique_after_upper_casing() -> None:
    params = [Param("lower", "a"), Param("LOWER", "b"), Param("Lower", "c"), Param("lower_2", "d")]
    text = vorn_tools.to_jcamp(fid([*params, *standard_params("One_D")]))
    labels = user_labels(text)
    assert (labels["LOWER"], labels["LOWER_2"], labels["LOWER_3"], labels["LOWER_2_2"]) == ("a", "b", "c", "d")
    names = [line.partition("=")[0] for line in text.splitlines() if line.startswith("##$")]
    assert len(names) == len(set(names))


def test_dollar_pairs_and_non_ascii_text_are_reversible() -> None:
    texts = {"t": "T=1$$2", "run": "$$$a$", "deg": "25 °C θ=90°", "slash": "C:\\xb0\\new", "pad": "x\ty"}
    params = [Param(name, value) for name, value in texts.items()]
    params += [Param("θ", 1.5), Param("temp", 25.0, units=CELSIUS), Param("wert=gleich", "ü")]
    header = Header(title="Ethanol – 25 °C", data_units=[SECOND], data_axis_start=[0.0], data_axis_stop=[1.5])
    text = vorn_tools.to_jcamp(fid(params, header=header))
    assert text.isascii()
    for line in text.splitlines():
        if not line.startswith("$$"):
            head, _, comment = line.partition("$$")
            assert "$$" not in head.rstrip()[:-1] or not comment  # the first "$$" of a line starts its comment
    labels = user_labels(text)
    with vorn_tools.open(fid(params, header=header)) as file:  # as the file holds them
        stored = {p["name"]: p["value"] for p in file.parameters["paramArray"]}
        stored_title = file.headers["title"]
    for name in texts:
        assert labels[name.upper()] == stored[name] and "$$" in str(stored["t"])
    # Names: upper-cased (JCAMP-DX compares them so), then escaped in a form that
    # upper-casing leaves alone.
    assert labels["Θ"] == "1.5" and labels["WERT=GLEICH"] == "ü"
    assert "##$\\U00000398= 1.5" in text.splitlines()
    assert [codecs.decode(c, "unicode_escape") for c in comments(text, "TEMP")] == ["°C"]
    title = next(line for line in text.splitlines() if line.startswith("##TITLE="))
    assert codecs.decode(title.partition("=")[2].strip(), "unicode_escape") == stored_title
    assert jcamp.unescape(title.partition("=")[2].strip()) == stored_title and "°" in stored_title


def test_jcamp_package_reads_the_escaped_text(tmp_path: Path) -> None:
    import io
    from contextlib import redirect_stdout

    jcamp_package = pytest.importorskip("jcamp")
    path = tmp_path / "t.jdx"
    vorn_tools.write_jcamp(
        fid([Param("t", "T=1$$2"), Param("deg", "°C"), *standard_params("One_D")]), path, spectrum=True, form="xydata"
    )
    with redirect_stdout(io.StringIO()):
        read = jcamp_package.readfile(str(path))
    assert codecs.decode(str(read["$t"]), "unicode_escape") == "T=1$$2"
    assert codecs.decode(str(read["$deg"]), "unicode_escape") == "°C"
    assert read["y"].size == 16


def test_link_blocks_start_with_title_then_version() -> None:
    text = vorn_tools.to_jcamp(vorn_tools.example_path("one_d"), spectrum=True, form="both")
    lines = text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("##TITLE=")]
    assert len(starts) == 3
    for i in starts:
        assert lines[i + 1].startswith("##JCAMP-DX=")
    assert [lines[i + 2] for i in starts[1:]] == ["##BLOCK_ID= 1", "##BLOCK_ID= 2"]


def test_two_d_hypercomplex_increment_agrees_with_var_dim() -> None:
    rows, columns, sweep_t1 = 32, 64, 16000.0
    rng = np.random.default_rng(7)
    sections = [rng.normal(0, 1e3, (rows, columns)).tolist() for _ in range(4)]
    header = Header(
        title="hsqc",
        data_units=[SECOND, SECOND],
        data_axis_start=[0.0, 0.0],
        data_axis_stop=[(columns - 1) / 8000.0, (rows - 1) / sweep_t1],
    )
    params = standard_params("Two_D", x_points=columns, y_points=rows, y_sweep=sweep_t1)
    content = build_file(header=header, params=params, sections=sections, layout="Two_D")
    (block,) = parse_blocks(vorn_tools.to_jcamp(content))
    labels = block["labels"]
    dim, first, last = (numbers(labels[key][0])[0] for key in ("VAR_DIM", "FIRST", "LAST"))
    assert dim == rows
    assert (dim - 1) / (last - first) == pytest.approx(sweep_t1, rel=1e-9)  # SW1 as a reader derives it
    assert labels[".ACQUISITION SCHEME"] == ["STATES"]
    pages = [page["PAGE"] for page, _ in block["tables"]]
    roles = [page["DATA TABLE"].split("(")[2].split(".")[0] for page, _ in block["tables"]]
    assert roles[:4] == ["R", "I", "RS", "IS"] and len(pages) == 4 * rows
    # Each (increment, role) pair once.
    assert len(set(zip(pages, roles, strict=True))) == len(pages)


def test_command_options_match_to_jcamp(tmp_path: Path) -> None:
    assert (export.JCAMP_ENCODINGS, export.JCAMP_FORMS) == (jcamp.ENCODINGS, jcamp.FORMS)
    source = str(vorn_tools.example_path("one_d"))
    out = tmp_path / "s.jdx"
    done = subprocess.run(
        [*VORN, source, "--to", "jcamp", "--spectrum", "--encoding", "AFFN", "--form", "xydata", "-o", str(out)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    assert out.read_text() == vorn_tools.to_jcamp(source, spectrum=True, encoding="AFFN", form="xydata")
    for wrong in (["--encoding", "SQZ"], ["--batch", str(tmp_path), "--to", "jcamp", "--form", "xydata"]):
        args = wrong if "--batch" in wrong else [source, *wrong]
        bad = subprocess.run([*VORN, *args], capture_output=True, text=True)
        assert bad.returncode == 2 and "only apply to FILE --to jcamp" in bad.stderr, bad.stderr
