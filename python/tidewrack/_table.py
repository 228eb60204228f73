"""Aligned plain-text tables for the preview command."""

from __future__ import annotations

import unicodedata
from collections.abc import Sequence

ELLIPSIS = "…"
_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
_LINE_BREAKING = {"Cc", "Zl", "Zp"}


def escape(ch: str) -> str:
    code = ord(ch)
    return _ESCAPES.get(ch) or (f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")


def visible(text: str) -> str:
    """Control characters and line separators as escapes: a cell stays on one line."""
    if text.isprintable():
        return text
    return "".join(escape(ch) if unicodedata.category(ch) in _LINE_BREAKING else ch for ch in text)


def char_width(ch: str) -> int:
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def text_width(text: str) -> int:
    return sum(map(char_width, text))


def clip(text: str, max_width: int) -> str:
    """Cuts ``text`` to at most ``max_width`` terminal cells, marking the cut."""
    if text_width(text) <= max_width:
        return text
    kept, used = [], 0
    for ch in text:
        w = char_width(ch)
        if used + w > max_width - 1:
            break
        kept.append(ch)
        used += w
    return "".join(kept) + ELLIPSIS


def pad(text: str, width: int) -> str:
    return text + " " * (width - text_width(text))


def render_table(header: Sequence[str], body: Sequence[Sequence[str]], max_width: int) -> str:
    """The header, a rule, then the body, in columns cut to ``max_width`` cells."""
    rows = [[clip(visible(cell), max_width) for cell in row] for row in [header, *body]]
    count = max(len(row) for row in rows)
    for row in rows:
        row.extend([""] * (count - len(row)))
    widths = [max(text_width(row[i]) for row in rows) for i in range(count)]

    def line(row: Sequence[str]) -> str:
        return " | ".join(pad(cell, w) for cell, w in zip(row, widths)).rstrip()

    rule = "-+-".join("-" * w for w in widths)
    return "\n".join([line(rows[0]), rule, *map(line, rows[1:])])
