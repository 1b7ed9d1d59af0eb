"""Export to JCAMP-DX, the open text exchange format of NMR. Needs numpy.

    text = vorn_tools.to_jcamp("fid.vdf")                     # an NMR FID, NTUPLES
    vorn_tools.write_jcamp("fid.vdf", "fid.jdx", spectrum=True)

One-dimensional files are written as JCAMP-DX 5.01 NMR: a time-domain file as
`##DATA TYPE= NMR FID` (time in seconds), a spectrum (a frequency-domain file, or a
time-domain file with `spectrum=True`, transformed by vorn_tools.spectrum) as
`##DATA TYPE= NMR SPECTRUM` (frequency in Hz from 0 ppm; ppm = Hz / `##.OBSERVE
FREQUENCY`). `form` chooses the data blocks:

* "ntuples": one block of `##DATA CLASS= NTUPLES` with a real and an imaginary page;
* "xydata": one block with `##XYDATA= (X++(Y..Y))` of the real part;
* "both": a compound file (`##DATA TYPE= LINK`) of an XYDATA block, then an NTUPLES block.

The default is "both" for spectra, "ntuples" for FIDs.

Every block starts with `##TITLE=`, then `##JCAMP-DX=` (a LINK file's children then
carry `##BLOCK_ID=`).

Two-dimensional files are written as JCAMP-DX 6.00 nD NMR (`##NUM DIM= 2`): one page
per row and dependent variable (`##PAGE= T1=...` or `F1=...`, then a data table whose
symbol names the variable), with first, last and factor tables that list F1 (the y
axis), then F2 (the x axis), then the dependent variables; VAR_DIM, FIRST and LAST of
T1 (F1) count and span the increments. FIDs keep the real and imaginary part of each
row (R, I); hypercomplex FIDs (four sections) have four variables, the real and
imaginary part of each increment's cosine FID (FID/COSINE/REAL R, FID/COSINE/IMAG I)
and of its sine FID (FID/SINE/REAL RS, FID/SINE/IMAG IS), and say
`##.ACQUISITION SCHEME= STATES`. Spectra keep the real part (RR) alone, as JCAMP-DX nD
spectra do.

Samples are stored as integers times a `##FACTOR` (`##YFACTOR`) chosen per variable
(per page in one dimension): FACTOR <= 2e-7 x the largest magnitude, so every value is
within FACTOR / 2 <= 1e-7 of that magnitude (a `$$` comment states the bound); data
whose FACTOR would be subnormal (largest magnitude below about 1.1e-301) are refused
with a ValueError. An axis whose values are not all finite is written as point
numbers (`POINTS`). The
encoding is ASDF "DIFDUP" (the default), "DIF" or "SQZ", or "AFFN". In DIF forms each
line starts with the abscissa, then the Y-value check point: the last value of the line
before, again, in absolute (SQZ) form. Lines are at most 80 characters.

Every parameter of the file is kept as a `##$NAME=` user label (its unit as a `$$`
comment); other private figures, such as the digital filter's group delay in points,
also go under `##$` labels. Names are upper-cased, as JCAMP-DX compares them; a name
that meets one already written gets the first free suffix of `_2`, `_3`, ... Text is
written in ASCII reversibly: in values, units and titles, backslashes and every
character but printable ASCII as Python escapes (`\\xb0`, `\\u03b8`), a `$` that
follows a `$` as `\\x24` (so no value holds the `$$` that starts a comment), spaces at
either end as `\\x20`; in label names every such character, and `=`, `$`, `\\`, as
`\\UXXXXXXXX`, which upper-casing leaves as it is. `unescape` (or
`codecs.decode(text, "unicode_escape")`) gives the text back. Non-finite numbers,
also the parts of complex values, are written INF, -INF, NAN.
"""

from __future__ import annotations

import codecs
import math
import os
import sys
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from ..arrays.samples import observe_frequency
from ..arrays.units import unit_symbol
from ..processing.fourier import spectrum as make_spectrum
from ..reading.files import VornFile
from ..reading.files import open as open_file
from .atomic import write_text_atomically
from .formats import file_start

if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path

    from ..reading.files import Source

LINE_WIDTH = 80
ENCODINGS = ("DIFDUP", "DIF", "SQZ", "AFFN")
FORMS = ("ntuples", "xydata", "both")
RELATIVE_BOUND = 1e-7  # quantisation error / largest magnitude of a variable
# FACTOR is 2 x RELATIVE_BOUND x the largest magnitude, a little less, so that rounding
# FACTOR to the 6 significant digits written keeps it under the bound.
_FACTOR_SHARE = 2 * RELATIVE_BOUND * 0.999

_SQZ_POS, _SQZ_NEG = b"@ABCDEFGHI", b"@abcdefghi"
_DIF_POS, _DIF_NEG = b"%JKLMNOPQR", b"%jklmnopqr"
_DUP = b"?STUVWXYZs"  # a count's first digit (never 0)
_AFFN = b"0123456789"
_POW10 = 10 ** np.arange(19, dtype=np.int64)


# --- numbers ------------------------------------------------------------------------


def _affn(value: float) -> str:
    """A float in plain positional notation (no exponent: an "e" would read as SQZ),
    with at most 12 significant digits."""
    if value == 0:
        return "0"
    text = np.format_float_positional(value, precision=12, unique=True, fractional=False, trim="-")
    return text


def _label_number(value: float) -> str:
    """A float for a label value: shortest round-trip form; INF, -INF and NAN for the
    others."""
    value = float(value)
    if not math.isfinite(value):
        return str(value).upper()
    if value == int(value) and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _sqz(value: int) -> str:
    digits = str(abs(value))
    table = _SQZ_NEG if value < 0 else _SQZ_POS
    return chr(table[int(digits[0])]) + digits[1:]


def choose_factor(values: NDArray[np.float64]) -> float:
    """The FACTOR of a variable: values / FACTOR are rounded to integers, so each is off
    by at most FACTOR / 2 <= 1e-7 x the largest magnitude. 1 for all zeros."""
    if values.size == 0:
        return 1.0
    if not np.all(np.isfinite(values)):
        raise ValueError("JCAMP-DX holds finite numbers only; the data has NaN or infinite values")
    largest = float(np.max(np.abs(values)))
    if largest == 0:
        return 1.0
    factor = float(f"{largest * _FACTOR_SHARE:.6g}")
    if factor < sys.float_info.min:
        # A subnormal FACTOR has too few digits of its own to hold the bound.
        raise ValueError(
            f"the samples are too small for a JCAMP-DX FACTOR: the largest magnitude is {largest:.6g}, "
            f"the FACTOR would be below the smallest normal double ({sys.float_info.min:.6g})"
        )
    return factor


def _digit_counts(magnitudes: NDArray[np.int64]) -> NDArray[np.int64]:
    return np.maximum(np.searchsorted(_POW10, magnitudes, side="right"), 1)


def _put_numbers(
    out: NDArray[np.uint8],
    starts: NDArray[np.int64],
    magnitudes: NDArray[np.int64],
    counts: NDArray[np.int64],
    first: NDArray[np.uint8],
) -> None:
    """Writes each magnitude's decimal digits at its start in `out`, the first digit
    through its own table row (`first` holds one row of 10 characters per number),
    the others as ASCII digits."""
    for j in range(int(counts.max(initial=0))):
        chosen = counts > j
        power = _POW10[counts[chosen] - 1 - j]
        digit = (magnitudes[chosen] // power) % 10
        if j == 0:
            out[starts[chosen]] = first[chosen, digit]
        else:
            out[starts[chosen] + j] = 48 + digit


def _tokens(values: NDArray[np.int64], encoding: str) -> tuple[bytes, NDArray[np.int64], NDArray[np.int64]]:
    """The y tokens of a page: (all tokens' characters, end offset of each token in
    them, index of the last point each token covers).

    DIF forms: one token per difference q[i] - q[i-1] (i >= 1); with DUP a run of
    equal differences is one token, the difference and the run's length. SQZ, AFFN:
    one token per value (AFFN tokens carry their separator, a space)."""
    n = values.size
    if encoding in ("DIFDUP", "DIF"):
        numbers = np.diff(values)
        ends = np.arange(1, n, dtype=np.int64)
        runs = None
        if encoding == "DIFDUP" and numbers.size:
            change = np.flatnonzero(numbers[1:] != numbers[:-1])
            last = np.append(change, numbers.size - 1)  # last difference of each run
            runs = np.diff(last, prepend=-1)
            numbers, ends = numbers[last], ends[last]
        positive, negative = np.frombuffer(_DIF_POS, np.uint8), np.frombuffer(_DIF_NEG, np.uint8)
    else:
        numbers, ends, runs = values, np.arange(n, dtype=np.int64), None
        table = (_SQZ_POS, _SQZ_NEG) if encoding == "SQZ" else (_AFFN, _AFFN)
        positive, negative = (np.frombuffer(t, np.uint8) for t in table)
    magnitudes = np.abs(numbers)
    counts = _digit_counts(magnitudes)
    # AFFN: a space before each value, then its minus sign if negative.
    lead = (1 + (numbers < 0)).astype(np.int64) if encoding == "AFFN" else np.zeros(1, np.int64)
    lengths = counts + lead
    dup_counts = None
    if runs is not None:
        repeated = runs > 1
        dup_counts = np.where(repeated, _digit_counts(runs), 0)
        lengths = lengths + dup_counts
    offsets = np.cumsum(lengths)
    starts = offsets - lengths
    out = np.zeros(int(offsets[-1]) if offsets.size else 0, dtype=np.uint8)
    if encoding == "AFFN":
        out[starts] = ord(" ")
        out[starts[numbers < 0] + 1] = ord("-")
    rows = np.where((numbers < 0)[:, None], negative[None, :], positive[None, :])
    _put_numbers(out, starts + lead, magnitudes, counts, rows)
    if dup_counts is not None and runs is not None:
        chosen = dup_counts > 0
        dup_rows = np.broadcast_to(np.frombuffer(_DUP, np.uint8), (int(chosen.sum()), 10))
        _put_numbers(out, (starts + lead + counts)[chosen], runs[chosen], dup_counts[chosen], dup_rows)
    return out.tobytes(), offsets, ends


def encode_lines(values: NDArray[np.int64], x: NDArray[np.float64], encoding: str = "DIFDUP") -> list[str]:
    """The data lines of one page of integers (X++(Y..Y)): each line the abscissa of its
    first y value, then as many y values as fit in LINE_WIDTH characters."""
    if encoding not in ENCODINGS:
        raise ValueError(f"unknown encoding {encoding!r}; choose one of {', '.join(ENCODINGS)}")
    n = values.size
    if n == 0:
        return []
    stream, offsets, ends = _tokens(values, encoding)
    bounds = np.concatenate(([0], offsets))
    dif = encoding in ("DIFDUP", "DIF")
    lines = []
    k, total = 0, ends.size
    while True:
        if dif:  # the point before the line's first difference
            point = int(ends[k - 1]) if k else 0
        else:
            point = int(ends[k])
        head = _affn(float(x[point]))
        if dif:
            head += " " + _sqz(int(values[point]))  # the first value, or the check point
        elif encoding == "SQZ":
            head += " "
        budget = LINE_WIDTH - len(head)
        # The most tokens that fit, at least one.
        stop = int(np.searchsorted(bounds, bounds[k] + budget, side="right")) - 1
        stop = min(max(stop, k + 1), total)
        lines.append(head + stream[bounds[k] : bounds[stop]].decode("ascii"))
        k = stop
        if k >= total:
            return lines


# --- what is written ------------------------------------------------------------------


def _text(value: object) -> str:
    """A label value on one line of printable ASCII, reversibly: the characters other
    than printable ASCII, and backslashes, as Python escapes (codecs.decode(text,
    "unicode_escape") gives the text back); a "$" after a "$" as \\x24 (a "$$" starts a
    comment); spaces at either end as \\x20 (readers strip them)."""
    text = codecs.encode(str(value), "unicode_escape").decode("ascii").replace("$$", "$\\x24")
    while "$$" in text:  # runs of three or more
        text = text.replace("$$", "$\\x24")
    stripped = text.strip(" ")
    if stripped != text:
        lead, trail = len(text) - len(text.lstrip(" ")), len(text) - len(text.rstrip(" "))
        text = "\\x20" * lead + stripped + "\\x20" * trail
    return text


def unescape(text: str) -> str:
    """The text of a label value, unit or label name as written by this module."""
    return codecs.decode(text, "unicode_escape")


def _label_name(name: str) -> str:
    """A label name as written: upper-case (JCAMP-DX names are compared in upper case),
    then every character but printable ASCII, and "=", "\\" and "$", as a \\UXXXXXXXX
    escape (one that upper-casing leaves as it is)."""
    return (
        "".join(ch if " " <= ch <= "~" and ch not in "=\\$" else f"\\U{ord(ch):08X}" for ch in name.upper()).strip()
        or "UNNAMED"
    )


def _unique(name: str, used: set[str]) -> str:
    """`name`, or the first of `name`_2, `name`_3, ... not used yet."""
    candidate, count = name, 1
    while candidate in used:
        count += 1
        candidate = f"{name}_{count}"
    used.add(candidate)
    return candidate


def _param_value(value: Any) -> str:
    if isinstance(value, dict):
        return f"({_label_number(value['real'])}, {_label_number(value['imag'])})"
    if isinstance(value, float):
        return _label_number(value)
    return _text(value)


def _nucleus(text: str) -> str:
    """ "1H" -> "^1H", as JCAMP-DX writes nuclei."""
    text = _text(text)
    return text if not text or text.startswith("^") or not text[0].isdigit() else "^" + text


def _date(value: Any) -> str | None:
    try:
        year, month, day = int(value["year"]), int(value["month"]), int(value["day"])
    except (TypeError, KeyError, ValueError):
        return None
    if not (1 <= month <= 12 and 1 <= day <= 31 and 0 < year <= 9999):
        return None
    return f"{year:04d}/{month:02d}/{day:02d}"


class _Data:
    """What the data blocks need: samples and axes, kind, and the file's metadata."""

    def __init__(self, file: VornFile, spectrum: bool) -> None:
        # An axis spanning most of the double range overflows to infinities and NaNs:
        # _coordinates then writes point numbers instead.
        with np.errstate(over="ignore", invalid="ignore"):
            arrays = file.to_numpy()
        self.file = file
        self.fid = arrays.axes[0].domain == "time" and not spectrum
        if self.fid:
            self.values, self.mixed, self.axes = arrays.values, arrays.mixed, arrays.axes
            self.group_delay = None
        else:
            with np.errstate(over="ignore", invalid="ignore"):
                s = make_spectrum(file)
            self.values, self.mixed, self.axes = s.values, s.mixed, s.axes
            self.group_delay = s.group_delay if s.transformed else None
        self.two_d = self.values.ndim == 2


def _coordinates(data: _Data, index: int) -> tuple[NDArray[np.float64], str]:
    """(coordinates, JCAMP-DX unit) of an axis: seconds for FIDs, Hz for spectra, else
    the axis's own values."""
    axis = data.axes[index]
    # The axes are computed when read: one spanning most of the double range overflows here.
    with np.errstate(over="ignore", invalid="ignore"):
        choices = [
            (axis.seconds if data.fid else axis.hz, "SECONDS" if data.fid else "HZ"),
            (axis.ppm, "PPM"),
            (axis.values, _text(str(axis.unit).upper())),
        ]
    for values, unit in choices:
        # Only an axis whose values and steps are finite numbers can be written (one
        # spanning most of the double range is not).
        if (
            values is not None
            and unit
            and values.size
            and np.all(np.isfinite(values))
            and math.isfinite(float(values[-1]) - float(values[0]))
        ):
            return values, unit
    return np.arange(axis.values.size, dtype=np.float64), "POINTS"


def _nuclei(data: _Data) -> list[str]:
    nuclei = [_nucleus(n) if isinstance(n, str) else "" for n in data.file.info["nucleus"]]
    return nuclei + [""] * (len(data.axes) - len(nuclei))


def _core_labels(data: _Data, data_type: str, data_class: str, version: str) -> list[str]:
    file = data.file
    headers, info = file.headers, file.info
    title = _text(headers["title"]) or _text(file.name)
    lines = [f"##TITLE= {title}", f"##JCAMP-DX= {version}", f"##DATA TYPE= {data_type}", f"##DATA CLASS= {data_class}"]
    origin = ", ".join(t for t in (_text(headers["site"]), _text(headers["nodeName"])) if t)
    lines += [f"##ORIGIN= {origin or 'UNKNOWN'}", f"##OWNER= {_text(headers['author'])}"]
    date = _date(headers["creationTime"])
    if date:
        lines.append(f"##LONG DATE= {date}")
    sf = observe_frequency(info, 0)
    if sf is not None:
        lines.append(f"##.OBSERVE FREQUENCY= {_label_number(sf / 1e6)}")
    nucleus = _nuclei(data)[0]
    if nucleus:
        lines.append(f"##.OBSERVE NUCLEUS= {nucleus}")
    if isinstance(info["solvent"], str) and _text(info["solvent"]):
        lines.append(f"##.SOLVENT NAME= {_text(info['solvent'])}")
    axis_type = headers["dataAxisType"][0]
    mode = {"Complex": "SIMULTANEOUS", "Real_Complex": "SIMULTANEOUS", "Real": "SEQUENTIAL", "TPPI": "SEQUENTIAL"}.get(
        axis_type, "SINGLE"
    )
    lines.append(f"##.ACQUISITION MODE= {mode}")
    if data.two_d:
        lines.append("##NUM DIM= 2")
    used: set[str] = set()
    if data.fid and info["digitalFilter"] is not None and math.isfinite(info["digitalFilter"]):
        lines.append(f"##${_unique('DIGITAL FILTER', used)}= {_label_number(info['digitalFilter'])}")
    if data.group_delay is not None:
        lines.append(f"##${_unique('GROUP DELAY REMOVED', used)}= {_label_number(data.group_delay)}")
    for param in file.parameters["paramArray"]:
        line = f"##${_unique(_label_name(param['name']), used)}= {_param_value(param['value'])}"
        unit = unit_symbol(param["unit"][0]) if param["unit"] else ""
        if unit:
            line += f" $$ {_text(unit)}"
        lines.append(line)
    return lines


def _bound_comment(name: str, factor: float, values: NDArray[np.float64]) -> str:
    largest = float(np.max(np.abs(values))) if values.size else 0.0
    return f"$$ {name}: error <= FACTOR/2 = {factor / 2:.6g} <= 1e-7 x max|{name}| = {largest:.6g}"


def _quantised(values: NDArray[np.float64], factor: float) -> NDArray[np.int64]:
    return np.rint(values / factor).astype(np.int64)


def _xydata_block(data: _Data, encoding: str, title_suffix: str = "") -> list[str]:
    x, unit = _coordinates(data, 0)
    y = np.ascontiguousarray(data.values.real, dtype=np.float64)
    factor = choose_factor(y)
    q = _quantised(y, factor)
    lines = [
        f"##XUNITS= {unit}",
        "##YUNITS= ARBITRARY UNITS",
        f"##FIRSTX= {_label_number(x[0])}",
        f"##LASTX= {_label_number(x[-1])}",
        f"##DELTAX= {_label_number((x[-1] - x[0]) / (x.size - 1)) if x.size > 1 else 0}",
        "##XFACTOR= 1",
        f"##YFACTOR= {_label_number(factor)}",
        _bound_comment("Y", factor, y),
        f"##FIRSTY= {_label_number(q[0] * factor)}",
        f"##MAXY= {_label_number(q.max() * factor)}",
        f"##MINY= {_label_number(q.min() * factor)}",
        f"##NPOINTS= {y.size}",
        "##XYDATA= (X++(Y..Y))",
    ]
    lines += encode_lines(q, x, encoding)
    return lines


def _ntuples_1d(data: _Data, encoding: str) -> list[str]:
    x, unit = _coordinates(data, 0)
    kind = "FID" if data.fid else "SPECTRUM"
    name = f"NMR {kind}"
    xname = "TIME" if data.fid else "FREQUENCY"
    parts = [np.ascontiguousarray(data.values.real), np.ascontiguousarray(data.values.imag)]
    factors = [choose_factor(p) for p in parts]
    n = x.size
    lines = [
        f"##NTUPLES= {name}",
        f"##VAR_NAME= {xname}, {kind}/REAL, {kind}/IMAG, PAGE NUMBER",
        "##SYMBOL= X, R, I, N",
        "##VAR_TYPE= INDEPENDENT, DEPENDENT, DEPENDENT, PAGE",
        "##VAR_FORM= AFFN, ASDF, ASDF, AFFN" if encoding != "AFFN" else "##VAR_FORM= AFFN, AFFN, AFFN, AFFN",
        f"##VAR_DIM= {n}, {n}, {n}, 2",
        f"##UNITS= {unit}, ARBITRARY UNITS, ARBITRARY UNITS,",
        f"##FIRST= {_label_number(x[0])}, {_label_number(_quantised(parts[0][:1], factors[0])[0] * factors[0])}, "
        f"{_label_number(_quantised(parts[1][:1], factors[1])[0] * factors[1])}, 1",
        f"##LAST= {_label_number(x[-1])}, {_label_number(_quantised(parts[0][-1:], factors[0])[0] * factors[0])}, "
        f"{_label_number(_quantised(parts[1][-1:], factors[1])[0] * factors[1])}, 2",
        f"##FACTOR= 1, {_label_number(factors[0])}, {_label_number(factors[1])}, 1",
        _bound_comment("R", factors[0], parts[0]),
        _bound_comment("I", factors[1], parts[1]),
    ]
    for page, (symbol, part, factor) in enumerate(zip("RI", parts, factors, strict=True), start=1):
        lines += [f"##PAGE= N={page}", f"##NPOINTS= {n}", f"##DATA TABLE= (X++({symbol}..{symbol})), XYDATA"]
        lines += encode_lines(_quantised(part, factor), x, encoding)
    lines.append(f"##END NTUPLES= {name}")
    return lines


def _acquisition_scheme(data: _Data) -> str:
    """How the T1 (F1) data were taken, as ##.ACQUISITION SCHEME names it: STATES for
    hypercomplex files (a cosine and a sine FID per increment), else from the y axis's
    stored kind."""
    if data.mixed is not None:
        return "STATES"
    kinds = data.file.headers["dataAxisType"]
    kind = kinds[1] if len(kinds) > 1 else ""
    return {"TPPI": "TPPI", "Real": "NOT PHASE SENSITIVE"}.get(kind, "UNDEFINED")


def _ntuples_2d(data: _Data, encoding: str) -> list[str]:
    """One page per increment (F1 row) and dependent variable: `##PAGE= T1=...` (F1),
    then a data table whose symbol says which part it holds. Hypercomplex FIDs have
    four dependent variables, the real and imaginary part of the cosine FID (R, I) and
    of the sine FID (RS, IS) of each increment, so VAR_DIM, FIRST and LAST of T1 count
    and span the increments."""
    x, xunit = _coordinates(data, 0)
    y, yunit = _coordinates(data, 1)
    nuclei = _nuclei(data)
    info = data.file.info
    sfs = [observe_frequency(info, i) for i in (1, 0)]
    asdf = "AFFN" if encoding == "AFFN" else "ASDF"
    if data.fid:
        name, i1, i2, s1, s2 = "nD NMR FID", "TIME1", "TIME2", "T1", "T2"
        parts = [
            ("FID/REAL", "R", np.ascontiguousarray(data.values.real)),
            ("FID/IMAG", "I", np.ascontiguousarray(data.values.imag)),
        ]
        if data.mixed is not None:
            parts = [
                ("FID/COSINE/REAL", "R", parts[0][2]),
                ("FID/COSINE/IMAG", "I", parts[1][2]),
                ("FID/SINE/REAL", "RS", np.ascontiguousarray(data.mixed.real)),
                ("FID/SINE/IMAG", "IS", np.ascontiguousarray(data.mixed.imag)),
            ]
    else:
        name, i1, i2, s1, s2 = "nD NMR SPECTRUM", "FREQUENCY1", "FREQUENCY2", "F1", "F2"
        parts = [("SPECTRUM", "Y", np.ascontiguousarray(data.values.real))]
    factors = [choose_factor(p) for _, _, p in parts]
    quantised = [_quantised(p, f) for (_, _, p), f in zip(parts, factors, strict=True)]
    rows, columns = parts[0][2].shape
    deps = len(parts)
    blank = ", " * deps
    lines = [
        f"##.ACQUISITION SCHEME= {_acquisition_scheme(data)}",
        f"##NTUPLES= {name}",
        f"##VAR_NAME= {i1}, {i2}, " + ", ".join(p[0] for p in parts),
        f"##SYMBOL= {s1}, {s2}, " + ", ".join(p[1] for p in parts),
        f"##.NUCLEUS= {nuclei[1]}, {nuclei[0]}",
        "##.OBSERVE FREQUENCY= " + ", ".join(_label_number(sf / 1e6) if sf else "" for sf in sfs),
        "##VAR_TYPE= INDEPENDENT, INDEPENDENT" + ", DEPENDENT" * deps,
        "##VAR_FORM= AFFN, AFFN" + f", {asdf}" * deps,
        f"##VAR_DIM= {rows}, {columns}" + f", {columns}" * deps,
        f"##UNITS= {yunit}, {xunit}" + ", ARBITRARY UNITS" * deps,
        f"##FIRST= {_label_number(y[0])}, {_label_number(x[0])}{blank}".rstrip(", ") + ",",
        f"##LAST= {_label_number(y[-1])}, {_label_number(x[-1])}{blank}".rstrip(", ") + ",",
        "##MIN= , , " + ", ".join(_label_number(q.min() * f) for q, f in zip(quantised, factors, strict=True)),
        "##MAX= , , " + ", ".join(_label_number(q.max() * f) for q, f in zip(quantised, factors, strict=True)),
        "##FACTOR= 1, 1, " + ", ".join(_label_number(f) for f in factors),
    ]
    lines += [_bound_comment(sym, f, p) for (_, sym, p), f in zip(parts, factors, strict=True)]
    for r in range(rows):
        for (_, symbol, _), q in zip(parts, quantised, strict=True):
            lines += [
                f"##PAGE= {s1}={_label_number(y[r])}",
                f"##NPOINTS= {columns}",
                f"##DATA TABLE= ({s2}++({symbol}..{symbol})), {'XYDATA' if data.fid else 'PROFILE'}",
            ]
            lines += encode_lines(q[r], x, encoding)
    lines.append(f"##END NTUPLES= {name}")
    return lines


def to_jcamp(
    source: Source | VornFile, *, spectrum: bool = False, encoding: str = "DIFDUP", form: str | None = None
) -> str:
    """The file as JCAMP-DX text (see the module's description). `source`: anything
    vorn_tools.open takes, or a VornFile. `spectrum`: write the spectrum of a
    time-domain file (vorn_tools.spectrum with its defaults) instead of the FID;
    `encoding`: "DIFDUP", "DIF", "SQZ" or "AFFN"; `form` (one-dimensional files):
    "ntuples", "xydata" or "both" (default "both" for spectra, "ntuples" for FIDs)."""
    if encoding not in ENCODINGS:
        raise ValueError(f"unknown encoding {encoding!r}; choose one of {', '.join(ENCODINGS)}")
    if form is not None and form not in FORMS:
        raise ValueError(f"unknown form {form!r}; choose one of {', '.join(FORMS)}")
    file = source if isinstance(source, VornFile) else open_file(source)
    data = _Data(file, spectrum)
    if data.values.size == 0:
        raise ValueError("the file holds no samples")
    if data.values.ndim > 2:
        raise ValueError("only one- and two-dimensional files can be written")
    kind = "NMR FID" if data.fid else "NMR SPECTRUM"
    if data.two_d:
        if form not in (None, "ntuples"):
            raise ValueError("two-dimensional files are written as NTUPLES only")
        lines = _core_labels(data, f"nD {kind}", "NTUPLES", "6.00") + _ntuples_2d(data, encoding)
        lines.append("##END=")
    else:
        form = form or ("ntuples" if data.fid else "both")
        if form == "ntuples":
            lines = _core_labels(data, kind, "NTUPLES", "5.01") + _ntuples_1d(data, encoding) + ["##END="]
        elif form == "xydata":
            lines = _core_labels(data, kind, "XYDATA", "5.01") + _xydata_block(data, encoding) + ["##END="]
        else:
            title = _text(file.headers["title"]) or _text(file.name)
            lines = [f"##TITLE= {title}", "##JCAMP-DX= 5.01", "##DATA TYPE= LINK", "##BLOCKS= 2"]
            first = _core_labels(data, kind, "XYDATA", "5.01")
            second = _core_labels(data, kind, "NTUPLES", "5.01")
            # ##TITLE, then ##JCAMP-DX, then the block's own labels.
            lines += [*first[:2], "##BLOCK_ID= 1", *first[2:], *_xydata_block(data, encoding), "##END="]
            lines += [*second[:2], "##BLOCK_ID= 2", *second[2:], *_ntuples_1d(data, encoding), "##END="]
            lines.append("##END=")
    return "\n".join(lines) + "\n"


def write_jcamp(
    source: Source | VornFile,
    path: str | os.PathLike[str],
    *,
    spectrum: bool = False,
    encoding: str = "DIFDUP",
    form: str | None = None,
) -> None:
    """Writes to_jcamp(source, ...) to `path` (ASCII text), atomically: the file at
    `path` is replaced only once the whole text is written (vorn_tools.exports.atomic). Raises
    vorn_tools.exports.atomic.ReplacesInput, writing nothing, when `path` is the source file."""
    text = to_jcamp(source, spectrum=spectrum, encoding=encoding, form=form)
    inputs = [source] if isinstance(source, (str, os.PathLike)) else []
    write_text_atomically(path, text, encoding="ascii", inputs=inputs)


def prepare(source: str) -> Callable[[BinaryIO], None]:
    """The JCAMP-DX output of a folder conversion: the file's FID (or stored spectrum)."""
    jdx = to_jcamp(open_file(source)).encode("ascii")

    def write(file: BinaryIO) -> None:
        file.write(jdx)

    return write


def is_output(path: Path) -> bool:
    """A JCAMP-DX file: it starts with ##TITLE= and names its version."""
    start = file_start(path)
    return start is not None and start.startswith(b"##TITLE=") and b"##JCAMP-DX=" in start
