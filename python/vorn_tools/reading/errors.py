"""Failed reads: the one exception of vorn_tools, its reason made from the reader's facts;
file names made fit for a one-line message."""

from __future__ import annotations

import os

# vorn_parser raises this class (derived from BaseException) for every failed parse. It
# is created on the first failure and is not an attribute of the module, so it is
# recognised by name.
FAILURE_CLASS = ("vorn_parser", "ParseFailure")

_LEAD = "An error value was found where a successful result was required:"
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


def is_parse_failure(exc: BaseException) -> bool:
    """True when `exc` is the exception vorn_parser.parse raises for a file it cannot read."""
    kind = type(exc)
    return (kind.__module__, kind.__name__) == FAILURE_CLASS


def failure_reason(message: str) -> str:
    """One line from the message of vorn_parser.parse's own failure (for callers of
    parse; vorn_tools takes its reasons from the reader's fields, see ParseError): the
    root cause of a read error, else the message with its whitespace collapsed."""
    text = message.split(": ", 1)[1] if message.startswith(_LEAD) else message
    for line in text.splitlines():
        entry = line.strip()
        if entry.startswith("0: Error: "):
            return " ".join(entry[len("0: Error: ") :].split())
    return " ".join(text.split()) or "the parse failed without a message"


# What a failure is: the kinds the reader tells apart.
KINDS = ("not-this-kind", "damaged", "io", "interrupted", "internal")


class ParseError(Exception):
    """A data file that could not be read: the one exception of vorn_tools for every
    failure of the reader.

    `source` names the input (its path, "<bytes>", "<file object>"; None when no input
    is concerned), `reason` is one line. The facts come from the reader itself, not
    from its message: `kind` (one of KINDS: "not-this-kind" for input whose identifying
    header fields do not decode, "damaged" for a file of this kind that is cut short or
    damaged, "io" when it could not be opened or read, "interrupted", "internal" for a
    fault of the reader), `root` (the reader's root reason), `frames` ((field, record)
    pairs, innermost first), `position` (the byte offset where a failed check found
    its value, else None), `block` ("headers", "parameters", "data" or None) and
    `details` (the full message as vorn_parser.parse words it; empty when there was
    none). The message shows the name escaped (see shown_name); `source` keeps it.
    """

    def __init__(
        self,
        source: str | None,
        reason: str,
        details: str = "",
        *,
        kind: str = "io",
        root: str | None = None,
        frames: tuple[tuple[str, str], ...] = (),
        position: int | None = None,
        block: str | None = None,
    ) -> None:
        super().__init__(reason if source is None else f"{shown_name(source)}: {reason}")
        self.source = source
        self.reason = reason
        self.details = details
        self.kind = kind
        self.root = reason if root is None else root
        self.frames = frames
        self.position = position
        self.block = block

    @classmethod
    def from_core(
        cls,
        source: str | None,
        kind: str,
        root: str,
        frames: list[tuple[str, str]],
        position: int | None,
        block: str | None,
        details: str,
    ) -> ParseError:
        """From the reader's facts about a failed read (the native module calls this)."""
        return cls(
            source,
            describe(kind, root, frames, block),
            details,
            kind=kind,
            root=root,
            frames=tuple(frames),
            position=position,
            block=block,
        )


def describe(kind: str, root: str, frames: list[tuple[str, str]], block: str | None) -> str:
    """The one-line reason of a failure: its root reason, the innermost field being read
    and the block it lies in; input that is not a data file is named as such."""
    reason = " ".join(root.split()) or "the read failed without a message"
    if frames:
        field, record = frames[0]
        reason += f" while reading field '{field}' of {record}"
    if block in _BLOCKS:
        reason += f" ({_BLOCKS[block]})"
    if kind == "io" and root == _OPEN_FAILED:
        return f"cannot open the file ({_OPEN_FAILED})"
    if kind == "not-this-kind":
        return f"{NOT_THIS_KIND} ({reason})"
    return reason
