"""What the command line tells people: delimiters, durations, salvage summaries."""

from __future__ import annotations

import unicodedata

from .._report import Report
from .console import shown

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any

_DELIMITER_NAMES = {
    ",": "comma ','",
    ";": "semicolon ';'",
    "\t": "tab",
    "|": "vertical bar '|'",
    " ": "space",
    ":": "colon ':'",
}


def describe_delimiter(char: str) -> str:
    """A readable name: "tab" rather than an invisible character."""
    if char in _DELIMITER_NAMES:
        return _DELIMITER_NAMES[char]
    if char.isprintable():
        return f"'{char}'"
    return f"U+{ord(char):04X} {unicodedata.name(char, 'control character')}"


def format_duration(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def format_size(size: int) -> str:
    """Decimal units, matching the MB of MB/s."""
    if size < 1000:
        return f"{size} bytes"
    value = float(size)
    for unit in ("kB", "MB", "GB", "TB"):
        value /= 1000
        if value < 1000 or unit == "TB":
            break
    return f"{value:.1f} {unit}"


def throughput_mb_per_s(report: Report) -> float | None:
    """Decimal megabytes of input per second; None when the clock saw no time pass, or for
    compressed input, whose size says nothing of the text it holds."""
    if report.elapsed_seconds <= 0 or report.compression is not None:
        return None
    return report.input_bytes / report.elapsed_seconds / 1e6


def report_json(report: Report) -> dict[str, Any]:
    """The --json document: the report's fields, then the throughput."""
    return {**report.to_dict(), "mb_per_s": throughput_mb_per_s(report)}


def plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def report_text(report: Report) -> str:
    """A few aligned lines for a person watching the terminal; repair counters only when not 0."""
    r = report
    source = "<stdin>" if r.input == "-" else shown(r.input)
    target = "<stdout>" if r.output == "-" else shown(r.output)
    if r.quarantine is not None:
        set_aside = f"{r.quarantined_rows} -> {shown(r.quarantine)}"
    elif r.quarantined_rows:
        set_aside = f"{r.quarantined_rows} (dropped: no quarantine file)"
    else:
        set_aside = "0"
    timing = f"{format_duration(r.elapsed_seconds)} for {format_size(r.input_bytes)}"
    if r.compression is not None:
        timing += f" of {r.compression}"
    speed = throughput_mb_per_s(r)
    if speed is not None:
        timing += f" ({speed:.1f} MB/s)"

    def bytes_(n: int) -> str:
        return plural(n, "byte", "bytes")

    repairs = [
        ("padded", r.padded_rows, plural(r.padded_rows or 0, "row", "rows")),
        ("merged", r.merged_rows, plural(r.merged_rows or 0, "row", "rows")),
        ("quotes", r.quote_repairs, plural(r.quote_repairs or 0, "stray quote", "stray quotes") + " kept as text"),
        (
            "unclosed",
            r.unclosed_quotes,
            plural(r.unclosed_quotes or 0, "opening quote", "opening quotes") + " read as text",
        ),
        ("decoded", r.decoded_bytes, bytes_(r.decoded_bytes or 0) + " read as cp1252"),
        ("replaced", r.replaced_bytes, bytes_(r.replaced_bytes or 0) + " not decodable, replaced by U+FFFD"),
        ("comments", r.comment_lines, plural(r.comment_lines or 0, "comment line", "comment lines") + " left out"),
        ("preamble", r.preamble_lines, plural(r.preamble_lines or 0, "line", "lines") + " before the table left out"),
    ]
    lines = [
        f"tidewrack: {source} -> {target}",
        f"  rows read    {r.total_rows}",
        f"  kept         {r.salvaged_rows} ({r.repaired_rows} repaired)",
        *(f"  {label:<12} {described}" for label, count, described in repairs if count),
        f"  quarantined  {set_aside}",
    ]
    if r.repairs is not None:
        lines.append(f"  repair log   {shown(r.repairs)}")
    if r.encoding_confidence is not None:
        lines.append(f"  encoding     {r.encoding} (guessed from the head, confidence {r.encoding_confidence:.2f})")
    elif r.encoding != "utf-8":
        lines.append(f"  encoding     {r.encoding}")
    if r.compression is not None:
        lines.append(f"  compression  {r.compression}")
    dialect = [
        *([f"quote {r.quote_char or 'none'}"] if r.quote_char != '"' and r.output_quote_char is not None else []),
        *([f"escape {r.escape_char}"] if r.escape_char else []),
        *(["blanks after delimiters skipped"] if r.skip_blanks else []),
        *([f"comments {r.comment_prefix}"] if r.comment_prefix else []),
    ]
    confidence = "" if r.confidence is None else f" (confidence {r.confidence:.2f})"  # None: given, not detected
    lines += [
        f"  delimiter    {describe_delimiter(r.detected_delimiter)}{confidence}",
        *([f"  dialect      {', '.join(dialect)}"] if dialect else []),
        f"  columns      {r.inferred_columns}",
        f"  time         {timing}",
    ]
    return "\n".join(lines)
