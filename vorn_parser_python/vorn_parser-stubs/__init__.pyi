"""Type stub of the extension module vorn_parser: parse() and the document it returns.

The TypedDicts and aliases below describe the nested dicts that parse() returns. They
exist for type checkers only: at run time the module holds just `parse` and `__all__`,
so import them under `typing.TYPE_CHECKING` (or use them in string annotations). The
classes are marked @type_check_only; the aliases are listed in stubtest-allowlist.txt,
beside this package's folder, for the same reason:

    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        from vorn_parser import VornDataFile

Every enumerated text the reader takes from its code tables is a Literal of exactly the
names a parsed document can hold, so a comparison with a name that cannot occur (a
layout the reader refuses, a misspelt unit) is an error under mypy's --strict-equality.
"""

from collections.abc import Sequence
from pathlib import Path
from typing import Literal, TypedDict, type_check_only

__all__ = ["parse"]

# --- names from the code tables -----------------------------------------------------

type Endian = Literal["bigEndian", "littleEndian"]
# The sample types a file can be read with (files with the "Reserved" codes are refused).
type DataType = Literal["64Bit Float", "32Bit Float"]
# The layouts the reader accepts; files of the table's other layouts are refused.
type DataFormat = Literal["One_D", "Two_D"]
type Instrument = Literal[
    "UNSPECIFIED",
    "CONSOLE_A",
    "CONSOLE_B",
    "CONSOLE_C",
    "CONSOLE_D",
    "CONSOLE_E",
    "CONSOLE_F",
    "CONSOLE_G",
    "CONSOLE_H",
    "BENCHTOP_A",
    "BENCHTOP_B",
    "BENCHTOP_C",
    "IMAGING_A",
    "IMAGING_B",
    "SOLIDS_A",
    "SOLIDS_B",
    "FLOW_A",
    "FLOW_B",
    "CRYO_A",
    "CRYO_B",
    "PORTABLE",
    "RESEARCH",
    "TEACHING",
    "SIMULATOR",
    "CONVERTER",
    "IMPORT_A",
    "IMPORT_B",
    "PROCESSED",
    "OTHER",
]
type AxisType = Literal["None", "Real", "TPPI", "Complex", "Real_Complex", "Envelope"]
type AxisRanged = Literal["Ranged", "Listed", "Sparse"]
type UnitPrefix = Literal[
    "Yotta",
    "Zetta",
    "Exa",
    "Pecta",
    "Tera",
    "Giga",
    "Mega",
    "Kilo",
    "None",
    "Milli",
    "Micro",
    "Nano",
    "Pico",
    "Femto",
    "Atto",
    "Zepto",
]
type UnitBase = Literal[
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
]
type ValueType = Literal["String", "Integer", "Float", "Complex", "Infinity"]
# The data section names of the summary.
type SectionName = Literal["im", "re"]

# --- header block -----------------------------------------------------------------

@type_check_only
class Date(TypedDict):
    year: int
    month: int
    day: int

@type_check_only
class Unit(TypedDict):
    prefix: UnitPrefix
    power: int
    base: UnitBase

@type_check_only
class CompoundUnit(TypedDict):
    scaler: int
    unit: list[int]  # five raw 16-bit words

@type_check_only
class Headers(TypedDict):
    fileIdentifier: str
    endian: Endian
    majorVersion: int
    minorVersion: int
    dataDimensionNumber: int
    dataDimensionExist: list[bool]  # 8 flags
    dataType: DataType
    dataFormat: DataFormat
    dataInstrument: Instrument
    translate: list[int]
    dataAxisType: list[AxisType]  # 8 axis kinds
    dataUnits: list[Unit]  # 8 units, one per axis
    title: str
    dataAxisRanged: list[AxisRanged]
    dataPoints: list[int]  # 8 point counts, one per axis
    dataOffsetStart: list[int]
    dataOffsetStop: list[int]
    dataAxisStart: list[float]  # 8 axis start values, in the axis unit
    dataAxisStop: list[float]  # 8 axis stop values, in the axis unit
    creationTime: Date
    revisionTime: Date
    nodeName: str
    site: str
    author: str
    comment: str
    dataAxisTitles: list[str]
    baseFreq: list[float]
    zeroPoint: list[float]
    reversed: list[bool]
    annotationOk: bool
    historyUsed: int
    historyLength: int
    paramStart: int
    paramLength: int
    listStart: list[int]
    listLength: list[int]
    dataStart: int
    dataLength: int
    contextStart: int
    contextLength: int
    annoteStart: int
    annoteLength: int
    totalSize: int
    unitLocation: list[int]
    compoundUnit: list[CompoundUnit]  # 2 entries

# --- parameter block ----------------------------------------------------------------

@type_check_only
class ComplexNumber(TypedDict):
    real: float
    imag: float

# A parameter value: its kind shows only in the Python type (see Param.valueType).
type ParamValue = str | int | float | ComplexNumber

@type_check_only
class Param(TypedDict):
    scaler: int
    unit: list[Unit]  # 5 units; the first is the parameter's unit
    valueType: ValueType
    value: ParamValue
    name: str  # lower-cased

@type_check_only
class Parameters(TypedDict):
    parametersSize: int
    lowIndex: int
    highIndex: int
    totalSize: int
    paramArray: list[Param]

# --- data section -------------------------------------------------------------------

# Rows of samples: One_D sections are one row, Two_D sections one row per y point.
type Matrix = list[list[float]]

@type_check_only
class DataPair(TypedDict):
    im: Matrix
    re: Matrix

# A two-section file gives a Matrix per field, a four-section file a DataPair.
type DataField = Matrix | DataPair

@type_check_only
class Data(TypedDict):
    im: DataField
    re: DataField

# --- experiment summary -------------------------------------------------------------

@type_check_only
class UnitMagnitude(TypedDict):
    magnitude: float  # value times the unit prefix's power of ten
    unit: UnitBase | Literal["NA"]  # "NA" when the parameter is absent

@type_check_only
class Info(TypedDict):
    sampleName: ParamValue
    creationTime: Date
    revisionTime: Date
    author: str
    comment: str
    solvent: ParamValue
    temperature: UnitMagnitude
    probeName: ParamValue
    fieldStrength: UnitMagnitude
    experiment: ParamValue
    dimension: int
    nucleus: list[ParamValue]  # per axis: x, then y for Two_D
    pulseStrength90: UnitMagnitude
    numberOfScans: ParamValue
    relaxationTime: UnitMagnitude
    dataPoints: list[int]
    dataOffsetStart: list[int]
    dataOffsetStop: list[int]
    dataUnits: list[UnitBase]  # per axis
    dataSections: list[SectionName]
    originFrequency: list[UnitMagnitude]  # per axis
    frequencyOffset: list[UnitMagnitude]  # per axis
    acquisitionTime: list[UnitMagnitude]  # per axis
    spectralWidth: list[UnitMagnitude]  # per axis
    spectralWidthClipped: list[UnitMagnitude]  # x axis only
    dataAxisStart: list[float]
    dataAxisStop: list[float]
    resolution: list[UnitMagnitude]  # per axis
    decimationRate: ParamValue
    paramList: str
    digitalFilter: float | None  # None when the filter parameters are absent

# --- the whole file -----------------------------------------------------------------

@type_check_only
class VornDataFile(TypedDict):
    headers: Headers
    parameters: Parameters
    data: Data
    info: Info

# File content (bytes, bytearray, memoryview or any sequence of ints 0..255) or a path.
type Input = bytes | bytearray | memoryview | Sequence[int] | str | Path

def parse(input: Input) -> VornDataFile:
    """Read a whole data file, given as its content or its path, into nested dicts.

    `input` is the file's content (bytes, bytearray, memoryview or a sequence of ints
    0..255) or its path (str or pathlib.Path). Returns a dict with the keys "headers",
    "parameters", "data" and "info" (see VornDataFile). While it runs, the digital
    filter's lines go to file descriptor 1 and, on failure, a diagnostic to 2.

    Raises TypeError for an argument that is neither content nor a path, and
    vorn_parser's ParseFailure (derived from BaseException, not Exception) when the file
    cannot be read: unreadable, damaged or of an unsupported kind.
    """
