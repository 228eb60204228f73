"""What the command line tells people: delimiters, durations, salvage summaries."""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass
from typing import Any

from _tidewrack_backend import SalvageSummary

from ._cli_io import shown

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


def throughput_mb_per_s(size: int, seconds: float) -> float | None:
    """Decimal megabytes per second; None when the clock saw no time pass."""
    return size / seconds / 1e6 if seconds > 0 else None


@dataclass(frozen=True)
class SalvageRun:
    """One finished salvage as the salvage command reports it."""

    summary: SalvageSummary
    input: str  # "-" for standard input
    output: str  # "-" for standard output
    quarantine: str | None
    input_bytes: int
    elapsed_seconds: float

    def to_json(self) -> dict[str, Any]:
        """The --json document: the summary's counters, then where and how fast."""
        return {
            **self.summary.to_dict(),
            "input": self.input,
            "output": self.output,
            "quarantine": self.quarantine,
            "input_bytes": self.input_bytes,
            "elapsed_seconds": self.elapsed_seconds,
            "mb_per_s": throughput_mb_per_s(self.input_bytes, self.elapsed_seconds),
        }

    def to_text(self) -> str:
        """A few aligned lines for a person watching the terminal."""
        s = self.summary
        source = "<stdin>" if self.input == "-" else shown(self.input)
        target = "<stdout>" if self.output == "-" else shown(self.output)
        if self.quarantine is not None:
            set_aside = f"{s.quarantined_rows} -> {shown(self.quarantine)}"
        elif s.quarantined_rows:
            set_aside = f"{s.quarantined_rows} (dropped: no quarantine file)"
        else:
            set_aside = "0"
        timing = f"{format_duration(self.elapsed_seconds)} for {format_size(self.input_bytes)}"
        speed = throughput_mb_per_s(self.input_bytes, self.elapsed_seconds)
        if speed is not None:
            timing += f" ({speed:.1f} MB/s)"
        lines = [
            f"tidewrack: {source} -> {target}",
            f"  rows read    {s.total_rows}",
            f"  kept         {s.salvaged_rows} ({s.repaired_rows} repaired)",
            f"  quarantined  {set_aside}",
            f"  delimiter    {describe_delimiter(s.detected_delimiter)}",
            f"  columns      {s.inferred_columns}",
            f"  time         {timing}",
        ]
        return "\n".join(lines)
