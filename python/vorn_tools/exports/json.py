"""The result document as strict JSON.

JSON has no NaN or infinities, so a non-finite float is written as one of the strings
"NaN", "Infinity" or "-Infinity" (float() of each gives the value back). Everything
else keeps its JSON type; absent values (an uncomputed digital filter) are null.
"""

from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any, BinaryIO

from ..reading.documents import read_file
from .formats import file_start

if TYPE_CHECKING:
    from collections.abc import Callable
    from pathlib import Path

NON_FINITE = {"nan": "NaN", "inf": "Infinity", "-inf": "-Infinity"}


def jsonable(value: Any) -> Any:
    """`value` with every non-finite float replaced by its string; lists that hold
    only finite numbers are returned as they are, not copied."""
    if isinstance(value, float):
        return value if math.isfinite(value) else NON_FINITE[repr(value)]
    if isinstance(value, list):
        if value and type(value[0]) is float:
            try:
                if math.isfinite(math.fsum(value)):  # no NaN or infinity among them
                    return value
            except (OverflowError, TypeError, ValueError):  # huge sums, inf - inf, not numbers
                pass
        return [jsonable(item) for item in value]
    if isinstance(value, dict):
        return {key: jsonable(item) for key, item in value.items()}
    return value


def to_json(document: Any, *, indent: int | None = None) -> str:
    """Strict JSON text (allow_nan off) of a result document, UTF-8 text kept as is."""
    return json.dumps(jsonable(document), allow_nan=False, ensure_ascii=False, indent=indent)


def prepare(source: str) -> Callable[[BinaryIO], None]:
    """The JSON output of a folder conversion: the whole result document."""
    text = to_json(read_file(source)).encode("utf-8")

    def write(file: BinaryIO) -> None:
        file.write(text)

    return write


def is_output(path: Path) -> bool:
    """A file that starts as a result document in JSON does."""
    start = file_start(path)
    return start is not None and start.startswith(b'{"headers": {')
