"""Fixtures: small valid files made by the test-side writer, and the failure class."""

from __future__ import annotations

from pathlib import Path

import pytest
import vorn_parser

from helpers import is_parse_failure, small_file, standard_one_d_file


@pytest.fixture
def small() -> bytes:
    return small_file()


@pytest.fixture
def small_path(tmp_path: Path, small: bytes) -> Path:
    path = tmp_path / "small.vdf"
    path.write_bytes(small)
    return path


@pytest.fixture
def standard_one_d() -> bytes:
    return standard_one_d_file()


@pytest.fixture(scope="session")
def failure_class() -> type[BaseException]:
    """The class of the exception a failed parse raises, taken from a failed parse."""
    try:
        vorn_parser.parse(b"")
    except BaseException as exc:  # the failure class derives from BaseException
        assert is_parse_failure(exc), repr(exc)
        return type(exc)
    pytest.fail("an empty input parsed")
