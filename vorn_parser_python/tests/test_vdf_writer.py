"""Checks the test-file writer against the stored byte layout, without any reader."""

import struct
from collections.abc import Callable

import pytest

from helpers import AXIS_TYPES, DATA_POINTS, DATA_START, PARAM_START
from vorn_tools.testing.vdf_writer import (
    Date,
    Header,
    Matrix,
    Param,
    Unit,
    build_file,
    section_count_axis_types,
    two_d_section_bytes,
)

BYTE_ORDERS = [pytest.param(False, ">", id="big"), pytest.param(True, "<", id="little")]


def be_words(data: bytes, offset: int, count: int = 1) -> tuple[int, ...]:
    return struct.unpack_from(f">{count}I", data, offset)


@pytest.mark.parametrize("little, e", BYTE_ORDERS)
def test_file_places_blocks_where_the_big_endian_header_points(little: bool, e: str) -> None:
    data = build_file(
        params=[Param("scans", 16), Param("solvent", "D2O")],
        sections=[[1.5] * 4, [-2.0] * 4],
        sample_bits=32,
        little_endian=little,
    )
    param_start, data_start = be_words(data, PARAM_START)[0], be_words(data, DATA_START)[0]
    assert param_start == 1360
    assert data_start == 1360 + 16 + 2 * 64
    assert data[8] == (1 if little else 0)
    assert data[12:16] == bytes([1, 0x80, 0x41, 0])  # dimensions, flags, 32-bit One_D
    assert data[AXIS_TYPES : AXIS_TYPES + 8] == bytes([3, 0, 0, 0, 0, 0, 0, 0])  # one Complex axis: 2 sections
    assert be_words(data, DATA_POINTS, 2) == (4, 1)
    # parameter block words: size, low index, record count, total size
    assert struct.unpack_from(e + "4I", data, param_start) == (64, 0, 2, 16 + 128)
    assert data[data_start:] == struct.pack(e + "8f", *[1.5] * 4, *[-2.0] * 4)
    assert be_words(data, 1288, 2) == (0, 32)  # data length is the second word
    assert be_words(data, 1320, 2) == (0, len(data))


def test_header_is_1360_bytes_with_fields_at_their_offsets() -> None:
    header = Header(
        title="My Sample",
        creation_time=Date(2022, 11, 14),
        revision_time=Date(2022, 11, 14, unused_byte1_low=0x0F),
        data_units=[Unit.named("Hertz", "Mega", power=1), Unit(3, 15, 13)],
        data_axis_titles=["Proton", "Carbon13"],
        data_length=(1, 16),
        reversed=[False, True, True],
        annotation_byte=0x80,
    ).pack()
    assert len(header) == 1360
    assert header[32:36] == bytes([0xE1, 0x0D, 0x3F, 0x0D])
    assert header[48:172] == b"My Sample" + bytes(115)
    assert header[400:404] == bytes([0x41, 0x60, 0x0E, 0x00])
    assert header[404:408] == bytes([0x41, 0x6F, 0x0E, 0x00])
    assert header[808:872] == b"Proton".ljust(32, b"\0") + b"Carbon13".ljust(32, b"\0")
    assert header[1192:1200] == bytes([0, 1, 1, 0, 0, 0, 0, 0])
    assert header[1203] == 0x80
    assert header[1288:1296] == bytes([0, 0, 0, 1, 0, 0, 0, 0x10])


@pytest.mark.parametrize(
    "header, expected",
    [
        (Header(sample_type_code="64Bit Float", layout_code="Two_D"), 0x02),
        (Header(sample_type_code=3, layout_code=2), 0xC2),
        (Header(data_type_byte=0x03), 0x03),
    ],
)
def test_data_type_byte_at_offset_14(header: Header, expected: int) -> None:
    assert header.pack()[14] == expected


def test_too_long_text_is_refused() -> None:
    with pytest.raises(ValueError):
        Header(title="x" * 125).pack()
    with pytest.raises(ValueError):
        Param("n" * 29, 1).pack()
    with pytest.raises(ValueError):
        Param("solvent", "x" * 17).pack()


@pytest.mark.parametrize("little, e", BYTE_ORDERS)
def test_parameter_record_layout(little: bool, e: str) -> None:
    record = Param("X_Sweep", 2.5, units=Unit.named("Hertz", "Kilo"), scaler=-2).pack(little)
    assert len(record) == 64
    assert record[0:4] == bytes(4)
    assert record[4:6] == struct.pack(e + "h", -2)
    assert record[6:16] == bytes([0xF1, 0x0D]) + bytes(8)
    assert record[16:32] == struct.pack(e + "d", 2.5) + bytes(8)
    assert record[32:36] == struct.pack(e + "I", 2)
    assert record[36:64] == b"X_Sweep".ljust(28, b"\0")


@pytest.mark.parametrize("little, e", BYTE_ORDERS)
@pytest.mark.parametrize(
    "param, code, value_area",
    [
        (Param("solvent", "CDCl3"), 0, lambda e: b"CDCl3".ljust(16, b"\0")),
        (Param("scans", -5), 1, lambda e: struct.pack(e + "i", -5).ljust(16, b"\0")),
        (Param("c", 1 + 2j), 3, lambda e: struct.pack(e + "dd", 1.0, 2.0)),
        (Param("x_points", 7, kind="Infinity"), 4, lambda e: struct.pack(e + "i", 7).ljust(16, b"\0")),
        (Param("f", 1.0, value_type_code=0x0302), 0x0302, lambda e: struct.pack(e + "d", 1.0).ljust(16, b"\0")),
        (Param("odd", 1, kind=7, raw_value=b"\xff" * 16), 7, lambda e: b"\xff" * 16),
    ],
    ids=["string", "integer", "complex", "infinity", "upper-code-bits", "unknown-code"],
)
def test_parameter_value_kinds(
    param: Param, code: int, value_area: Callable[[str], bytes], little: bool, e: str
) -> None:
    record = param.pack(little)
    assert record[32:36] == struct.pack(e + "I", code)
    assert record[16:32] == value_area(e)


@pytest.mark.parametrize("little, e", BYTE_ORDERS)
def test_two_d_64_by_32_runs_fill_columns_0_to_31_then_32_to_63(little: bool, e: str) -> None:
    matrix = [[row * 1000.0 + col for col in range(64)] for row in range(32)]
    data = build_file(sections=[matrix, matrix], layout="Two_D", little_endian=little)
    assert be_words(data, DATA_POINTS, 2) == (64, 32)
    samples = struct.unpack_from(e + "4096d", data, be_words(data, DATA_START)[0])
    runs = [samples[i : i + 32] for i in range(0, 2048, 32)]
    assert runs[:32] == [tuple(matrix[r][0:32]) for r in range(32)]
    assert runs[32:] == [tuple(matrix[r][32:64]) for r in range(32)]
    assert samples[2048:] == samples[:2048]


def test_two_d_sample_sits_in_its_block_row_column_and_block_position() -> None:
    rows, cols = 64, 96
    stored = struct.unpack(
        f">{rows * cols}d", two_d_section_bytes(Matrix([float(i) for i in range(rows * cols)], rows, cols))
    )
    expected = [0.0] * (rows * cols)
    for row in range(rows):
        for col in range(cols):
            block = (row // 32) * (cols // 32) + col // 32
            expected[block * 1024 + (row % 32) * 32 + col % 32] = float(row * cols + col)
    assert list(stored) == expected
    with pytest.raises(ValueError):
        two_d_section_bytes(Matrix([0.0] * 40 * 32, 32, 40))


@pytest.mark.parametrize(
    "count, dimensions, kinds",
    [
        (1, 2, [1, 1]),
        (2, 1, [3]),
        (2, 2, [3, 1]),
        (3, 2, [3, 4]),
        (4, 2, [3, 3]),
    ],
)
def test_axis_kinds_give_the_section_count(count: int, dimensions: int, kinds: list[int]) -> None:
    assert section_count_axis_types(count, dimensions) == kinds + [0] * (8 - len(kinds))


def test_header_offsets_move_blocks_and_later_blocks_win_overlaps() -> None:
    samples = [1.0, 2.0]
    data = build_file(header=Header(data_start=1360 + 8), params=[Param("scans", 1)], sections=[samples, samples])
    assert be_words(data, DATA_START)[0] == 1368
    assert data[1360:1368] == struct.pack(">4I", 64, 0, 1, 80)[:8]
    assert data[1368:1400] == struct.pack(">4d", *samples, *samples)
    assert len(data) == 1360 + 80  # the parameter block still ends the file
