"""Readable text from a result document: the experiment summary and the parameter table."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .units import MISSING, number, param_value, printable, quantity, unit_symbol

if TYPE_CHECKING:
    from vorn_parser import Date, UnitMagnitude, VornDataFile


def _per_axis(values: list[UnitMagnitude]) -> str:
    return ", ".join(quantity(v) for v in values) or MISSING


def _date(date: Date) -> str:
    return f"{date['year']:04d}-{date['month']:02d}-{date['day']:02d}"


def summary_lines(document: VornDataFile, source: str) -> list[tuple[str, str]]:
    """The summary as (label, value) pairs, in the order they are shown."""
    headers, info = document["headers"], document["info"]
    points = " x ".join(str(p) for p in info["dataPoints"]) or MISSING
    layout = f"{headers['dataFormat']}, {headers['dataType']}, {headers['endian']}"
    digital_filter = info["digitalFilter"]
    return [
        ("File", printable(source)),
        ("Title", printable(headers["title"]) or MISSING),
        ("Experiment", param_value(info["experiment"])),
        ("Sample", param_value(info["sampleName"])),
        ("Solvent", param_value(info["solvent"])),
        ("Nucleus", ", ".join(param_value(n) for n in info["nucleus"]) or MISSING),
        ("Dimensions", f"{info['dimension']} ({layout})"),
        ("Points", points),
        ("Spectral width", _per_axis(info["spectralWidth"])),
        ("Frequency", _per_axis(info["originFrequency"])),
        ("Offset", _per_axis(info["frequencyOffset"])),
        ("Scans", param_value(info["numberOfScans"])),
        ("Temperature", quantity(info["temperature"])),
        ("Digital filter", MISSING if digital_filter is None else f"{number(digital_filter, 8)} points (group delay)"),
        ("Created", _date(info["creationTime"])),
        ("Parameters", str(len(document["parameters"]["paramArray"]))),
    ]


def summary(document: VornDataFile, source: str) -> str:
    """The experiment summary: one 'label  value' line per item."""
    lines = summary_lines(document, source)
    width = max(len(label) for label, _ in lines)
    return "".join(f"{label:<{width}}  {value}\n" for label, value in lines)


def parameter_table(document: VornDataFile) -> str:
    """Every parameter as an aligned row: name, kind, value, unit."""
    rows = [("NAME", "KIND", "VALUE", "UNIT")]
    for param in document["parameters"]["paramArray"]:
        unit = unit_symbol(param["unit"][0]) if param["unit"] else ""
        rows.append((printable(param["name"]) or MISSING, param["valueType"], param_value(param["value"]), unit))
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    return "".join(
        f"{name:<{widths[0]}}  {kind:<{widths[1]}}  {value:<{widths[2]}}  {unit}".rstrip() + "\n"
        for name, kind, value, unit in rows
    )
