"""Report: what one salvage did, as tidewrack.salvage() returns it."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any


@dataclass(frozen=True)
class Report:
    """The counters of one salvage, the dialect it settled on, and where everything went.

    The first six fields are the classic summary's (``SalvageSummary``). The
    repair counters after them are None under ``classic=True``, whose engine
    does not count them. ``confidence`` is None when no delimiter was detected
    (one was given, or ``classic=True``).
    """

    total_rows: int
    salvaged_rows: int
    repaired_rows: int  # padded or merged
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    padded_rows: int | None
    merged_rows: int | None
    quote_repairs: int | None  # stray quotes kept as text
    unclosed_quotes: int | None  # opening quotes read as text
    decoded_bytes: int | None  # not UTF-8, read as cp1252 by encoding="auto"
    replaced_bytes: int | None  # not decodable, replaced by U+FFFD
    encoding: str
    compression: str | None
    input: str
    output: str
    quarantine: str | None
    repairs: str | None  # the repair log
    input_bytes: int
    elapsed_seconds: float
    # The dialect read, and the lines it left out of the table (None under
    # classic=True for what the classic engine does not report).
    quote_char: str | None = None  # None: no quoting
    escape_char: str | None = None
    skip_blanks: bool | None = None
    comment_prefix: str | None = None
    header_rows: int | None = None
    confidence: float | None = None
    comment_lines: int | None = None
    preamble_lines: int | None = None
    output_quote_char: str | None = None  # the clean file's
    # How sure the code page named by ``encoding`` is, when it was guessed from
    # the head of the input (0 to 1; below 0.5 a weak guess); None when nothing
    # was guessed (UTF-8, a byte-order mark, an encoding given).
    encoding_confidence: float | None = None
    # What was guessed and may be wrong, one sentence each, naming the option that pins it.
    warnings: tuple[str, ...] = ()

    def to_dict(self) -> dict[str, Any]:
        """The fields in order, ready for JSON."""
        return dataclasses.asdict(self)
