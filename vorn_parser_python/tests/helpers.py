"""What the Python tests share: small files, the failure class, the message lead, the
result's top-level keys, the header's field offsets and the outcome of a `vorn` run."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from vorn_tools.testing.vdf_writer import Param, build_file, standard_params

# Every rendered read error starts with this.
LEAD = "An error value was found where a successful result was required: "
TOP_KEYS = ["headers", "parameters", "data", "info"]

# The failure class: vorn_parser raises it for every failed parse and does not export
# it, so it is known by these names (the `failure_class` fixture holds the class).
FAILURE_NAME = "ParseFailure"
FAILURE_MODULE = "vorn_parser"

# Offsets of header fields (the header block is big-endian and HEADER_SIZE long).
DIMENSION_NUMBER = 12
AXIS_TYPES = 24
DATA_POINTS = 176
PARAM_START = 1212
DATA_START = 1284
COMPOUND_UNITS = 1336


def is_parse_failure(exc: object) -> bool:
    """Whether `exc` is of the failure class, told by its name and module."""
    cls = type(exc)
    return cls.__name__ == FAILURE_NAME and cls.__module__ == FAILURE_MODULE


def small_file(**overrides: Any) -> bytes:
    """A valid One_D complex file of 4 samples per section, with parameters."""
    options: dict[str, Any] = dict(
        params=[Param("scans", 16), Param("solvent", "CDCl3")],
        sections=[[0.5, 1.5, 2.5, 3.5], [-1.0, -2.0, -3.0, -4.0]],
    )
    options.update(overrides)
    return build_file(**options)


def standard_one_d_file() -> bytes:
    """A One_D file of 64 binary32 samples per section with the standard parameters."""
    return build_file(
        params=standard_params("One_D"),
        sections=[[float(i) for i in range(64)], [-float(i) for i in range(64)]],
        sample_bits=32,
    )


@dataclass
class Completed:
    """How a run of the `vorn` command ended: its exit status and what it wrote."""

    returncode: int
    stdout: str
    stderr: str


# The `vorn` fixture: runs the command with these arguments (and the keywords stdin and
# cwd) in this process.
Vorn = Callable[..., Completed]
