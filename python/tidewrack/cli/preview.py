"""tidewrack preview: the first salvaged rows as a table, then the counts."""

from __future__ import annotations

import argparse
from itertools import islice

from .. import open as salvage_open
from .._binary import BinaryInputError, looks_like
from .._compression import CompressedDataError, decompressed_head
from .._reading import HEAD_BYTES
from .._table import render_table
from .console import CliError, Scratch, engine_input, out_of_memory, print_out, read_error, require_stdout, source_label
from .options import reading_options
from .report import describe_delimiter


def run(args: argparse.Namespace) -> int:
    options = reading_options(args)
    if options.quote_char is None:
        args.parser.error("preview reads quotes the classic way; give a quote character")
    require_stdout()
    with Scratch() as scratch:
        path, _ = engine_input(args.file, scratch)
        if not options.force_text:
            refuse_binary(args.file, path)
        try:
            reader = salvage_open(path, *options.classic_arguments())
        except OSError as err:
            raise read_error(args.file, err) from None
        except MemoryError:
            raise out_of_memory(args.file) from None

    summary = reader.summary
    header = next(reader, None)
    body = list(islice(reader, args.rows))
    if header is not None:
        print_out(render_table(header, body, args.max_width))
    data_rows = max(summary.salvaged_rows - 1, 0)
    print_out(
        f"-- {len(body)} of {data_rows} rows shown below the header; "
        f"{summary.repaired_rows} repaired, {summary.quarantined_rows} quarantined; "
        f"delimiter {describe_delimiter(summary.detected_delimiter)}, "
        f"{summary.inferred_columns} columns"
    )
    return 0


def refuse_binary(label: str, path: str) -> None:
    """CliError for input that does not look like text."""
    try:
        head = decompressed_head(path, HEAD_BYTES)
    except OSError as err:
        raise read_error(label, err) from None
    except CompressedDataError:
        return  # the preview reads the bytes as they are
    kind = None if head is None else looks_like(head)
    if kind is not None:
        raise CliError(BinaryInputError(path, *kind).message(source_label(label), "--force-text"))
