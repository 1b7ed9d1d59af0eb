# Type stub of the extension module vorn_parser: parse() and the result document.
#
# The TypedDicts below describe the nested dicts that parse() returns. They exist for
# type checkers only: at run time the module holds just `parse` and `__all__`, so import
# them under `typing.TYPE_CHECKING` (or in string annotations).

from collections.abc import Sequence
from pathlib import Path
from typing import TypeAlias, TypedDict

__all__: list[str]

# --- header block -----------------------------------------------------------------

class Date(TypedDict):
    year: int
    month: int
    day: int

class Unit(TypedDict):
    prefix: str  # "None", "Kilo", "Mega", "Milli", "Micro", ...
    power: int
    base: str  # "Hertz", "Ppm", "Second", "Celsius", "Tesla", ...

class CompoundUnit(TypedDict):
    scaler: int
    unit: list[int]  # five raw 16-bit words

class Headers(TypedDict):
    fileIdentifier: str
    endian: str  # "bigEndian" or "littleEndian"
    majorVersion: int
    minorVersion: int
    dataDimensionNumber: int
    dataDimensionExist: list[bool]  # 8 flags
    dataType: str  # "32Bit Float", "64Bit Float", ...
    dataFormat: str  # "One_D" or "Two_D"
    dataInstrument: str
    translate: list[int]
    dataAxisType: list[str]  # 8 axis kinds: "None", "Real", "Complex", "Real_Complex", ...
    dataUnits: list[Unit]  # 8 units, one per axis
    title: str
    dataAxisRanged: list[str]
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

class ComplexNumber(TypedDict):
    real: float
    imag: float

# A parameter value: its kind shows only in the Python type (see Param.valueType).
ParamValue: TypeAlias = str | int | float | ComplexNumber

class Param(TypedDict):
    scaler: int
    unit: list[Unit]  # 5 units; the first is the parameter's unit
    valueType: str  # "String", "Integer", "Float", "Complex" or "Infinity"
    value: ParamValue
    name: str  # lower-cased

class Parameters(TypedDict):
    parametersSize: int
    lowIndex: int
    highIndex: int
    totalSize: int
    paramArray: list[Param]

# --- data section -------------------------------------------------------------------

# Rows of samples: One_D sections are one row, Two_D sections one row per y point.
Matrix: TypeAlias = list[list[float]]

class DataPair(TypedDict):
    im: Matrix
    re: Matrix

# A two-section file gives a Matrix per field, a four-section file a DataPair.
DataField: TypeAlias = Matrix | DataPair

class Data(TypedDict):
    im: DataField
    re: DataField

# --- experiment summary -------------------------------------------------------------

class UnitMagnitude(TypedDict):
    magnitude: float  # value times the unit prefix's power of ten
    unit: str  # base unit name, "NA" when the parameter is absent

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
    dataUnits: list[str]  # per axis
    dataSections: list[str]
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

class VornDataFile(TypedDict):
    headers: Headers
    parameters: Parameters
    data: Data
    info: Info

# File content (bytes, bytearray, memoryview or any sequence of ints 0..255) or a path.
Input: TypeAlias = bytes | bytearray | memoryview | Sequence[int] | str | Path

def parse(input: Input) -> VornDataFile:
    """Parses a data file, given as its content or its path, into nested dicts.

    Raises TypeError for an argument that is neither, and vorn_parser's ParseFailure
    (derived from BaseException, not Exception) when the file cannot be read.
    """
