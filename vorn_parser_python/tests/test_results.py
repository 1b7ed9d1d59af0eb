"""Whole files through parse(): the result document's shape, order and values."""

import math
import struct

import pytest
import vorn_parser

from helpers import COMPOUND_UNITS, TOP_KEYS
from vorn_tools.testing.vdf_writer import Date, Header, Param, Unit, build_file

HEADER_KEYS = [
    "fileIdentifier",
    "endian",
    "majorVersion",
    "minorVersion",
    "dataDimensionNumber",
    "dataDimensionExist",
    "dataType",
    "dataFormat",
    "dataInstrument",
    "translate",
    "dataAxisType",
    "dataUnits",
    "title",
    "dataAxisRanged",
    "dataPoints",
    "dataOffsetStart",
    "dataOffsetStop",
    "dataAxisStart",
    "dataAxisStop",
    "creationTime",
    "revisionTime",
    "nodeName",
    "site",
    "author",
    "comment",
    "dataAxisTitles",
    "baseFreq",
    "zeroPoint",
    "reversed",
    "annotationOk",
    "historyUsed",
    "historyLength",
    "paramStart",
    "paramLength",
    "listStart",
    "listLength",
    "dataStart",
    "dataLength",
    "contextStart",
    "contextLength",
    "annoteStart",
    "annoteLength",
    "totalSize",
    "unitLocation",
    "compoundUnit",
]
INFO_KEYS = [
    "sampleName",
    "creationTime",
    "revisionTime",
    "author",
    "comment",
    "solvent",
    "temperature",
    "probeName",
    "fieldStrength",
    "experiment",
    "dimension",
    "nucleus",
    "pulseStrength90",
    "numberOfScans",
    "relaxationTime",
    "dataPoints",
    "dataOffsetStart",
    "dataOffsetStop",
    "dataUnits",
    "dataSections",
    "originFrequency",
    "frequencyOffset",
    "acquisitionTime",
    "spectralWidth",
    "spectralWidthClipped",
    "dataAxisStart",
    "dataAxisStop",
    "resolution",
    "decimationRate",
    "paramList",
    "digitalFilter",
]


def test_every_dict_has_its_keys_in_field_order(standard_one_d: bytes) -> None:
    result = vorn_parser.parse(standard_one_d)
    assert list(result) == TOP_KEYS
    headers = result["headers"]
    assert list(headers) == HEADER_KEYS
    assert list(headers["creationTime"]) == ["year", "month", "day"]
    assert list(headers["dataUnits"][0]) == ["prefix", "power", "base"]
    assert list(headers["compoundUnit"][0]) == ["scaler", "unit"]
    assert list(result["parameters"]) == ["parametersSize", "lowIndex", "highIndex", "totalSize", "paramArray"]
    assert list(result["parameters"]["paramArray"][0]) == ["scaler", "unit", "valueType", "value", "name"]
    assert list(result["data"]) == ["im", "re"]
    assert list(result["info"]) == INFO_KEYS
    assert list(result["info"]["temperature"]) == ["magnitude", "unit"]


def test_python_types_follow_the_value_kinds(standard_one_d: bytes) -> None:
    h = vorn_parser.parse(standard_one_d)["headers"]
    assert h["dataDimensionExist"][:2] == [True, False]
    assert all(v is True or v is False for v in h["dataDimensionExist"] + h["reversed"])
    assert type(h["annotationOk"]) is bool
    assert h["translate"] == [0] * 8 and h["unitLocation"] == [0] * 8
    assert all(type(v) is int for v in h["dataPoints"])
    assert all(type(v) is float for v in h["baseFreq"])


def test_integer_widths_are_not_truncated_or_sign_flipped() -> None:
    header = Header(minor_version=65535, history_used=4294967295, data_offset_start=[4294967295] + [0] * 7)
    params = [Param("neg", -1, scaler=-1), Param("big", 2147483647), Param("small", -2147483648)]
    data = bytearray(build_file(header=header, params=params, sections=[[0.0], [0.0]]))
    struct.pack_into(">hh", data, COMPOUND_UNITS, -1, -32768)  # first compound unit: scaler and word 0
    result = vorn_parser.parse(bytes(data))
    h = result["headers"]
    assert h["minorVersion"] == 65535
    assert h["historyUsed"] == 4294967295
    assert h["dataOffsetStart"][0] == 4294967295
    assert h["compoundUnit"][0] == {"scaler": -1, "unit": [-32768, 0, 0, 0, 0]}
    values = [(p["name"], p["scaler"], p["value"]) for p in result["parameters"]["paramArray"]]
    assert values == [("neg", -1, -1), ("big", 0, 2147483647), ("small", 0, -2147483648)]


def test_special_floats_survive_exactly() -> None:
    specials = [math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]
    for bits in (32, 64):
        result = vorn_parser.parse(build_file(sections=[specials, specials[::-1]], sample_bits=bits))
        field = result["data"]["im"]
        assert isinstance(field, list)  # two sections: a matrix each
        im = field[0]
        assert math.isnan(im[0])
        assert im[1:4] == [math.inf, -math.inf, 0.0] and math.copysign(1.0, im[3]) == -1.0
        if bits == 64:
            assert im[4:] == specials[4:]
    header = Header(data_axis_start=[math.nan, -0.0] + [0.0] * 6)
    h = vorn_parser.parse(build_file(header=header, sections=[[0.0], [0.0]]))["headers"]
    assert math.isnan(h["dataAxisStart"][0]) and math.copysign(1.0, h["dataAxisStart"][1]) == -1.0


def test_parameter_values_are_untagged() -> None:
    params = [Param("s", "Text"), Param("i", 7), Param("f", 2.5), Param("c", complex(1.5, -2.0))]
    array = vorn_parser.parse(build_file(params=params, sections=[[0.0], [0.0]]))["parameters"]["paramArray"]
    assert [p["value"] for p in array] == ["Text", 7, 2.5, {"real": 1.5, "imag": -2.0}]
    assert [p["valueType"] for p in array] == ["String", "Integer", "Float", "Complex"]
    assert array[0]["unit"][0] == {"prefix": "None", "power": 0, "base": "None"}


def test_one_d_and_two_d_data_shapes() -> None:
    one = vorn_parser.parse(build_file(sections=[[1.0, 2.0], [3.0, 4.0]]))["data"]
    assert one == {"im": [[1.0, 2.0]], "re": [[3.0, 4.0]]}

    def rows(base: float) -> list[list[float]]:
        return [[base + r * 64 + c for c in range(64)] for r in range(32)]

    two = vorn_parser.parse(build_file(layout="Two_D", sections=[rows(0.0), rows(1e4)]))["data"]
    assert two["re"] == rows(0.0) and two["im"] == rows(1e4)

    four = vorn_parser.parse(build_file(layout="Two_D", sections=[rows(0.0), rows(1e4), rows(2e4), rows(3e4)]))
    assert four["data"]["re"] == {"im": rows(0.0), "re": rows(1e4)}
    assert four["data"]["im"] == {"im": rows(2e4), "re": rows(3e4)}


def test_summary_fields_reach_python() -> None:
    params = [
        Param("sample_id", "EB-1"),
        Param("temp_get", 300, units=Unit.named("Celsius", "Kilo")),
        Param("orders", "21210"),
        Param("factors", "84"),
        Param("x_sweep", 2.0),
        Param("x_acq_time", 0.5),
        Param("x_points", 5),
    ]
    header = Header(creation_time=Date(2022, 11, 14), revision_time=Date(2023, 1, 2))
    info = vorn_parser.parse(build_file(header=header, params=params, sections=[[0.0], [0.0]]))["info"]
    assert info["sampleName"] == "EB-1"
    assert info["temperature"] == {"magnitude": 300000.0, "unit": "Celsius"}
    assert info["solvent"] == ""
    assert info["fieldStrength"] == {"magnitude": 0.0, "unit": "NA"}
    assert info["creationTime"] == {"year": 2022, "month": 11, "day": 14}
    assert info["revisionTime"] == {"year": 2023, "month": 1, "day": 2}
    assert info["dataSections"] == ["im", "re"]
    assert info["paramList"] == '["sample_id","temp_get","orders","factors","x_sweep","x_acq_time","x_points"]'
    assert info["digitalFilter"] == 5.1875
    assert vorn_parser.parse(build_file(sections=[[0.0], [0.0]]))["info"]["digitalFilter"] is None


def test_digital_filter_lines_go_to_the_process_standard_output(capfd: pytest.CaptureFixture[str]) -> None:
    params = [
        Param("orders", "21210"),
        Param("factors", "84"),
        Param("x_sweep", 2.0),
        Param("x_acq_time", 0.5),
        Param("x_points", 5),
    ]
    vorn_parser.parse(build_file(params=params, sections=[[0.0], [0.0]]))
    assert capfd.readouterr().out == "84, 0, 8\n84, 1, 4\n"
