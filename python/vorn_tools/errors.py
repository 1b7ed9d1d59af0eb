"""Failed parses: recognising vorn_parser's failure class and condensing its message."""

from __future__ import annotations

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
    the full message of the underlying failure (empty when there was none).
    """

    def __init__(self, source: str, reason: str, details: str = "") -> None:
        super().__init__(f"{source}: {reason}")
        self.source = source
        self.reason = reason
        self.details = details

    @classmethod
    def from_failure(cls, source: str, exc: BaseException) -> ParseError:
        message = str(exc)
        return cls(source, failure_reason(message), message)
