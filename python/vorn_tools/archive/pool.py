"""A pool of worker processes that outlives its workers.

Parsing holds the interpreter lock, so batch conversions run in processes. This pool
is built so that nothing a worker does can hang the run:

- Each worker has a pipe of its own each way, and the parent keeps no copy of the
  worker's ends, so a worker that dies closes its pipes and the parent sees it at once
  (and through the process's sentinel as well).
- Messages are at most MESSAGE_BYTES, below the size a pipe writes whole: a message is
  there entirely or not at all, so the parent never waits in the middle of one. A
  larger result (or task) goes through a file in the run's spool folder, written whole
  before its message is sent.
- A worker that dies takes with it only the job it was working on: that job is tried
  once more (split into smaller jobs where it can be) by the other workers and a fresh
  one, in parallel, and given up with a reason if its worker dies again. A worker that
  is stopped (SIGSTOP) for STUCK_SECONDS is killed and treated the same way.
- A worker that dies before it is ready says nothing about the jobs: they wait for
  another worker, and after START_FAILURES such deaths in a row the run ends with
  WorkerStartError, not with every file reported as failed.
- Ctrl-C (SIGINT) is noted by a handler and answered between waits of at most
  POLL_SECONDS: no further job is handed out, the jobs in hand get `grace` seconds, a
  second Ctrl-C cuts that short; then the workers are killed, their temporary files
  removed, and KeyboardInterrupt is raised. The workers ignore SIGINT from their start.

The spool folder and the workers' temporaries are named `.vorn-PID-XXXXXXXX.part`
(see vorn_tools.exports.atomic): what a killed run leaves is removed by the next one.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.resource_tracker
import os
import pickle
import secrets
import shutil
import signal
import tempfile
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any

from ..exports.atomic import PREFIX, SUFFIX, remove_own, remove_stale

MESSAGE_BYTES = 4000  # below PIPE_BUF (4096 on Linux, 512 at least by POSIX), header included
POLL_SECONDS = 0.1
STUCK_SECONDS = 3.0
START_SECONDS = 60.0
START_FAILURES = 3


class WorkerStartError(RuntimeError):
    """Worker processes could not be started (the reason says how they failed)."""


@contextlib.contextmanager
def interrupts_held() -> Iterator[None]:
    """Holds back SIGINT from this thread for the block. A process started in it
    inherits the blocked signal and keeps it blocked until it ignores it, so a Ctrl-C
    while its interpreter starts cannot end it with a traceback."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _pack(value: Any, spool: str, name: str) -> bytes:
    """A message: the pickled value itself when it is small, else the name of a file in
    the spool folder that holds it (written whole before the message is sent)."""
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    if len(data) < MESSAGE_BYTES - 64:
        return b"I" + data
    path = os.path.join(spool, name)
    with open(path, "xb") as file:
        file.write(data)
    return b"F" + os.fsencode(path)


def _unpack(message: bytes) -> Any:
    if message[:1] == b"I":
        return pickle.loads(message[1:])
    path = os.fsdecode(message[1:])
    try:
        with open(path, "rb") as file:
            data = file.read()
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
    return pickle.loads(data)


def _send(connection: Connection, message: bytes) -> None:
    if len(message) > MESSAGE_BYTES:  # a spool path longer than a message allows
        raise OSError(f"message of {len(message)} bytes is too long for a pipe")
    connection.send_bytes(message)


def worker_main(tasks: Connection, results: Connection, spool: str) -> None:
    """A worker: says it is ready, then runs (number, function, arguments) tasks in the
    order received and sends (number, ok, value) back for each, until its task pipe
    closes. A function that raises sends ok False and the reason as text."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    _send(results, _pack(("ready", os.getpid()), spool, ""))
    while True:
        try:
            message = tasks.recv_bytes()
        except (EOFError, OSError):
            return
        try:
            number, function, arguments = _unpack(message)
        except Exception as exc:  # the worker cannot load what it is to run: it is not working
            _send(results, _pack(("unusable", f"{type(exc).__name__}: {exc}"), spool, ""))
            return
        try:
            reply: tuple[int, bool, Any] = (number, True, function(*arguments))
        except Exception as exc:
            reply = (number, False, f"{type(exc).__name__}: {exc}")
        try:
            packed = _pack(reply, spool, f"{os.getpid()}-{number}.result")
        except Exception as exc:  # a result that cannot be pickled
            packed = _pack((number, False, f"{type(exc).__name__}: {exc}"), spool, "")
        _send(results, packed)


def _exit_text(code: int | None) -> str:
    if code is None:
        return "still running"
    if code < 0:
        with contextlib.suppress(ValueError):
            return f"killed by {signal.Signals(-code).name}"
        return f"killed by signal {-code}"
    return f"exit status {code}"


def _stopped(pid: int) -> bool:
    """Whether the process is stopped (SIGSTOP, a debugger); False where /proc is not."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            stat = file.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2 :][:1] in (b"T", b"t")


class _Worker:
    def __init__(self, context: Any, spool: str) -> None:
        task_reader, self.tasks = context.Pipe(duplex=False)
        self.results, result_writer = context.Pipe(duplex=False)
        self.process = context.Process(target=worker_main, args=(task_reader, result_writer, spool), daemon=True)
        try:
            with interrupts_held():
                self.process.start()
        finally:
            # The parent keeps no copy of the worker's ends: its death closes them.
            task_reader.close()
            result_writer.close()
        self.held: deque[tuple[int, Any, bool]] = deque()  # (number, job, a retry) in the order sent
        self.ready = False
        self.started = time.monotonic()
        self.stopped_since: float | None = None
        self.dead = False
        self.unusable: str | None = None  # why a worker could not run its task

    @property
    def pid(self) -> int:
        return self.process.pid or 0

    def kill(self) -> None:
        with contextlib.suppress(OSError, ValueError):
            self.process.kill()

    def close(self) -> None:
        for connection in (self.tasks, self.results):
            with contextlib.suppress(OSError):
                connection.close()


class Interrupts:
    """Counts SIGINTs while installed (in the main thread; elsewhere it counts none and
    the interpreter's own handling stays)."""

    def __init__(self) -> None:
        self.count = 0
        self._previous: Any = None
        self._installed = False

    def __enter__(self) -> Interrupts:
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._note)
            self._installed = True
        return self

    def _note(self, signum: int, frame: object) -> None:
        self.count += 1

    def __exit__(self, *exc: object) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)


def make_spool() -> str:
    """The run's spool folder, in the temporary folder, under a name a later run
    recognises (and removes once this process is gone)."""
    base = tempfile.gettempdir()
    remove_stale(Path(base))
    while True:
        path = os.path.join(base, f"{PREFIX}{os.getpid()}-{secrets.token_hex(4)}{SUFFIX}")
        try:
            os.mkdir(path, 0o700)
            return path
        except FileExistsError:
            continue


class WorkerPool:
    """Runs jobs in worker processes; see the module's description.

    `task(job)` gives the function and its arguments to run in a worker (picklable),
    `done(job, value)` takes each result in the parent, `lost(job, reason)` a job given
    up (its worker died again on it, or its function raised), `split(job)` the jobs
    that retry a job whose worker died (default: the job itself), `folders(job)` the
    folders where the worker may leave temporary files for it (removed when it is
    killed). `say(text)` shows a line to the user.
    """

    def __init__(
        self,
        workers: int,
        task: Callable[[Any], tuple[Any, ...]],
        done: Callable[[Any, Any], None],
        lost: Callable[[Any, str], None],
        say: Callable[[str], None],
        *,
        split: Callable[[Any], Sequence[Any]] | None = None,
        folders: Callable[[Any], set[Path]] | None = None,
        per_worker: int = 1,
        grace: float = 2.0,
    ) -> None:
        self.size, self.task, self.done, self.lost, self.say = max(1, workers), task, done, lost, say
        self.split = split or (lambda job: [job])
        self.folders = folders or (lambda job: set())
        self.per_worker, self.grace = max(1, per_worker), grace
        self.context = multiprocessing.get_context("spawn")  # a clean interpreter per worker
        self.workers: list[_Worker] = []
        self.waiting: deque[tuple[Any, bool]] = deque()
        self.numbers = 0
        self.start_failures = 0
        self.spool = ""

    # --- workers ------------------------------------------------------------------

    def _start_worker(self) -> None:
        try:
            worker = _Worker(self.context, self.spool)
        except Exception as exc:  # OSError, or whatever else stops a start
            self._start_failed(f"{type(exc).__name__}: {exc}")
            return
        self.workers.append(worker)

    def _start_failed(self, reason: str) -> None:
        self.start_failures += 1
        if self.start_failures >= START_FAILURES:
            raise WorkerStartError(f"cannot start worker processes ({self.start_failures} tried; the last: {reason})")

    def _send_task(self, worker: _Worker) -> None:
        job, retry = self.waiting.popleft()
        number = self.numbers = self.numbers + 1
        function, *arguments = self.task(job)
        worker.held.append((number, job, retry))
        with contextlib.suppress(OSError):  # the worker is gone: found by its sentinel
            _send(worker.tasks, _pack((number, function, arguments), self.spool, f"task-{number}"))

    def _receive(self, worker: _Worker) -> None:
        """Takes every whole message the worker has sent; marks it dead at the end of
        its pipe."""
        while not worker.dead:
            try:
                if not worker.results.poll():
                    return
                message = worker.results.recv_bytes()
            except (EOFError, OSError):
                worker.dead = True
                return
            value = _unpack(message)
            if value[0] == "ready":
                worker.ready = True
                self.start_failures = 0
                continue
            if value[0] == "unusable":
                worker.ready = False
                worker.unusable = value[1]
                continue
            number, ok, result = value
            held_number, job, _ = worker.held.popleft()
            assert held_number == number, "results come back in the order sent"
            if ok:
                self.done(job, result)
            else:
                self.lost(job, f"the conversion failed: {result}")

    def _bury(self, worker: _Worker) -> None:
        """A worker that ended: its whole messages are taken, the job it was working on
        is retried once (or given up), the jobs it had not started wait for others."""
        self._receive(worker)
        worker.kill()
        worker.process.join()
        worker.close()
        self.workers.remove(worker)
        held = list(worker.held)
        folders = set().union(*(self.folders(job) for _, job, _ in held))
        for folder in folders:
            remove_own(folder, [worker.pid])
        if not worker.ready:
            self.waiting.extendleft(reversed([(job, retry) for _, job, retry in held]))
            self._start_failed(
                worker.unusable or f"the worker ended before it was ready: {_exit_text(worker.process.exitcode)}"
            )
            return
        if not held:
            return
        (_, first, retry), rest = held[0], held[1:]
        again = [(job, retry) for _, job, retry in rest]
        how = _exit_text(worker.process.exitcode)
        if retry:
            self.lost(
                first,
                f"the converting process died on this file twice ({how}; it was killed, ran out "
                "of memory, or the parser crashed on it)",
            )
        else:
            again[:0] = [(job, True) for job in self.split(first)]
        self.waiting.extendleft(reversed(again))

    def _watch(self, worker: _Worker, now: float) -> None:
        """Kills a worker that is stopped for STUCK_SECONDS, or not ready in START_SECONDS."""
        if not worker.ready and now - worker.started > START_SECONDS:
            worker.kill()
            return
        if not worker.held:
            worker.stopped_since = None
            return
        if _stopped(worker.pid):
            worker.stopped_since = worker.stopped_since or now
            if now - worker.stopped_since > STUCK_SECONDS:
                self.say(f"a worker process was stopped for {STUCK_SECONDS:g} s; it is ended and its file retried")
                worker.kill()
        else:
            worker.stopped_since = None

    def _kill_all(self) -> None:
        for worker in self.workers:
            worker.kill()
        for worker in self.workers:
            worker.process.join()
            worker.close()
            for folder in set().union(*(self.folders(job) for _, job, _ in worker.held)):
                remove_own(folder, [worker.pid])
        self.workers = []

    def _close_all(self) -> None:
        for worker in self.workers:
            worker.close()  # the end of its task pipe: it returns
        deadline = time.monotonic() + 2.0
        for worker in self.workers:
            worker.process.join(max(deadline - time.monotonic(), 0.0))
            if worker.process.is_alive():
                worker.kill()
                worker.process.join()
        self.workers = []

    # --- the run --------------------------------------------------------------------

    def run(self, jobs: Sequence[Any]) -> None:
        """Runs the jobs; returns when every one is done or lost. Raises KeyboardInterrupt
        after an interrupt (workers killed, temporaries removed) and WorkerStartError."""
        self.waiting = deque((job, False) for job in jobs)
        # multiprocessing's resource tracker, started with the first process, unblocks
        # SIGINT in this thread as it starts: started now, it cannot do that while a
        # worker is being started with SIGINT held back.
        multiprocessing.resource_tracker.ensure_running()
        self.spool = make_spool()
        # The handler stays through the clean-up: a further Ctrl-C cannot cut it short.
        with Interrupts() as interrupts:
            try:
                self._loop(interrupts)
                if interrupts.count:
                    self._kill_all()
            except BaseException:
                self._kill_all()
                raise
            finally:
                self._close_all()
                shutil.rmtree(self.spool, ignore_errors=True)
        if interrupts.count:
            raise KeyboardInterrupt

    def _loop(self, interrupts: Interrupts) -> None:
        deadline: float | None = None  # after the first interrupt
        while True:
            if interrupts.count and deadline is None:
                self.waiting.clear()
                in_hand = sum(len(worker.held) for worker in self.workers)
                if in_hand:
                    self.say(
                        f"interrupted: waiting up to {self.grace:g} s for the {in_hand} file(s) in hand; "
                        "Ctrl-C again to stop at once"
                    )
                deadline = time.monotonic() + self.grace
            if deadline is not None:
                if interrupts.count > 1 or time.monotonic() >= deadline:
                    return
                self.waiting.clear()  # retries of workers that died meanwhile included
            # Workers for the jobs left, each given up to per_worker jobs.
            busy = sum(len(worker.held) for worker in self.workers)
            while (
                self.waiting
                and len(self.workers) < self.size
                and len(self.workers) * self.per_worker < len(self.waiting) + busy
            ):
                self._start_worker()
            for worker in self.workers:
                while self.waiting and len(worker.held) < self.per_worker and not worker.dead:
                    self._send_task(worker)
            if not self.workers:
                if not self.waiting:
                    return
                continue  # every start failed: try again (WorkerStartError ends it)
            if not any(worker.held for worker in self.workers) and not self.waiting:
                return
            owners: dict[Any, _Worker] = {}
            for worker in self.workers:
                owners[worker.process.sentinel] = owners[worker.results] = worker
            for item in wait(list(owners), timeout=POLL_SECONDS):
                worker = owners[item]
                if worker in self.workers:
                    self._receive(worker)
            now = time.monotonic()
            for worker in list(self.workers):
                if worker.dead or not worker.process.is_alive():
                    self._bury(worker)
                else:
                    self._watch(worker, now)
