"""Builds whole data files (header, parameter block, data section) from a description.

Standard library only. Used by the Python tests, the bundled examples, the benchmarks
and the fuzz seed corpora, so every stored field can be set to a raw value, including
values a reader must refuse, while `build_file` keeps the usual fields consistent.

File layout written here:
  * header block, 1360 bytes at offset 0, always big-endian;
  * parameter block at `param_start`: four 32-bit words, then 64-byte records;
  * data section at `data_start`: samples as binary32 or binary64.
The parameter block and the data section use the byte order chosen by `little_endian`.
"""

from __future__ import annotations

import itertools
import struct
import sys
from array import array
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, replace
from typing import Any

HEADER_SIZE = 1360
PARAM_BLOCK_HEADER_SIZE = 16
PARAM_RECORD_SIZE = 64
BLOCK_EDGE = 32  # a Two_D section is stored as square blocks of this many samples a side

# Name -> code maps of the stored codes. Where two codes share a name, the first is used.
ENDIAN_CODES = {"bigEndian": 0, "littleEndian": 1}
SAMPLE_TYPE_CODES = {"64Bit Float": 0, "32Bit Float": 1, "Reserved": 2}
LAYOUT_CODES = {
    "One_D": 1,
    "Two_D": 2,
    "Three_D": 3,
    "Four_D": 4,
    "Five_D": 5,
    "Six_D": 6,
    "Seven_D": 7,
    "Eight_D": 8,
    "not for NMR data formats": 9,
    "Small_Two_D": 12,
    "Small_Three_D": 13,
    "Small_Four_D": 14,
}
AXIS_TYPE_CODES = {
    "None": 0,
    "Real": 1,
    "TPPI": 2,
    "Complex": 3,
    "Real_Complex": 4,
    "Envelope": 5,
}
AXIS_RANGED_CODES = {"Ranged": 0, "Listed": 1, "Sparse": 2}
PREFIX_CODES = {
    "Yotta": -8,
    "Zetta": -7,
    "Exa": -6,
    "Pecta": -5,
    "Tera": -4,
    "Giga": -3,
    "Mega": -2,
    "Kilo": -1,
    "None": 0,
    "Milli": 1,
    "Micro": 2,
    "Nano": 3,
    "Pico": 4,
    "Femto": 5,
    "Atto": 6,
    "Zepto": 7,
}
BASE_NAMES = (
    "None",
    "Abundance",
    "Ampere",
    "Candela",
    "Celsius",
    "Coulomb",
    "Degree",
    "Electronvolt",
    "Farad",
    "Sievert",
    "Gram",
    "Gray",
    "Henry",
    "Hertz",
    "Kelvin",
    "Joule",
    "Liter",
    "Lumen",
    "Lux",
    "Meter",
    "Mole",
    "Newton",
    "Ohm",
    "Pascal",
    "Percent",
    "Point",
    "Ppm",
    "Radian",
    "Second",
    "Siemens",
    "Steradian",
    "Tesla",
    "Volt",
    "Watt",
    "Weber",
    "Decibel",
    "Dalton",
    "Thompson",
    "Ugeneric",
    "LPercent",
    "PPT",
    "PPB",
    "Index",
)
BASE_CODES = {name: code for code, name in enumerate(BASE_NAMES)}
VALUE_TYPE_CODES = {"String": 0, "Integer": 1, "Float": 2, "Complex": 3, "Infinity": 4}
VALUE_TYPE_NAMES = {code: name for name, code in VALUE_TYPE_CODES.items()}

_HOST_LITTLE = sys.byteorder == "little"


def _code(table: dict[str, int], value: int | str, what: str) -> int:
    """A stored code given either as its name or as a raw number."""
    if isinstance(value, str):
        try:
            return table[value]
        except KeyError:
            raise ValueError(f"unknown {what} name {value!r}") from None
    return int(value)


def _check_range(value: int, low: int, high: int, what: str) -> int:
    if not low <= value <= high:
        raise ValueError(f"{what} {value} is outside {low}..{high}")
    return value


def _text(value: str | bytes, width: int, what: str) -> bytes:
    """A fixed-width text field: UTF-8 (or the raw bytes given), NUL-padded."""
    raw = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    if len(raw) > width:
        raise ValueError(f"{what} takes {len(raw)} bytes but its field holds {width}")
    return raw.ljust(width, b"\0")


def _raw(value: bytes | Sequence[int], width: int, what: str) -> bytes:
    """A fixed-width run of raw bytes; shorter input is NUL-padded."""
    raw = bytes(value)
    if len(raw) > width:
        raise ValueError(f"{what} takes {len(raw)} bytes but its field holds {width}")
    return raw.ljust(width, b"\0")


def _eight[T](values: Sequence[T], fill: T, what: str) -> list[T]:
    """One value per axis: at most 8, the missing axes get `fill`."""
    entries = list(values)
    if len(entries) > 8:
        raise ValueError(f"{what} has {len(entries)} entries, the header holds 8")
    return entries + [fill] * (8 - len(entries))


def _word_pair(value: int | tuple[int, int]) -> tuple[int, int]:
    """A two-word header field: an int is the second (kept) word, the first is 0."""
    if isinstance(value, tuple):
        return value
    return (0, value)


# --- small encodings ---------------------------------------------------------------


@dataclass(frozen=True)
class Unit:
    """A packed unit: byte 0 = prefix code (signed nibble) << 4 | power, byte 1 = base code."""

    prefix_code: int = 0
    power: int = 0
    base_code: int = 0

    def __post_init__(self) -> None:
        _check_range(self.prefix_code, -8, 15, "unit prefix code")
        _check_range(self.power, 0, 15, "unit power")
        _check_range(self.base_code, 0, 255, "unit base code")

    @classmethod
    def named(cls, base: str, prefix: str = "None", power: int = 1) -> Unit:
        return cls(PREFIX_CODES[prefix], power, BASE_CODES[base])

    def pack(self) -> bytes:
        return bytes((((self.prefix_code & 0xF) << 4) | self.power, self.base_code))


@dataclass(frozen=True)
class Date:
    """A packed date: year - 1990 in bits 7-1 of byte 0, the month split over
    bit 0 of byte 0 (its bit 3) and bits 7-5 of byte 1, the day in bits 4-0 of byte 2.

    The bits no reader looks at (bits 4-0 of byte 1, bits 7-5 of byte 2, byte 3) can be
    filled through the `unused_*` fields.
    """

    year: int
    month: int
    day: int
    unused_byte1_low: int = 0
    unused_byte2_high: int = 0
    unused_byte3: int = 0

    def __post_init__(self) -> None:
        _check_range(self.year, 1990, 1990 + 127, "year")
        _check_range(self.month, 0, 15, "month")
        _check_range(self.day, 0, 31, "day")
        _check_range(self.unused_byte1_low, 0, 31, "unused low bits of date byte 1")
        _check_range(self.unused_byte2_high, 0, 7, "unused high bits of date byte 2")
        _check_range(self.unused_byte3, 0, 255, "date byte 3")

    def pack(self) -> bytes:
        return bytes(
            (
                ((self.year - 1990) << 1) | (self.month >> 3),
                ((self.month & 0x7) << 5) | self.unused_byte1_low,
                (self.unused_byte2_high << 5) | self.day,
                self.unused_byte3,
            )
        )


@dataclass(frozen=True)
class CompoundUnit:
    """A scaler and five raw 16-bit words, always big-endian. Values may be given
    signed (-32768..32767) or as unsigned bit patterns (0..65535)."""

    scaler: int = 0
    words: tuple[int, int, int, int, int] = (0, 0, 0, 0, 0)

    def pack(self) -> bytes:
        if len(self.words) != 5:
            raise ValueError("a compound unit holds exactly 5 words")
        values = [self.scaler, *self.words]
        for value in values:
            _check_range(value, -0x8000, 0xFFFF, "compound unit word")
        return struct.pack(">6H", *(value & 0xFFFF for value in values))


# --- header block ------------------------------------------------------------------


@dataclass(frozen=True)
class Header:
    """Every field of the header block. Fields left as None are filled by `build_file`
    from the data and the block positions; `pack` on its own uses plain defaults.

    Codes are raw numbers (or names where a name table exists), so values that a
    reader must refuse can be written too.
    """

    file_identifier: str | bytes = "VORN.NMR"
    endian_code: int | str | None = None
    major_version: int = 1
    minor_version: int = 1
    data_dimension_number: int | None = None
    # Byte of axis flags (bit 7 = axis 0) or up to 8 booleans.
    data_dimension_exist: int | Sequence[bool] | None = None
    # The whole data-type byte, or its two parts (sample type in bits 7-6, layout in 5-0).
    data_type_byte: int | None = None
    sample_type_code: int | str | None = None
    layout_code: int | str | None = None
    instrument_code: int = 0
    translate: bytes | Sequence[int] = bytes(8)
    data_axis_type: Sequence[int | str] | None = None
    data_units: Sequence[Unit] = ()
    title: str | bytes = ""
    # Four bytes, two 4-bit axis-spacing codes each (high half first).
    data_axis_ranged: bytes | Sequence[int] = bytes(4)
    data_points: Sequence[int] | None = None
    data_offset_start: Sequence[int] = ()
    data_offset_stop: Sequence[int] | None = None
    data_axis_start: Sequence[float] = ()
    data_axis_stop: Sequence[float] = ()
    creation_time: Date = Date(2020, 1, 1)
    revision_time: Date = Date(2020, 1, 1)
    node_name: str | bytes = ""
    site: str | bytes = ""
    author: str | bytes = ""
    comment: str | bytes = ""
    data_axis_titles: Sequence[str | bytes] = ()
    base_freq: Sequence[float] = ()
    zero_point: Sequence[float] = ()
    # Eight flag bytes (any non-zero byte is a set flag); booleans are stored as 0/1.
    reversed: bytes | Sequence[int | bool] = bytes(8)
    unused_1200: bytes = bytes(3)  # three bytes no reader looks at
    annotation_byte: int = 0  # bit 7 is the annotation flag
    history_used: int = 0
    history_length: int = 0
    param_start: int | None = None
    param_length: int | None = None
    list_start: Sequence[int] = ()
    list_length: Sequence[int] = ()
    data_start: int | None = None
    # Two-word fields: an int is the second word (the first is written as 0),
    # a tuple gives both words.
    data_length: int | tuple[int, int] | None = None
    context_start: int | tuple[int, int] = 0
    context_length: int = 0
    annote_start: int | tuple[int, int] = 0
    annote_length: int = 0
    total_size: int | tuple[int, int] | None = None
    unit_location: bytes | Sequence[int] = bytes(8)
    compound_unit: Sequence[CompoundUnit] = (CompoundUnit(), CompoundUnit())

    def type_byte(self) -> int:
        if self.data_type_byte is not None:
            return _check_range(self.data_type_byte, 0, 255, "data-type byte")
        sample = _code(SAMPLE_TYPE_CODES, _or(self.sample_type_code, 0), "sample type")
        layout = _code(LAYOUT_CODES, _or(self.layout_code, 1), "layout")
        _check_range(sample, 0, 3, "sample type code")
        _check_range(layout, 0, 63, "layout code")
        return (sample << 6) | layout

    def exist_byte(self) -> int:
        flags = _or(self.data_dimension_exist, 0x80)
        if isinstance(flags, int):
            return _check_range(flags, 0, 255, "dimension flag byte")
        bits = _eight(flags, False, "data_dimension_exist")
        return sum(0x80 >> i for i, bit in enumerate(bits) if bit)

    def pack(self) -> bytes:
        buf = bytearray(HEADER_SIZE)

        def put(offset: int, fmt: str, *values: Any) -> None:
            struct.pack_into(">" + fmt, buf, offset, *values)

        def put_bytes(offset: int, raw: bytes) -> None:
            buf[offset : offset + len(raw)] = raw

        put_bytes(0, _text(self.file_identifier, 8, "file_identifier"))
        put(8, "B", _code(ENDIAN_CODES, _or(self.endian_code, 0), "byte order"))
        put(9, "BHB", self.major_version, self.minor_version, _or(self.data_dimension_number, 1))
        put(13, "BBB", self.exist_byte(), self.type_byte(), self.instrument_code)
        put_bytes(16, _raw(self.translate, 8, "translate"))
        axis_types = [
            _code(AXIS_TYPE_CODES, v, "axis type") for v in _eight(_or(self.data_axis_type, ()), 0, "data_axis_type")
        ]
        put(24, "8B", *axis_types)
        units = _eight(self.data_units, Unit(), "data_units")
        put_bytes(32, b"".join(unit.pack() for unit in units))
        put_bytes(48, _text(self.title, 124, "title"))
        put_bytes(172, _raw(self.data_axis_ranged, 4, "data_axis_ranged"))
        points = _eight(_or(self.data_points, ()), 0, "data_points")
        put(176, "8I", *points)
        put(208, "8I", *_eight(self.data_offset_start, 0, "data_offset_start"))
        stop = _or(self.data_offset_stop, [max(p - 1, 0) for p in points])
        put(240, "8I", *_eight(stop, 0, "data_offset_stop"))
        put(272, "8d", *_eight(self.data_axis_start, 0.0, "data_axis_start"))
        put(336, "8d", *_eight(self.data_axis_stop, 0.0, "data_axis_stop"))
        put_bytes(400, self.creation_time.pack())
        put_bytes(404, self.revision_time.pack())
        put_bytes(408, _text(self.node_name, 16, "node_name"))
        put_bytes(424, _text(self.site, 128, "site"))
        put_bytes(552, _text(self.author, 128, "author"))
        put_bytes(680, _text(self.comment, 128, "comment"))
        titles = _eight(self.data_axis_titles, "", "data_axis_titles")
        put_bytes(808, b"".join(_text(t, 32, "axis title") for t in titles))
        put(1064, "8d", *_eight(self.base_freq, 0.0, "base_freq"))
        put(1128, "8d", *_eight(self.zero_point, 0.0, "zero_point"))
        put_bytes(1192, _raw([int(v) for v in self.reversed], 8, "reversed"))
        put_bytes(1200, _raw(self.unused_1200, 3, "unused_1200"))
        put(1203, "B", self.annotation_byte)
        put(
            1204,
            "4I",
            self.history_used,
            self.history_length,
            _or(self.param_start, HEADER_SIZE),
            _or(self.param_length, 0),
        )
        put(1220, "8I", *_eight(self.list_start, 0, "list_start"))
        put(1252, "8I", *_eight(self.list_length, 0, "list_length"))
        put(1284, "I", _or(self.data_start, HEADER_SIZE))
        put(1288, "2I", *_word_pair(_or(self.data_length, 0)))
        put(1296, "2I", *_word_pair(self.context_start))
        put(1304, "I", self.context_length)
        put(1308, "2I", *_word_pair(self.annote_start))
        put(1316, "I", self.annote_length)
        put(1320, "2I", *_word_pair(_or(self.total_size, 0)))
        put_bytes(1328, _raw(self.unit_location, 8, "unit_location"))
        if len(self.compound_unit) != 2:
            raise ValueError("the header holds exactly 2 compound units")
        put_bytes(1336, b"".join(cu.pack() for cu in self.compound_unit))
        assert len(buf) == HEADER_SIZE
        return bytes(buf)


def _or(value: Any, default: Any) -> Any:
    """`value`, or `default` where it is None. (Any: mypy joins a union with the default's
    type to `object`.)"""
    return default if value is None else value


# --- parameter block ---------------------------------------------------------------


def _infer_kind(value: object) -> str:
    if isinstance(value, (str, bytes, bytearray)):
        return "String"
    if isinstance(value, int):
        return "Integer"
    if isinstance(value, float):
        return "Float"
    if isinstance(value, complex):
        return "Complex"
    raise TypeError(f"cannot infer a parameter kind from {type(value).__name__}")


@dataclass(frozen=True)
class Param:
    """One 64-byte parameter record.

    `kind` is a value-kind name or code; None infers it from the Python value
    (str/bytes String, int Integer, float Float, complex Complex). `value_type_code`
    overrides the stored 32-bit code word (e.g. with upper bits set, or a code no
    reader knows); `raw_value` replaces the 16-byte value area.
    """

    name: str | bytes
    value: str | bytes | int | float | complex | None = None
    kind: str | int | None = None
    units: Unit | Sequence[Unit] = (Unit(),) * 5
    scaler: int = 0
    value_type_code: int | None = None
    raw_value: bytes | None = None
    lead: bytes = bytes(4)  # the four bytes no reader looks at

    def _kind_name(self) -> str | None:
        if isinstance(self.kind, str):
            if self.kind not in VALUE_TYPE_CODES:
                raise ValueError(f"unknown parameter kind {self.kind!r}")
            return self.kind
        if self.kind is not None and self.kind in VALUE_TYPE_NAMES:
            return VALUE_TYPE_NAMES[self.kind]
        if self.value is None:
            return None
        return _infer_kind(self.value)

    def _value_area(self, e: str, kind: str | None) -> bytes:
        if self.raw_value is not None:
            return _raw(self.raw_value, 16, "raw parameter value")
        # Any: a value of another kind than `kind` is written as that kind would be.
        value: Any = self.value
        if kind is None or value is None:
            raise ValueError(f"parameter {self.name!r} needs a value, a kind or a raw value")
        if kind == "String":
            return _text(value, 16, f"value of parameter {self.name!r}")
        if kind in ("Integer", "Infinity"):
            _check_range(value, -0x8000_0000, 0xFFFF_FFFF, "integer parameter value")
            packed = struct.pack(e + ("i" if value < 0 else "I"), value)
        elif kind == "Float":
            packed = struct.pack(e + "d", float(value))
        else:  # Complex
            value = complex(value)
            packed = struct.pack(e + "dd", value.real, value.imag)
        return packed.ljust(16, b"\0")

    def pack(self, little_endian: bool = False) -> bytes:
        e = "<" if little_endian else ">"
        kind = self._kind_name()
        if self.value_type_code is not None:
            code = self.value_type_code
        elif self.kind is not None and not isinstance(self.kind, str):
            code = self.kind
        elif kind is not None:
            code = VALUE_TYPE_CODES[kind]
        else:
            raise ValueError(f"parameter {self.name!r} needs a kind or a value-type code")
        _check_range(code, -0x8000_0000, 0xFFFF_FFFF, "value-type code")
        units = [self.units] if isinstance(self.units, Unit) else list(self.units)
        if len(units) > 5:
            raise ValueError("a parameter holds at most 5 units")
        units += [Unit()] * (5 - len(units))
        _check_range(self.scaler, -0x8000, 0xFFFF, "scaler")
        record = b"".join(
            (
                _raw(self.lead, 4, "lead"),
                struct.pack(e + "H", self.scaler & 0xFFFF),
                b"".join(unit.pack() for unit in units),
                self._value_area(e, kind),
                struct.pack(e + ("i" if code < 0 else "I"), code),
                _text(self.name, 28, "parameter name"),
            )
        )
        assert len(record) == PARAM_RECORD_SIZE
        return record


@dataclass(frozen=True)
class ParamBlock:
    """The parameter block: four words, then the records. `high_index` is the record
    count a reader uses; None writes the number of records given."""

    params: Sequence[Param] = ()
    parameters_size: int = PARAM_RECORD_SIZE
    low_index: int = 0
    high_index: int | None = None
    total_size: int | None = None

    def pack(self, little_endian: bool = False) -> bytes:
        e = "<" if little_endian else ">"
        count = len(self.params)
        total = _or(self.total_size, PARAM_BLOCK_HEADER_SIZE + PARAM_RECORD_SIZE * count)
        head = struct.pack(e + "4I", self.parameters_size, self.low_index, _or(self.high_index, count), total)
        return head + b"".join(p.pack(little_endian) for p in self.params)


# --- data section ------------------------------------------------------------------


def pack_samples(values: Iterable[float] | bytes, little_endian: bool = False, sample_bits: int = 64) -> bytes:
    """Samples as binary32 or binary64 in the given order. Bytes pass through as is.
    Binary32 follows C conversion: values beyond its range become infinities."""
    if isinstance(values, (bytes, bytearray, memoryview)):
        return bytes(values)
    if sample_bits not in (32, 64):
        raise ValueError(f"samples are 32 or 64 bits wide, not {sample_bits}")
    samples = array("f" if sample_bits == 32 else "d", values)
    if little_endian != _HOST_LITTLE:
        samples.byteswap()
    return samples.tobytes()


@dataclass(frozen=True)
class Matrix:
    """A row-major matrix: `values` holds rows × cols samples."""

    values: Sequence[float]
    rows: int
    cols: int

    def __post_init__(self) -> None:
        if len(self.values) != self.rows * self.cols:
            raise ValueError(f"{len(self.values)} values do not fill {self.rows} x {self.cols}")

    @classmethod
    def from_rows(cls, rows: Sequence[Sequence[float]]) -> Matrix:
        rows = list(rows)
        cols = len(rows[0]) if rows else 0
        if any(len(row) != cols for row in rows):
            raise ValueError("matrix rows differ in length")
        return cls(array("d", itertools.chain.from_iterable(rows)), len(rows), cols)


def as_matrix(section: Matrix | Sequence[Sequence[float]]) -> Matrix:
    return section if isinstance(section, Matrix) else Matrix.from_rows(section)


def two_d_section_bytes(
    section: Matrix | Sequence[Sequence[float]], little_endian: bool = False, sample_bits: int = 64
) -> bytes:
    """A matrix in its stored order: 32 x 32 blocks, block rows outermost, then block
    columns, then the 32 rows of the block, each a run of 32 samples."""
    matrix = as_matrix(section)
    if matrix.rows % BLOCK_EDGE or matrix.cols % BLOCK_EDGE:
        raise ValueError(
            f"a stored matrix is whole {BLOCK_EDGE} x {BLOCK_EDGE} blocks, not {matrix.rows} x {matrix.cols}"
        )
    packed = memoryview(pack_samples(matrix.values, little_endian, sample_bits))
    width = sample_bits // 8
    run = BLOCK_EDGE * width
    row_bytes = matrix.cols * width
    runs: list[memoryview] = []
    for block_row in range(matrix.rows // BLOCK_EDGE):
        top = block_row * BLOCK_EDGE * row_bytes
        for left in range(top, top + row_bytes, run):
            runs.extend(packed[start : start + run] for start in range(left, left + BLOCK_EDGE * row_bytes, row_bytes))
    return b"".join(runs)


def section_count_axis_types(count: int, dimensions: int) -> list[int]:
    """Axis-kind codes that give `count` sections: each Complex axis doubles the count,
    a Real_Complex axis after them adds one; the other used axes are Real."""
    if count >= 1 and count & (count - 1) == 0:
        kinds = ["Complex"] * (count.bit_length() - 1)
    elif count > 2 and (count - 1) & (count - 2) == 0:
        kinds = ["Complex"] * ((count - 1).bit_length() - 1) + ["Real_Complex"]
    else:
        raise ValueError(f"no axis kinds give {count} sections; set data_axis_type")
    kinds += ["Real"] * (dimensions - len(kinds))
    return [AXIS_TYPE_CODES[k] for k in _eight(kinds, "None", "data_axis_type")]


# --- whole files -------------------------------------------------------------------


def assemble(blocks: Iterable[tuple[int, bytes]], size: int | None = None) -> bytes:
    """Places byte blocks at absolute offsets; later blocks overwrite earlier ones
    where they overlap, gaps are zero. `size` cuts or zero-extends the result."""
    blocks = list(blocks)
    end = max((offset + len(raw) for offset, raw in blocks), default=0)
    buf = bytearray(max(end, size or 0))
    for offset, raw in blocks:
        buf[offset : offset + len(raw)] = raw
    return bytes(buf if size is None else buf[:size])


def patch(data: bytes, offset: int, raw: bytes) -> bytes:
    """A copy of `data` with `raw` written at `offset` (extending it if needed)."""
    return assemble([(0, data), (offset, raw)])


def _data_block(
    sections: Sequence[Any], layout: str, little_endian: bool, sample_bits: int
) -> tuple[int, bytes, list[int]]:
    """(dimension count, the data block's bytes, the point counts) of the sections."""
    if layout == "One_D":
        packed = [pack_samples(s, little_endian, sample_bits) for s in sections]
        return 1, b"".join(packed), [len(packed[0]) // (sample_bits // 8)] if packed else [0]
    matrices = [s if isinstance(s, (bytes, bytearray, memoryview)) else as_matrix(s) for s in sections]
    data_bytes = b"".join(
        bytes(m) if not isinstance(m, Matrix) else two_d_section_bytes(m, little_endian, sample_bits) for m in matrices
    )
    first = matrices[0] if matrices and isinstance(matrices[0], Matrix) else None
    return 2, data_bytes, [first.cols, first.rows] if first else [0, 0]


def build_file(
    header: Header | None = None,
    params: ParamBlock | Sequence[Param] = (),
    sections: Sequence[Any] = (),
    *,
    little_endian: bool = False,
    sample_bits: int = 64,
    layout: str = "One_D",
    param_at: int | None = None,
    data_at: int | None = None,
    trailing: bytes = b"",
) -> bytes:
    """A whole file.

    `sections` are in file order: for One_D each is a sequence of floats (section 0 is
    read as the imaginary part, section 1 as the real part); for Two_D each is a matrix
    (rows of floats or a `Matrix`) whose point counts are (cols, rows). A section given
    as bytes is written unchanged.

    Header fields left as None are derived: byte-order code, dimension count and flags,
    data-type byte (from `sample_bits` and `layout`), axis kinds (from the section
    count), data_points, offsets of the parameter block (right after the header) and of
    the data (right after the parameters), their lengths and the total size. The blocks
    are placed where the header says unless `param_at`/`data_at` move them; `trailing`
    is appended after the last block.
    """
    if layout not in ("One_D", "Two_D"):
        raise ValueError(f"sections are written as One_D or Two_D, not {layout!r}")
    if sample_bits not in (32, 64):
        raise ValueError(f"samples are 32 or 64 bits wide, not {sample_bits}")
    header = header or Header()
    block = params if isinstance(params, ParamBlock) else ParamBlock(tuple(params))
    param_bytes = block.pack(little_endian)

    dimensions, data_bytes, points = _data_block(sections, layout, little_endian, sample_bits)
    param_start = _or(header.param_start, HEADER_SIZE)
    param_at = _or(param_at, param_start)
    data_start = _or(header.data_start, param_at + len(param_bytes))
    data_at = _or(data_at, data_start)
    end = max(HEADER_SIZE, param_at + len(param_bytes), data_at + len(data_bytes))

    axis_types = header.data_axis_type
    if axis_types is None:
        axis_types = section_count_axis_types(max(len(sections), 1), dimensions)
    header = replace(
        header,
        endian_code=_or(header.endian_code, 1 if little_endian else 0),
        data_dimension_number=_or(header.data_dimension_number, dimensions),
        data_dimension_exist=_or(header.data_dimension_exist, (0xFF00 >> dimensions) & 0xFF),
        sample_type_code=_or(header.sample_type_code, 1 if sample_bits == 32 else 0),
        layout_code=_or(header.layout_code, layout),
        data_axis_type=axis_types,
        data_points=_or(header.data_points, points + [1] * (8 - len(points))),
        param_start=param_start,
        param_length=_or(header.param_length, len(param_bytes)),
        data_start=data_start,
        data_length=_or(header.data_length, len(data_bytes)),
        total_size=_or(header.total_size, end + len(trailing)),
    )
    body = assemble([(0, header.pack()), (param_at, param_bytes), (data_at, data_bytes)])
    return body + trailing


# --- realistic parameter sets ------------------------------------------------------

HERTZ = Unit.named("Hertz")
MEGA_HERTZ = Unit.named("Hertz", "Mega")
SECOND = Unit.named("Second")
MICRO_SECOND = Unit.named("Second", "Micro")
PPM = Unit.named("Ppm")
CELSIUS = Unit.named("Celsius")
TESLA = Unit.named("Tesla")


def filter_orders_text(orders: Sequence[int]) -> str:
    """The "orders" text: the stage count as one digit, then each stage's order
    zero-padded to a common width."""
    if not 1 <= len(orders) <= 9:
        raise ValueError("a digital filter has 1 to 9 stages")
    width = max(len(str(order)) for order in orders)
    return str(len(orders)) + "".join(str(order).zfill(width) for order in orders)


def digital_filter_params(
    orders: Sequence[int], factors: Sequence[int], *, x_sweep: float, x_acq_time: float, x_points: int
) -> list[Param]:
    """The five parameters the digital-filter figure is computed from."""
    if len(factors) != len(orders) or any(not 0 <= f <= 9 for f in factors):
        raise ValueError("one decimal digit of decimation factor per filter stage")
    return [
        Param("orders", filter_orders_text(orders)),
        Param("factors", "".join(str(f) for f in factors)),
        Param("x_sweep", float(x_sweep), units=HERTZ),
        Param("x_acq_time", float(x_acq_time), units=SECOND),
        Param("x_points", int(x_points)),
    ]


def _axis_params(axis: str, domain: str, points: int, sweep: float, freq: float, offset: float) -> list[Param]:
    acq_time = points / sweep
    return [
        Param(f"{axis}_domain", domain),
        Param(f"{axis}_freq", freq, units=MEGA_HERTZ),
        Param(f"{axis}_offset", offset, units=PPM),
        Param(f"{axis}_points", points),
        Param(f"{axis}_sweep", sweep, units=HERTZ),
        Param(f"{axis}_acq_time", acq_time, units=SECOND),
        Param(f"{axis}_resolution", 1.0 / acq_time, units=HERTZ),
    ]


def standard_params(
    layout: str = "One_D",
    *,
    x_points: int = 1024,
    x_sweep: float = 8000.0,
    y_points: int = 64,
    y_sweep: float = 20000.0,
    scans: int = 16,
    filter_orders: Sequence[int] | None = (12, 10, 14),
    filter_factors: Sequence[int] = (8, 4, 2),
) -> list[Param]:
    """A realistic parameter set for a proton (One_D) or proton-carbon (Two_D)
    experiment, with every name the experiment summary looks up. Pass
    `filter_orders=None` to leave out the digital-filter description."""
    params = [
        Param("sample_id", "EB-0042"),
        Param("solvent", "CHLOROFORM-D"),
        Param("temp_get", 25.3, units=CELSIUS),
        Param("probe_id", "TH5-AT-FG2"),
        Param("field_strength", 9.389766, units=TESLA),
        Param("experiment", "single_pulse" if layout == "One_D" else "hsqc"),
        Param("x90", 10.5, units=MICRO_SECOND),
        Param("scans", scans),
        Param("relaxation_delay", 5.0, units=SECOND),
    ]
    params += _axis_params("x", "1H", x_points, x_sweep, 399.78219838, 5.0)
    if layout == "Two_D":
        params += _axis_params("y", "13C", y_points, y_sweep, 100.52530333, 80.0)
    params += [
        Param("x_sweep_clipped", x_sweep * 0.8, units=HERTZ),
        Param("decimation_rate", 48),
    ]
    if filter_orders is not None:
        if len(filter_factors) != len(filter_orders):
            raise ValueError("one decimation factor per filter stage")
        params += [
            Param("orders", filter_orders_text(filter_orders)),
            Param("factors", "".join(str(f) for f in filter_factors)),
        ]
    return params


def digital_filter_delay(
    orders: Sequence[int], factors: Sequence[int], *, x_sweep: float, x_acq_time: float, x_points: int
) -> float:
    """The group delay in points that the summary's "digitalFilter" gives for these
    parameters, computed the way the reader does: (x_points - 1) x S / 2 / (x_sweep x
    x_acq_time), with S the sum over the stages s of (order_s - 1) divided by the
    product of the decimation factors of stage s and the stages after it."""
    total = 0.0
    for stage, order in enumerate(orders):
        product = 1
        for factor in factors[stage:]:
            product *= factor
        total += (order - 1) / product
    return (x_points - 1) * (total * 0.5 / x_sweep / x_acq_time)


def filtered_params(
    layout: str = "One_D", *, filter_orders: Sequence[int], filter_factors: Sequence[int], **options: Any
) -> tuple[list[Param], float]:
    """standard_params with the given digital filter, and the group delay in points the
    summary will give for it (x_acq_time is x_points / x_sweep, as standard_params
    writes it)."""
    params = standard_params(layout, filter_orders=filter_orders, filter_factors=filter_factors, **options)
    x_points = options.get("x_points", 1024)
    x_sweep = options.get("x_sweep", 8000.0)
    delay = digital_filter_delay(
        filter_orders, filter_factors, x_sweep=float(x_sweep), x_acq_time=x_points / float(x_sweep), x_points=x_points
    )
    return params, delay
