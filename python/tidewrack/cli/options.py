"""Options shared by the commands: their conversions, checks and the engine arguments they give."""

from __future__ import annotations

import argparse
import dataclasses
import sys
from collections.abc import Callable

from .. import _native
from .._encodings import resolve
from .._options import ReadingOptions
from .._thresholds import limit

_DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|", "space": " "}


def delimiter_arg(text: str) -> str:
    if text.lower() in _DELIMITER_NAMES:
        return _DELIMITER_NAMES[text.lower()]
    return one_ascii_char(text, "a delimiter: one ASCII character or tab, comma, semicolon, pipe, space")


def quote_arg(text: str) -> str | None:
    return None if text.lower() == "none" else text


def comment_arg(text: str) -> str:
    if not text or "\r" in text or "\n" in text:
        raise argparse.ArgumentTypeError(f"expected a comment prefix on one line, got {text!r}")
    return text


def one_ascii_char(text: str, expected: str) -> str:
    # The engine works on bytes: a multi-byte character would be cut to its first byte.
    if len(text) != 1 or not text.isascii() or text in "\r\n":
        raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
    return text


def encoding_arg(text: str) -> str:
    try:
        resolve(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
    return text


def bounded_int(minimum: int, maximum: int = sys.maxsize) -> Callable[[str], int]:
    """A whole number from ``minimum`` to ``maximum`` (the largest count the engine can hold)."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not minimum <= value <= maximum:
            raise argparse.ArgumentTypeError(f"expected a number from {minimum} to {maximum}, got {text}")
        return value

    return convert


def limit_arg(text: str) -> int | str:
    """A row limit: a whole number, or a share of the rows read such as 2.5%."""
    try:
        if text.endswith("%"):
            limit(text, "the limit")  # ValueError for what is not a share
            return text
        return bounded_int(0)(text)
    except (ValueError, argparse.ArgumentTypeError):
        raise argparse.ArgumentTypeError(
            f"expected a number of rows, or a share of the rows read from 0% to 100%, got {text!r}"
        ) from None


threads_arg = bounded_int(1, _native.MAX_THREADS)


def add_salvage_options(parser: argparse.ArgumentParser, columns_flags: tuple[str, ...]) -> None:
    group = parser.add_argument_group("salvage options")
    group.add_argument(
        "-d",
        "--delimiter",
        type=delimiter_arg,
        metavar="DELIM",
        help="field delimiter: one ASCII character, or tab, comma, semicolon, pipe, space "
        "(default: detected from the head of the file: , ; tab | first, else any other "
        "punctuation or a space)",
    )
    group.add_argument(
        "--quote-char",
        type=quote_arg,
        default='"',
        metavar="C",
        help="quote character of the input, or none (default: %(default)s, or detected with the "
        'delimiter; the clean file quotes with ")',
    )
    group.add_argument(
        *columns_flags,
        dest="columns",
        type=bounded_int(0),
        metavar="COLUMNS",
        help="number of columns every row is reconciled to; 0 accepts every row as it is "
        "(default: the most common width of the first 100 non-blank rows)",
    )
    group.add_argument(
        "--no-fill",
        dest="fill",
        action="store_false",
        help="quarantine rows with too few fields instead of padding them with empty fields "
        "(blank lines are such rows)",
    )
    group.add_argument(
        "--no-merge",
        dest="merge",
        action="store_false",
        help="quarantine rows with too many fields instead of merging the surplus into the "
        "last column (the safe choice when stray delimiters may sit in earlier columns)",
    )
    group.add_argument(
        "--no-repair-quotes",
        dest="repair_quotes",
        action="store_false",
        help="read quotes strictly: a quote inside a quoted field always closes it, instead "
        "of being kept as text when a later quote on the line closes the field better",
    )


def add_dialect_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("dialect options (default: detected when no delimiter is given)")
    group.add_argument(
        "--escape-char",
        metavar="C",
        help="the character after it is taken literally, e.g. '\\'",
    )
    group.add_argument(
        "--comment-prefix",
        type=comment_arg,
        metavar="TEXT",
        help="lines starting with TEXT are comments: logged, left out of the clean file",
    )
    group.add_argument(
        "--skip-blanks",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="leave out spaces and tabs right after a delimiter",
    )
    group.add_argument(
        "--preamble-lines",
        type=bounded_int(0),
        metavar="N",
        help="the first N lines come before the table: logged, left out of the clean file",
    )


# The reading options' keywords that the commands' arguments name otherwise.
_ARGUMENT_NAMES = {"fill_ragged_rows": "fill", "merge_overflow": "merge", "expected_columns": "columns"}


def reading_options(args: argparse.Namespace) -> ReadingOptions:
    """The reading options the command's arguments give; a usage error for values the salvage cannot use."""
    given = vars(args)
    chosen = {
        field.name: given[name]
        for field in dataclasses.fields(ReadingOptions)
        if (name := _ARGUMENT_NAMES.get(field.name, field.name)) in given
    }
    parser: argparse.ArgumentParser = args.parser
    try:
        return ReadingOptions(**chosen)
    except ValueError as err:
        parser.error(str(err))
