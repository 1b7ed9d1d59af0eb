"""Unit symbols and the formatting of numbers, quantities and parameter values."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from .. import _native

if TYPE_CHECKING:
    from vorn_parser import ParamValue, Unit, UnitMagnitude

PREFIX_SYMBOLS = {
    "Yotta": "Y",
    "Zetta": "Z",
    "Exa": "E",
    "Pecta": "P",
    "Tera": "T",
    "Giga": "G",
    "Mega": "M",
    "Kilo": "k",
    "None": "",
    "Milli": "m",
    "Micro": "µ",
    "Nano": "n",
    "Pico": "p",
    "Femto": "f",
    "Atto": "a",
    "Zepto": "z",
}
# The power of ten of each prefix, from the reader's own table.
PREFIX_POWERS: dict[str, int] = _native.prefix_powers()
BASE_SYMBOLS = {
    "None": "",
    "Ampere": "A",
    "Candela": "cd",
    "Celsius": "°C",
    "Coulomb": "C",
    "Degree": "°",
    "Electronvolt": "eV",
    "Farad": "F",
    "Sievert": "Sv",
    "Gram": "g",
    "Gray": "Gy",
    "Henry": "H",
    "Hertz": "Hz",
    "Kelvin": "K",
    "Joule": "J",
    "Liter": "L",
    "Lumen": "lm",
    "Lux": "lx",
    "Meter": "m",
    "Mole": "mol",
    "Newton": "N",
    "Ohm": "Ω",
    "Pascal": "Pa",
    "Percent": "%",
    "Point": "pt",
    "Ppm": "ppm",
    "Radian": "rad",
    "Second": "s",
    "Siemens": "S",
    "Steradian": "sr",
    "Tesla": "T",
    "Volt": "V",
    "Watt": "W",
    "Weber": "Wb",
    "Decibel": "dB",
    "Dalton": "Da",
    "PPT": "ppt",
    "PPB": "ppb",
}
MISSING = "-"


def printable(text: str) -> str:
    """Text from a file made safe for a terminal: control characters become escapes."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)


def unit_symbol(unit: Unit) -> str:
    """A stored unit as a symbol, e.g. MHz or s^2; the names themselves where no symbol is known."""
    base = unit["base"]
    if base == "None":
        return ""
    prefix = unit["prefix"]
    symbol = PREFIX_SYMBOLS.get(prefix, prefix) + BASE_SYMBOLS.get(base, base)
    return symbol if unit["power"] in (0, 1) else f"{symbol}^{unit['power']}"


def number(value: float, digits: int = 10) -> str:
    """A float in its shortest form with at most `digits` significant digits."""
    if not math.isfinite(value):
        return str(value)
    if value == int(value) and abs(value) < 1e15:
        return str(int(value))
    return f"{value:.{digits}g}"


def value_text(value: ParamValue) -> str:
    """A parameter value (any kind) as exact text: strings as they are, integers in
    decimal, floats in their shortest round-trip form, complex numbers as a+bi."""
    if isinstance(value, dict):
        real, imag = value["real"], value["imag"]
        sign = "-" if math.copysign(1.0, imag) < 0 else "+"
        return f"{real!r}{sign}{abs(imag)!r}i"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def param_value(value: ParamValue) -> str:
    """A parameter value for display: value_text, with text made printable and empty
    text shown as '-'."""
    if isinstance(value, str):
        return printable(value) if value else MISSING
    return value_text(value)


def quantity(value: UnitMagnitude) -> str:
    """A summary quantity with its unit symbol: frequencies of a megahertz and more in MHz."""
    unit, magnitude = value["unit"], value["magnitude"]
    if unit == "NA":
        return MISSING
    if unit == "Hertz" and abs(magnitude) >= 1e6:
        return f"{number(magnitude / 1e6)} MHz"
    symbol = BASE_SYMBOLS.get(unit, unit)
    return f"{number(magnitude)} {symbol}".rstrip()
