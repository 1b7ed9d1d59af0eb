"""Interpreter allocations made to fail, one position of a parse() call at a time.

_testcapi.set_nomemory(start, stop) lets the first `start` allocations succeed and
fails the following ones up to `stop` (0: all of them). For each input, every
allocation position of the call is tried, failing that allocation alone and failing
it and all after it. Each attempt must return the whole result or raise (MemoryError,
the internal-failure exception "Python API call failed", the input's own exception,
or the TypeError of input classification naming the MemoryError that stopped an
alternative); nothing partial comes back, nothing leaks, and the next call works.

Marked `slow` (thousands of calls): tools/run_tests.sh runs it after the other tests.
"""

from __future__ import annotations

import gc
import sys
from collections.abc import Iterator
from pathlib import Path
from types import TracebackType
from typing import Any

import pytest
import vorn_parser

from helpers import is_parse_failure, small_file
from vorn_tools.testing.vdf_writer import HEADER_SIZE, digital_filter_params

pytestmark = pytest.mark.slow

_testcapi = pytest.importorskip("_testcapi", reason="this interpreter was built without _testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("_testcapi has no set_nomemory in this interpreter", allow_module_level=True)

API_FAILED = "Python API call failed"
# A parse of these small inputs makes a few hundred allocations.
MAX_POSITIONS = 20000
# This many positions in a row with the normal outcome mean the failure now falls
# after the call's last allocation.
END_RUN = 50
FREE_LIST_DEPTH = 128
WARM_WALKS = 2
MEASURED_WALKS = 2


def outcome(arg: Any) -> object:
    try:
        return vorn_parser.parse(arg)
    except BaseException as exc:  # the internal-failure class is a BaseException
        return exc


def drain_free_lists() -> list[object]:
    """Takes every float, list, dict and small dict-keys object out of the
    interpreter's free lists (at most 100, 80, 80 and 80 deep) and holds them, so
    that the call allocates these objects, and can fail to, instead of reusing them."""
    return [[i + 0.5, [], {"k": i}] for i in range(FREE_LIST_DEPTH)]


def attempt(arg: Any, position: int, persistent: bool) -> object:
    """parse(arg) with allocation number position + 1 failing (and, if persistent,
    every one after it)."""
    held = drain_free_lists()
    _testcapi.set_nomemory(position, 0 if persistent else position + 1)
    try:
        return outcome(arg)
    finally:
        _testcapi.remove_mem_hooks()
        del held


def same_outcome(got: object, expected: object) -> bool:
    if isinstance(expected, BaseException):
        return type(got) is type(expected) and (isinstance(got, TypeError) or str(got) == str(expected))
    return type(got) is dict and got == expected


def acceptable(got: object, expected: object) -> bool:
    if same_outcome(got, expected):
        return True
    if isinstance(got, MemoryError):
        return True
    if isinstance(got, TypeError) and "caused by MemoryError" in str(got):
        return True  # input classification reports the failed alternative's cause
    return is_parse_failure(got) and str(got) == API_FAILED


def forget_printed_errors() -> None:
    """PyErr_Print keeps the last printed exception in sys; it is no leak of ours."""
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        sys.__dict__.pop(name, None)


def discard_printed_error(exc_type: type[BaseException], exc: BaseException, tb: TracebackType | None) -> None:
    """sys.excepthook for the walks. On a failed API call the module prints the error
    with PyErr_Print, which hands it to sys.excepthook. From CPython 3.13 the default
    hook formats it in Python (traceback._print_exception_bltin), and under injected
    allocation failures that code leaves interpreter-held blocks behind that are no
    part of the module (measured: ~1 block per failing call with the default hook,
    none with this one, on 3.13.0; none either way on 3.12). The module's own
    allocations are still all counted."""


def live_blocks() -> int:
    forget_printed_errors()
    gc.collect()
    return sys.getallocatedblocks()


# pymalloc's block counter; PYTHONMALLOC=malloc (the AddressSanitizer run) leaves it
# at 0, and there LeakSanitizer looks for leaks instead.
COUNTING = sys.getallocatedblocks() > 0


def inputs(tmp_path: Path) -> dict[str, Any]:
    filtered = small_file(params=digital_filter_params([12, 10], [8, 4], x_sweep=2.0, x_acq_time=0.5, x_points=5))
    path = tmp_path / "small.vdf"
    path.write_bytes(small_file())
    return {
        "bytes": small_file(),
        "bytes with the digital filter": filtered,
        "bytes, four sections": small_file(sections=[[0.5, 1.5]] * 4),
        "list of ints": list(small_file()),
        "path str": str(path),
        "truncated (read error)": small_file()[:700],
        "bad code (internal failure)": small_file()[:HEADER_SIZE] + b"\xff" * 200,
        "int (TypeError)": 42,
        "list with 256 (TypeError)": [1, 2, 256],
    }


def walk(name: str, arg: Any, expected: object, persistent: bool, capfd: pytest.CaptureFixture[str]) -> tuple[int, int]:
    """Fails each allocation position of parse(arg) in turn; returns the number of
    positions and how many of them made the call raise."""
    raised = unchanged_run = 0
    for position in range(MAX_POSITIONS):
        got = attempt(arg, position, persistent)
        assert acceptable(got, expected), f"{name}: failing allocation {position + 1} gave {got!r}"
        # The module stays usable and gives exactly what it gave before.
        assert same_outcome(outcome(arg), expected), f"{name}: call after position {position}"
        capfd.readouterr()
        if same_outcome(got, expected):
            unchanged_run += 1
            if unchanged_run == END_RUN:
                return position + 1 - END_RUN, raised  # past the call's last allocation
        else:
            raised += 1
            unchanged_run = 0
    pytest.fail(f"{name}: still failing at position {MAX_POSITIONS}")


@pytest.fixture
def no_automatic_gc() -> Iterator[None]:
    """Automatic garbage collection off for the walks: a collection started by an
    allocation while failures are injected would run the finalizers of other tests'
    objects, whose own MemoryError Python can only report as unraisable. The walks
    collect explicitly where they count blocks."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.mark.parametrize("persistent", [False, True], ids=["one failure", "all from there on"])
def test_each_allocation_failure_raises_cleanly_and_leaks_nothing(
    tmp_path: Path,
    persistent: bool,
    capfd: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    no_automatic_gc: None,
) -> None:
    monkeypatch.setattr(sys, "excepthook", discard_printed_error)
    report: dict[str, tuple[int, int, int | None]] = {}
    for name, arg in inputs(tmp_path).items():
        expected = outcome(arg)
        positions, raised = walk(name, arg, expected, persistent, capfd)
        assert raised > 0, f"{name}: no injected failure changed the outcome"
        grown = None
        if COUNTING:
            # The first walks also settle interned names, caches and free lists. A
            # leak at any position then adds at least one block on each walk measured.
            for _ in range(WARM_WALKS - 1):
                walk(name, arg, expected, persistent, capfd)
            before = live_blocks()
            for _ in range(MEASURED_WALKS):
                # Nothing made by the measured walks outlives them, not even their counts.
                assert walk(name, arg, expected, persistent, capfd) == (positions, raised)
            grown = live_blocks() - before
            assert grown < MEASURED_WALKS, f"{name}: {grown} blocks more after {MEASURED_WALKS} walks"
        report[name] = (positions, raised, grown)
    with capfd.disabled():
        print(
            f"\n[allocation failures, {'persistent' if persistent else 'single'}] "
            "input: (positions tried, calls that raised, blocks grown)",
            report,
        )
