"""The progress bar of tidewrack salvage: one line on stderr, redrawn in place."""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from .report import format_size

# Smaller inputs are done before a bar would tell anything.
MIN_BYTES = 64 * 1000 * 1000
MIN_BYTES_VARIABLE = "TIDEWRACK_PROGRESS_MIN_BYTES"  # lets the tests draw a bar for small files
_REDRAW_SECONDS = 0.1
_WIDTH = 24


class ProgressBar:
    """Bytes done of all inputs, MB/s and time left.

    Thread-safe: with -j several files report at once.
    """

    def __init__(self, total: int) -> None:
        self._total = total
        self._done: dict[str, int] = {}
        self._lock = threading.Lock()
        self._started = time.monotonic()
        self._next_draw = 0.0
        self._shown = False

    def reporter(self, source: str) -> Callable[[int, int], None]:
        """The progress callback of one input."""

        def report(done: int, size: int) -> None:
            with self._lock:
                self._done[source] = done
                if done == size or time.monotonic() >= self._next_draw:  # an input's end is always shown
                    self._draw()

        return report

    @contextmanager
    def paused(self) -> Iterator[None]:
        """The line erased while something else is printed, then drawn again."""
        with self._lock:
            shown = self._shown
            self._erase()
            try:
                yield
            finally:
                if shown:
                    self._draw()

    def close(self) -> None:
        with self._lock:
            self._erase()

    def _draw(self) -> None:
        now = time.monotonic()
        self._next_draw = now + _REDRAW_SECONDS
        done = min(sum(self._done.values()), self._total)
        filled = _WIDTH * done // self._total
        elapsed = now - self._started
        rate = done / elapsed if elapsed > 0 else 0.0
        # The first moments' rate says little about the rest.
        left = _clock((self._total - done) / rate) if rate > 0 and elapsed >= 1 else "--:--"
        line = (
            f"[{'#' * filled}{'-' * (_WIDTH - filled)}] {format_size(done)} / {format_size(self._total)}"
            f"  {rate / 1e6:.1f} MB/s  {left} left"
        )
        self._write(f"\r{line[: _columns() - 1]}\x1b[K")  # a wrapped line could not be redrawn
        self._shown = True

    def _erase(self) -> None:
        if self._shown:
            self._write("\r\x1b[K")
            self._shown = False

    @staticmethod
    def _write(text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except (OSError, ValueError):
            pass  # a bar is never worth failing a salvage


def _columns() -> int:
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns or 80  # 0: the terminal does not say
    except (OSError, ValueError):
        return 80


def _clock(seconds: float) -> str:
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"


@contextmanager
def progress_bar(quiet: bool, total: int) -> Iterator[ProgressBar | None]:
    """A bar for ``total`` input bytes when stderr is a terminal and the input big; erased on leaving."""
    try:
        threshold = int(os.environ.get(MIN_BYTES_VARIABLE, MIN_BYTES))
    except ValueError:
        threshold = MIN_BYTES
    terminal = sys.stderr is not None and sys.stderr.isatty()
    if quiet or not terminal or total <= max(threshold, 0):
        yield None
        return
    bar = ProgressBar(total)
    try:
        yield bar
    finally:
        bar.close()
