"""Clean files as Parquet or Arrow IPC: the scan's batches written as they come."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Iterator

from .. import _native
from .._arrow import scan_with
from .._atomic import salvage_atomically
from .._binary import BinaryInputError
from .._compression import CompressedDataError
from .._input_state import check_unchanged, state_of
from .._options import OptionError, ReadingOptions
from .._paths import named_os_error
from .._report import Report
from .._thresholds import refusal

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any

    import pyarrow as pa

# Output formats by name, with the suffix of their default output names.
SUFFIXES = {"parquet": ".parquet", "arrow": ".arrow"}
# The format each known output suffix stands for; Feather is the Arrow IPC file format.
FORMATS_BY_SUFFIX = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".arrow": "arrow", ".feather": "arrow"}
FORMAT_NAMES = {"csv": "CSV", "parquet": "Parquet", "arrow": "Arrow IPC"}


class UnfitRows(Exception):
    """Rows that no table can hold (too many columns); the message names no file."""


def format_of(output: str | None) -> str | None:
    """The format an output's suffix stands for; None for a suffix not known, or no output."""
    return FORMATS_BY_SUFFIX.get(os.path.splitext(output or "")[1].lower())


def named_for(output: str, table_format: str) -> str:
    """A default output name (``data.clean.csv``) with the suffix of the format."""
    if table_format == "csv":
        return output
    return os.path.splitext(output)[0] + SUFFIXES[table_format]


def salvage_to_table(
    options: ReadingOptions,
    source: str,
    output: str,
    quarantine: str | None,
    repairs: str | None,
    table_format: str,
    progress: Callable[[int, int], object] | None,
    strict: bool = False,
    max_repaired: int | str | None = None,
    max_quarantined: int | str | None = None,
) -> Report:
    """Salvages ``source`` into a Parquet or Arrow IPC file of string columns.

    The rows are those of the clean CSV file; the quarantine and the repair
    log are CSV files as ever. Every file appears whole or not at all, and
    none when the limits are passed (ThresholdExceeded, as ``salvage()``).
    ``progress`` is told the input bytes done, and the input's size, as
    ``salvage()`` tells it, the last time before any file is in place: an
    exception it raises stops the salvage, which then writes nothing.
    Rows no table can hold raise UnfitRows.
    """
    import pyarrow as pa

    check_limits = refusal(strict, max_repaired, max_quarantined)
    input_state = state_of(source)

    def write(engine_source: str, engine_output: str, others: list[str | None]) -> Report:
        try:
            scanned = scan_with(
                options,
                source,
                batch_rows=_native.BATCH_ROWS,
                quarantine=others[0],
                repairs=others[1],
                string_view=False,
                progress=progress,
            )
        except (CompressedDataError, BinaryInputError, OptionError):
            raise  # reported as the CSV path reports it
        except ValueError as err:
            raise UnfitRows(split_path(str(err), [source], path_first=True)[0]) from None
        batches = pa.RecordBatchReader.from_stream(scanned)
        try:
            if table_format == "parquet":
                import pyarrow.parquet as pq

                writer: Any = pq.ParquetWriter(engine_output, batches.schema)
            else:
                writer = pa.ipc.new_file(engine_output, batches.schema)
            with writer, scanned.propagating():
                for batch in read_batches(batches, engine_source, [path for path in others if path is not None]):
                    writer.write_batch(batch)
        except OSError as err:
            if err.filename is not None:  # the stream's, named by read_batches()
                raise
            # pyarrow's names no file: the one it failed on is the output.
            raise OSError(err.errno, os.strerror(err.errno) if err.errno else str(err), engine_output) from None
        check_unchanged(source, input_state)
        scanned_report = scanned.report
        assert scanned_report is not None  # the stream was read to its end
        report = dataclasses.replace(scanned_report, output=output, quarantine=quarantine, repairs=repairs)
        check_limits(report)
        return report

    return salvage_atomically(source, output, [quarantine, repairs], write)


def read_batches(batches: pa.RecordBatchReader, engine_source: str, outputs: list[str]) -> Iterator[pa.RecordBatch]:
    """The stream's batches. Its failure, naming a file last, is raised as the OSError
    naming that file (``engine_source`` for the input), or as UnfitRows."""
    while True:
        try:
            batch = batches.read_next_batch()
        except StopIteration:
            return
        except OSError as err:
            reason, path = split_path(str(err), [*outputs, engine_source], path_first=False)
            raise named_os_error(OSError(reason), path or engine_source) from None
        except ValueError as err:
            raise UnfitRows(split_path(str(err), [engine_source], path_first=False)[0]) from None
        yield batch


def split_path(message: str, paths: list[str], path_first: bool) -> tuple[str, str | None]:
    """An engine message split into its reason and the path it names first or last.

    The path is one of ``paths``, else (None) the input's: maybe a temporary
    copy's, which holds no ": ".
    """
    for path in paths:
        if path_first and message.startswith(f"{path}: "):
            return message[len(path) + 2 :], path
        if not path_first and message.endswith(f": {path}"):
            return message[: -len(path) - 2], path
    reason = message.partition(": ")[2] if path_first else message.rpartition(": ")[0]
    return reason or message, None
