"""The reading options salvage(), scan(), the readers, tidewrack.dask and the command line share.

A ReadingOptions is checked once, when it is made, before any file is opened:
a wrong type is a TypeError naming the keyword, a value that cannot be used an
OptionError (a ValueError) whose words suit the command line as well.
"""

from __future__ import annotations

import dataclasses
import operator

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any, SupportsIndex

# The encoding that the head of the input decides.
AUTO = "auto"
# As many columns as a table may have: a wider row is no table, and a given
# width is what every row is padded to.
MAX_COLUMNS = 1_000_000

_FLAGS = ("force_text", "fill_ragged_rows", "merge_overflow", "repair_quotes")
_FLAGS_OR_NONE = ("skip_blanks", "recover_unclosed_quotes")
_CHARACTERS = {"quote_char": "the quote character", "escape_char": "the escape character"}


class OptionError(ValueError):
    """An option value that cannot be used, or options that contradict one another."""


@dataclasses.dataclass(frozen=True)
class ReadingOptions:
    """How an input is read and repaired: the keywords of the same names of ``salvage()`` and ``scan()``.

    ``encoding`` is checked when the input is read (see ``_encodings.resolve``);
    ``comment_prefix``, ``preamble_lines`` and ``threads`` by the engine.
    """

    encoding: str = AUTO
    force_text: bool = False
    delimiter: str | None = None
    quote_char: str | None = '"'
    escape_char: str | None = None
    skip_blanks: bool | None = None
    comment_prefix: str | None = None
    preamble_lines: SupportsIndex | None = None
    fill_ragged_rows: bool = True
    merge_overflow: bool = True
    expected_columns: SupportsIndex | None = None
    repair_quotes: bool = True
    recover_unclosed_quotes: bool | None = None  # None: on, as True
    threads: SupportsIndex | None = None

    def __post_init__(self) -> None:
        for name in _FLAGS:
            check_flag(name, getattr(self, name))
        for name in _FLAGS_OR_NONE:
            value = getattr(self, name)
            if value is not None and not isinstance(value, bool):
                raise TypeError(f"{name} must be True, False or None, not {type(value).__name__}")
        for name, label in _CHARACTERS.items():
            value = getattr(self, name)
            if value is None:
                continue
            if not isinstance(value, str):
                raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
            # The engine reads bytes: a longer text, or a character of several bytes, would be cut to its first.
            if len(value) != 1 or not value.isascii() or value in "\r\n":
                raise OptionError(f"{label} must be one ASCII character other than CR and LF, got {value!r}")
        if self.delimiter is not None and not isinstance(self.delimiter, str):
            raise TypeError(f"delimiter must be str or None, not {type(self.delimiter).__name__}")
        if self.expected_columns is not None:
            try:
                count = operator.index(self.expected_columns)
            except TypeError:
                kind = type(self.expected_columns).__name__
                raise TypeError(f"expected_columns must be an int or None, not {kind}") from None
            if not 0 <= count <= MAX_COLUMNS:
                raise OptionError(f"the column count must be from 0 to {MAX_COLUMNS}, got {count}")
        refuse_conflicts(self.delimiter or None, self.quote_char, self.escape_char)

    def classic_arguments(self) -> tuple[Any, ...]:
        """The classic module's options, in the order of its salvage_file and open."""
        return (
            self.delimiter,
            self.quote_char,
            self.fill_ragged_rows,
            self.merge_overflow,
            self.expected_columns,
            self.repair_quotes,
        )

    def engine_arguments(self) -> dict[str, Any]:
        """The native salvage's and scan's keywords but for the encoding (the input's reading says it).

        With a delimiter the dialect options are the whole dialect; without one
        the engine detects the dialect from the head it reads anyway, but for
        the parts given here.
        """
        return {
            "delimiter": self.delimiter,
            "quote_char": '"' if self.quote_char is None else self.quote_char,
            "quoting": self.quote_char is not None,
            "escape_char": self.escape_char,
            "skip_blanks": self.skip_blanks,
            "comment_prefix": self.comment_prefix,
            "preamble_lines": self.preamble_lines,
            "detect_dialect": self.delimiter is None,
            # The clean file quotes with ", unless that is the delimiter: then with the quote read.
            "output_quote_char": None if self.delimiter == '"' else '"',
            "fill_ragged_rows": self.fill_ragged_rows,
            "merge_overflow": self.merge_overflow,
            "expected_columns": self.expected_columns,
            "repair_quotes": self.repair_quotes,
            "recover_unclosed_quotes": self.recover_unclosed_quotes is not False,
            "threads": self.threads,
        }

    def confidence(self, engine_confidence: float) -> float | None:
        """The confidence of the dialect the engine detected; None when a delimiter was given."""
        return None if self.delimiter is not None else engine_confidence


def check_flag(name: str, value: object) -> None:
    """TypeError for a flag that is not a bool."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")


def refuse_conflicts(delimiter: str | None, quote_char: str | None, escape_char: str | None) -> None:
    """OptionError when two of the delimiter, the quote and the escape character are one: no reader could
    split such a file. (A detected delimiter that clashes with them the engine refuses.)"""
    delimiter = delimiter[:1] if delimiter else None
    named = [("the delimiter", delimiter), ("the quote character", quote_char), ("the escape character", escape_char)]
    for i, (first, value) in enumerate(named):
        for second, other in named[i + 1 :]:
            if value is not None and value == other:
                raise OptionError(f"{first} and {second} are both {value!r}; they must differ")
