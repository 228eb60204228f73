"""Warnings: what a salvage guessed that may be wrong, each with the option that pins it.

A warning is one sentence. It names the command-line option that settles the
guess; ``salvage()`` takes the same under the keyword of that name
(``--quote-char``: ``quote_char``). Only guesses warn: an option the caller
gave is not one, and the classic rules guess nothing worth a warning.
"""

from __future__ import annotations

from collections.abc import Iterable

from ._encodings import encoding_warning
from ._report import Report

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from ._options import ReadingOptions

# Delimiters a reader expects; any other is worth a second look even when detection is sure of it.
USUAL_DELIMITERS = ",;\t|"
# Below this the dialect is in doubt. A sound classic reading is as sure as the
# share of the head's rows at its width; another reading's confidence is that
# share times the share of cells that look like values (a word counts half), so
# a table of plain text read otherwise sits near 0.5 and one of long free-text
# cells lower still; below a quarter the head barely splits into a table at all.
LOW_CONFIDENCE = 0.25
_SHELL_NAMES = {"\t": "tab", " ": "space"}


def warnings_of(report: Report, notes: Iterable[str], given: ReadingOptions) -> tuple[str, ...]:
    """The warnings of a salvage under the package's rules.

    ``notes`` are the engine's own sentences about the dialect it read;
    ``given`` the options the salvage was given.
    """
    found: list[str] = []
    encoding = encoding_warning(report)
    if encoding is not None:
        found.append(encoding)
    if given.delimiter is None:
        found += _dialect_warnings(report, given)
    found += notes
    return tuple(found)


def _dialect_warnings(report: Report, given: ReadingOptions) -> list[str]:
    found = []
    delimiter = shell_word(report.detected_delimiter)
    confidence = report.confidence or 0.0
    # Without columns (no lines, or blank ones) there is no table whose delimiter could be wrong.
    if report.inferred_columns and confidence < LOW_CONFIDENCE:
        found.append(
            f"the delimiter {delimiter} was guessed with low confidence ({confidence:.2f}); "
            f"--delimiter {delimiter} pins it, or names the right one"
        )
    elif report.inferred_columns and report.detected_delimiter not in USUAL_DELIMITERS:
        found.append(
            f"the delimiter {delimiter} was guessed (confidence {confidence:.2f}); --delimiter {delimiter} pins it"
        )
    if given.quote_char == '"' and report.quote_char is None:
        found.append(
            f"quotes were read as text, no field being quoted properly; --quote-char none pins that, "
            f"--delimiter {delimiter} reads them as quotes"
        )
    elif given.quote_char == '"' and report.quote_char != '"':
        quote = shell_word(report.quote_char or "")
        found.append(f"the quote character {quote} was guessed; --quote-char {quote} pins it")
    preamble = report.preamble_lines or 0
    if given.preamble_lines is None and preamble:
        found.append(
            f"{_lines(preamble)} before the table {_were(preamble)} left out as a preamble; "
            f"--preamble-lines 0 keeps {_them(preamble)}"
        )
    comments = report.comment_lines or 0
    if given.comment_prefix is None and comments:
        prefix = shell_word(report.comment_prefix or "")
        found.append(
            f"{_lines(comments)} starting with {prefix} {_were(comments)} left out as "
            f"{'a comment' if comments == 1 else 'comments'}; --delimiter {delimiter} reads "
            f"{_them(comments)} as {'a row' if comments == 1 else 'rows'}"
        )
    return found


def shell_word(text: str) -> str:
    """A character as typed on a command line: ``tab``, ``':'``, ``"'"``."""
    if text in _SHELL_NAMES:
        return _SHELL_NAMES[text]
    return f'"{text}"' if "'" in text else f"'{text}'"


def _lines(count: int) -> str:
    return "1 line" if count == 1 else f"{count} lines"


def _were(count: int) -> str:
    return "was" if count == 1 else "were"


def _them(count: int) -> str:
    return "it" if count == 1 else "them"
