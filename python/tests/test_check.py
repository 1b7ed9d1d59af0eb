"""vorn_tools.check and `vorn check`: verdicts and codes of valid, damaged and lossy
files, offsets that point at the bytes, the README's list of codes, the command."""

from __future__ import annotations

import json
import math
import random
import re
import struct
from collections.abc import Callable
from pathlib import Path

import pytest
import vorn_parser

import vorn_tools
from helpers import AXIS_TYPES, DATA_POINTS, Vorn, small_file
from test_hostile_headers import CASES as HOSTILE_CASES
from test_sweep import damage, small_bases
from vorn_tools.checking.report import CODES, Report, check
from vorn_tools.reading.errors import is_parse_failure
from vorn_tools.testing.vdf_writer import (
    HEADER_SIZE,
    PPM,
    Date,
    Header,
    Param,
    build_file,
    digital_filter_params,
    standard_params,
)

README = Path(__file__).resolve().parents[2] / "README.md"
U32_MAX = 0xFFFFFFFF
PARAMS_AT = HEADER_SIZE + 16  # the first parameter record of a file built here


def two_d(points: tuple[int, int] = (32, 32), sections: int = 2, **options: object) -> bytes:
    matrix = [[float(r * 32 + c) for c in range(points[0])] for r in range(points[1])]
    return build_file(sections=[matrix] * sections, layout="Two_D", **options)  # type: ignore[arg-type]


# The three figures besides "orders" and "factors" that the digital filter needs.
FILTER_FIGURES = digital_filter_params([12, 10], [8, 4], x_sweep=2.0, x_acq_time=0.5, x_points=5)[2:]

# Every code with a file that triggers it; the README's table names each (see
# test_readme_lists_every_code_with_its_example). A callable takes a folder.
EXAMPLES: dict[str, bytes | Callable[[Path], Path]] = {
    "VC001": b"This is a text file, not a data file.\n" * 40,
    "VC002": lambda folder: folder,  # a folder
    "VC010": small_file()[:1000],
    "VC011": small_file(header=Header(layout_code="Three_D")),
    "VC012": small_file(header=Header(instrument_code=99)),
    "VC013": small_file(header=Header(title=b"\xffsample")),
    "VC014": small_file(header=Header(data_dimension_number=9)),
    "VC020": small_file()[: PARAMS_AT + 20],
    "VC021": small_file(params=[Param("scans", 16, value_type_code=9)]),
    "VC022": small_file(params=[Param(b"sc\xffans", 16)]),
    "VC023": small_file(params=[Param("orders", "21210"), Param("factors", "8x"), *FILTER_FIGURES]),
    "VC030": small_file()[:-4],
    "VC031": small_file(header=Header(sample_type_code="Reserved")),
    "VC032": small_file(header=Header(data_axis_type=["Real"])),
    "VC033": two_d(header=Header(data_points=[31, U32_MAX])),
    "VC101": two_d(header=Header(data_points=[40, 40])),
    "VC102": small_file(sections=[[1.0] * 4] * 4),
    "VC103": small_file(header=Header(title="My Sample")),
    "VC104": small_file(sections=[[], []]),
    "VC105": small_file(header=Header(creation_time=Date(2022, 13, 1))),
    "VC106": small_file(sections=[[1.0, math.nan, 2.0, math.inf], [0.0] * 4]),
    "VC107": small_file(trailing=bytes(8)),
    "VC108": small_file(params=[Param("scans", 16), Param("scans", 8)]),
    "VC109": small_file(params=[Param("orders", "21210"), Param("factors", "84"), *FILTER_FIGURES[:2]]),
    "VC110": small_file(params=digital_filter_params([12, 10], [8, 4], x_sweep=0.0, x_acq_time=0.5, x_points=5)),
    "VC111": build_file(
        header=Header(data_units=[PPM], data_axis_start=[20.0], data_axis_stop=[10.0]),
        params=standard_params("One_D", x_points=8),
        sections=[[1.0] * 8, [2.0] * 8],
    ),
}
# VC099 marks a failure the checker cannot place: no file gives it (the mutation test
# below asserts so), so it has no example.
UNTRIGGERED = {"VC099"}
NEEDS_SAMPLES = {"VC106"}


def example_path(code: str, folder: Path) -> Path:
    example = EXAMPLES[code]
    if callable(example):
        return example(folder)
    path = folder / f"{code}.vdf"
    path.write_bytes(example)
    return path


def failure_block(data: bytes) -> str | None:
    """The block in which vorn_parser.parse fails ("header", "parameters", "data",
    "summary"), told from its message (the test's own reading, not the checker's), or
    None when it reads."""
    try:
        vorn_parser.parse(data)
    except BaseException as exc:  # the parser's failure class is a BaseException
        assert is_parse_failure(exc)
        message = str(exc)
        frame = re.findall(r"While parsing field '(\w+)' in VornDataFile", message)
        if frame:
            return {"headers": "header", "parameters": "parameters", "data": "data"}[frame[-1]]
        return None if "While parsing" in message else "internal"
    return None


CODE_BLOCKS = {
    "VC001": "header",
    "VC010": "header",
    "VC011": "header",
    "VC012": "header",
    "VC013": "header",
    "VC014": "summary",
    "VC020": "parameters",
    "VC021": "parameters",
    "VC022": "parameters",
    "VC023": "summary",
    "VC030": "data",
    "VC031": "data",
    "VC032": "data",
    "VC033": "data",
}


def assert_reader_failure(data: bytes, report: Report) -> None:
    """The report of a file the reader cannot read: damaged (or not this kind), its
    first finding an error of the block where the reader failed."""
    assert report.failed, report
    first = report.findings[0]
    assert first.severity == "error" and first.code != "VC099", first
    block = failure_block(data)
    expected = CODE_BLOCKS[first.code]
    # Internal failures carry no frames; they happen while decoding header or
    # parameter codes and texts, and in the summary.
    if block == "internal":
        assert expected in ("header", "parameters", "summary") or first.code == "VC032", first
    else:
        assert block == expected, (block, first)


# --- valid files ------------------------------------------------------------------

VALID = {
    f"{layout}-{sections}-{'le' if little else 'be'}-{bits}": (layout, sections, little, bits)
    for layout, sections in (("One_D", 2), ("Two_D", 2), ("Two_D", 4))
    for little in (False, True)
    for bits in (32, 64)
}


@pytest.mark.parametrize("name", list(VALID))
def test_valid_files_of_every_layout_width_and_order_are_ok(name: str) -> None:
    layout, sections, little, bits = VALID[name]
    if layout == "One_D":
        data = build_file(
            params=standard_params(layout, x_points=16),
            sections=[[1.5] * 16, [-2.5] * 16],
            little_endian=little,
            sample_bits=bits,
        )
    else:
        data = two_d(
            (64, 32),
            sections,
            params=standard_params(layout, x_points=64, y_points=32),
            little_endian=little,
            sample_bits=bits,
        )
    for samples in (False, True):
        report = check(data, samples=samples)
        assert (report.verdict, report.findings) == ("ok", ()), report


def test_bundled_examples_are_ok() -> None:
    for name in vorn_tools.EXAMPLES:
        assert check(vorn_tools.example_path(name), samples=True).verdict == "ok"


@pytest.mark.parametrize("points", [(40, 40), (33, 64), (64, 33)])
def test_points_beyond_whole_blocks_give_only_their_code(points: tuple[int, int]) -> None:
    # The writer stores whole blocks: the header says more points than are read.
    kept = (points[0] // 32 * 32, points[1] // 32 * 32)
    data = two_d(kept, header=Header(data_points=list(points)), sections=4)
    report = check(data, samples=True)
    assert report.verdict == "warnings"
    assert [f.code for f in report.findings] == ["VC101"]
    assert f"{points[0]} x {points[1]} points declared, {kept[0]} x {kept[1]} read" in report.findings[0].text


# --- damaged files: the mutation corpus of the reader's tests ----------------------


def test_every_damaged_file_of_the_mutation_corpus_is_damaged_with_the_readers_failure() -> None:
    rng = random.Random(2026)
    bases = small_bases()
    names = sorted(bases)
    failures = 0
    for _ in range(600):
        data, little = bases[rng.choice(names)]
        buf, _done = damage(rng, data, little)
        data = bytes(buf)
        fast, full = check(data), check(data, samples=True)
        assert fast.verdict == full.verdict
        if failure_block(data) is None:
            assert not full.failed, full
            continue
        failures += 1
        assert_reader_failure(data, fast)
        assert fast.findings[0] == full.findings[0]
    assert failures > 200  # the corpus mostly damages


@pytest.mark.parametrize("name", list(HOSTILE_CASES))
def test_hostile_headers_are_damaged_with_the_readers_failure(name: str) -> None:
    data = HOSTILE_CASES[name][0]
    assert_reader_failure(data, check(data))


# Where each field the checker names lies: (offset, width) by path without indexes
# (header) and within a parameter record; written from the file layout.
HEADER_FIELDS = {
    "fileIdentifier": (0, 8),
    "endian": (8, 1),
    "dataDimensionNumber": (12, 1),
    "dataFormat": (14, 1),
    "dataType": (14, 1),
    "dataInstrument": (15, 1),
    "dataAxisType": (24, 8),
    "dataUnits": (32, 16),
    "title": (48, 124),
    "dataAxisRanged": (172, 4),
    "nodeName": (408, 16),
    "site": (424, 128),
    "author": (552, 128),
    "comment": (680, 128),
    "dataAxisTitles": (808, 256),
}
# A value is checked as text because of its kind word after it: both are its bytes.
RECORD_FIELDS = {"unit": (6, 10), "valueType": (32, 4), "value": (16, 20), "name": (36, 28)}
# The codes whose cause is the damaged byte itself.
BYTE_CODES = {"VC001", "VC011", "VC012", "VC013", "VC014", "VC021", "VC022", "VC023", "VC031", "VC032"}
PARAMETER_CODES = {"VC021", "VC022", "VC023"}


def field_span(path: str) -> tuple[int, int]:
    match = re.fullmatch(r"headers\.(\w+)(?:\[\d+\])?", path)
    if match:
        return HEADER_FIELDS[match.group(1)]
    match = re.fullmatch(r"parameters\.paramArray\[(\d+)\]\.(\w+)(?:\[\d+\])?", path)
    assert match, path
    offset, width = RECORD_FIELDS[match.group(2)]
    return PARAMS_AT + 64 * int(match.group(1)) + offset, width


@pytest.mark.parametrize("little", [False, True], ids=["big", "little"])
def test_offsets_point_at_the_damaged_byte(little: bool) -> None:
    """Every byte of the header and of the parameter records damaged in turn: a failure
    caused by that byte is reported at a field that holds it, with the offset in it."""
    params = [
        Param("scans", 16),
        Param("solvent", "CDCl3"),
        *digital_filter_params([12, 10], [8, 4], x_sweep=2.0, x_acq_time=0.5, x_points=5),
    ]
    good = build_file(params=params, sections=[[1.0] * 4, [2.0] * 4], little_endian=little)
    seen = set()
    for at in range(PARAMS_AT + 64 * len(params)):
        for value in (0xFF, 0x00, 0x80, 0x81, 0x09, 0x2A):
            if good[at] == value:
                continue
            data = good[:at] + bytes([value]) + good[at + 1 :]
            report = check(data)
            if not report.failed or report.findings[0].code not in BYTE_CODES:
                continue
            first = report.findings[0]
            if (first.code in PARAMETER_CODES) != (at >= PARAMS_AT):
                continue  # a field that moves, counts or reorders the parameter records
            start, width = field_span(first.field)
            assert start <= at < start + width, (at, value, first)
            assert first.offset is not None and start <= first.offset < start + width, first
            seen.add(first.code)
    assert seen == BYTE_CODES


# --- the README's codes ------------------------------------------------------------


def readme_codes() -> dict[str, str]:
    """The rows of the code table in the README's "Checking files": code -> severity."""
    section = README.read_text(encoding="utf-8").split("## Checking files", 1)[1].split("\n## ", 1)[0]
    return dict(re.findall(r"^\| `(VC\d{3})` \| (error|warning) \|", section, re.MULTILINE))


def test_readme_lists_every_code_with_its_severity() -> None:
    assert readme_codes() == {code: info.severity for code, info in CODES.items()}
    assert set(EXAMPLES) | UNTRIGGERED == set(CODES)


@pytest.mark.parametrize("code", sorted(EXAMPLES))
def test_readme_example_triggers_its_code(code: str, tmp_path: Path) -> None:
    path = example_path(code, tmp_path)
    report = check(path, samples=code in NEEDS_SAMPLES)
    codes = [f.code for f in report.findings]
    assert code in codes, report
    if CODES[code].severity == "error":
        assert codes[0] == code and report.failed
        if path.is_file():
            assert_reader_failure(path.read_bytes(), report)
    else:
        assert report.verdict == "warnings" and set(codes) == {code}, report
        vorn_parser.parse(path.read_bytes())  # the file reads: the loss is silent


def test_missing_file_empty_path_and_a_file_object(tmp_path: Path) -> None:
    missing = check(tmp_path / "nope.vdf").findings
    assert [(f.code, f.text) for f in missing] == [("VC002", "the file cannot be opened (no such file)")]
    assert check("").verdict == "damaged"
    data = small_file(header=Header(title="My Sample"))
    (tmp_path / "x.vdf").write_bytes(data)
    with open(tmp_path / "x.vdf", "rb") as f:
        f.seek(7)
        report = check(f)
        assert f.tell() == 7  # left where it was
    assert report == check(data).__class__(report.file, "warnings", check(data).findings)


# --- the command -------------------------------------------------------------------


def test_command_table_and_exit_statuses(tmp_path: Path, vorn: Vorn) -> None:
    good = tmp_path / "good.vdf"
    good.write_bytes(small_file())
    lossy = example_path("VC103", tmp_path)
    cut = example_path("VC030", tmp_path)

    result = vorn("check", good)
    assert result.returncode == 0
    assert result.stdout.splitlines()[1].split() == [str(good), "ok"]
    assert "checked 1 file: 1 ok" in result.stderr

    assert vorn("check", good, lossy).returncode == 0
    assert vorn("check", "--strict", good, lossy).returncode == 1
    result = vorn("check", good, cut, lossy)
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert lines[0].split() == ["FILE", "VERDICT", "CODE", "OFFSET", "FIELD", "TEXT"]
    row = next(line for line in lines if line.startswith(str(cut)))
    assert row.split()[1:4] == ["damaged", "VC030", str(PARAMS_AT + 2 * 64 + 4 * 8)]
    assert "1 ok, 1 with warnings, 1 damaged, 0 not this kind" in result.stderr


def test_command_json_lines(tmp_path: Path, vorn: Vorn) -> None:
    paths = [example_path(code, tmp_path) for code in ("VC001", "VC103", "VC106")]
    result = vorn("check", "--json", "--samples", *paths)
    assert result.returncode == 1
    objects = [json.loads(line) for line in result.stdout.splitlines()]
    assert [o["verdict"] for o in objects] == ["not this kind", "warnings", "warnings"]
    assert [o["file"] for o in objects] == [str(p) for p in paths]
    finding = objects[1]["findings"][0]
    assert finding == {
        "code": "VC103",
        "severity": "warning",
        "offset": 48,
        "field": "headers.title",
        "text": "headers.title 'My Sample' is read as 'MySample' (1 space removed)",
    }
    assert objects[2]["findings"][0]["code"] == "VC106"
    assert json.loads(vorn("check", "--json", paths[2]).stdout)["findings"] == []  # no samples read


@pytest.mark.parametrize(
    "args",
    [
        ["check"],
        ["check", "--batch"],
        ["check", "x.vdf", "--pattern", "*"],
        ["check", "x.vdf", "--jobs", "2"],
        ["check", "--batch", ".", "x.vdf"],
        ["check", "--batch", "nowhere"],
        ["check", "--batch", ".", "--jobs", "0"],
        ["check", ""],
        ["check", "--frobnicate", "x.vdf"],
    ],
)
def test_bad_command_lines_exit_2(args: list[str], tmp_path: Path, vorn: Vorn) -> None:
    result = vorn(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr


def test_batch_checks_a_folder_in_name_order(tmp_path: Path, vorn: Vorn) -> None:
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.vdf").write_bytes(small_file())
    (tmp_path / "b.vdf").write_bytes(EXAMPLES["VC010"])  # type: ignore[arg-type]
    (tmp_path / "sub" / "c.vdf").write_bytes(EXAMPLES["VC103"])  # type: ignore[arg-type]
    (tmp_path / "d.vdf").mkdir()
    result = vorn("check", "--batch", tmp_path, "--json")
    assert [json.loads(line)["verdict"] for line in result.stdout.splitlines()] == ["ok", "damaged"]
    assert result.returncode == 1
    assert "d.vdf: skipped: a folder" in result.stderr
    assert "checked 2 files: 1 ok, 0 with warnings, 1 damaged, 0 not this kind; 1 skipped" in result.stderr

    result = vorn("check", "--batch", tmp_path, "--pattern", "**/*.vdf", "--jobs", "2", "--json")
    files = [json.loads(line)["file"] for line in result.stdout.splitlines()]
    assert files == [str(tmp_path / name) for name in ("a.vdf", "b.vdf", "sub/c.vdf")]


def test_a_file_named_check_is_still_shown(tmp_path: Path, vorn: Vorn) -> None:
    (tmp_path / "check").write_bytes(small_file())
    result = vorn("./check", cwd=tmp_path)
    assert result.returncode == 0 and "Points" in result.stdout


def test_checking_does_not_touch_the_file(tmp_path: Path) -> None:
    path = tmp_path / "x.vdf"
    data = small_file(params=[Param("scans", 16)])
    path.write_bytes(data)
    check(path, samples=True)
    assert path.read_bytes() == data
    # A file given as bytes and as a path gets the same findings.
    lossy = EXAMPLES["VC108"]
    assert isinstance(lossy, bytes)
    path.write_bytes(lossy)
    assert check(path).findings == check(lossy).findings


def test_offsets_of_findings_of_little_endian_value_kinds() -> None:
    # The value kind is a 32-bit word whose low byte is the code: byte 32 of a
    # little-endian record, byte 35 of a big-endian one.
    for little, low in ((False, 35), (True, 32)):
        data = small_file(params=[Param("scans", 16, value_type_code=0x0909)], little_endian=little)
        first = check(data).findings[0]
        assert (first.code, first.offset) == ("VC021", PARAMS_AT + low)
        assert struct.unpack_from("<I" if little else ">I", data, PARAMS_AT + 32)[0] == 0x0909


def test_axis_and_section_kinds_of_a_damaged_header() -> None:
    data = bytearray(small_file())
    data[AXIS_TYPES] = 1  # Real: one section
    assert [f.code for f in check(bytes(data)).findings] == ["VC032"]
    data = bytearray(two_d())
    struct.pack_into(">I", data, DATA_POINTS + 4, 64)  # twice the rows the file holds
    assert check(bytes(data)).findings[0].code == "VC030"


def test_threads_checking_at_once_agree_with_one_thread(tmp_path: Path) -> None:
    # The native check of a path runs without the interpreter lock.
    from concurrent.futures import ThreadPoolExecutor

    paths = [example_path(code, tmp_path) for code in sorted(EXAMPLES) if code != "VC002"] * 8
    alone = [check(p, samples=True) for p in paths]
    with ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda p: check(p, samples=True), paths))
    assert together == alone


@pytest.mark.parametrize("code", sorted(BYTE_CODES - {"VC023"}))
def test_one_byte_at_the_reported_offset_of_an_example_gives_its_code(code: str) -> None:
    # VC023 is left out: its example's parameters are not those of the valid file.
    example = EXAMPLES[code]
    assert isinstance(example, bytes)
    offset = check(example).findings[0].offset
    assert offset is not None
    good = small_file()
    value = example[offset] if example[offset] != good[offset] else 0xFF
    damaged = good[:offset] + bytes([value]) + good[offset + 1 :]
    first = check(damaged).findings[0]
    assert (first.code, first.offset) == (code, offset)


# The block of each failure code as the reader's failure names it (None: the reader's
# checks of codes, texts and the summary, which carry no frames).
FACT_BLOCKS = {
    "VC010": "headers",
    "VC011": "headers",
    "VC020": "parameters",
    "VC030": "data",
    "VC031": "data",
    "VC033": "data",
}


def test_the_verdict_agrees_with_the_readers_failure_facts() -> None:
    """The same bytes, read by vorn_tools.read_file: its ParseError's kind and block
    (facts from the core, not its message) agree with the checker's verdict and code."""
    rng = random.Random(22)
    bases = small_bases()
    names = sorted(bases)
    for _ in range(400):
        data, little = bases[rng.choice(names)]
        buf, _done = damage(rng, data, little)
        data = bytes(buf)
        report = check(data)
        try:
            vorn_tools.read_file(data)
        except vorn_tools.ParseError as exc:
            assert report.failed, report
            assert (report.verdict == "not this kind") == (exc.kind == "not-this-kind"), (report, exc.kind)
            code = report.findings[0].code
            if code in FACT_BLOCKS:
                assert exc.block == FACT_BLOCKS[code], (code, exc.block, exc.frames)
        else:
            assert not report.failed, report
