"""One file is one file: the samples of a VornFile come from the file its metadata was
read from, or the read fails; threads share one file object safely."""

from __future__ import annotations

import io
import os
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

import vorn_tools
from vorn_tools import _native
from vorn_tools.testing.vdf_writer import Header, build_file, standard_params

np = pytest.importorskip("numpy")

CHANGED = "the file changed since it was opened"


def one_d(points: int, scale: float, title: str = "a") -> bytes:
    """Files of the same size for the same points, told apart by samples and title."""
    params = standard_params("One_D", x_points=points)
    return build_file(
        header=Header(title=title),
        params=params,
        sections=[[scale * i for i in range(points)], [-scale * i for i in range(points)]],
    )


A, B = one_d(4096, 1.0), one_d(4096, 2.0)
B_TITLED = one_d(4096, 2.0, title="b")


def samples_of(content: bytes) -> Any:
    return vorn_tools.open(content).to_numpy().values


def reason_of(call: Any) -> str:
    with pytest.raises(vorn_tools.ParseError) as caught:
        call()
    return caught.value.reason


def test_contents_differ_in_samples_only_or_also_in_the_header() -> None:
    assert len(A) == len(B) == len(B_TITLED)
    assert A[:1360] == B[:1360] and A[:1360] != B_TITLED[:1360]


@pytest.mark.parametrize("other", [B, B_TITLED], ids=["samples", "header"])
def test_same_size_swap_by_rename_after_open(other: bytes, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    vf = vorn_tools.open(path)
    (tmp_path / "g.vdf").write_bytes(other)
    os.replace(tmp_path / "g.vdf", path)
    assert reason_of(vf.to_numpy) == CHANGED


def test_swap_just_before_the_native_reader_opens_for_the_samples(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # The window in which a check made before the reader's own open would pass: the
    # file is replaced after every Python-side step, right before the samples are read.
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    vf = vorn_tools.open(path)
    real = _native.samples

    def swapped_first(*args: Any) -> Any:
        (tmp_path / "g.vdf").write_bytes(B)
        os.replace(tmp_path / "g.vdf", path)
        return real(*args)

    monkeypatch.setattr(_native, "samples", swapped_first)
    assert reason_of(vf.to_numpy) == CHANGED


def test_swap_just_before_the_native_reader_opens_for_the_metadata(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Replaced between the Python-side look at the path and the reader's open: the
    # metadata and the samples are then both the new file's, never a mix.
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    real = _native.read

    def swapped_first(*args: Any) -> Any:
        (tmp_path / "g.vdf").write_bytes(B_TITLED)
        os.replace(tmp_path / "g.vdf", path)
        return real(*args)

    monkeypatch.setattr(_native, "read", swapped_first)
    vf = vorn_tools.open(path)
    monkeypatch.undo()
    assert vf.headers["title"] == "b"
    assert np.array_equal(vf.to_numpy().values, samples_of(B_TITLED))


@pytest.mark.parametrize("other", [B, B_TITLED], ids=["samples", "header"])
def test_in_place_rewrite_that_keeps_the_modification_time(other: bytes, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    before = os.stat(path)
    vf = vorn_tools.open(path)
    with open(path, "r+b") as f:
        f.write(other)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert (after.st_ino, after.st_size, after.st_mtime_ns) == (before.st_ino, before.st_size, before.st_mtime_ns)
    assert reason_of(vf.to_numpy) == CHANGED


def test_unchanged_file_is_read_again_and_again(tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    os.chmod(path, 0o644)
    vf = vorn_tools.open(path)
    for _ in range(3):
        assert np.array_equal(vf.to_numpy().values, samples_of(A))


@pytest.mark.parametrize("change", ["samples", "header", "longer", "shorter"])
def test_file_object_changed_between_open_and_to_numpy(change: str) -> None:
    file = io.BytesIO(A)
    vf = vorn_tools.open(file)
    if change == "longer":
        file.seek(0, os.SEEK_END)
        file.write(b"\0" * 8)
    elif change == "shorter":
        file.truncate(len(A) - 8)
    else:
        file.seek(0)
        file.write(B if change == "samples" else B_TITLED)
    file.seek(0)
    if change == "samples":
        # The samples alone changed: a file object has no descriptor identity, and its
        # header and parameter bytes are the same, so these samples are read.
        assert np.array_equal(vf.to_numpy().values, samples_of(B))
    else:
        assert reason_of(vf.to_numpy) == CHANGED


class SwitchingReads(io.BytesIO):
    """A file object read in Python code, so that threads switch in the middle of reads."""

    def read(self, n: Any = -1) -> bytes:
        return super().read(n)

    def seek(self, offset: int, whence: int = 0) -> int:
        return super().seek(offset, whence)


@pytest.mark.parametrize("kind", ["python", "buffered"])
def test_threads_share_one_file_object(kind: str, tmp_path: Path) -> None:
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    with open(path, "rb") as real:
        file: Any = SwitchingReads(A) if kind == "python" else real
        vf = vorn_tools.open(file)
        wanted = samples_of(A)
        wrong: list[object] = []
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:

            def work() -> None:
                for _ in range(25):
                    try:
                        got = vf.to_numpy().values
                    except BaseException as exc:  # reported below
                        wrong.append(exc)
                        continue
                    if not np.array_equal(got, wanted):
                        wrong.append("samples")

            threads = [threading.Thread(target=work) for _ in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
        assert wrong == []
        assert file.tell() == 0


class NoPosition(io.BytesIO):
    def seek(self, offset: int, whence: int = 0) -> Any:
        super().seek(offset, whence)
        return None


def test_seek_that_returns_nothing_is_refused_clearly() -> None:
    with pytest.raises(TypeError, match=r"seek\(\) returned NoneType, not the new position"):
        vorn_tools.open(NoPosition(A))


def test_xarray_lazy_variables_raise_when_the_file_changed(tmp_path: Path) -> None:
    xr = pytest.importorskip("xarray")
    path = tmp_path / "f.vdf"
    path.write_bytes(A)
    with xr.open_dataset(path, engine="vorn") as ds:
        (tmp_path / "g.vdf").write_bytes(B)
        os.replace(tmp_path / "g.vdf", path)
        with pytest.raises(vorn_tools.ParseError, match=CHANGED):
            ds["re"].values  # noqa: B018
