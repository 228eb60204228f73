"""tidewrack sniff: the delimiter and column count a salvage would detect.

Detection reads only the head of a file (up to 50 non-blank rows to choose the
delimiter, up to 100 to count columns), so a big file is not salvaged whole:
its first MiB, cut after the last line break in it, is salvaged through a
scratch file instead. Every record of that slice but the last is exactly the
record the whole file has there; once 100 of them are certainly non-blank the
slice gives the whole file's answer, and otherwise a four times larger head is
tried. Standard input and pipes are copied to a scratch file first.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable

from _tidewrack_backend import SalvageReader, SalvageSummary

from ._cli_io import STDIO, CliError, Scratch, engine_input, reason, write_bytes
from ._cli_report import describe_delimiter

HEAD_BYTES = 1 << 20
ROWS_EXAMINED = 100


def run(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            with Scratch() as scratch:
                summary = detect(path, scratch)
        except CliError as err:
            print(f"tidewrack: {err}", file=sys.stderr)
            status = err.exit_code
            continue
        label = "<stdin>" if path == STDIO else path
        if summary.total_rows == 0:
            print(f"{label}: no rows", flush=True)
        else:
            delimiter = describe_delimiter(summary.detected_delimiter)
            print(f"{label}: delimiter {delimiter}, {summary.inferred_columns} columns", flush=True)
    return status


def detect(path: str, scratch: Scratch) -> SalvageSummary:
    readable, size = engine_input(path, scratch)
    limit = HEAD_BYTES
    try:
        with open(readable, "rb") as source:
            while limit < size:
                head = source.read(limit)
                source.seek(0)
                cut = max(head.rfind(b"\n"), head.rfind(b"\r"))
                if cut >= 0:
                    rows, summary = salvage_rows(write_bytes(scratch, "head.csv", head[: cut + 1]))
                    # The last row may be a quoted field cut short by the slice.
                    if count_non_blank(rows[:-1]) >= ROWS_EXAMINED:
                        return summary
                limit *= 4
        return SalvageReader(readable).summary
    except OSError as err:
        raise CliError(f"cannot read '{path}': {reason(err)}") from None


def salvage_rows(path: str) -> tuple[list[list[str]], SalvageSummary]:
    reader = SalvageReader(path)
    return list(reader), reader.summary


def count_non_blank(rows: Iterable[list[str]]) -> int:
    """Rows that came from non-blank records; all-empty rows are not counted.

    Padding turns a blank line into a row of empty fields, so a row counts only
    when some field holds more than white space: an undercount, never an over.
    """
    return sum(1 for row in rows if any(field.strip() for field in row))
