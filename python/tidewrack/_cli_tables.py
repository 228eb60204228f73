"""Clean files as Parquet or Arrow IPC: the scan's batches written as they come."""

from __future__ import annotations

import dataclasses
import os

from ._arrow import scan
from ._atomic import salvage_atomically
from ._report import Report

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any

# Output formats by name, with the suffix that selects each.
SUFFIXES = {"parquet": ".parquet", "arrow": ".arrow"}
FORMAT_NAMES = {"csv": "CSV", "parquet": "Parquet", "arrow": "Arrow IPC"}


def format_of(output: str | None) -> str:
    """The format an output's name asks for: by its suffix, else CSV."""
    suffix = os.path.splitext(output or "")[1].lower()
    return next((name for name, known in SUFFIXES.items() if suffix == known), "csv")


def named_for(output: str, table_format: str) -> str:
    """A default output name (``data.clean.csv``) with the suffix of the format."""
    if table_format == "csv":
        return output
    return os.path.splitext(output)[0] + SUFFIXES[table_format]


def salvage_to_table(
    source: str,
    output: str,
    quarantine: str | None,
    repairs: str | None,
    table_format: str,
    **options: Any,
) -> Report:
    """Salvages ``source`` into a Parquet or Arrow IPC file of string columns.

    The rows are those of the clean CSV file; the quarantine and the repair
    log are CSV files as ever. Every file appears whole or not at all.
    """
    import pyarrow as pa

    def write(_engine_source: str, engine_output: str, others: list[str | None]) -> Report:
        scanned = scan(source, quarantine=others[0], repairs=others[1], **options)
        batches = pa.RecordBatchReader.from_stream(scanned)
        if table_format == "parquet":
            import pyarrow.parquet as pq

            writer: Any = pq.ParquetWriter(engine_output, batches.schema)
        else:
            writer = pa.ipc.new_file(engine_output, batches.schema)
        with writer:
            for batch in batches:
                writer.write_batch(batch)
        report = scanned.report
        assert report is not None  # the stream was read to its end
        return report

    report = salvage_atomically(source, output, [quarantine, repairs], write)
    return dataclasses.replace(report, output=output, quarantine=quarantine, repairs=repairs)
