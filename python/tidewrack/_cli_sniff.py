"""tidewrack sniff: the delimiter and column count a salvage would detect.

Detection looks only at the first non-blank records of a file (50 to choose
the delimiter, 100 to count columns) and skips blank ones, so a file is not
salvaged whole: its head is read with its blank lines (empty or spaces only)
left out, and the engine salvages that head from a scratch file. Every record
of the head but the last is a record of the file, or one of its quoted fields
less some blank lines, which changes no field count. Once 100 of those records
are certainly non-blank, the head gives the whole file's answer; otherwise a
head with twice the lines is read. At most HEAD_LIMIT bytes of head are kept,
so the time follows what is read and the memory does not grow with the file.
"""

from __future__ import annotations

import argparse
import re
from collections.abc import Iterable, Iterator
from contextlib import nullcontext

from _tidewrack_backend import SalvageSummary

from . import open as salvage_open
from ._cli_io import (
    STDIO,
    CliError,
    Scratch,
    chunks_of,
    print_out,
    read_error,
    require_stdout,
    say,
    shown,
    stdin_binary,
)
from ._cli_report import describe_delimiter

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import BinaryIO, ContextManager

HEAD_LIMIT = 32 << 20
ROWS_EXAMINED = 100
_BLANK = b" \r\n"
# A line break, then blank lines up to the next line break: one line break is enough.
_BLANK_LINES = re.compile(rb"[\r\n][ \r\n]*[\r\n]")


def run(args: argparse.Namespace) -> int:
    require_stdout()
    status = 0
    for path in args.files:
        try:
            with Scratch() as scratch:
                summary = detect(path, scratch)
        except CliError as err:
            say(f"tidewrack: {err}")
            status = err.exit_code
            continue
        label = "<stdin>" if path == STDIO else shown(path)
        if summary.total_rows == 0:
            print_out(f"{label}: no rows")
        else:
            delimiter = describe_delimiter(summary.detected_delimiter)
            print_out(f"{label}: delimiter {delimiter}, {summary.inferred_columns} columns")
    return status


def detect(path: str, scratch: Scratch) -> SalvageSummary:
    with opened(path) as stream:
        head = BlankFreeHead(chunks_of(stream, path))
        wanted = ROWS_EXAMINED + 1
        while True:
            head.read_lines(wanted)
            if head.ended:
                return salvage_open(scratch.write("head.csv", iter([bytes(head.kept)]))[0]).summary
            sample, _ = scratch.write("head.csv", iter([head.whole_lines()]))
            reader = salvage_open(sample)
            # The last row may be a quoted field cut short by the end of the head.
            if count_non_blank(list(reader)[:-1]) >= ROWS_EXAMINED or head.full:
                return reader.summary
            wanted *= 2


def opened(path: str) -> ContextManager[BinaryIO]:
    if path == STDIO:
        return nullcontext(stdin_binary())
    try:
        return open(path, "rb")
    except OSError as err:
        raise read_error(path, err) from None


class BlankFreeHead:
    """The head of a stream without its blank lines, read as far as asked."""

    def __init__(self, chunks: Iterator[bytes]) -> None:
        self._chunks = chunks
        self.kept = bytearray()
        # Spaces and line breaks after the last kept byte: blank lines, or the
        # indent of a line still to come.
        self._pending = bytearray()
        self._lines = 0
        self.ended = False

    @property
    def full(self) -> bool:
        return len(self.kept) + len(self._pending) >= HEAD_LIMIT

    def read_lines(self, wanted: int) -> None:
        """Reads until ``wanted`` line breaks are kept, the stream ends or the head is full."""
        while self._lines < wanted and not self.ended and not self.full:
            chunk = next(self._chunks, None)
            if chunk is None:
                self.kept += self._pending
                self.ended = True
                return
            if chunk.count(b" ") == len(chunk):
                self._pending += chunk  # what follows tells whether it is kept: no need to scan it again
                continue
            data = _BLANK_LINES.sub(b"\n", self._pending + chunk)
            end = len(data.rstrip(_BLANK))
            self.kept += data[:end]
            self._pending = bytearray(data[end:])
            self._lines += data.count(b"\n", 0, end) + data.count(b"\r", 0, end)

    def whole_lines(self) -> bytes:
        """What was kept up to its last line break, or all that was read if it has none."""
        cut = max(self.kept.rfind(b"\n"), self.kept.rfind(b"\r"))
        return bytes(self.kept + self._pending if cut < 0 else self.kept[: cut + 1])


def count_non_blank(rows: Iterable[list[str]]) -> int:
    """Rows that came from non-blank records; all-empty rows are not counted.

    Padding turns a blank line into a row of empty fields, so a row counts only
    when some field holds more than white space: an undercount, never an over.
    """
    return sum(1 for row in rows if any(field.strip() for field in row))
