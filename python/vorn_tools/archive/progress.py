"""The progress of a folder conversion: a bar on a text stream, and the tally of each
file's outcome shown on it."""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path
from typing import TextIO

from ..reading.errors import shown_name
from .planning import Outcome


class ProgressBar:
    """A progress bar on a text stream: redrawn in place on a terminal, else written once
    at the end. Messages go on lines of their own above it."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO, label: str) -> None:
        self.total, self.stream, self.label = total, stream, label
        self.done = self.failed = 0
        self.live = stream.isatty()
        self._shown = 0
        if self.live:
            self._draw()

    def _line(self) -> str:
        filled = self.WIDTH * self.done // max(self.total, 1)
        failed = f", {self.failed} failed" if self.failed else ""
        return f"{self.label} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total}{failed}"

    def _draw(self) -> None:
        line = self._line()
        self.stream.write("\r" + line + " " * max(self._shown - len(line), 0))
        self._shown = len(line)
        self.stream.flush()

    def message(self, text: str) -> None:
        if self.live and self._shown:
            self.stream.write("\r" + " " * self._shown + "\r")
            self._shown = 0
        self.stream.write(text + "\n")
        if self.live:
            self._draw()
        self.stream.flush()

    def advance(self, failed: bool) -> None:
        self.done += 1
        self.failed += failed
        if self.live:
            self._draw()

    def finish(self) -> None:
        if self.live:
            self._draw()
            self.stream.write("\n")
        else:
            self.stream.write(self._line() + "\n")
        self.stream.flush()


class Tally:
    """Each matching entry's outcome, shown as it comes on `progress` (when given): the
    skipped entries at once, failures as lines of their own above the bar."""

    def __init__(self, skipped: Iterable[tuple[Path, str]], progress: TextIO | None) -> None:
        self.progress = progress
        self.outcomes = {entry: Outcome(entry, None, skipped=what) for entry, what in skipped}
        self.bar: ProgressBar | None = None
        if progress is not None:
            for entry, outcome in self.outcomes.items():
                progress.write(f"{shown_name(entry)}: skipped: {outcome.skipped}\n")
            progress.flush()

    def start(self, total: int, label: str) -> None:
        if self.progress is not None:
            self.bar = ProgressBar(total, self.progress, label)

    def report(self, outcome: Outcome) -> None:
        self.outcomes[outcome.source] = outcome
        if self.bar is not None:
            if outcome.error is not None:
                self.bar.message(f"{shown_name(outcome.source)}: {outcome.error}")
            self.bar.advance(outcome.error is not None)

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.message(text)

    def finish(self) -> None:
        if self.bar is not None:
            self.bar.finish()

    def converted(self) -> int:
        return sum(outcome.error is None and outcome.skipped is None for outcome in self.outcomes.values())

    def in_order(self) -> list[Outcome]:
        return sorted(self.outcomes.values(), key=lambda outcome: outcome.source)
