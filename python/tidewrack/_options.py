"""The checks of the option values that salvage(), scan() and the command line share.

Every value is checked before any file is opened: a wrong type is a
TypeError naming the keyword, a value that cannot be used an OptionError (a
ValueError) whose words suit the command line as well.
"""

from __future__ import annotations

import operator

# As many columns as a table may have: a wider row is no table, and a given
# width is what every row is padded to.
MAX_COLUMNS = 1_000_000

_FLAGS = ("fill_ragged_rows", "merge_overflow", "repair_quotes", "classic", "force_text", "strict", "string_view")
_FLAGS_OR_NONE = ("skip_blanks", "recover_unclosed_quotes")
_CHARACTERS = {"quote_char": "the quote character", "escape_char": "the escape character"}


class OptionError(ValueError):
    """An option value that cannot be used, or options that contradict one another."""


def check_options(**values: object) -> None:
    """TypeError or OptionError for the first option of ``values`` (keyword: value) that cannot be used."""
    for name, value in values.items():
        if name in _FLAGS and not isinstance(value, bool):
            raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
        if name in _FLAGS_OR_NONE and value is not None and not isinstance(value, bool):
            raise TypeError(f"{name} must be True, False or None, not {type(value).__name__}")
    for name, label in _CHARACTERS.items():
        value = values.get(name)
        if value is None:
            continue
        if not isinstance(value, str):
            raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
        # The engine reads bytes: a longer text, or a character of several bytes, would be cut to its first.
        if len(value) != 1 or not value.isascii() or value in "\r\n":
            raise OptionError(f"{label} must be one ASCII character other than CR and LF, got {value!r}")
    delimiter = values.get("delimiter")
    if delimiter is not None and not isinstance(delimiter, str):
        raise TypeError(f"delimiter must be str or None, not {type(delimiter).__name__}")
    columns = values.get("expected_columns")
    if columns is not None:
        try:
            count = operator.index(columns)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"expected_columns must be an int or None, not {type(columns).__name__}") from None
        if not 0 <= count <= MAX_COLUMNS:
            raise OptionError(f"the column count must be from 0 to {MAX_COLUMNS}, got {count}")
    refuse_conflicts(delimiter or None, values.get("quote_char"), values.get("escape_char"))  # type: ignore[arg-type]


def refuse_conflicts(delimiter: str | None, quote_char: str | None, escape_char: str | None, how: str = "") -> None:
    """OptionError when two of the delimiter, the quote and the escape character are one: no reader could
    split such a file. ``how`` ends the message (what was detected rather than given)."""
    delimiter = delimiter[:1] if delimiter else None
    named = [("the delimiter", delimiter), ("the quote character", quote_char), ("the escape character", escape_char)]
    for i, (first, value) in enumerate(named):
        for second, other in named[i + 1 :]:
            if value is not None and value == other:
                raise OptionError(f"{first} and {second} are both {value!r}; they must differ{how}")
