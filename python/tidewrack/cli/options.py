"""Options shared by the commands: their conversions, checks and the engine arguments they give."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Mapping

from .. import _native
from .._encodings import resolve
from .._options import OptionError, check_options
from .._thresholds import limit

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import TypedDict

    class SalvageOptions(TypedDict):
        delimiter: str | None
        quote_char: str | None
        fill_ragged_rows: bool
        merge_overflow: bool
        expected_columns: int | None
        repair_quotes: bool

    class DialectOptions(TypedDict):
        escape_char: str | None
        comment_prefix: str | None
        skip_blanks: bool | None
        preamble_lines: int | None


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


def dialect_options(args: argparse.Namespace) -> DialectOptions:
    """The dialect keyword options of salvage() chosen on the command line."""
    return {
        "escape_char": args.escape_char,
        "comment_prefix": args.comment_prefix,
        "skip_blanks": args.skip_blanks,
        "preamble_lines": args.preamble_lines,
    }


def refuse_impossible_options(args: argparse.Namespace, options: Mapping[str, object]) -> None:
    """Usage error for option values (keyword: value) the salvage cannot use."""
    try:
        check_options(**options)
    except OptionError as err:
        args.parser.error(str(err))


def salvage_options(args: argparse.Namespace) -> SalvageOptions:
    """The keyword options of salvage_file / SalvageReader chosen on the command line."""
    return {
        "delimiter": args.delimiter,
        "quote_char": args.quote_char,
        "fill_ragged_rows": args.fill,
        "merge_overflow": args.merge,
        "expected_columns": args.columns,
        "repair_quotes": args.repair_quotes,
    }
