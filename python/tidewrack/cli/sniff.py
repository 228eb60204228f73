"""tidewrack sniff: the dialect and column count a salvage would detect.

A file is read as the salvage reads it, only as far as detection needs: its
head, up to the first lines that are not blank. Standard input is kept to
HEAD_LIMIT bytes in a scratch file first, which is as much as any detection
needs unless blank lines come first.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator

from .._binary import BinaryInputError
from .._compression import CompressedDataError
from .._dialect import Dialect, detect
from .console import (
    STDIO,
    CliError,
    Scratch,
    chunks_of,
    print_out,
    read_error,
    require_stdout,
    say,
    shown,
    source_label,
    stdin_binary,
)
from .report import describe_delimiter

HEAD_LIMIT = 32 << 20


def run(args: argparse.Namespace) -> int:
    require_stdout()
    status = 0
    for path in args.files:
        try:
            with Scratch() as scratch:
                dialect = dialect_of(path, scratch, args.force_text)
        except CliError as err:
            say(f"tidewrack: {err}")
            status = err.exit_code
            continue
        label = "<stdin>" if path == STDIO else shown(path)
        if args.json:
            print_out(json.dumps({"file": label, **dialect.to_dict()}, ensure_ascii=False))
        else:
            print_out(f"{label}: {describe(dialect)}")
            for note in dialect.notes:
                say(f"warning: {label}: {note}")
    return status


def dialect_of(path: str, scratch: Scratch, force_text: bool) -> Dialect:
    source = path
    if path == STDIO:
        source, _ = scratch.write("head.csv", head_of(chunks_of(stdin_binary(), path)))
    try:
        return detect(source, force_text=force_text)
    except OSError as err:
        raise read_error(path, err) from None
    except CompressedDataError as err:
        raise CliError(f"cannot read {source_label(path)}: {err}") from None
    except BinaryInputError as err:
        raise CliError(err.message(source_label(path), "--force-text")) from None


def head_of(chunks: Iterator[bytes]) -> Iterator[bytes]:
    """The first HEAD_LIMIT bytes of ``chunks`` (or a little more)."""
    kept = 0
    for chunk in chunks:
        if kept >= HEAD_LIMIT:
            return
        kept += len(chunk)
        yield chunk


def describe(dialect: Dialect) -> str:
    """One line: delimiter and width first (what the classic sniff said), then the rest."""

    def char(value: str | None) -> str:
        return "none" if value is None else f'"{value}"' if value == "'" else f"'{value}'"

    parts = [
        f"quote {char(dialect.quote_char)}",
        f"escape {char(dialect.escape_char)}",
        f"header {dialect.header_rows} row" + ("" if dialect.header_rows == 1 else "s"),
        f"confidence {dialect.confidence:.2f}",
    ]
    if dialect.skip_blanks:
        parts.append("blanks after delimiters skipped")
    if dialect.comment_prefix is not None:
        parts.append(f"comments {char(dialect.comment_prefix)}")
    if dialect.preamble_lines:
        parts.append(f"{dialect.preamble_lines} preamble lines")
    return f"delimiter {describe_delimiter(dialect.delimiter)}, {dialect.columns} columns; " + ", ".join(parts)
