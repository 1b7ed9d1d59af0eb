# The extension module that reads through the core: see vorn_tools.files.
from typing import Any

class ReadFailure(Exception): ...

class Samples:
    """Decoded samples: doubles behind the buffer protocol, shaped (points, 2) or
    (rows, columns, 2), each sample a (real, imaginary) pair."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(kind: str, source: Any, size: int | None, metadata: bool, data: bool, /) -> tuple[Any, Any, Any, Any]: ...
