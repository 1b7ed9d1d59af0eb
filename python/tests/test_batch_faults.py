"""Batch runs against the faults of real machines and archives: workers that die while
sending, stop, or never start; user files in the output folders; outputs over inputs;
file names that are not UTF-8; relative paths on a cluster; temporaries of killed runs;
Ctrl-C during a run."""

from __future__ import annotations

import io
import json
import multiprocessing
import multiprocessing.connection
import multiprocessing.resource_tracker
import multiprocessing.spawn
import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, BinaryIO

import pytest

from helpers import Vorn
from vorn_tools.archive import batch, datasets, planning
from vorn_tools.archive import pool as workers
from vorn_tools.exports import atomic
from vorn_tools.exports import parquet_rows as archive_rows
from vorn_tools.reading.documents import example_path

HANG_GUARD = 120  # seconds; only so that a broken run fails instead of hanging


def example_bytes(name: str = "one_d") -> bytes:
    return example_path(name).read_bytes()


def within_guard[T](function: Callable[[], T]) -> T:
    """The function's result; fails the test (instead of hanging it) after HANG_GUARD."""
    values: list[T] = []
    errors: list[BaseException] = []

    def target() -> None:
        try:
            values.append(function())
        except BaseException as exc:  # handed to the test
            errors.append(exc)

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(HANG_GUARD)
    assert not thread.is_alive(), f"no result in {HANG_GUARD} s: the run hangs"
    if errors:
        raise errors[0]
    return values[0]


def folder_of(tmp_path: Path, names: list[str], content: bytes | None = None) -> Path:
    folder = tmp_path / "in"
    folder.mkdir()
    for name in names:
        (folder / name).write_bytes(example_bytes() if content is None else content)
    return folder


def leftovers(*folders: Path) -> list[Path]:
    return [path for folder in folders if folder.exists() for path in folder.rglob(".vorn-*.part")]


# --- workers that die, stop or never start --------------------------------------------


def _half_send_then_die(self: multiprocessing.connection.Connection, buf: bytes) -> None:
    os.write(self.fileno(), bytes(buf[: max(1, len(buf) // 2)]))
    os.kill(os.getpid(), signal.SIGKILL)


def dies_while_sending(source: str, target: str, fmt: str) -> str | None:
    """Stands in for batch.convert_file in a worker: converts, then on files named
    *kill* dies half-way through sending the result."""
    result = batch.convert_file(source, target, fmt)
    if "kill" in Path(source).name:
        setattr(multiprocessing.connection.Connection, "_send", _half_send_then_die)  # noqa: B010
    return result


def rows_dying_while_sending(jobs: list[tuple[str, str]], with_data: bool) -> Any:
    """Stands in for archive_rows.read_rows in a worker, dying as dies_while_sending."""
    result = archive_rows.read_rows(jobs, with_data)
    if any("kill" in rel for _, rel in jobs):
        setattr(multiprocessing.connection.Connection, "_send", _half_send_then_die)  # noqa: B010
    return result


def test_a_worker_killed_while_it_sends_costs_its_file_alone(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    folder = folder_of(tmp_path, ["a.vdf", "b.vdf", "kill.vdf", "c.vdf", "d.vdf"])
    monkeypatch.setattr(batch, "convert_file", dies_while_sending)
    out = tmp_path / "out"
    outcomes = within_guard(lambda: batch.convert_folder(folder, "json", out_dir=out, workers=2))
    errors = {outcome.source.name: outcome.error for outcome in outcomes}
    assert [name for name, error in errors.items() if error is None] == ["a.vdf", "b.vdf", "c.vdf", "d.vdf"]
    assert "died on this file twice (killed by SIGKILL" in (errors["kill.vdf"] or "")
    assert leftovers(out) == []

    # The Parquet road: the dying worker's chunk is converted again file by file.
    monkeypatch.setattr(archive_rows, "read_rows", rows_dying_while_sending)
    outcomes = within_guard(lambda: datasets.convert_folder_to_parquet(folder, tmp_path / "ds", workers=2))
    assert {o.source.name for o in outcomes if o.error} == {"kill.vdf"}
    pq = pytest.importorskip("pyarrow.parquet")
    assert pq.read_table(tmp_path / "ds" / "part-00000.parquet").column("path").to_pylist() == [
        "a.vdf",
        "b.vdf",
        "c.vdf",
        "d.vdf",
    ]
    assert pq.read_table(tmp_path / "ds.errors.parquet").column("path").to_pylist() == ["kill.vdf"]


def dies_once(source: str, target: str, fmt: str) -> str | None:
    """Dies the first time it meets a file named *kill* (a mark beside the target
    remembers it), converts it the second time."""
    mark = Path(target + ".tried")
    if "kill" in Path(source).name and not mark.exists():
        mark.touch()
        os.kill(os.getpid(), signal.SIGKILL)
    return batch.convert_file(source, target, fmt)


def stops_itself(source: str, target: str, fmt: str) -> str | None:
    if "kill" in Path(source).name:
        os.kill(os.getpid(), signal.SIGSTOP)
    return batch.convert_file(source, target, fmt)


def test_a_file_whose_worker_dies_once_is_retried_and_a_stopped_worker_is_ended(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    folder = folder_of(tmp_path, ["a.vdf", "kill.vdf", "b.vdf"])
    monkeypatch.setattr(batch, "convert_file", dies_once)
    outcomes = within_guard(lambda: batch.convert_folder(folder, "json", out_dir=tmp_path / "once", workers=2))
    assert [outcome.error for outcome in outcomes] == [None, None, None]
    assert (tmp_path / "once" / "kill.json").is_file()

    monkeypatch.setattr(batch, "convert_file", stops_itself)
    monkeypatch.setattr(workers, "STUCK_SECONDS", 0.3)
    said = io.StringIO()
    outcomes = within_guard(
        lambda: batch.convert_folder(folder, "json", out_dir=tmp_path / "stopped", workers=2, progress=said)
    )
    errors = {outcome.source.name: outcome.error for outcome in outcomes}
    assert errors["a.vdf"] is None and errors["b.vdf"] is None
    assert "died on this file twice (killed by SIGKILL" in (errors["kill.vdf"] or "")
    assert said.getvalue().count("was stopped") == 2


def test_workers_that_cannot_start_are_named_as_such(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, vorn: Vorn
) -> None:
    folder = folder_of(tmp_path, ["a.vdf", "b.vdf"])
    multiprocessing.resource_tracker.ensure_running()  # started from the real interpreter
    false = "/bin/false"
    monkeypatch.setattr(
        multiprocessing.spawn,
        "_python_exe",
        os.fsencode(false) if isinstance(multiprocessing.spawn.get_executable(), bytes) else false,
    )
    result = within_guard(lambda: vorn("--batch", folder, "--out", tmp_path / "out"))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(
        "vorn: error: cannot start worker processes (3 tried; the "
        "last: the worker ended before it was ready: exit status 1)"
    )
    assert "crashed" not in result.stderr and "Traceback" not in result.stderr


def test_large_results_pass_through_the_spool_and_raised_errors_are_reasons(tmp_path: Path) -> None:
    """Results above a pipe's atomic size travel as spool files (removed when taken);
    a task that raises gives its job a reason."""
    got: dict[int, Any] = {}
    lost: dict[int, str] = {}
    pool = workers.WorkerPool(2, lambda n: (_payload, n), got.__setitem__, lost.__setitem__, print)
    within_guard(lambda: pool.run([1, 2, 3, 200_000]))
    assert got == {1: b"x", 2: b"xx", 200_000: b"x" * 200_000}
    assert lost == {3: "the conversion failed: ValueError: three is refused"}
    assert not Path(pool.spool).exists()


def _payload(n: int) -> bytes:
    if n == 3:
        raise ValueError("three is refused")
    return b"x" * n


# --- outputs that would destroy -------------------------------------------------------


def test_a_folder_of_user_files_is_not_a_dataset_and_stays_untouched(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("pyarrow")
    folder = folder_of(tmp_path, ["a.vdf"])
    out = tmp_path / "ds"
    out.mkdir()
    (out / "part-final-results.parquet").write_bytes(b"precious")
    result = vorn("--batch", folder, "--to", "parquet", "--out", out)
    assert result.returncode == 2
    assert "holds files that this conversion did not write" in result.stderr
    assert "part-final-results.parquet" in result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["part-final-results.parquet"]
    # An errors table in the way that is not one of ours: the same.
    (out / "part-final-results.parquet").unlink()
    (tmp_path / "ds.errors.parquet").write_bytes(b"precious")
    assert vorn("--batch", folder, "--to", "parquet", "--out", out).returncode == 2
    assert (tmp_path / "ds.errors.parquet").read_bytes() == b"precious" and list(out.iterdir()) == []


def test_a_rerun_removes_only_the_parts_it_wrote_and_keeps_a_dataset_when_nothing_converts(
    tmp_path: Path, vorn: Vorn, monkeypatch: pytest.MonkeyPatch
) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    from vorn_tools.exports import parquet

    folder = folder_of(tmp_path, ["a.vdf", "b.vdf", "c.vdf"])
    out = tmp_path / "ds"
    monkeypatch.setattr(parquet, "PART_BYTES", 1)  # a part per row group
    monkeypatch.setattr(parquet, "ROW_GROUP_ROWS", 1)
    assert vorn("--batch", folder, "--to", "parquet", "--out", out, "--jobs", "1").returncode == 0
    assert sorted(p.name for p in out.iterdir()) == ["part-00000.parquet", "part-00001.parquet", "part-00002.parquet"]
    assert all(parquet.is_marked(part) for part in out.iterdir()) and parquet.is_marked(parquet.errors_path(out))

    (folder / "c.vdf").unlink()
    assert vorn("--batch", folder, "--to", "parquet", "--out", out, "--jobs", "1").returncode == 0
    assert sorted(p.name for p in out.iterdir()) == ["part-00000.parquet", "part-00001.parquet"]

    # A part of the right name that this conversion did not write is not removed.
    (out / "part-00009.parquet").write_bytes(b"precious")
    result = vorn("--batch", folder, "--to", "parquet", "--out", out)
    assert result.returncode == 2 and (out / "part-00009.parquet").read_bytes() == b"precious"
    (out / "part-00009.parquet").unlink()

    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "a.vdf").write_bytes(example_bytes()[:100])
    result = vorn("--batch", broken, "--to", "parquet", "--out", out)
    assert result.returncode == 1
    assert f"no file converted: the dataset in {out} is left as it was" in result.stderr
    assert "listed in" not in result.stderr
    rows = [
        pq.read_table(out / name).column("path").to_pylist() for name in ("part-00000.parquet", "part-00001.parquet")
    ]
    assert rows == [["a.vdf"], ["b.vdf"]]


def test_temporaries_of_dead_processes_are_removed_those_of_live_ones_kept(tmp_path: Path) -> None:
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    stale = tmp_path / f".vorn-{gone.pid}-0123abcd.part"
    live = tmp_path / f".vorn-{os.getppid()}-0123abcd.part"
    odd = tmp_path / f".vorn-{gone.pid}-0123abcd.part.keep"
    for path in (stale, live, odd):
        path.write_bytes(b"x" * 1000)
    (tmp_path / f".vorn-{gone.pid}-feedf00d.part").mkdir()  # a spool folder
    assert sorted(p.name for p in atomic.remove_stale(tmp_path)) == sorted(
        [stale.name, f".vorn-{gone.pid}-feedf00d.part"]
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([live.name, odd.name])


def test_single_file_outputs_are_atomic_and_never_replace_their_input(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("numpy")
    from vorn_tools.exports.jcamp import write_jcamp

    data = tmp_path / "f.vdf"
    data.write_bytes(example_bytes())
    link = tmp_path / "link.jdx"
    link.symlink_to(data)
    for output in (data, link):
        result = vorn(data, "--to", "jcamp", "-o", output)
        assert result.returncode == 2 and "is the input file; it is not written over" in result.stderr
    with pytest.raises(atomic.ReplacesInput):
        write_jcamp(str(data), data)
    if pytest.importorskip("matplotlib"):
        result = vorn(data, "--plot", tmp_path / "f.png")  # fine
        assert result.returncode == 0
        png = tmp_path / "x.png"
        png.write_bytes(example_bytes())
        result = vorn(png, "--plot", png)
        assert result.returncode == 2 and png.read_bytes() == example_bytes()
    assert data.read_bytes() == example_bytes()

    # A write that fails half-way leaves the old file and no temporary.
    target = tmp_path / "old.jdx"
    target.write_text("old")

    def fails(file: BinaryIO) -> None:
        file.write(b"new, half")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space"):
        atomic.write_atomically(target, fails)
    assert target.read_text() == "old" and leftovers(tmp_path) == []
    write_jcamp(str(data), target)
    assert target.read_text().startswith("##TITLE=")


def test_batch_outputs_replace_only_what_the_conversion_wrote(tmp_path: Path, vorn: Vorn) -> None:
    folder = folder_of(tmp_path, ["a.vdf", "b.vdf"])
    (folder / "b.json").write_text('{"my": "notes"}')
    result = vorn("--batch", folder)
    assert result.returncode == 2
    assert result.stderr == (
        f"vorn: error: {folder / 'b.json'} exists and was not written by a conversion to json; "
        f"the output of {folder / 'b.vdf'} would replace it; nothing converted (give another "
        "--out, or --overwrite to replace it)\n"
    )
    assert not (folder / "a.json").exists() and (folder / "b.json").read_text() == '{"my": "notes"}'
    assert vorn("--batch", folder, "--overwrite").returncode == 0
    assert json.loads((folder / "b.json").read_text())["headers"]["fileIdentifier"]
    assert vorn("--batch", folder).returncode == 0  # its own outputs of an earlier run


# --- names and paths ------------------------------------------------------------------

ODD = os.fsdecode(b"x\xff.vdf")


def test_a_name_that_is_not_utf8_converts_everywhere(tmp_path: Path, vorn: Vorn) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    folder = folder_of(tmp_path, ["plain.vdf", ODD])
    (folder / os.fsdecode(b"bad\xfe.vdf")).write_bytes(b"not a data file" * 10)
    assert vorn("--batch", folder, "--to", "parquet", "--out", tmp_path / "ds").returncode == 1
    rows = pq.read_table(tmp_path / "ds" / "part-00000.parquet", columns=["path", "path_bytes"]).to_pylist()
    assert rows == [
        {"path": "plain.vdf", "path_bytes": b"plain.vdf"},
        {"path": "x\\xff.vdf", "path_bytes": b"x\xff.vdf"},
    ]
    errors = pq.read_table(tmp_path / "ds.errors.parquet").to_pylist()
    assert [(e["path"], e["path_bytes"]) for e in errors] == [("bad\\xfe.vdf", b"bad\xfe.vdf")]

    assert vorn("--batch", folder, "--pattern", "[px]*", "--out", tmp_path / "json").returncode == 0
    assert sorted(os.listdir(os.fsencode(tmp_path / "json"))) == [b"plain.json", b"x\xff.json"]

    pytest.importorskip("dask.dataframe")
    from vorn_tools.dask import read_info

    frame = read_info([folder / ODD]).compute(scheduler="synchronous")  # type: ignore[no-untyped-call]
    assert frame["path"].tolist() == [str(folder / "x\\xff.vdf")]
    assert frame["path_bytes"].tolist() == [os.fsencode(folder / ODD)]
    with pytest.raises(ValueError, match="files_per_partition must be a whole number of 1 or more, not 0"):
        read_info([folder / ODD], files_per_partition=0)


@pytest.mark.slow
def test_relative_paths_reach_the_workers_of_a_local_cluster(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, vorn: Vorn
) -> None:
    """A cluster started on port 0 without a dashboard, whose workers run in another
    folder than the command: the paths sent are absolute."""
    distributed = pytest.importorskip("distributed")
    folder_of(tmp_path, ["a.vdf", "b.vdf"])
    work = tmp_path / "cluster"
    work.mkdir()
    monkeypatch.chdir(work)
    cluster = within_guard(
        lambda: distributed.LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address=None,
            local_directory=str(work),
        )
    )
    try:
        monkeypatch.chdir(tmp_path)
        result = within_guard(
            lambda: vorn("--batch", "in", "--to", "parquet", "--out", "ds", "--scheduler", cluster.scheduler_address)
        )
        assert result.returncode == 0, result.stderr
        local = within_guard(lambda: vorn("--batch", "in", "--to", "parquet", "--out", "local"))
        assert local.returncode == 0
        assert (tmp_path / "ds" / "part-00000.parquet").read_bytes() == (
            tmp_path / "local" / "part-00000.parquet"
        ).read_bytes()
    finally:
        within_guard(cluster.close)


def test_a_read_only_out_folder_is_found_before_any_file_is_converted(
    tmp_path: Path, vorn: Vorn, monkeypatch: pytest.MonkeyPatch
) -> None:
    folder = folder_of(tmp_path, ["a.vdf"])
    out = tmp_path / "out"
    out.mkdir()
    started: list[object] = []
    monkeypatch.setattr(workers.WorkerPool, "run", lambda self, jobs: started.append(jobs))

    def read_only(folder: Path) -> None:
        raise OSError(30, "Read-only file system")

    monkeypatch.setattr(planning, "check_writable", read_only)
    for fmt in ("json", "parquet"):
        result = vorn("--batch", folder, "--to", fmt, "--out", out)
        assert result.stderr == f"vorn: error: cannot write to {out}: Read-only file system\n"
    assert started == []


# --- Ctrl-C ---------------------------------------------------------------------------


def slow_convert(source: str, target: str, fmt: str) -> str | None:
    time.sleep(0.02)
    return batch.convert_file(source, target, fmt)


def slow_rows(jobs: list[tuple[str, str]], with_data: bool) -> Any:
    time.sleep(0.02 * len(jobs))
    return archive_rows.read_rows(jobs, with_data)


SLOW_RUN = """\
import sys
sys.path[:0] = [{tests!r}, {helpers!r}]
import test_batch_faults as t
from vorn_tools import cli
from vorn_tools.archive import batch
from vorn_tools.exports import parquet_rows as archive_rows
batch.convert_file, archive_rows.read_rows = t.slow_convert, t.slow_rows
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.slow
@pytest.mark.parametrize("fmt", ["parquet", "json"])
def test_ctrl_c_during_a_run_ends_it_with_130_and_no_temporaries(tmp_path: Path, fmt: str) -> None:
    """One Ctrl-C, and two in quick succession, at varied moments of a run whose files
    take 20 ms each."""
    folder = folder_of(tmp_path, [f"f{i:03d}.vdf" for i in range(300)], example_bytes("two_d"))
    spool = tmp_path / "tmp"
    spool.mkdir()
    tests = Path(__file__).resolve().parent
    run = SLOW_RUN.format(tests=str(tests), helpers=str(tests.parents[1] / "vorn_parser_python" / "tests"))
    for trial, presses in enumerate([1, 2, 2, 1, 2]):
        out = tmp_path / f"out{trial}"
        with subprocess.Popen(
            [sys.executable, "-c", run, "--batch", str(folder), "--to", fmt, "--out", str(out), "--jobs", "2"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            start_new_session=True,
            env={**os.environ, "TMPDIR": str(spool)},
        ) as process:
            try:
                deadline = time.monotonic() + HANG_GUARD
                while not any(spool.iterdir()) and time.monotonic() < deadline:  # the pool's spool folder
                    time.sleep(0.05)
                time.sleep(0.3 * trial)
                for _ in range(presses):
                    os.killpg(process.pid, signal.SIGINT)
                    time.sleep(0.03)
                _, stderr = process.communicate(timeout=HANG_GUARD)
            finally:
                if process.poll() is None:
                    os.killpg(process.pid, signal.SIGKILL)
        assert process.returncode == 130, (trial, stderr)
        assert stderr.endswith(b"vorn: interrupted\n") and b"Traceback" not in stderr
        assert leftovers(out) == [] and list(spool.iterdir()) == []
        if fmt == "parquet":
            assert not out.exists() or not list(out.glob("part-*"))
