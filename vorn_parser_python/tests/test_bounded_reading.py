"""Reading from a path: only what the parse needs, from any kind of file, and
interruptible while it waits.

Every test that could block (a pipe, a device) runs its parse in a child process
with a timeout, so a regression fails the test instead of hanging the suite.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any

import pytest
import vorn_parser

from helpers import FAILURE_NAME
from vorn_tools.testing.vdf_writer import build_file, standard_params

TESTS = Path(__file__).resolve().parent
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def valid_file() -> bytes:
    return build_file(
        params=standard_params("One_D"),
        sections=[[float(i) for i in range(1024)], [-float(i) for i in range(1024)]],
        sample_bits=32,
    )


def child(script: str, *args: str) -> subprocess.Popen[str]:
    """Starts `script` in a fresh interpreter that can import the test helpers;
    the digital-filter lines of the module go to /dev/null."""
    code = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n" + textwrap.dedent(script)
    return subprocess.Popen(
        [sys.executable, "-c", code, *args],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def finish(process: subprocess.Popen[str], timeout: float = 60) -> Any:
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        pytest.fail("the parse did not end: it waits for more than it needs")
    assert process.returncode == 0, err
    return json.loads(out.strip().splitlines()[-1])


def failure_message(source: str) -> str:
    with pytest.raises(BaseException) as caught:
        vorn_parser.parse(source)
    return str(caught.value)


def io_counters() -> dict[str, int]:
    with open("/proc/self/io") as f:
        return {key: int(value) for key, value in (line.split(": ") for line in f)}


def test_valid_file_at_the_front_of_a_huge_sparse_file_reads_only_what_it_needs(
    tmp_path: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    data = valid_file()
    path = tmp_path / "sparse.vdf"
    with open(path, "wb") as f:
        f.write(data)
        try:
            f.truncate(5 << 30)
        except OSError:
            pytest.skip("this file system cannot make a 5 GiB sparse file")
    if path.stat().st_blocks * 512 > 64 << 20:
        pytest.skip("this file system does not keep files sparse")
    before = io_counters()
    from_path = vorn_parser.parse(path)
    read = io_counters()["rchar"] - before["rchar"]
    assert from_path == vorn_parser.parse(data)
    # The header, the parameters and the samples, plus at most a window or two.
    assert read < len(data) + (256 << 10), read


def test_file_grown_after_open_is_parsed_as_it_was(tmp_path: Path) -> None:
    # The bytes the header's offsets reach are those of the file when opened;
    # anything appended later is never read.
    data = valid_file()
    path = tmp_path / "grows.vdf"
    path.write_bytes(data + bytes(100))
    assert vorn_parser.parse(path) == vorn_parser.parse(data + bytes(100))


def test_pipe_that_delivered_a_whole_file_parses_while_its_writer_keeps_it_open(tmp_path: Path) -> None:
    data = valid_file() + bytes(70000)  # more than a pipe holds: the writer must be drained
    (tmp_path / "content").write_bytes(data)
    process = child(
        """
        import json, os, sys, threading
        import vorn_parser
        fifo, content = sys.argv[1], open(sys.argv[2], "rb").read()
        os.mkfifo(fifo)
        # Opened for reading and writing, the pipe has a writer for good; a
        # thread feeds it (os.write waits without the interpreter lock).
        keep = os.open(fifo, os.O_RDWR)
        writer = threading.Thread(target=os.write, args=(keep, content), daemon=True)
        writer.start()
        out = os.dup(1); os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        same = vorn_parser.parse(fifo) == vorn_parser.parse(content)
        # The parse took only what it needed; the rest is drained so the writer
        # ends and nothing is left running at exit.
        rest = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        while writer.is_alive():
            try:
                os.read(rest, 1 << 16)
            except BlockingIOError:
                writer.join(0.01)
        os.write(out, (json.dumps({"same": same}) + "\\n").encode())
    """,
        str(tmp_path / "fifo"),
        str(tmp_path / "content"),
    )
    assert finish(process) == {"same": True}


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime needs more address space than the cap")
def test_endless_devices_fail_as_their_first_bytes_do_within_a_small_address_space() -> None:
    process = child("""
        import json, os, resource
        import vorn_parser
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        messages = {}
        for source in ("/dev/zero", bytes(4096)):
            try:
                vorn_parser.parse(source)
            except BaseException as exc:
                messages[str(type(source))] = (type(exc).__name__, str(exc))
        print(json.dumps(list(messages.values())))
    """)
    try:
        out, _err = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail("parse('/dev/zero') did not end")
    from_device, from_content = json.loads(out)
    assert from_device == from_content
    assert from_device[0] == FAILURE_NAME
    # An endless random device fails in its header too, at once.
    assert failure_message("/dev/urandom")


INTERRUPTED_PARSE = """
    import json, os, signal, sys, time
    import vorn_parser
    from vorn_tools.testing.vdf_writer import build_file
    fifo, how = sys.argv[1], sys.argv[2]
    os.mkfifo(fifo)
    if how == "read":
        # A writer that delivered half a header and then went quiet.
        keep = os.open(fifo, os.O_RDWR)
        os.write(keep, build_file(sections=[[1.0], [2.0]])[:700])
    fds = len(os.listdir("/proc/self/fd"))
    print("ready", flush=True)
    try:
        vorn_parser.parse(fifo)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    caught = time.time()
    # The module stays usable, and nothing of the interrupted parse is left open.
    fds_left = len(os.listdir("/proc/self/fd")) - fds
    out, quiet = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 1)
    usable = vorn_parser.parse(build_file(sections=[[1.0], [2.0]]))["headers"]["dataFormat"] == "One_D"
    os.dup2(out, 1)
    print(json.dumps({"outcome": outcome, "caught": caught, "usable": usable, "fds_left": fds_left}))
"""


@pytest.mark.parametrize("how", ["read", "open"], ids=["blocked read", "blocked open of a pipe with no writer"])
def test_ctrl_c_ends_a_parse_blocked_on_a_pipe(tmp_path: Path, how: str) -> None:
    process = child(INTERRUPTED_PARSE, str(tmp_path / "fifo"), how)
    assert process.stdout is not None
    assert process.stdout.readline().strip() == "ready"
    time.sleep(0.3)  # into the blocking call
    sent = time.time()
    process.send_signal(signal.SIGINT)
    report = finish(process, timeout=30)
    assert report["outcome"] == "KeyboardInterrupt"
    assert report["usable"] is True
    assert report["fds_left"] == 0
    # Printed for the record (seconds from the signal to the exception).
    print(f"SIGINT to KeyboardInterrupt ({how}): {report['caught'] - sent:.4f} s")
