"""tidewrack preview: the first salvaged rows as a table, then the counts."""

from __future__ import annotations

import argparse
from itertools import islice

from _tidewrack_backend import SalvageReader

from ._cli_io import CliError, Scratch, engine_input, reason
from ._cli_parser import salvage_options
from ._cli_report import describe_delimiter
from ._table import render_table


def run(args: argparse.Namespace) -> int:
    with Scratch() as scratch:
        path, _ = engine_input(args.file, scratch)
        try:
            reader = SalvageReader(path, **salvage_options(args))
        except OSError as err:
            raise CliError(f"cannot read '{args.file}': {reason(err)}") from None

    summary = reader.summary
    shown = list(islice(reader, args.rows + 1))
    if shown:
        print(render_table(shown[0], shown[1:], args.max_width))
    data_rows = max(summary.salvaged_rows - 1, 0)
    print(
        f"-- {len(shown[1:])} of {data_rows} rows shown below the header; "
        f"{summary.repaired_rows} repaired, {summary.quarantined_rows} quarantined; "
        f"delimiter {describe_delimiter(summary.detected_delimiter)}, "
        f"{summary.inferred_columns} columns",
        flush=True,
    )
    return 0
