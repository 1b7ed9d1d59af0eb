"""vorn_tools.open: metadata and arrays equal to parse() and to_numpy(parse()) of the
same bytes, from every kind of source, with failures raised where and as read_file
raises them."""

from __future__ import annotations

import contextlib
import gc
import io
import math
import os
import struct
import subprocess
import sys
import threading
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import pytest

import vorn_tools
from vorn_tools.arrays.units import value_text
from vorn_tools.testing.vdf_writer import (
    BLOCK_EDGE,
    HEADER_SIZE,
    PPM,
    Header,
    Matrix,
    Param,
    build_file,
    standard_params,
    two_d_section_bytes,
)

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vorn_tools.arrays import SpectrumArrays

np = pytest.importorskip("numpy")

EXAMPLES_DIR = Path(__file__).resolve().parents[2] / "python" / "vorn_tools" / "examples"
NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0012_3456))[0]
SPECIALS = [NAN_PAYLOAD, -0.0, math.inf, -math.inf, 5e-324, 1e-40, -2.5e-310, 1.5]


def samples(count: int, seed: int) -> list[float]:
    """`count` samples, the special values first, then distinct ordinary ones."""
    return [SPECIALS[i] if i < len(SPECIALS) else seed * 1000.0 + i * 0.25 for i in range(count)]


def one_d(points: int, sections: int, little: bool, bits: int) -> bytes:
    return build_file(
        params=standard_params("One_D", x_points=max(points, 1)),
        little_endian=little,
        sample_bits=bits,
        sections=[samples(points, s) for s in range(sections)],
    )


def two_d(x: int, y: int, sections: int, little: bool, bits: int) -> bytes:
    """A Two_D file of x columns and y rows: the stored blocks are the whole 32 x 32
    ones; the header's counts keep any remainder, which a reader drops."""
    cols, rows = x // BLOCK_EDGE * BLOCK_EDGE, y // BLOCK_EDGE * BLOCK_EDGE
    stored = [two_d_section_bytes(Matrix(samples(rows * cols, s), rows, cols), little, bits) for s in range(sections)]
    header = Header(
        data_points=[x, y, 1, 1, 1, 1, 1, 1],
        data_units=[PPM, PPM],
        data_axis_start=[10.0, 150.0],
        data_axis_stop=[0.0, 5.0],
        data_axis_titles=["H", "C"],
    )
    return build_file(
        header=header,
        params=standard_params("Two_D", x_points=max(x, 1), y_points=max(y, 1)),
        layout="Two_D",
        little_endian=little,
        sample_bits=bits,
        sections=stored,
    )


SHAPES: list[tuple[str, int, Any]] = [
    ("One_D", 2, 40),
    ("One_D", 4, 33),
    ("One_D", 2, 0),
    ("One_D", 2, 1),
    ("Two_D", 2, (64, 64)),
    ("Two_D", 4, (96, 32)),
    ("Two_D", 2, (70, 45)),
    ("Two_D", 4, (45, 70)),
    ("Two_D", 2, (31, 64)),
    ("Two_D", 4, (64, 31)),
    ("Two_D", 2, (0, 0)),
]
SWEEP = {
    f"{layout}-{n}x{size}-{'le' if little else 'be'}-{bits}": (
        one_d(size, n, little, bits) if layout == "One_D" else two_d(size[0], size[1], n, little, bits)
    )
    for layout, n, size in SHAPES
    for little in (False, True)
    for bits in (32, 64)
}
SWEEP.update({p.stem: p.read_bytes() for p in sorted(EXAMPLES_DIR.glob("*.vdf"))})
SMALL = SWEEP["Two_D-4x(96, 32)-le-32"]


def canonical(value: object) -> object:
    """A value with every float replaced by its bits and dict order kept, so that ==
    compares NaNs, -0.0, key order and types exactly."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, complex):
        return ("complex", canonical(value.real), canonical(value.imag))
    if isinstance(value, dict):
        return ("dict", [(k, canonical(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canonical(v) for v in value])
    return (type(value).__name__, value)


def bits(array: NDArray[Any]) -> Any:
    assert array.dtype in (np.float64, np.complex128)
    return np.ascontiguousarray(array).view(np.uint64)


def assert_same_arrays(got: SpectrumArrays, want: SpectrumArrays) -> None:
    assert (got.layout, type(got.mixed), len(got.axes)) == (want.layout, type(want.mixed), len(want.axes))
    pairs: list[tuple[Any, Any]] = [(got.values, want.values)]
    pairs += [(got.mixed, want.mixed)] if want.mixed is not None else []
    pairs += [(g.values, w.values) for g, w in zip(got.axes, want.axes, strict=True)]
    for g, w in pairs:
        assert g.shape == w.shape and g.dtype == w.dtype
        assert np.array_equal(bits(g), bits(w))
    assert [(a.unit, a.title) for a in got.axes] == [(a.unit, a.title) for a in want.axes]


def assert_matches(vf: vorn_tools.VornFile, content: bytes) -> None:
    document = vorn_tools.read_file(content)
    assert canonical([vf.headers, vf.parameters, vf.info]) == canonical(
        [document["headers"], document["parameters"], document["info"]]
    )
    assert_same_arrays(vf.to_numpy(), vorn_tools.to_numpy(document))


def reason_of(call: Callable[[], object]) -> str:
    with pytest.raises(vorn_tools.ParseError) as caught:
        call()
    return caught.value.reason


@pytest.mark.parametrize("name", sorted(SWEEP))
def test_equal_to_parse_over_the_sweep(name: str, capfd: pytest.CaptureFixture[str]) -> None:
    content = SWEEP[name]
    capfd.readouterr()
    with vorn_tools.open(content) as vf:
        arrays = vf.to_numpy()
    assert capfd.readouterr().out == ""  # standard_params has digital-filter parameters
    with vorn_tools.open(content) as vf:
        assert_matches(vf, content)
        assert set(vf.sections()) == ({"re", "im"} if arrays.mixed is None else {"re", "im", "re_im", "im_re"})


def fifo_result(tmp_path: Path, content: bytes) -> tuple[int, str]:
    """Opens a named pipe, filled and held open for writing, in a child process."""
    path = tmp_path / "pipe.vdf"
    (tmp_path / "content.vdf").write_bytes(content)
    code = (
        "import os, sys, vorn_tools, numpy as np\n"
        "p = sys.argv[1]; os.mkfifo(p); fd = os.open(p, os.O_RDWR)\n"
        "os.write(fd, open(sys.argv[2], 'rb').read())\n"
        "a = vorn_tools.open(p).to_numpy()\n"
        "b = vorn_tools.to_numpy(vorn_tools.read_file(sys.argv[2]))\n"
        "print(np.array_equal(a.values.view(np.uint64), b.values.view(np.uint64)), a.values.shape)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, str(path), str(tmp_path / "content.vdf")],
        capture_output=True,
        text=True,
        timeout=30,
    )
    return out.returncode, out.stdout.strip()


SOURCES: dict[str, Callable[[bytes, Path, list[IO[bytes]]], Any]] = {
    "str": lambda c, p, stack: str(p),
    "Path": lambda c, p, stack: p,
    "bytes": lambda c, p, stack: c,
    "bytearray": lambda c, p, stack: bytearray(c),
    "memoryview": lambda c, p, stack: memoryview(c),
    "BytesIO": lambda c, p, stack: io.BytesIO(c),
    "opened file": lambda c, p, stack: kept(stack, open(p, "rb")),  # noqa: SIM115 - closed by the test
    "zip member": lambda c, p, stack: kept(stack, zip_member(p, c)),
}


def kept(stack: list[IO[bytes]], file: IO[bytes]) -> IO[bytes]:
    """`file`, noted in `stack` for the test to close."""
    stack.append(file)
    return file


def zip_member(path: Path, content: bytes) -> IO[bytes]:
    archive = path.with_suffix(".zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("member.vdf", content)
    return zipfile.ZipFile(archive).open("member.vdf")


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("name", ["two_d", "Two_D-4x(96, 32)-le-32", "One_D-4x33-be-64"])
def test_every_source_kind(kind: str, name: str, tmp_path: Path) -> None:
    content = SWEEP[name]
    path = tmp_path / "file.vdf"
    path.write_bytes(content)
    opened: list[IO[bytes]] = []
    try:
        with vorn_tools.open(SOURCES[kind](content, path, opened)) as vf:
            assert_matches(vf, content)
    finally:
        for f in opened:
            f.close()


@pytest.mark.parametrize("name", ["one_d", "Two_D-4x(64, 31)-be-64"])
def test_named_pipe_held_open(name: str, tmp_path: Path) -> None:
    returncode, out = fifo_result(tmp_path, SWEEP[name])
    assert returncode == 0 and out.startswith("True"), out


@pytest.mark.parametrize("kind", ["path", "bytes"])
def test_arrays_outlive_the_file(kind: str, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(SMALL)
    want = vorn_tools.to_numpy(vorn_tools.read_file(SMALL))
    vf = vorn_tools.open(path if kind == "path" else bytes(SMALL))
    first, second = vf.to_numpy(), vf.to_numpy()
    vf.close()
    del vf
    path.unlink()
    gc.collect()
    assert first.mixed is not None
    assert first.values.flags.writeable and first.mixed.flags.writeable
    assert_same_arrays(second, want)
    first.values[...] = 7.0
    first.mixed[...] = 7.0
    assert_same_arrays(second, want)


def test_bytearray_changed_after_open_does_not_reach_the_arrays() -> None:
    buffer = bytearray(SMALL)
    vf = vorn_tools.open(buffer)
    buffer[len(buffer) // 2 :] = bytes(len(buffer) - len(buffer) // 2)
    assert_same_arrays(vf.to_numpy(), vorn_tools.to_numpy(vorn_tools.read_file(SMALL)))


@pytest.mark.parametrize("kind", ["path", "bytes"])
@pytest.mark.parametrize("cut, at_open", [(100, True), (HEADER_SIZE + 40, True), (-8, False), (-4096, False)])
def test_cut_files_fail_where_and_as_read_file_does(kind: str, cut: int, at_open: bool, tmp_path: Path) -> None:
    content = SMALL[:cut]
    path = tmp_path / "cut.vdf"
    path.write_bytes(content)
    source = path if kind == "path" else content
    want = reason_of(lambda: vorn_tools.read_file(source))
    if at_open:
        assert reason_of(lambda: vorn_tools.open(source)) == want
    else:
        vf = vorn_tools.open(source)
        assert reason_of(vf.to_numpy) == want


def open_fds() -> list[str]:
    return sorted(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "content", [SMALL, SMALL[:-8], SMALL[:200], b""], ids=["whole", "data cut", "header cut", "empty"]
)
def test_no_descriptor_left_open(content: bytes, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(content)
    before = open_fds()
    for _ in range(3):
        with contextlib.suppress(vorn_tools.ParseError):
            vorn_tools.open(path).to_numpy()
    gc.collect()
    assert open_fds() == before


class ShortReads(io.BytesIO):
    def read(self, n: Any = -1) -> bytes:
        return super().read(min(n, 7) if n >= 0 else 7)


class Failing(io.BytesIO):
    """Reads fail from the `after`-th call on; `result` makes a read return that instead."""

    def __init__(self, content: bytes, after: int, result: Callable[[int], object] | None = None) -> None:
        super().__init__(content)
        self.after, self.result, self.calls = after, result, 0

    def read(self, n: Any = -1) -> Any:
        self.calls += 1
        if self.calls <= self.after:
            return super().read(n)
        if self.result is None:
            raise OSError(5, "disk gone")
        return self.result(n)


def test_short_reads() -> None:
    with vorn_tools.open(ShortReads(SMALL)) as vf:
        assert_matches(vf, SMALL)


@pytest.mark.parametrize(
    "result, error, message",
    [
        (None, OSError, "disk gone"),
        (lambda n: "x" * n, ValueError, "did not return bytes"),
        (lambda n: b"x" * (n + 1), ValueError, "more bytes than asked"),
    ],
)
@pytest.mark.parametrize("after", [0, "metadata"])
def test_bad_file_objects_raise_their_error(
    result: Callable[[int], object] | None, error: type[Exception], message: str, after: int | str
) -> None:
    if after == "metadata":  # count the reads that opening takes, then fail the data reads
        counter = Failing(SMALL, 10**9)
        vorn_tools.open(counter)
        after = counter.calls
    assert isinstance(after, int)
    file = Failing(SMALL, after, result)
    with pytest.raises(error, match=message):
        vorn_tools.open(file).to_numpy()


@pytest.mark.parametrize("change", ["append", "touch", "replace"])
def test_file_changed_on_disk(change: str, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(SMALL)
    vf = vorn_tools.open(path)
    if change == "append":
        with open(path, "ab") as f:
            f.write(b"\0")
    elif change == "touch":
        st = os.stat(path)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    else:
        (tmp_path / "g.vdf").write_bytes(SMALL)
        os.replace(tmp_path / "g.vdf", path)
    assert reason_of(vf.to_numpy) == "the file changed since it was opened"


def test_threads_each_reading_their_own_files(tmp_path: Path) -> None:
    names = sorted(SWEEP)[::3]
    paths = []
    for i, name in enumerate(names):
        paths.append(tmp_path / f"{i}.vdf")
        paths[-1].write_bytes(SWEEP[name])
    wanted = [vorn_tools.to_numpy(vorn_tools.read_file(SWEEP[n])) for n in names]
    failures: list[BaseException] = []

    def work(offset: int) -> None:
        try:
            for k in range(len(names) * 3):
                i = (k + offset) % len(names)
                source = paths[i] if k % 2 else SWEEP[names[i]]
                assert_same_arrays(vorn_tools.open(source).to_numpy(), wanted[i])
        except BaseException as exc:  # reported below
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# Values whose text is easy to get wrong: shortest round trip, exponents, signed
# zeros, non-finite values, the extremes of 32-bit integers, complex signs.
_TRICKY_VALUES: list[str | int | float | complex] = [
    0.1,
    1e-05,
    1e16,
    123456789.0,
    -0.0,
    float("inf"),
    float("-inf"),
    float("nan"),
    5e-324,
    2**31 - 1,
    -(2**31),
    0,
    "",
    "text",
    complex(1.5, -0.0),
    complex(-2.0, 0.0),
    complex(float("nan"), float("-inf")),
    complex(0.1, -3e-300),
]


@pytest.mark.parametrize(
    "content",
    [
        (EXAMPLES_DIR / "one_d.vdf").read_bytes(),
        (EXAMPLES_DIR / "two_d.vdf").read_bytes(),
        build_file(sections=[[1.0], [2.0]]),  # no parameters
        build_file(params=[Param(f"p{i}", value) for i, value in enumerate(_TRICKY_VALUES)], sections=[[1.0], [2.0]]),
    ],
    ids=["one_d", "two_d", "no parameters", "tricky values"],
)
def test_parameter_columns_are_the_parameter_dicts_by_column(content: bytes) -> None:
    with vorn_tools.open(content) as f:
        names, kinds, texts, floats, unit_index, units = f.parameter_columns()
        params = f.parameters["paramArray"]
    assert names == [p["name"] for p in params]
    assert kinds == [p["valueType"] for p in params]
    assert texts == [value_text(p["value"]) for p in params]
    expected_floats = [
        float(p["value"]) if type(p["value"]) is int or type(p["value"]) is float else None for p in params
    ]
    assert [repr(v) for v in floats] == [repr(v) for v in expected_floats]  # nan and -0.0 too
    assert len(set(units)) == len(units)
    assert [units[i] if i >= 0 else None for i in unit_index] == [
        (p["unit"][0]["prefix"], p["unit"][0]["power"], p["unit"][0]["base"]) if p["unit"] else None for p in params
    ]
