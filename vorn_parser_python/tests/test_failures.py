"""Failed parses: the exception raised, its message, and a module that stays usable."""

from __future__ import annotations

import contextlib
import gc
import sys
import threading
from collections.abc import Callable
from pathlib import Path

import pytest
import vorn_parser

from helpers import FAILURE_MODULE, FAILURE_NAME, LEAD, small_file
from vorn_tools.testing.vdf_writer import HEADER_SIZE, Header, Param

ParseFailure = Callable[[bytes | str | Path], BaseException]


@pytest.fixture
def parse_failure(failure_class: type[BaseException]) -> ParseFailure:
    """parse(data) as the exception it raises, checked to be of the failure class."""

    def parse_failure(data: bytes | str | Path) -> BaseException:
        with pytest.raises(BaseException) as info:
            vorn_parser.parse(data)
        exc = info.value
        assert type(exc) is failure_class
        assert len(exc.args) == 1
        return exc

    return parse_failure


def test_failure_class_is_a_direct_base_exception_subclass(failure_class: type[BaseException]) -> None:
    assert failure_class.__name__ == FAILURE_NAME
    assert failure_class.__module__ == FAILURE_MODULE
    assert failure_class.__bases__ == (BaseException,)


def test_failed_parse_is_not_an_exception_but_a_base_exception(failure_class: type[BaseException]) -> None:
    # pytest.fail raises a BaseException too: the failure class alone is expected here.
    with pytest.raises(failure_class):
        try:
            vorn_parser.parse(b"")
        except Exception:  # must not catch it
            pytest.fail("a failed parse was caught by 'except Exception'")


def test_unopenable_paths_give_the_read_failure(tmp_path: Path, parse_failure: ParseFailure) -> None:
    for path in [str(tmp_path / "missing.vdf"), str(tmp_path) + "/a\0b"]:
        assert str(parse_failure(path)) == LEAD + "Error reading the data!"


def test_directory_fails_at_the_first_header_field(tmp_path: Path, parse_failure: ParseFailure) -> None:
    message = str(parse_failure(tmp_path))
    assert message.startswith(LEAD)
    assert "Error: Is a directory" in message
    assert "While parsing field 'file_identifier' in Headers" in message
    assert message.index("'file_identifier' in Headers") < message.index("'headers' in VornDataFile")


def test_empty_input_names_the_first_header_field_and_the_driver(parse_failure: ParseFailure) -> None:
    message = str(parse_failure(b""))
    assert "Error: not enough bytes in reader\n" in message
    assert "vorn_parser_core/src/lib/headers.cpp:" in message
    assert (
        message.rstrip("-\n")
        .rstrip()
        .endswith(
            "While parsing field 'headers' in VornDataFile\n      at vorn_parser_core/src/lib/vorn_data_file.cpp:"
            + message.rsplit(":", 1)[1].split("\n")[0]
        )
    )


def test_parameter_block_beyond_the_end_fails_in_the_parameter_step(parse_failure: ParseFailure) -> None:
    header = Header(param_start=4294967295, data_start=HEADER_SIZE)
    message = str(parse_failure(small_file(header=header, param_at=HEADER_SIZE)))
    assert "Error: failed to fill whole buffer\n    While parsing field 'parameters_size' in Parameters" in message
    assert "While parsing field 'parameters' in VornDataFile" in message


def test_internal_failures_carry_their_own_message(
    capfd: pytest.CaptureFixture[str], parse_failure: ParseFailure
) -> None:
    bad_code = small_file(params=[Param("x", 1, value_type_code=7)])
    assert str(parse_failure(bad_code)) == "code 7 has no entry in table VALUE_TYPE"
    err = capfd.readouterr().err
    assert "code 7 has no entry in table VALUE_TYPE" in err
    assert "vorn_parser_core/src/lib/" in err


def test_diagnostic_is_written_to_standard_error_before_the_raise(
    capfd: pytest.CaptureFixture[str], parse_failure: ParseFailure
) -> None:
    parse_failure(b"\0" * 5)
    err = capfd.readouterr().err
    assert err.startswith("vorn_parser: parse failed (detected at vorn_parser_python/src/lib/module.cpp:")
    assert "not enough bytes in reader" in err


def test_module_stays_usable_after_failures(small: bytes, parse_failure: ParseFailure) -> None:
    for bad in [b"", b"\0" * HEADER_SIZE, small[:-1], small_file(params=[Param("x", 1, value_type_code=9)])]:
        parse_failure(bad)
        assert vorn_parser.parse(small)["parameters"]["highIndex"] == 2


def test_parses_from_several_threads_agree(small: bytes) -> None:
    expected = vorn_parser.parse(small)
    results: list[bool] = []
    errors: list[str] = []

    def work() -> None:
        for _ in range(50):
            try:
                results.append(vorn_parser.parse(small) == expected)
                vorn_parser.parse(small[:100])
            except BaseException as exc:  # the failure class is a BaseException
                errors.append(type(exc).__name__)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 200
    assert errors == [FAILURE_NAME] * 200


def test_repeated_parses_do_not_grow_allocated_blocks(small: bytes, capfd: pytest.CaptureFixture[str]) -> None:
    bad = small[:700]

    def round_trip() -> None:
        for _ in range(500):
            vorn_parser.parse(small)
            vorn_parser.parse(list(small))
            with contextlib.suppress(BaseException):
                vorn_parser.parse(bad)
            with contextlib.suppress(TypeError):
                vorn_parser.parse([300])

    round_trip()  # warm up caches and interned objects
    gc.collect()
    before = sys.getallocatedblocks()
    round_trip()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    capfd.readouterr()
