"""The `vorn` command at its edges: batch outputs that could collide, entries that are not
files, long and odd names, interrupts, empty paths, plot formats, failed writes to
standard output, standard input, and input that is not a data file at all.

Interrupts and failed writes to standard output need a process of their own; the rest
runs the command in this process (the `vorn` fixture)."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import BinaryIO

import pytest
import vorn_parser

import vorn_tools
from helpers import Vorn
from vorn_tools.archive import planning
from vorn_tools.exports.atomic import write_atomically
from vorn_tools.testing.vdf_writer import Header, build_file

VORN = str(Path(sys.executable).parent / "vorn")
TESTS = str(Path(__file__).resolve().parent)
HELPERS = str(Path(__file__).resolve().parents[2] / "vorn_parser_python" / "tests")
HANG_GUARD = 120  # seconds; only so that a broken run fails instead of hanging
TEXT = b"just some notes, not a data file\n" * 60
PNG_START = b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR" + bytes(range(256)) * 8


def example_bytes(name: str = "one_d") -> bytes:
    return vorn_tools.example_path(name).read_bytes()


def one_line(stderr: str | bytes) -> str:
    text = stderr.decode("utf-8") if isinstance(stderr, bytes) else stderr
    assert text.count("\n") == 1 and text.endswith("\n"), text
    assert "Traceback" not in text
    return text


def listing(folder: Path) -> list[str]:
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


# --- batch: where outputs go --------------------------------------------------------


def test_batch_mirrors_subfolders_so_equal_names_do_not_collide(tmp_path: Path, vorn: Vorn) -> None:
    folder, out = tmp_path / "in", tmp_path / "out"
    for relative, example in (("sub1/x.vdf", "one_d"), ("sub2/deeper/x.vdf", "two_d"), ("x.vdf", "one_d")):
        (folder / relative).parent.mkdir(parents=True, exist_ok=True)
        (folder / relative).write_bytes(example_bytes(example))
    result = vorn("--batch", folder, "--out", out, "--pattern", "**/*.vdf", "--jobs", "2")
    assert result.returncode == 0, result.stderr
    assert result.stderr.endswith(f"vorn: converted 3 of 3 files to json in {out}\n")
    assert listing(out) == ["sub1", "sub1/x.json", "sub2", "sub2/deeper", "sub2/deeper/x.json", "x.json"]
    for relative in ("sub1/x", "sub2/deeper/x", "x"):
        written = json.loads((out / f"{relative}.json").read_text(encoding="utf-8"))
        assert written["headers"] == vorn_parser.parse(folder / f"{relative}.vdf")["headers"]


def test_plan_targets_takes_whole_names_where_stems_meet_or_an_input_is_in_the_way(tmp_path: Path) -> None:
    sources = [tmp_path / name for name in ["X.vdf", "x.dat", "y.vdf", "y.json", "z.vdf"]]
    (tmp_path / "sub").mkdir()
    for out in (tmp_path, tmp_path / "sub" / ".."):  # the input folder, also when spelt another way
        assert [t.name for t in planning.plan_targets(tmp_path, sources, out, "json")] == [
            "X.vdf.json",
            "x.dat.json",
            "y.vdf.json",
            "y.json.json",
            "z.json",
        ]


@pytest.mark.parametrize(
    "names, pattern, out, message",
    [
        (
            ["a", "a.json"],
            "*",
            None,
            "the output of {folder}/a would replace the input {folder}/a.json; nothing converted",
        ),
        (
            ["x.vdf", "x.dat", "x.vdf.q"],
            "*",
            "out",
            "{folder}/x.vdf and {folder}/x.vdf.q would both be written to {out}/x.vdf.json; nothing converted",
        ),
    ],
)
def test_batch_refuses_outputs_that_collide_before_writing_anything(
    tmp_path: Path, names: list[str], pattern: str, out: str | None, message: str, vorn: Vorn
) -> None:
    folder = tmp_path / "in"
    folder.mkdir()
    for name in names:
        (folder / name).write_bytes(example_bytes())
    out_dir = folder / out if out else folder
    result = vorn("--batch", folder, "--pattern", pattern, *(["--out", out_dir] if out else []))
    assert result.returncode == 2
    assert one_line(result.stderr).startswith("vorn: error: " + message.format(folder=folder, out=out_dir))
    assert listing(folder) == sorted(names)  # no output folder, no output, no temporary file


# --- batch: what is converted, skipped or shown -------------------------------------


def test_batch_skips_entries_that_are_not_files_and_shows_names_escaped(tmp_path: Path, vorn: Vorn) -> None:
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    long_name = "n" * 246  # .vdf makes 250 bytes, the output 251
    for name in ("good.vdf", f"{long_name}.vdf"):
        (folder / name).write_bytes(example_bytes())
    (folder / os.fsdecode(b"two\nlines\x1b[31m\xe9.vdf")).write_bytes(TEXT)
    (folder / "folder.vdf").mkdir()
    os.mkfifo(folder / "pipe\n.vdf")
    (folder / "dangling.vdf").symlink_to(folder / "nowhere")
    (folder / "link.vdf").symlink_to(folder / "good.vdf")  # a link to a file is converted
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(folder / "s.vdf"))
        result = vorn("--batch", folder, "--out", out)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[:4] == [
        f"{folder}/dangling.vdf: skipped: a broken symbolic link",
        f"{folder}/folder.vdf: skipped: a folder",
        f"{folder}/pipe\\n.vdf: skipped: a named pipe",
        f"{folder}/s.vdf: skipped: a socket",
    ]
    assert (
        f"{folder}/two\\nlines\\x1b[31m\\xe9.vdf: not a data file of this kind "
        "(code 101 has no entry in table ENDIANNESS)"
    ) in lines
    assert lines[-1] == f"vorn: converted 3 of 8 files to json in {out}; 1 failed; 4 skipped"
    assert listing(out) == ["good.json", "link.json", f"{long_name}.json"]  # and no temporary file

    nothing = vorn("--batch", folder, "--pattern", "[fp]*")
    assert nothing.returncode == 1
    last = nothing.stderr.splitlines()[-1]
    assert last == f"vorn: error: no files matching '[fp]*' in {folder}; 2 skipped"


# --- batch: interrupts ----------------------------------------------------------------


def stalled_convert(source: str, target: str, fmt: str) -> None:
    """Stands in for batch.convert_file in a worker: starts writing its output, marks that
    it has, and never finishes."""

    def write(file: BinaryIO) -> None:
        file.write(b"partial")
        file.flush()
        Path(target + ".started").touch()
        time.sleep(3600)

    write_atomically(Path(target), write)


STALLED_RUN = """\
import sys
sys.path[:0] = [{tests!r}, {helpers!r}]
import test_cli_edges
from vorn_tools import cli
from vorn_tools.archive import batch
batch.convert_file = test_cli_edges.stalled_convert
batch.GRACE_SECONDS = {grace!r}
sys.exit(cli.main(sys.argv[1:]))
"""


@contextlib.contextmanager
def batch_of(tmp_path: Path, count: int, command: Sequence[str] = (VORN,)) -> Iterator[subprocess.Popen[bytes]]:
    """A batch over `count` files in a session of its own, so that an interrupt can go to
    its whole process group as a terminal's Ctrl-C does; killed with its workers at the end."""
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(count):
        (folder / f"f{i:03d}.vdf").write_bytes(example_bytes("two_d"))
    args = [*command, "--batch", str(folder), "--out", str(tmp_path / "out"), "--jobs", "2"]
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True) as process:
        try:
            yield process
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)


def wait_for(condition: Callable[[], bool]) -> None:
    deadline = time.monotonic() + HANG_GUARD
    while not condition():
        assert time.monotonic() < deadline, "gave up waiting"
        time.sleep(0.02)


@pytest.mark.parametrize("presses, grace", [(1, 2.0), (2, 3600.0)])
def test_interrupt_stops_starting_files_and_terminates_busy_workers(tmp_path: Path, presses: int, grace: float) -> None:
    """The workers never finish their files: one Ctrl-C ends the run after the grace
    period; with a grace period of an hour, only a second Ctrl-C can have ended it."""
    out = tmp_path / "out"
    stalled_run = STALLED_RUN.format(tests=TESTS, helpers=HELPERS, grace=grace)
    with batch_of(tmp_path, 6, (sys.executable, "-c", stalled_run)) as process:
        wait_for(lambda: len(list(out.glob("*.started"))) == 2)
        for _ in range(presses):
            os.killpg(process.pid, signal.SIGINT)
            time.sleep(0.2)
        _, stderr = process.communicate(timeout=HANG_GUARD)
    assert process.returncode == 130
    assert "Traceback" not in stderr.decode()
    assert "Ctrl-C again to stop at once" in stderr.decode() and stderr.endswith(b"vorn: interrupted\n")
    assert len(list(out.glob("*.started"))) == 2  # no file was started after the interrupt
    assert list(out.glob("*.part")) == [] and list(out.glob("*.json")) == []


def starting_worker(pid: int) -> bool:
    """Whether the process has a pool worker among its children (one that is starting up)."""
    with contextlib.suppress(OSError):
        for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
            with contextlib.suppress(OSError):
                if b"spawn_main" in Path(f"/proc/{child}/cmdline").read_bytes():
                    return True
    return False


@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="finds the workers through /proc")
def test_interrupt_while_the_workers_start_gives_no_tracebacks(tmp_path: Path) -> None:
    with batch_of(tmp_path, 200) as process:
        wait_for(lambda: starting_worker(process.pid) or process.poll() is not None)
        os.killpg(process.pid, signal.SIGINT)
        _, stderr = process.communicate(timeout=HANG_GUARD)
    assert process.returncode == 130
    assert "Traceback" not in stderr.decode() and "KeyboardInterrupt" not in stderr.decode()


# --- one file: the command line, standard input and output --------------------------


@pytest.mark.parametrize(
    "args",
    [
        [""],
        ["--batch", ""],
        ["--batch", ".", "--out", ""],
        ["--plot", ""],
        ["--batch", ".", "--pattern", ""],
        ["--batch", ".", "--pattern", "../*.vdf"],
        ["--batch", ".", "--pattern", "/tmp/*.vdf"],
    ],
)
def test_empty_paths_and_patterns_outside_the_folder_are_bad_command_lines(args: list[str], vorn: Vorn) -> None:
    result = vorn(*args)
    assert result.returncode == 2 and result.stdout == ""
    stderr = result.stderr
    assert "usage: vorn" in stderr and "Traceback" not in stderr
    assert "empty path" in stderr or "--pattern takes a glob within FOLDER" in stderr


def test_plot_writes_the_format_its_suffix_names(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    for name, start in (("plot.pdf", b"%PDF-"), ("plot.SVG", b"<?xml"), ("plot.eps", b"%!PS-Adobe")):
        result = vorn("--plot", tmp_path / name)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / name).read_bytes().startswith(start)
    for name, what in (
        ("plot.xyz", "the suffix .xyz names no plot format"),
        ("plot", "no suffix names the plot's format"),
    ):
        refused = vorn("--plot", tmp_path / name)
        assert refused.returncode == 2
        message = f"vorn: error: {tmp_path / name}: {what}; end the name in .png"
        assert one_line(refused.stderr).startswith(message)
        assert not (tmp_path / name).exists()


def unbuffered(flag: bool) -> dict[str, str]:
    return {"PYTHONUNBUFFERED": "1"} if flag else {}


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
@pytest.mark.parametrize("is_unbuffered", [False, True])
@pytest.mark.parametrize("shown", ["--json", "--params", None])
def test_a_full_standard_output_gives_one_line_and_status_1(shown: str | None, is_unbuffered: bool) -> None:
    with open("/dev/full", "wb") as full:
        result = subprocess.run(
            [VORN, *([shown] if shown else []), "--example", "two_d"],
            stdout=full,
            stderr=subprocess.PIPE,
            env={**os.environ, **unbuffered(is_unbuffered)},
            timeout=HANG_GUARD,
        )
    assert result.returncode == 1
    assert one_line(result.stderr) == "vorn: error: cannot write to standard output: No space left on device\n"


@pytest.mark.parametrize("is_unbuffered", [False, True])
def test_a_reader_that_went_away_gives_one_line_and_status_1(tmp_path: Path, is_unbuffered: bool) -> None:
    big = tmp_path / "big.vdf"  # JSON well beyond a pipe's buffer
    big.write_bytes(build_file(sections=[[float(i) for i in range(40_000)]] * 2))
    with subprocess.Popen(
        [VORN, "--json", big],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env={**os.environ, **unbuffered(is_unbuffered)},
    ) as process:
        assert process.stdout is not None
        try:
            process.stdout.read(100)  # the output has begun
            process.stdout.close()
            _, stderr = process.communicate(timeout=HANG_GUARD)
        finally:
            process.kill()
    assert process.returncode == 1
    assert one_line(stderr) == "vorn: error: cannot write to standard output: Broken pipe\n"


def test_dash_reads_the_data_file_from_standard_input(vorn: Vorn) -> None:
    data = example_bytes("two_d")
    result = vorn("-", stdin=data)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0].split() == ["File", "<stdin>"]
    as_json = vorn("--json", "-", stdin=data)
    assert json.loads(as_json.stdout)["headers"] == vorn_parser.parse(data)["headers"]
    # The summary reads no samples; the JSON of a file cut in its samples fails.
    bad = vorn("--json", "-", stdin=data[:-4])
    assert bad.returncode == 1
    assert one_line(bad.stderr) == (
        "vorn: error: <stdin>: failed to fill whole buffer while reading field 'data_results' of Data (data section)\n"
    )


# --- input that is not a data file -----------------------------------------------------


@pytest.mark.parametrize(
    "content, reason",
    [
        (TEXT, "code 101 has no entry in table ENDIANNESS"),
        (PNG_START, "text field is not valid UTF-8"),
        (bytes(4000), "code 0 has no entry in table DATA_FORMAT"),
        (b"VORN.NMR" + bytes(100), "code 0 has no entry in table DATA_FORMAT"),  # short as well
    ],
)
def test_input_that_is_no_data_file_says_so(tmp_path: Path, content: bytes, reason: str, vorn: Vorn) -> None:
    path = tmp_path / "in\nput.bin"
    path.write_bytes(content)
    result = vorn(path)
    assert result.returncode == 1
    shown = f"{tmp_path}/in\\nput.bin"
    assert one_line(result.stderr) == f"vorn: error: {shown}: not a data file of this kind ({reason})\n"
    for source in (path, content, bytearray(content)):
        with pytest.raises(vorn_tools.ParseError) as info:
            vorn_tools.read_file(source)
        assert info.value.reason == f"not a data file of this kind ({reason})"


@pytest.mark.parametrize(
    "content",
    [
        example_bytes()[:-4],  # cut in the samples
        example_bytes()[:1000],  # cut in the header
        b"",
        build_file(header=Header(layout_code="Three_D"), sections=[[1.0], [2.0]]),  # a layout not read
        build_file(header=Header(title=b"AB\xff"), sections=[[1.0], [2.0]]),  # damaged text in a real header
    ],
)
def test_data_files_that_fail_keep_their_own_reason(content: bytes) -> None:
    with pytest.raises(vorn_tools.ParseError) as info:
        vorn_tools.read_file(content)
    assert not info.value.reason.startswith("not a data file")
