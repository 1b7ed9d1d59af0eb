"""vorn_tools.to_jcamp: read back by a small reader of our own (ASDF decoded character
by character from the JCAMP-DX rules, Y-value check points verified), by the `jcamp`
package for XYDATA blocks, and one small FID checked byte for byte."""

import io
import math
import subprocess
import sys
from collections.abc import Callable, Sequence
from contextlib import redirect_stdout
from pathlib import Path
from typing import Any

import jcamp
import numpy as np
import pytest

import vorn_tools
from vorn_tools.testing.vdf_writer import SECOND, Date, Header, Param, build_file, standard_params

SQZ = {c: (i, 1) for i, c in enumerate("@ABCDEFGHI")} | {c: (i + 1, -1) for i, c in enumerate("abcdefghi")}
DIF = {c: (i, 1) for i, c in enumerate("%JKLMNOPQR")} | {c: (i + 1, -1) for i, c in enumerate("jklmnopqr")}
DUP = {c: i + 1 for i, c in enumerate("STUVWXYZs")}


# --- a reader for what we write -------------------------------------------------------


def decode_line(line: str) -> tuple[float, list[int], bool]:
    """(x, y values, whether the last y token was a difference) of one (X++(Y..Y)) line."""
    i = 0
    while i < len(line) and (line[i].isdigit() or line[i] in ".-+"):
        i += 1
    x, last_dif = float(line[:i]), False
    ys: list[int] = []
    prev_token: tuple[str, int] | None = None
    while i < len(line):
        c = line[i]
        j = i + 1
        while j < len(line) and line[j].isdigit():
            j += 1
        tail = line[i + 1 : j]
        if c == " ":
            i += 1
            continue
        if c in "+-" or c.isdigit():  # AFFN
            if c.isdigit():
                tail = line[i:j]
            value = int(tail) * (-1 if c == "-" else 1)
            ys.append(value)
            prev_token, last_dif = ("abs", value), False
        elif c in SQZ:
            lead, sign = SQZ[c]
            value = sign * int(str(lead) + tail)
            ys.append(value)
            prev_token, last_dif = ("abs", value), False
        elif c in DIF:
            lead, sign = DIF[c]
            step = sign * int(str(lead) + tail)
            ys.append(ys[-1] + step)
            prev_token, last_dif = ("dif", step), True
        elif c in DUP:
            count = int(str(DUP[c]) + tail)
            assert prev_token is not None, f"DUP with nothing before it in {line!r}"
            for _ in range(count - 1):
                ys.append(ys[-1] + prev_token[1] if prev_token[0] == "dif" else prev_token[1])
        else:
            raise AssertionError(f"unexpected character {c!r} in {line!r}")
        i = j
    return x, ys, last_dif


def decode_table(lines: list[str]) -> tuple[list[float], list[int], list[int]]:
    """(line x values, first point of each line, all y values); checks every Y-value check point."""
    xs: list[float] = []
    firsts: list[int] = []
    ys: list[int] = []
    after_dif = False
    for line in lines:
        assert len(line) <= 80, line
        x, values, last_dif = decode_line(line)
        if after_dif:
            assert values[0] == ys[-1], f"check point {values[0]} != {ys[-1]} in {line!r}"
            firsts.append(len(ys) - 1)
            values = values[1:]
        else:
            firsts.append(len(ys))
        xs.append(x)
        ys.extend(values)
        after_dif = last_dif
    return xs, firsts, ys


def parse_blocks(text: str) -> list[dict[str, Any]]:
    """Every block of a JCAMP-DX text (the children of a LINK file, or the one block):
    {"labels": {name: [values]}, "tables": [(labels of the page, data lines)]}."""
    assert text.isascii()
    blocks: list[dict[str, Any]] = []
    stack: list[dict[str, Any]] = []
    for line in text.splitlines():
        if line.startswith("##"):
            name, _, value = line[2:].partition("=")
            name, value = name.strip().upper(), value.strip()
            if name == "TITLE":
                stack.append({"labels": {}, "tables": [], "page": {}})
            block = stack[-1]
            block["labels"].setdefault(name, []).append(value)
            if name == "PAGE":
                block["page"] = {"PAGE": value}
            elif name in ("NPOINTS", "DATA TABLE", "XYDATA"):
                block["page"][name] = value
                if name != "NPOINTS":
                    block["tables"].append((dict(block["page"]), []))
            elif name == "END":
                blocks.append(stack.pop())
        elif line.startswith("$$"):
            continue
        else:
            stack[-1]["tables"][-1][1].append(line)
    assert not stack
    return [b for b in blocks if "DATA TYPE" in b["labels"] and b["labels"]["DATA TYPE"][0] != "LINK"]


def numbers(value: str) -> list[Any]:
    """The numbers of a comma-separated label value; None for an empty field."""
    return [float(v) if v.strip() else None for v in value.split(",")]


# --- files to write -----------------------------------------------------------------


def tiny_fid(re: Sequence[float], im: Sequence[float], factor: float = 1.998) -> bytes:
    header = Header(
        title="tiny",
        site="Lab",
        node_name="",
        author="me",
        data_units=[SECOND],
        data_axis_start=[0.0],
        data_axis_stop=[7.0],
        data_axis_titles=["Proton"],
        creation_time=Date(2024, 3, 9),
    )
    return build_file(
        header=header, params=[Param("solvent", "D2O")], sections=[[k * factor for k in im], [k * factor for k in re]]
    )


def generated_fid(points: int = 3000, seed: int = 1) -> bytes:
    """A decaying two-line FID with a run of zeros at its start and a flat stretch."""
    rng = np.random.default_rng(seed)
    sweep = 8000.0
    t = np.arange(points) / sweep
    fid = (np.exp((2j * np.pi * 700 - 8) * t) + 0.4 * np.exp((-2j * np.pi * 1300 - 5) * t)) * 1e5
    fid += rng.normal(0, 3, points) + 1j * rng.normal(0, 3, points)
    fid[:40] = 0
    fid[1000:1100] = fid[1000]
    params = standard_params("One_D", x_points=points, x_sweep=sweep)
    header = Header(
        title="generated",
        data_units=[SECOND],
        data_axis_start=[0.0],
        data_axis_stop=[(points - 1) / sweep],
        data_axis_titles=["Proton"],
    )
    return build_file(header=header, params=params, sections=[fid.imag.tolist(), fid.real.tolist()])


def generated_two_d_fid(rows: int = 32, columns: int = 256) -> bytes:
    rng = np.random.default_rng(2)
    cos = rng.normal(0, 1e4, (rows, columns)) + 1j * rng.normal(0, 1e4, (rows, columns))
    sin = rng.normal(0, 1e3, (rows, columns)) + 1j * rng.normal(0, 1e3, (rows, columns))
    params = standard_params("Two_D", x_points=columns, y_points=rows)
    header = Header(
        title="two_d_fid",
        data_units=[SECOND, SECOND],
        data_axis_start=[0.0, 0.0],
        data_axis_stop=[(columns - 1) / 8000.0, (rows - 1) / 20000.0],
        data_axis_titles=["Proton", "Carbon13"],
    )
    sections = [m.tolist() for m in (cos.imag, cos.real, sin.imag, sin.real)]
    return build_file(header=header, params=params, sections=sections, layout="Two_D")


SOURCES: dict[str, Callable[[], str | bytes]] = {
    "one_d": lambda: str(vorn_tools.example_path("one_d")),
    "two_d": lambda: str(vorn_tools.example_path("two_d")),
    "generated": generated_fid,
    "generated_two_d": generated_two_d_fid,
}


# --- hand-checked bytes ---------------------------------------------------------------

TINY_RE = [0, 0, 0, 5005005, 5004000, 5004000, -12, 0]
TINY_IM = [0, 0, -5005005, 1, 2, 3, 3, 0]
# The largest magnitude is 5005005 x 1.998 = 9999999.99; FACTOR = that x 2e-7 x 0.999
# to 6 digits = 1.998, so the stored values are the integers above. Times: 0 to 7 s.
# Real page, DIFDUP: 0 is "@" (SQZ); differences 0, 0 -> "%" with DUP 2 "T"; +5005005
# -> "N005005"; -1005 -> "j005"; 0 -> "%"; -5004012 -> "n004012"; +12 -> "J2".
# Imaginary page: "@"; 0 -> "%"; -5005005 -> "n005005"; +5005006 -> "N005006"; +1, +1
# -> "J" DUP 2 "T"; 0 -> "%"; -3 -> "l".
TINY_TEXT = """\
##TITLE= tiny
##JCAMP-DX= 5.01
##DATA TYPE= NMR FID
##DATA CLASS= NTUPLES
##ORIGIN= Lab
##OWNER= me
##LONG DATE= 2024/03/09
##.SOLVENT NAME= D2O
##.ACQUISITION MODE= SIMULTANEOUS
##$SOLVENT= D2O
##NTUPLES= NMR FID
##VAR_NAME= TIME, FID/REAL, FID/IMAG, PAGE NUMBER
##SYMBOL= X, R, I, N
##VAR_TYPE= INDEPENDENT, DEPENDENT, DEPENDENT, PAGE
##VAR_FORM= AFFN, ASDF, ASDF, AFFN
##VAR_DIM= 8, 8, 8, 2
##UNITS= SECONDS, ARBITRARY UNITS, ARBITRARY UNITS,
##FIRST= 0, 0, 0, 1
##LAST= 7, 0, 0, 2
##FACTOR= 1, 1.998, 1.998, 1
$$ R: error <= FACTOR/2 = 0.999 <= 1e-7 x max|R| = 1e+07
$$ I: error <= FACTOR/2 = 0.999 <= 1e-7 x max|I| = 1e+07
##PAGE= N=1
##NPOINTS= 8
##DATA TABLE= (X++(R..R)), XYDATA
0 @%TN005005j005%n004012J2
##PAGE= N=2
##NPOINTS= 8
##DATA TABLE= (X++(I..I)), XYDATA
0 @%n005005N005006JT%l
##END NTUPLES= NMR FID
##END=
"""


def test_small_fid_byte_for_byte() -> None:
    assert vorn_tools.to_jcamp(tiny_fid(TINY_RE, TINY_IM)) == TINY_TEXT
    # AFFN: the same integers, each after a space.
    affn = vorn_tools.to_jcamp(tiny_fid(TINY_RE, TINY_IM), encoding="AFFN")
    assert "##VAR_FORM= AFFN, AFFN, AFFN, AFFN\n" in affn
    assert "\n0 0 0 0 5005005 5004000 5004000 -12 0\n" in affn
    assert "\n0 0 0 -5005005 1 2 3 3 0\n" in affn


@pytest.mark.parametrize(
    ("line", "values"),
    [
        ("1 A1B2c3", [11, 22, -33]),  # SQZ
        ("1 A1J1k", [11, 22, 20]),  # DIF from the value before
        ("1 A1JU", [11, 12, 13, 14]),  # DUP of a difference: 3 in all
        ("1 @%V", [0, 0, 0, 0, 0]),
        ("1 A1T", [11, 11]),  # DUP of a value
        ("-2.5 1 -2 30", [1, -2, 30]),  # AFFN
    ],
)
def test_reader_decodes_the_asdf_rules(line: str, values: list[int]) -> None:
    assert decode_line(line)[1] == values


def test_reader_refuses_a_wrong_check_point() -> None:
    with pytest.raises(AssertionError, match="check point"):
        decode_table(["0 A1J", "1 A3J"])  # the line before ends at 12, not 13


# --- round trips ----------------------------------------------------------------------


def _expected(source: str | bytes, spectrum: bool) -> tuple[vorn_tools.VornFile, Any, Any, Any, bool]:
    file = vorn_tools.open(source)
    if spectrum or file.to_numpy().axes[0].domain != "time":
        s = vorn_tools.spectrum(file)
        return file, s.values, s.mixed, s.axes, False
    arrays = file.to_numpy()
    return file, arrays.values, arrays.mixed, arrays.axes, True


def _check_page(lines: list[str], factor: float, expected: Any, x: Any) -> float:
    assert factor <= 2e-7 * np.max(np.abs(expected)) or np.all(expected == 0)
    xs, firsts, ys = decode_table(lines)
    assert len(ys) == expected.size
    error = np.max(np.abs(np.array(ys) * factor - expected))
    assert error <= factor / 2 * (1 + 1e-9)
    np.testing.assert_allclose(xs, x[firsts], rtol=1e-10, atol=1e-12)
    return float(error / (1e-7 * np.max(np.abs(expected))))


@pytest.mark.parametrize("encoding", ["DIFDUP", "DIF", "SQZ", "AFFN"])
@pytest.mark.parametrize("name", ["one_d", "generated"])
@pytest.mark.parametrize("spectrum", [False, True])
def test_one_d_round_trip(name: str, encoding: str, spectrum: bool) -> None:
    source = SOURCES[name]()
    file, values, _, axes, fid = _expected(source, spectrum)
    text = vorn_tools.to_jcamp(source, spectrum=spectrum, encoding=encoding)
    blocks = parse_blocks(text)
    assert len(blocks) == (1 if fid else 2)  # spectra: XYDATA, then NTUPLES
    x = axes[0].seconds if fid else axes[0].hz
    ntuples = blocks[-1]
    labels = ntuples["labels"]
    assert labels["DATA TYPE"] == ["NMR FID" if fid else "NMR SPECTRUM"]
    assert labels["JCAMP-DX"] == ["5.01"]
    for name_ in (
        "TITLE",
        "ORIGIN",
        "OWNER",
        "LONG DATE",
        ".OBSERVE FREQUENCY",
        ".OBSERVE NUCLEUS",
        ".SOLVENT NAME",
        ".ACQUISITION MODE",
        "NTUPLES",
        "VAR_NAME",
        "SYMBOL",
        "VAR_TYPE",
        "VAR_FORM",
        "VAR_DIM",
        "UNITS",
        "FIRST",
        "LAST",
        "FACTOR",
        "END NTUPLES",
        "END",
    ):
        assert name_ in labels, name_
    for param in file.parameters["paramArray"]:
        assert "$" + param["name"].upper() in labels
    assert float(labels[".OBSERVE FREQUENCY"][0]) * 1e6 == pytest.approx(
        file.info["originFrequency"][0]["magnitude"], rel=1e-12
    )
    if fid:
        assert labels["$DIGITAL FILTER"] == [repr(file.info["digitalFilter"])]
    factors = numbers(labels["FACTOR"][0])
    first, last = numbers(labels["FIRST"][0]), numbers(labels["LAST"][0])
    assert first[0] == x[0] and last[0] == pytest.approx(x[-1], rel=1e-15)
    assert labels["UNITS"][0].startswith("SECONDS" if fid else "HZ")
    pages = ntuples["tables"]
    assert [p[0]["DATA TABLE"] for p in pages] == ["(X++(R..R)), XYDATA", "(X++(I..I)), XYDATA"]
    assert [p[0]["PAGE"] for p in pages] == ["N=1", "N=2"]
    for (page, lines), part, factor in zip(pages, (values.real, values.imag), factors[1:3], strict=False):
        assert int(page["NPOINTS"]) == values.size
        _check_page(lines, factor, part, x)
    if not fid:
        xy = blocks[0]
        ((page, lines),) = xy["tables"]
        assert page["XYDATA"] == "(X++(Y..Y))"
        assert float(xy["labels"]["FIRSTX"][0]) == x[0]
        _check_page(lines, float(xy["labels"]["YFACTOR"][0]), values.real, x)


@pytest.mark.parametrize("encoding", ["DIFDUP", "AFFN"])
@pytest.mark.parametrize("name", ["two_d", "generated_two_d"])
def test_two_d_round_trip(name: str, encoding: str) -> None:
    source = SOURCES[name]()
    file, values, mixed, axes, fid = _expected(source, False)
    (block,) = parse_blocks(vorn_tools.to_jcamp(source, encoding=encoding))
    labels = block["labels"]
    assert labels["NUM DIM"] == ["2"] and labels["JCAMP-DX"] == ["6.00"]
    assert labels["DATA TYPE"] == ["nD NMR FID" if fid else "nD NMR SPECTRUM"]
    assert labels[".NUCLEUS"] == [f"^{file.info['nucleus'][1]}, ^{file.info['nucleus'][0]}"]
    sf = [float(v) * 1e6 for v in labels[".OBSERVE FREQUENCY"][1].split(",")]
    assert sf == pytest.approx([file.info["originFrequency"][i]["magnitude"] for i in (1, 0)], rel=1e-12)
    x = axes[0].seconds if fid else axes[0].hz
    y = axes[1].seconds if fid else axes[1].hz
    if fid and mixed is not None:  # each increment: the cosine FID's real, imaginary, the sine FID's
        parts, symbols = [values.real, values.imag, mixed.real, mixed.imag], ["R", "I", "RS", "IS"]
        assert labels[".ACQUISITION SCHEME"] == ["STATES"]
        assert labels["VAR_NAME"][0].endswith("FID/COSINE/REAL, FID/COSINE/IMAG, FID/SINE/REAL, FID/SINE/IMAG")
    elif fid:
        parts, symbols = [values.real, values.imag], ["R", "I"]
    else:
        parts, symbols = [values.real], ["Y"]
    t1 = y
    # T1 (F1) counts and spans the increments, whatever the number of pages per increment.
    assert numbers(labels["VAR_DIM"][0]) == [values.shape[0], values.shape[1]] + [values.shape[1]] * len(parts)
    assert numbers(labels["FIRST"][0])[0] == pytest.approx(y[0], abs=1e-15)
    assert numbers(labels["LAST"][0])[0] == pytest.approx(y[-1], rel=1e-12)
    factors = numbers(labels["FACTOR"][0])[2:]
    assert len(factors) == len(parts)
    tables = block["tables"]
    assert len(tables) == len(parts) * parts[0].shape[0]
    symbol = "T1" if fid else "F1"
    for index, (page, lines) in enumerate(tables):
        row, part = divmod(index, len(parts))
        assert page["PAGE"].startswith(f"{symbol}=")
        assert page["DATA TABLE"].startswith(f"({'T2' if fid else 'F2'}++({symbols[part]}..{symbols[part]}))")
        assert float(page["PAGE"].split("=")[1]) == pytest.approx(t1[row], rel=1e-12, abs=1e-15)
        xs, _, ys = decode_table(lines)
        error = np.max(np.abs(np.array(ys) * factors[part] - parts[part][row]))
        assert error <= factors[part] / 2 * (1 + 1e-9)
        assert factors[part] <= 2e-7 * np.max(np.abs(parts[part]))
        assert xs[0] == pytest.approx(x[0])


# --- the jcamp package ------------------------------------------------------------------


@pytest.mark.parametrize("form", ["xydata", "both"])
@pytest.mark.parametrize("name", ["one_d", "generated"])
def test_jcamp_package_reads_our_spectra(tmp_path: Path, name: str, form: str) -> None:
    source = SOURCES[name]()
    file, values, _, axes, _ = _expected(source, True)
    path = tmp_path / "s.jdx"
    vorn_tools.write_jcamp(source, path, spectrum=True, form=form)
    printed = io.StringIO()
    with redirect_stdout(printed):  # the package prints failed X and Y checks
        read = jcamp.readfile(str(path))
    assert "failed" not in printed.getvalue() and "Mismatch" not in printed.getvalue()
    if form == "both":
        assert read["data type"] == "LINK"
        read = read["children"][0]
    factor = read["yfactor"]
    assert np.max(np.abs(read["y"] - values.real)) <= factor / 2 * (1 + 1e-9)
    np.testing.assert_allclose(read["x"], axes[0].hz, rtol=1e-12, atol=1e-9)
    assert read["title"] == file.headers["title"]
    assert read["data type"] == "NMR SPECTRUM" and read["xunits"] == "HZ"
    assert read[".observe frequency"] * 1e6 == pytest.approx(file.info["originFrequency"][0]["magnitude"])
    nucleus = file.info["nucleus"][0]
    assert isinstance(nucleus, str)
    assert read[".observe nucleus"] == "^" + nucleus
    assert read["$solvent"] == file.info["solvent"]


# --- refusals, and the command --------------------------------------------------------


def test_refusals(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="encoding"):
        vorn_tools.to_jcamp(tiny_fid(TINY_RE, TINY_IM), encoding="PAC")
    with pytest.raises(ValueError, match="form"):
        vorn_tools.to_jcamp(tiny_fid(TINY_RE, TINY_IM), form="peaks")
    with pytest.raises(ValueError, match="NTUPLES only"):
        vorn_tools.to_jcamp(SOURCES["two_d"](), form="xydata")
    with pytest.raises(ValueError, match="finite"):
        vorn_tools.to_jcamp(tiny_fid([0, 1, math.nan, 0, 0, 0, 0, 0], TINY_IM, factor=1.0))


def test_command_writes_one_file_and_a_folder(tmp_path: Path) -> None:
    out = tmp_path / "one.jdx"
    vorn = [sys.executable, "-m", "vorn_tools"]
    done = subprocess.run(
        [*vorn, str(vorn_tools.example_path("one_d")), "--to", "jcamp", "-o", str(out)], capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    assert out.read_text() == vorn_tools.to_jcamp(vorn_tools.example_path("one_d"))
    folder = tmp_path / "in"
    (folder / "sub").mkdir(parents=True)
    (folder / "a.vdf").write_bytes(generated_fid())
    (folder / "sub" / "b.vdf").write_bytes(generated_two_d_fid())
    done = subprocess.run(
        [
            *vorn,
            "--batch",
            str(folder),
            "--pattern",
            "**/*.vdf",
            "--to",
            "jcamp",
            "--out",
            str(tmp_path / "out"),
            "--jobs",
            "1",
        ],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out" / "a.jdx").read_text() == vorn_tools.to_jcamp(generated_fid())
    assert (tmp_path / "out" / "sub" / "b.jdx").read_text().startswith("##TITLE= two_d_fid\n")
    bad = subprocess.run([*vorn, str(out), "-o", str(tmp_path / "x")], capture_output=True, text=True)
    assert bad.returncode == 2 and "-o only applies to --to jcamp" in bad.stderr
