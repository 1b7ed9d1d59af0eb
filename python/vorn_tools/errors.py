"""Failed parses: recognising vorn_parser's failure class and condensing its message;
file names made fit for a one-line message."""

from __future__ import annotations

import os
import re

# vorn_parser raises this class (derived from BaseException) for every failed parse. It
# is created on the first failure and is not an attribute of the module, so it is
# recognised by name.
FAILURE_CLASS = ("vorn_parser", "ParseFailure")

_LEAD = re.compile(r"\AAn error value was found where a successful \w+ was required:\s*")
_ROOT = re.compile(r"^\s*0: Error: (.*)$", re.MULTILINE)
_FRAME = re.compile(r"While parsing field '([^']*)' in (\w+)")
_BLOCKS = {"headers": "header block", "parameters": "parameter block", "data": "data section"}
_OPEN_FAILED = "Error reading the data!"
NOT_THIS_KIND = "not a data file of this kind"


def shown_name(name: str | os.PathLike[str]) -> str:
    """A file name as messages show it: characters that are not printable (a newline, an
    escape sequence, a byte that is not UTF-8) become backslash escapes, so a message
    stays one line and cannot steer the terminal."""
    text = os.fspath(name)
    if text.isprintable():
        return text
    return "".join(_escaped(ch) for ch in text)


def _escaped(ch: str) -> str:
    if ch.isprintable():
        return ch
    if "\udc80" <= ch <= "\udcff":  # a byte that did not decode, kept by surrogateescape
        return f"\\x{ord(ch) - 0xDC00:02x}"
    return ascii(ch)[1:-1]


def has_read_frames(message: str) -> bool:
    """True when a failure's message lists the fields being read (a read error); a failed
    check (an unknown code, text that is not UTF-8) gives the bare message."""
    return _ROOT.search(message) is not None


def is_parse_failure(exc: BaseException) -> bool:
    """True when `exc` is the exception vorn_parser.parse raises for a file it cannot read."""
    kind = type(exc)
    return (kind.__module__, kind.__name__) == FAILURE_CLASS


def failure_reason(message: str) -> str:
    """One line saying why a parse failed, from the failure's (often multi-line) message.

    A read error keeps its root cause and names the innermost field and the block it
    lies in; any other message is returned with its whitespace collapsed.
    """
    text = _LEAD.sub("", message, count=1)
    root = _ROOT.search(text)
    if root is None:
        text = " ".join(text.split())
        if text == _OPEN_FAILED:
            return f"cannot open the file ({_OPEN_FAILED})"
        return text or "the parse failed without a message"
    reason = " ".join(root.group(1).split())
    frames = _FRAME.findall(text)
    if frames:
        field, record = frames[0]
        if record != "VornDataFile":
            reason += f" while reading field '{field}' of {record}"
        outer_field, outer_record = frames[-1]
        if outer_record == "VornDataFile" and outer_field in _BLOCKS:
            reason += f" ({_BLOCKS[outer_field]})"
    return reason


class ParseError(Exception):
    """A data file that could not be read, as an ordinary exception.

    `source` names the input (its path, or "<bytes>"), `reason` is one line, `details`
    the full message of the underlying failure (empty when there was none). The
    message shows the name escaped (see shown_name); `source` keeps it as given.
    """

    def __init__(self, source: str, reason: str, details: str = "") -> None:
        super().__init__(f"{shown_name(source)}: {reason}")
        self.source = source
        self.reason = reason
        self.details = details

    @classmethod
    def from_failure(cls, source: str, exc: BaseException, *, foreign: bool = False) -> ParseError:
        """From the parser's failure; `foreign` when the input is not a data file of this
        kind at all, which then leads the reason."""
        message = str(exc)
        reason = failure_reason(message)
        return cls(source, f"{NOT_THIS_KIND} ({reason})" if foreign else reason, message)
