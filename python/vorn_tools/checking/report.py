"""Validation reports: what the reader makes of a file, and what it loses on the way.

    report = vorn_tools.check("spectrum.vdf")
    report.verdict          # "ok", "warnings", "damaged" or "not this kind"
    for f in report.findings:
        print(f.code, f.offset, f.field, f.text)

The checks run in the native core, with the readers of a parse: a file the reader
cannot read is "damaged" (or "not this kind" when its identifying header fields do not
decode), with the reader's own failure as its first finding, placed at the field where
it lies; a file that reads gets a warning for each loss or oddity the reader passes
over in silence (points and sections not read, texts without their spaces, dates that
are no dates, bytes after the data, ...). The codes are listed in CODES and in the
README ("Checking files"); a code never changes its meaning.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from .. import _native
from ..reading.errors import ParseError
from ..reading.files import _classify

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from ..reading.files import Source

VERDICTS = ("ok", "warnings", "damaged", "not this kind")


@dataclass(frozen=True)
class CodeInfo:
    code: str  # "VC103"
    severity: str  # "error" or "warning"
    title: str


# Every code a report may hold, by code, as the core defines them.
CODES: dict[str, CodeInfo] = {code: CodeInfo(code, severity, title) for code, severity, title in _native.check_codes()}


@dataclass(frozen=True)
class Finding:
    """One thing found: its code, "error" or "warning", the byte offset of the field it
    concerns (None when no byte is at fault), the field's path in the result document
    ("headers.title", "parameters.paramArray[3].name", "data.re") and one line of text."""

    code: str
    severity: str
    offset: int | None
    field: str
    text: str

    def to_dict(self) -> dict[str, object]:
        return {
            "code": self.code,
            "severity": self.severity,
            "offset": self.offset,
            "field": self.field,
            "text": self.text,
        }


@dataclass(frozen=True)
class Report:
    """The report on one file: its name as messages show it, the verdict and the
    findings (the reader's failure first, then in file order)."""

    file: str
    verdict: str
    findings: tuple[Finding, ...]

    @property
    def ok(self) -> bool:
        return self.verdict == "ok"

    @property
    def failed(self) -> bool:
        """The reader cannot read the file ("damaged" or "not this kind")."""
        return self.verdict in ("damaged", "not this kind")

    def to_dict(self) -> dict[str, object]:
        """The report as the --json output writes it (see the README)."""
        return {"file": self.file, "verdict": self.verdict, "findings": [f.to_dict() for f in self.findings]}


def check(source: Source, *, samples: bool = False) -> Report:
    """Checks a data file: a path, its content (bytes-like) or a binary file object.

    The samples are decoded only with `samples=True`, which also counts the non-finite
    ones; without it the data section is checked against the file's size, as the reader
    does before it decodes. A file that cannot be opened is "damaged" with code VC002;
    nothing but a bad argument (TypeError) or an interruption raises.
    """
    # A file object is read from its start and left where it was.
    position = source.tell() if hasattr(source, "read") and hasattr(source, "tell") else None
    try:
        kind, native_source, size, name = _classify(source)
    except ParseError as exc:  # an empty path
        return Report(exc.source or "", "damaged", (Finding("VC002", "error", None, "", exc.reason),))
    try:
        found = _native.check(kind, native_source, size, samples)
    finally:
        if kind == "file" and position is not None:
            native_source.seek(position)
    report = _report(name, found)
    return _with_open_reason(report, native_source) if kind == "path" else report


def check_path(path: str | os.PathLike[str], name: str, *, samples: bool = False) -> Report:
    """check() of a path, shown as `name` (for batches, which name files relative to
    their folder)."""
    return _with_open_reason(_report(name, _native.check("path", os.fsencode(path), None, samples)), path)


def _with_open_reason(report: Report, path: str | os.PathLike[str] | bytes) -> Report:
    """The operating system's reason added to a file that could not be opened (the
    reader says only that it could not)."""
    if report.findings and report.findings[0].code == "VC002" and report.findings[0].offset is None:
        try:
            os.stat(path)
        except OSError as exc:
            first = report.findings[0]
            reason = "no such file" if isinstance(exc, FileNotFoundError) else (exc.strerror or str(exc)).lower()
            findings = (Finding(first.code, first.severity, None, first.field, f"{first.text} ({reason})"),)
            return Report(report.file, report.verdict, findings + report.findings[1:])
    return report


def _report(name: str, found: dict[str, Any]) -> Report:
    findings: list[dict[str, Any]] = found["findings"]
    return Report(name, str(found["verdict"]), tuple(Finding(**f) for f in findings))
