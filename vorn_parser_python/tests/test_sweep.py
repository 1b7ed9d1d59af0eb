"""Damaged files swept through parse(): every truncation of whole files, and seeded
random damage to bytes, block offsets and counts.

Each call must return a whole result or raise TypeError or the internal-failure
exception, nothing else, and never crash or hang. With VORN_SWEEP=full (the
AddressSanitizer run of tools/sanitize.sh) every truncation length and a few thousand
damaged files are tried; otherwise a modest sample of the same cases.
"""

from __future__ import annotations

import os
import random
import struct
import time
from pathlib import Path
from typing import Any

import pytest
import vorn_parser

from helpers import (
    AXIS_TYPES,
    DATA_POINTS,
    DATA_START,
    DIMENSION_NUMBER,
    FAILURE_NAME,
    PARAM_START,
    TOP_KEYS,
    is_parse_failure,
)
from vorn_tools.testing.vdf_writer import HEADER_SIZE, build_file, standard_params

FULL = os.environ.get("VORN_SWEEP") == "full"
DAMAGED_CASES = 4000 if FULL else 400
SEED = 20240611
EXAMPLES = Path(__file__).resolve().parents[2] / "python" / "vorn_tools" / "examples"
SHORT_READS = ("Error: failed to fill whole buffer\n", "Error: not enough bytes in reader\n")
# Far above any call on these small files, even under a sanitizer; a call that takes
# longer is treated as a hang.
SLOW_CALL = 5.0


def two_d_four_sections(little: bool) -> bytes:
    quadrants = [[[float(q * 10000 + r * 64 + c) for c in range(64)] for r in range(32)] for q in range(4)]
    return build_file(
        params=standard_params("Two_D", x_points=64, y_points=32),
        sections=quadrants,
        layout="Two_D",
        little_endian=little,
        sample_bits=32,
    )


def one_d_little() -> bytes:
    fid = [float(k % 17) - 8.0 for k in range(256)]
    return build_file(
        params=standard_params("One_D", x_points=256), sections=[fid, fid[::-1]], little_endian=True, sample_bits=64
    )


def whole_files() -> dict[str, bytes]:
    """Both layouts in both byte orders, with the digital-filter parameters."""
    return {
        "one_d.vdf (bundled, big-endian)": (EXAMPLES / "one_d.vdf").read_bytes(),
        "two_d.vdf (bundled, little-endian)": (EXAMPLES / "two_d.vdf").read_bytes(),
        "One_D little-endian": one_d_little(),
        "Two_D four sections big-endian": two_d_four_sections(False),
        "Two_D four sections little-endian": two_d_four_sections(True),
    }


FILES = whole_files()


def call(data: bytes | bytearray | list[int]) -> tuple[str, Any]:
    """parse(data) as ('dict', result) or ('TypeError' | 'ParseFailure', exception).
    Anything else fails the test, as does a call slower than SLOW_CALL."""
    start = time.perf_counter()
    try:
        result = vorn_parser.parse(data)
        outcome: tuple[str, Any] = ("dict", result)
    except TypeError as exc:
        outcome = ("TypeError", exc)
    except BaseException as exc:  # the internal-failure class is a BaseException
        if not is_parse_failure(exc):
            raise AssertionError(f"parse raised {type(exc).__qualname__}: {exc}") from exc
        outcome = (FAILURE_NAME, exc)
    elapsed = time.perf_counter() - start
    assert elapsed < SLOW_CALL, f"parse took {elapsed:.1f} s"
    if outcome[0] == "dict":
        assert type(outcome[1]) is dict and list(outcome[1]) == TOP_KEYS
    return outcome


def truncation_lengths(size: int) -> list[int]:
    if FULL:
        return list(range(size))
    # Every field of the header at a coarse step, then an even spread over the rest.
    return sorted(set(range(0, HEADER_SIZE + 64, 11)) | set(range(HEADER_SIZE, size, max(1, size // 150))) | {size - 1})


@pytest.mark.parametrize("name", list(FILES))
def test_every_truncation_fails_with_a_short_read(name: str, capfd: pytest.CaptureFixture[str]) -> None:
    data = FILES[name]
    kind, whole = call(data)
    assert kind == "dict"
    # The data section is the last block and is read to its end.
    headers = whole["headers"]
    assert headers["dataStart"] + headers["dataLength"] == len(data)

    lengths = truncation_lengths(len(data))
    for length in lengths:
        kind, exc = call(data[:length])
        assert kind == FAILURE_NAME, f"{name} cut to {length} bytes gave {kind}"
        message = str(exc)
        assert any(root in message for root in SHORT_READS), f"{name} cut to {length}: {message}"
        assert message.rstrip("-\n").rsplit("\n", 2)[-2].strip().endswith("in VornDataFile")
    capfd.readouterr()  # the diagnostics of the failures
    if FULL:
        with capfd.disabled():
            print(f"\n[sweep] {name}: {len(lengths)} truncation lengths, all short reads")


def put_u32(buf: bytearray, offset: int, value: int, little: bool = False) -> None:
    if 0 <= offset <= len(buf) - 4:
        struct.pack_into("<I" if little else ">I", buf, offset, value)


def hostile_u32(rng: random.Random, size: int) -> int:
    return rng.choice(
        [
            0,
            1,
            31,
            32,
            33,
            rng.randrange(64),
            rng.randrange(max(size, 1)),
            size + rng.randrange(-8, 9) & 0xFFFFFFFF,
            rng.randrange(1 << 16),
            rng.randrange(1 << 32),
            0x7FFFFFFF,
            0xFFFFFFE0,
            0xFFFFFFFF,
        ]
    )


def damage(rng: random.Random, data: bytes, little: bool) -> tuple[bytearray, list[str]]:
    """One to three kinds of damage: flipped bytes (mostly in the header and the
    parameter block), block offsets, counts, axis kinds, dimension number, a cut."""
    buf = bytearray(data)
    done = []
    for _ in range(rng.randint(1, 3)):
        what = rng.choice(["flip", "flip", "offset", "count", "axes", "dimension", "cut"])
        if what == "flip":
            front = min(len(buf), HEADER_SIZE + 64 * 40)
            for _ in range(rng.randint(1, 8)):
                at = rng.randrange(front) if rng.random() < 0.8 else rng.randrange(len(buf))
                buf[at] ^= rng.randrange(1, 256)
            done.append("flip")
        elif what == "offset":
            field = rng.choice([PARAM_START, DATA_START])
            value = hostile_u32(rng, len(buf))
            put_u32(buf, field, value)
            done.append(f"u32@{field}={value}")
        elif what == "count":
            param_start = struct.unpack_from(">I", buf, PARAM_START)[0] if len(buf) >= HEADER_SIZE else 0
            field, order = rng.choice([(DATA_POINTS, False), (DATA_POINTS + 4, False), (param_start + 8, little)])
            value = hostile_u32(rng, len(buf))
            put_u32(buf, field, value, order)
            done.append(f"count@{field}={value}")
        elif what == "axes" and len(buf) > AXIS_TYPES + 8:
            buf[AXIS_TYPES : AXIS_TYPES + 8] = bytes(rng.choice([0, 1, 3, 3, 4, 6]) for _ in range(8))
            done.append(f"axes={bytes(buf[AXIS_TYPES : AXIS_TYPES + 8]).hex()}")
        elif what == "dimension" and len(buf) > DIMENSION_NUMBER:
            buf[DIMENSION_NUMBER] = rng.choice([0, 1, 2, 8, 9, 255])
            done.append(f"dimension={buf[DIMENSION_NUMBER]}")
        elif what == "cut":
            del buf[rng.randrange(len(buf) + 1) :]
            done.append(f"cut={len(buf)}")
    return buf, done


def small_bases() -> dict[str, tuple[bytes, bool]]:
    """Small files in both layouts and byte orders, with and without the filter."""
    bases = {}
    for little in (False, True):
        bases[f"one_d {little}"] = (
            build_file(
                params=standard_params("One_D", x_points=8),
                sections=[[1.0] * 8, [2.0] * 8],
                little_endian=little,
                sample_bits=32,
            ),
            little,
        )
        bases[f"two_d4 {little}"] = (
            build_file(
                params=standard_params("Two_D", x_points=32, y_points=32, filter_orders=None),
                sections=[[[float(r + c) for c in range(32)] for r in range(32)]] * 4,
                layout="Two_D",
                little_endian=little,
                sample_bits=32,
            ),
            little,
        )
    bases["one_d.vdf"] = (FILES["one_d.vdf (bundled, big-endian)"], False)
    bases["two_d.vdf"] = (FILES["two_d.vdf (bundled, little-endian)"], True)
    return bases


def test_damaged_files_give_a_result_or_a_documented_exception(capfd: pytest.CaptureFixture[str]) -> None:
    rng = random.Random(SEED)
    bases = small_bases()
    names = list(bases)
    counts = {"dict": 0, "TypeError": 0, FAILURE_NAME: 0}
    for case in range(DAMAGED_CASES):
        name = rng.choice(names)
        data, little = bases[name]
        buf, done = damage(rng, data, little)
        form = rng.random()
        bad_item = False
        arg: bytes | bytearray | list[int]
        if form < 0.9:
            arg = bytes(buf)
        elif form < 0.95:
            arg = buf
        else:
            arg = list(buf)
            if arg and rng.random() < 0.3:
                arg[rng.randrange(len(arg))] = rng.choice([256, -1, 1 << 70])
                bad_item = True
        try:
            kind, _ = call(arg)
        except AssertionError as exc:
            raise AssertionError(f"case {case} (seed {SEED}): {name} damaged by {done}: {exc}") from exc
        # Only an item outside 0..255 is a TypeError; file content never is.
        assert (kind == "TypeError") == bad_item, f"case {case}: {name} {done} gave {kind}"
        counts[kind] += 1
        capfd.readouterr()  # digital-filter lines and failure diagnostics
    assert counts["dict"] > 0 and counts[FAILURE_NAME] > 0
    if FULL:
        with capfd.disabled():
            print(f"\n[sweep] {DAMAGED_CASES} damaged files: {counts}")


def test_module_still_parses_after_the_sweep() -> None:
    kind, result = call(FILES["one_d.vdf (bundled, big-endian)"])
    assert kind == "dict" and result["info"]["digitalFilter"] is not None
