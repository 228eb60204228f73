#!/usr/bin/env python3
"""How well salvage restores damaged CSV: damage injected at known places into typed tables.

    python3 bench/repair_quality.py [--seed 13] [--rows 300] [--tables 6] [--timing-rows 200000]
    tools/bench quality [same options]

Typed tables are generated with the seed (ids, dates, times, decimals, product codes, booleans,
free text with commas in quoted fields, addresses) and taken from the files in examples/ that
read as one width. Each kind of damage is injected into known rows (the column cycling over all
of them), and each damaged file is salvaged with the classic rules (classic=True) and the
default rules:

  stray delimiter   a value holding a comma, written unquoted: in a typed column a number as
                    locales write it (12,345 or 1,95), in a text column ", " between words
  missing delimiter two neighbouring values fused (9CC-9259)
  doubled delimiter an empty field after a value (9,,CC-9259)
  stray quote       a value starting with a quote, unquoted, before a field the writer quoted
  unclosed quote    a value starting with a quote, with no other quote on its line
  dialect kinds     the whole file with a preamble (two lines, a title, a title and a blank
                    line, eleven intro lines), comment lines, another delimiter (semicolon,
                    caret, space), single quotes, apostrophes among quotes some of which are
                    not doubled, backslash escapes, a blank after each comma, no quoting (inch
                    marks), no header or a unit row under it, for whatever detection there is

The truth of a damaged row is the row as written (a stray comma or quote is part of the value).
A markdown table per kind:

  exact    damaged rows that come out exactly as the undamaged table had them
  cells    cells of the damaged rows in their right place
  intact   undamaged rows that come out unchanged
  extra    rows in the output that the table did not have (a preamble, comments)

Then, for each dialect kind, how many of --dialect-tables generated files are read right: where
the classic reading (its sniffed delimiter, '"') shows damage, tidewrack.detect reads the
kind's dialect (delimiter, quote, escape, blanks after delimiters, header rows, comment prefix,
preamble lines; a quote or escape character no cell needed leaves no trace and is not judged);
where it reads a sound table of a kind that may be otherwise (a title padded to the width,
cells all in single quotes, a space-separated file, a caret file with no , ; tab or |), the
salvage keeps the rows as a strict reader reads them and warns of the other reading; the sound
files of every other kind (one column of decimals, '#' leading every line, apostrophes in quoted
cells, a long quoted first record, ...) are kept so with no warning, their dialect judged too.
Then the false-repair check (every undamaged or sound file: the default rules write the classic
output, byte for byte, or the rows a strict reader reads) and the time of the default rules
over the classic ones on one larger damaged table.
Everything is written to a temporary directory; nothing in the repository changes.
"""

from __future__ import annotations

import argparse
import csv
import difflib
import io
import random
import re
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import tidewrack
from tidewrack import _native

Row = list[str]

CUSTOMERS = (
    "Contoso",
    "Fabrikam",
    "Northwind Traders",
    "Tailspin Toys",
    "Litware",
    "Proseware",
    "Wingtip",
    "Woodgrove Bank",
    "Blue Yonder",
    "Adventure Works",
)
STREETS = ("Market St", "Harbour Rd", "Park Ave", "Mill Lane", "Bridge St", "Kings Rd", "Elm Ct")
PRODUCTS = (
    "Oat milk 1l",
    "Rye bread",
    "Green tea",
    "Apples 1kg",
    "Paper cups 12oz",
    "Descaler",
    "Espresso beans 1kg",
    "Napkins",
    "Syrup vanilla",
    "Tea chai 500g",
)
WORDS = ("fresh", "late", "promo", "gift", "repeat", "urgent", "fragile", "spare", "bulk", "sample")


def _address(rng: random.Random) -> str:
    street = f"{rng.randint(1, 400)} {rng.choice(STREETS)}"
    return f"{street}, Suite {rng.randint(1, 900)}" if rng.random() < 0.2 else street


def _note(rng: random.Random) -> str:
    text = " ".join(rng.choices(WORDS, k=rng.randint(1, 4)))
    return f"{text}, {rng.choice(WORDS)}" if rng.random() < 0.3 else text


COLUMNS: dict[str, Callable[[random.Random], str]] = {
    "date": lambda r: f"20{r.randint(10, 29)}-{r.randint(1, 12):02d}-{r.randint(1, 28):02d}",
    "time": lambda r: f"{r.randint(0, 23):02d}:{r.randint(0, 59):02d}",
    "customer": lambda r: r.choice(CUSTOMERS),
    "address": _address,
    "product": lambda r: r.choice(PRODUCTS),
    "code": lambda r: f"{r.choice('ABCDEFGH')}{r.choice('ABCDEFGH')}-{r.randint(1000, 9999)}",
    "qty": lambda r: str(r.randint(1, 120)),
    "price": lambda r: f"{r.randint(0, 300)}.{r.randint(0, 99):02d}",
    "amount": lambda r: f"{r.randint(1000, 99999)}",
    "flag": lambda r: r.choice(("true", "false")),
    "note": _note,
}


def generated_tables(seed: int, count: int, rows: int) -> list[tuple[str, list[Row]]]:
    rng = random.Random(seed)
    tables = []
    for number in range(count):
        names = ["id", *rng.sample(sorted(COLUMNS), rng.randint(5, 8))]
        rng.shuffle(names)
        start = rng.randint(1000, 90000)
        body = [[str(start + i) if name == "id" else COLUMNS[name](rng) for name in names] for i in range(rows)]
        tables.append((f"generated-{number}", [names, *body]))
    return tables


def example_tables(directory: Path) -> list[tuple[str, list[Row]]]:
    """The rows of the modal width of each example that reads as UTF-8 text with a common delimiter."""
    tables = []
    for path in sorted(directory.glob("*.csv")):
        try:
            text = path.read_bytes().decode("utf-8-sig")
        except UnicodeDecodeError:
            continue
        try:
            dialect = csv.Sniffer().sniff(text[:4096], delimiters=",;\t|")
        except csv.Error:
            continue
        rows = [
            row
            for row in csv.reader(io.StringIO(text, newline=""), delimiter=dialect.delimiter)
            if any(cell.strip() for cell in row)
        ]
        if not rows:
            continue
        width = statistics.mode(len(row) for row in rows)
        rows = [
            row
            for row in rows
            if len(row) == width and not any('"' in cell or "\n" in cell or "\r" in cell for cell in row)
        ]
        if width >= 3 and len(rows) >= 6:
            tables.append((f"examples/{path.name}", rows))
    return tables


def render(cell: str, delimiter: str = ",", quote: str = '"', force: bool = False) -> str:
    if force or any(c in cell for c in (delimiter, quote, "\n", "\r")):
        return quote + cell.replace(quote, quote * 2) + quote
    return cell


def line(row: Row, delimiter: str = ",") -> str:
    return delimiter.join(render(cell, delimiter) for cell in row)


@dataclass
class Damaged:
    text: str
    truth: list[Row]  # the table as it should come out
    damaged: set[int] = field(default_factory=set)  # rows of truth that carry damage
    extra_lines: int = 0


# Row damage: from a row and the column chosen, the damaged line and the true row, or None
# when the row cannot take that damage there.
def stray_delimiter_in(typed: bool):
    def damage(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
        return stray_delimiter(row, k, rng, typed) if (k in typed_columns) == typed else None

    return damage


def with_comma(value: str, typed: bool, rng: random.Random) -> str | None:
    """The value as it reads with a comma in it: a number as locales write it (thousands
    separators, a decimal comma), a text with ", " between words (or a comma inside a single
    word); None when the value has no such form."""
    if typed:
        if re.fullmatch(r"\d{4,}", value):
            return f"{int(value):,}"
        if re.fullmatch(r"\d+\.\d+", value):
            return value.replace(".", ",")
        return None
    if len(value) < 2 or '"' in value or "," in value:
        return None
    spaces = [i for i, c in enumerate(value) if c == " "]
    at = rng.choice(spaces) if spaces else rng.randint(1, len(value) - 1)
    return value[:at] + "," + value[at:]


def stray_delimiter(row: Row, k: int, rng: random.Random, typed: bool) -> tuple[str, Row] | None:
    """A value with a comma in it, written unquoted."""
    value = with_comma(row[k], typed, rng)
    if value is None:
        return None
    truth = [*row[:k], value, *row[k + 1 :]]
    return ",".join([*(render(c) for c in row[:k]), value, *(render(c) for c in row[k + 1 :])]), truth


def missing_delimiter(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    if (
        k + 1 >= len(row)
        or not row[k]
        or not row[k + 1]
        or render(row[k]) != row[k]
        or render(row[k + 1]) != row[k + 1]
    ):
        return None
    cells = [render(c) for c in row]
    return ",".join([*cells[:k], cells[k] + cells[k + 1], *cells[k + 2 :]]), row


def doubled_delimiter(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    if k + 1 >= len(row):
        return None
    cells = [render(c) for c in row]
    return ",".join([*cells[: k + 1], "", *cells[k + 1 :]]), row


def stray_quote(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    """A value that starts with a quote, written unquoted, before a field quoted by the writer."""
    if k + 2 >= len(row) or "," in row[k] or '"' in row[k]:
        return None
    truth = [*row[:k], '"' + row[k], *row[k + 1 :]]
    later = rng.randint(k + 1, len(row) - 1)
    cells = [truth[i] if i == k else render(c, force=i == later) for i, c in enumerate(truth)]
    return ",".join(cells), truth


def unclosed_quote(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    """A value that starts with a quote, written unquoted, with no other quote on its line."""
    if any(render(c) != c for c in row) or any('"' in c for c in row):
        return None
    truth = [*row[:k], '"' + row[k], *row[k + 1 :]]
    return ",".join(truth), truth


ROW_DAMAGE = {
    "stray delimiter, typed column": stray_delimiter_in(True),
    "stray delimiter, text column": stray_delimiter_in(False),
    "missing delimiter (fused)": missing_delimiter,
    "doubled delimiter": doubled_delimiter,
    "stray quote": stray_quote,
    "unclosed quote": unclosed_quote,
}


TYPED = re.compile(r"[-+]?\d[\d.,:/ -]*|true|false|[A-Z]+-\d+")


def typed_columns(table: list[Row]) -> set[int]:
    """The columns whose every value is a number, a date or time, a boolean or a product code."""
    return {k for k in range(len(table[0])) if all(TYPED.fullmatch(row[k]) for row in table[1:])}


def damage_rows(
    table: list[Row], damage, rng: random.Random, chosen: Callable[[int], bool], column: int = 0
) -> Damaged:
    """Damages the chosen rows below the header, the column cycling over all of them."""
    typed = typed_columns(table)
    column %= len(table[0])
    lines = [line(table[0])]
    truth = [table[0]]
    out = Damaged("", truth)
    for index, row in enumerate(table[1:], start=1):
        made = None
        if chosen(index):
            for _ in range(len(row)):
                made = damage(row, column, rng, typed)
                column = (column + 1) % len(row)
                if made is not None:
                    break
        if made is None:
            lines.append(line(row))
            truth.append(row)
        else:
            lines.append(made[0])
            truth.append(made[1])
            out.damaged.add(index)
    out.text = "\n".join(lines) + "\n"
    return out


# Dialect damage: the whole file written otherwise.
def written(table: list[Row], delimiter: str = ",", quote: str = '"') -> str:
    return "".join(delimiter.join(render(c, delimiter, quote) for c in row) + "\n" for row in table)


def escaped(table: list[Row]) -> str:
    return "".join(",".join(c.replace("\\", "\\\\").replace(",", "\\,") for c in row) + "\n" for row in table)


def with_comments(table: list[Row]) -> str:
    lines = [line(row) for row in table]
    for at in range(len(lines) - 1, 0, -20):
        lines.insert(at, "# checked by the night run")
    return "\n".join(lines) + "\n"


def quotes_undoubled(table: list[Row]) -> str:
    """Cells holding a quote written between quotes, the quotes inside not doubled."""
    return "".join(",".join(f'"{c}"' if '"' in c else render(c) for c in row) + "\n" for row in table)


SIZES = ('12" ruler', '5" pipe', "A4", '27" screen', "plain", "1/2 inch", '3" nails')
UNITS = {"id": "key", "date": "yyyy-mm-dd", "time": "hh:mm", "qty": "pcs", "price": "EUR", "amount": "EUR"}
APOSTROPHES = ("O'Neill & Sons", "it's late, again", "Trader Joe's", "don't stack, fragile", "D'Arcy", "Land's End")
QUOTED_WORDS = ('the "new" price', 'marked "fragile" twice', 'a "rush" order')
INTRO = (
    "Orders export",
    "Generated 2024-05-01 06:00 by the night run",
    "Source: order system (EU)",
    "Period: April 2024",
    "Currency: EUR",
    "Prices include VAT",
    "Cancelled orders are left out",
    "Returns are listed separately",
    "Contact: sales office",
    "Version 3",
    "Confidential",
)


def inch_marked(table: list[Row]) -> list[Row]:
    """A table written with no quoting: no cell holds a comma, a size column holds inch marks
    and, every ten rows, a lone quote opening a cell."""
    rows = [[cell.replace(",", "") for cell in row] for row in table]
    return [
        [*rows[0], "size"],
        *([*row, '"as is' if i % 10 == 3 else SIZES[i % len(SIZES)]] for i, row in enumerate(rows[1:])),
    ]


def with_apostrophes(table: list[Row], undoubled: bool = False) -> list[Row]:
    """Every third text cell holding an apostrophe (some of them a comma, so quoted), and with
    `undoubled` every twelfth row a cell holding quotes that its writer will not double."""
    text = sorted(set(range(len(table[0]))) - typed_columns(table)) or [len(table[0]) - 1]
    rows = [table[0]]
    for i, row in enumerate(table[1:], start=1):
        row = [
            APOSTROPHES[i // 3 % len(APOSTROPHES)] if (i + k) % 3 == 0 and k in text else cell
            for k, cell in enumerate(row)
        ]
        if undoubled and i % 12 == 5:
            row[text[0]] = QUOTED_WORDS[i // 12 % len(QUOTED_WORDS)]
        rows.append(row)
    return rows


def unspaced(table: list[Row]) -> list[Row]:
    """The columns with no blank in any cell: a space-separated file that quotes nothing."""
    keep = [k for k in range(len(table[0])) if not any(" " in row[k] for row in table)]
    return [[row[k] for k in keep] for row in table]


def numbered(table: list[Row]) -> list[Row]:
    """A first column "#" of order numbers written #1, #2, ...: every line starts with '#'."""
    return [["#", *table[0]], *([f"#{i}", *row] for i, row in enumerate(table[1:], start=1))]


def one_column(table: list[Row]) -> list[Row]:
    rng = random.Random(line(table[1]))
    return [["price"], *([COLUMNS["price"](rng)] for _ in table[1:])]


def long_first_record(table: list[Row]) -> list[Row]:
    """The first record's last cell a note of 120 lines: more than the head's limit."""
    note = "\n".join(f"line {n} of the delivery note" for n in range(1, 121))
    return [table[0], [*table[1][:-1], note], *table[2:]]


# Dialect kinds whose table is not the one generated: the truth their salvage is scored against.
DIALECT_TABLE: dict[str, Callable[[list[Row]], list[Row]]] = {
    "no header": lambda t: t[1:],
    "no quoting": inch_marked,
    "two header rows": lambda t: [t[0], [UNITS.get(name, "") for name in t[0]], *t[1:]],
    "apostrophes, quotes not doubled": lambda t: with_apostrophes(t, undoubled=True),
    "space-separated, nothing quoted": unspaced,
    "apostrophes in quoted cells": with_apostrophes,
    "'#' leading the header and rows": numbered,
    "comment lines among rows led by '#'": numbered,
    "one column of decimals": one_column,
    "long quoted first record": long_first_record,
}
DIALECT_DAMAGE: dict[str, Callable[[list[Row]], tuple[str, int]]] = {
    "preamble": lambda t: ("Orders export\nGenerated 2024-05-01 06:00\n" + written(t), 2),
    "title line": lambda t: ("Orders export\n" + written(t), 1),
    "title and a blank line": lambda t: ("Orders export\n\n" + written(t), 2),
    "intro lines": lambda t: ("".join(f"{text}\n" for text in INTRO) + written(t), len(INTRO)),
    "comment lines": lambda t: (with_comments(t), (len(t) - 1) // 20 + 1),
    "comment lines among rows led by '#'": lambda t: (with_comments(t), (len(t) - 1) // 20 + 1),
    "semicolon delimiter": lambda t: (written(t, ";"), 0),
    "caret delimiter": lambda t: (written(t, "^"), 0),
    "space-separated": lambda t: (written(t, " "), 0),
    "single quotes": lambda t: (written(t, quote="'"), 0),
    "apostrophes, quotes not doubled": lambda t: (quotes_undoubled(t), 0),
    "backslash escapes": lambda t: (escaped(t), 0),
    "no header": lambda t: (written(t), 0),
    "comma and space": lambda t: ("".join(", ".join(render(c) for c in row) + "\n" for row in t), 0),
    "no quoting": lambda t: ("".join(",".join(row) + "\n" for row in t), 0),
    "two header rows": lambda t: (written(t), 0),
}
# Kinds the classic reading reads as a sound table, with no damage to undo: in the dialect table only.
SOUND_KINDS: dict[str, Callable[[list[Row]], str]] = {
    "title padded to the width": lambda t: "Orders export" + "," * (len(t[0]) - 1) + "\n" + written(t),
    "space-separated, nothing quoted": lambda t: written(t, " "),
    "single quotes around every cell": lambda t: "".join("|".join(f"'{c}'" for c in row) + "\n" for row in t),
    "apostrophes in quoted cells": written,
    "'#' leading the header and rows": written,
    "one column of decimals": written,
    "long quoted first record": written,
}


def file_text(kind: str, table: list[Row]) -> str:
    shaped = DIALECT_TABLE.get(kind, list)(table)
    if kind == "plain":
        return written(shaped)
    return SOUND_KINDS[kind](shaped) if kind in SOUND_KINDS else DIALECT_DAMAGE[kind](shaped)[0]


# What detection should read in each dialect kind, beside what it reads in a plain file.
PLAIN_DIALECT = {
    "delimiter": ",",
    "quote_char": '"',
    "escape_char": None,
    "skip_blanks": False,
    "header_rows": 1,
    "comment_prefix": None,
    "preamble_lines": 0,
}
DIALECT_TRUTH = {
    "plain": {},
    "preamble": {"preamble_lines": 2},
    "title line": {"preamble_lines": 1},
    "title and a blank line": {"preamble_lines": 2},
    "intro lines": {"preamble_lines": len(INTRO)},
    "title padded to the width": {},
    "comment lines": {"comment_prefix": "#"},
    "comment lines among rows led by '#'": {"comment_prefix": "#"},
    "'#' leading the header and rows": {},
    "semicolon delimiter": {"delimiter": ";"},
    "caret delimiter": {"delimiter": "^"},
    "space-separated": {"delimiter": " "},
    "space-separated, nothing quoted": {"delimiter": " "},
    "single quotes": {"quote_char": "'"},
    "single quotes around every cell": {"delimiter": "|", "quote_char": "'"},
    "apostrophes in quoted cells": {},
    "apostrophes, quotes not doubled": {},
    "backslash escapes": {"escape_char": "\\"},
    "no header": {"header_rows": 0},
    "comma and space": {"skip_blanks": True},
    "no quoting": {"quote_char": None},
    "two header rows": {"header_rows": 2},
    "one column of decimals": {},
    "long quoted first record": {},
}
# Kinds whose sound files (see sound()) hold what may be otherwise: such a file is kept as a strict
# reader reads it, with a warning saying this, and the dialect it is written in is not judged.
WARNED = {
    "title padded to the width": "--preamble-lines 1",
    "caret delimiter": "--delimiter '^'",
    "space-separated": "--delimiter ' '",
    "space-separated, nothing quoted": "--delimiter ' '",
    "single quotes around every cell": '--quote-char "\'"',
}


def classic_delimiter(kind: str) -> str:
    """The delimiter the classic reading reads a kind with: it sniffs one of , ; tab |, and a file
    with none of them is one column."""
    delimiter = DIALECT_TRUTH[kind].get("delimiter", ",")
    return delimiter if delimiter in ",;\t|" else ","


def strict_rows(text: str, delimiter: str) -> list[Row] | None:
    try:
        return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True))
    except csv.Error:
        return None


def sound(kind: str, text: str) -> bool:
    """Whether the default rules must keep the file as a strict reader reads it with the classic
    delimiter: it does so at one width, refusing no quote. Blanks after every delimiter, which
    the default rules skip, aside."""
    if kind == "comma and space":
        return False
    rows = strict_rows(text, classic_delimiter(kind))
    return rows is not None and len({len(row) for row in rows if row}) == 1


def salvaged(path: Path, classic: bool) -> tuple[list[Row], bytes, tuple[str, ...]]:
    out = path.with_suffix(".out.csv")
    report = tidewrack.salvage(path, out, quarantine=None, repairs=None, classic=classic)
    data = out.read_bytes()
    rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), delimiter=report.detected_delimiter))
    return rows, data, report.warnings


def kept_or_repaired(path: Path, kind: str) -> tuple[bool, bool, tuple[str, ...]]:
    """A sound file salvaged with the default rules: whether its rows are as a strict reader reads
    them, whether it was falsely repaired (neither so nor the classic output, byte for byte),
    and the warnings."""
    rows, data, warnings = salvaged(path, False)
    kept = rows == strict_rows(path.read_text(encoding="utf-8"), classic_delimiter(kind))
    repaired = not kept and data != salvaged(path, True)[1]
    if repaired:
        print(f"false repair: {kind}: {path.read_text(encoding='utf-8')[:300]!r}", file=sys.stderr)
    return kept, repaired, warnings


@dataclass
class Detection:
    lines: list[str] = field(default_factory=list)
    sound: int = 0
    repaired: int = 0


def dialect_accuracy(seed: int, count: int, rows: int, directory: Path) -> Detection:
    """Markdown rows: how many generated files of each dialect kind are read right, kept as a
    strict reader reads them (of those the classic reading reads soundly) and warned of.

    A quote or escape character that no cell needed leaves no trace in the file, which then
    reads alike whichever is detected: there only the other fields are judged.
    """
    detection = Detection()
    tables = generated_tables(seed, count, rows)
    for kind, changes in DIALECT_TRUTH.items():
        right = kept = sound_files = warned = 0
        wrong: dict[str, int] = {}
        for number, (_, table) in enumerate(tables):
            text = file_text(kind, table)
            path = directory / f"dialect-{number}.csv"
            path.write_text(text, encoding="utf-8")
            found = tidewrack.detect(path)
            warned += bool(found.notes)
            misses = []
            is_sound = sound(kind, text)
            if is_sound:
                sound_files += 1
                as_read, repaired, warnings = kept_or_repaired(path, kind)
                kept += as_read
                detection.repaired += repaired
                due = WARNED.get(kind, "")
                given = any(due in warning for warning in warnings) if due else not warnings
                misses = [
                    miss
                    for miss, fails in (("rows changed", not as_read), ("no warning" if due else "warned", not given))
                    if fails
                ]
            if not (is_sound and kind in WARNED):
                want = {
                    **PLAIN_DIALECT,
                    **{
                        name: value
                        for name, value in changes.items()
                        if name not in ("quote_char", "escape_char") or value is None or value in text
                    },
                }
                misses += [name for name, value in want.items() if found.to_dict()[name] != value]
            right += not misses
            for name in misses:
                wrong[name] = wrong.get(name, 0) + 1
        detection.sound += sound_files
        seen = ", ".join(f"{name} ({times})" for name, times in sorted(wrong.items())) or "-"
        kept_share = f"{kept} of {sound_files}" if sound_files else "-"
        detection.lines.append(
            f"| {kind} | {right} of {count} ({percent(right, count)}) | {kept_share} | {warned} | {seen} |"
        )
    return detection


@dataclass
class Score:
    damaged: int = 0
    exact: int = 0
    cells: int = 0
    cells_right: int = 0
    undamaged: int = 0
    intact: int = 0
    extra: int = 0

    def add(self, case: Damaged, rows: list[Row]) -> None:
        truth = case.truth
        matcher = difflib.SequenceMatcher(None, [tuple(r) for r in truth], [tuple(r) for r in rows], autojunk=False)
        found: dict[int, Row] = {}
        for tag, a0, a1, b0, b1 in matcher.get_opcodes():
            if tag == "equal" or (tag == "replace" and a1 - a0 == b1 - b0):
                found.update((a0 + i, rows[b0 + i]) for i in range(a1 - a0))
            elif tag == "replace":
                # Unequal blocks: paired in order as far as they go.
                found.update((a0 + i, rows[b0 + i]) for i in range(min(a1 - a0, b1 - b0)))
        self.extra += max(0, len(rows) - len(truth))
        for index, want in enumerate(truth):
            got = found.get(index)
            if index in case.damaged:
                self.damaged += 1
                self.exact += got == want
                self.cells += len(want)
                if got is not None:
                    self.cells_right += sum(a == b for a, b in zip(want, got))
            else:
                self.undamaged += 1
                self.intact += got == want


def percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "–"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--rows", type=int, default=300, help="rows per generated table")
    parser.add_argument("--tables", type=int, default=6, help="generated tables")
    parser.add_argument("--share", type=float, default=0.1, help="share of rows damaged")
    parser.add_argument(
        "--dialect-tables", type=int, default=200, help="generated tables per dialect kind whose detection is checked"
    )
    parser.add_argument("--timing-rows", type=int, default=200000, help="rows of the table timed (0: no timing)")
    parser.add_argument("--examples", type=Path, default=Path(__file__).resolve().parent.parent / "examples")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    tables = generated_tables(args.seed, args.tables, args.rows) + example_tables(args.examples)
    scores: dict[tuple[str, bool], Score] = {}
    sound_files = repaired = 0
    with tempfile.TemporaryDirectory(prefix="tidewrack-quality-") as scratch:
        directory = Path(scratch)
        for number, (name, table) in enumerate(tables):
            cases: list[tuple[str, Damaged]] = []
            # The undamaged table and what is written from it that the classic reading reads
            # soundly: salvaged as a strict reader reads them.
            for kind in DIALECT_TRUTH:
                text = file_text(kind, table)
                if sound(kind, text):
                    path = directory / f"t{number}-sound.csv"
                    path.write_text(text, encoding="utf-8")
                    sound_files += 1
                    repaired += kept_or_repaired(path, kind)[1]
            # The examples are short: damaged in every row, one file per row damaged.
            share = args.share if name.startswith("generated") else 1.0
            for kind, damage in ROW_DAMAGE.items():
                if share == 1.0:
                    cases.extend(
                        (kind, damage_rows(table, damage, rng, lambda i, r=row: i == r, row))
                        for row in range(1, len(table))
                    )
                else:
                    cases.append((kind, damage_rows(table, damage, rng, lambda i: rng.random() < share)))  # noqa: B023 - called at once
            for kind, damage in DIALECT_DAMAGE.items():
                truth = DIALECT_TABLE.get(kind, list)(table)
                text, extra = damage(truth)
                cases.append((kind, Damaged(text, truth, set(range(len(truth))), extra)))
            for index, (kind, case) in enumerate(cases):
                path = directory / f"t{number}-{index}.csv"
                path.write_text(case.text, encoding="utf-8")
                for classic in (True, False):
                    rows = salvaged(path, classic)[0]
                    scores.setdefault((kind, classic), Score()).add(case, rows)

        detection = dialect_accuracy(args.seed + 2, args.dialect_tables, 60, directory)
        timing = ""
        if args.timing_rows:
            table = generated_tables(args.seed + 1, 1, args.timing_rows)[0][1]
            kinds = list(ROW_DAMAGE.values())
            case = damage_rows(table, lambda *a: rng.choice(kinds)(*a), rng, lambda i: rng.random() < args.share)
            path = directory / "timing.csv"
            path.write_text(case.text, encoding="utf-8")
            out = str(path.with_suffix(".out.csv"))

            def best_of_three(run: Callable[[], object]) -> float:
                times = []
                for _ in range(3):
                    started = time.perf_counter()
                    run()
                    times.append(time.perf_counter() - started)
                return min(times)

            # On one thread, as the classic rules run; the repair log left out as classic has none.
            classic = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None, classic=True))
            default = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None, threads=1))
            # As users run them: every core.
            every_core = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None))
            unaligned = best_of_three(lambda: _native.salvage(str(path), out, threads=1, align_columns=False))
            aligned = best_of_three(lambda: _native.salvage(str(path), out, threads=1))
            size = path.stat().st_size / 1e6
            timing = (
                f"Time on a {size:.0f} MB table with {args.share:.0%} of its rows damaged, one thread, "
                f"best of 3: classic {classic:.3f} s, default rules {default:.3f} s "
                f"({default / classic:.2f}x classic), on every core {every_core:.3f} s "
                f"({every_core / classic:.2f}x); the engine alone with and without "
                f"column-aware repair {aligned:.3f} s / {unaligned:.3f} s ({aligned / unaligned:.2f}x)."
            )

    print(
        f"Seed {args.seed}: {args.tables} generated tables of {args.rows} rows "
        f"({args.share:.0%} damaged), {len(tables) - args.tables} examples (every row damaged in turn).\n"
    )
    print(
        "| damage | classic exact | classic cells | default exact | default cells "
        "| classic intact | default intact | extra rows classic / default |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for kind in [*ROW_DAMAGE, *DIALECT_DAMAGE]:
        old, new = scores[(kind, True)], scores[(kind, False)]
        print(
            f"| {kind} ({new.damaged} rows) | {percent(old.exact, old.damaged)} "
            f"| {percent(old.cells_right, old.cells)} | {percent(new.exact, new.damaged)} "
            f"| {percent(new.cells_right, new.cells)} | {percent(old.intact, old.undamaged)} "
            f"| {percent(new.intact, new.undamaged)} | {old.extra} / {new.extra} |"
        )
    print(
        "\n| dialect kind | read right | sound files kept as a strict reader reads them | warned | read wrong (files) |"
    )
    print("|---|---|---|---|---|")
    print("\n".join(detection.lines))
    print(
        f"\nNo false repairs: the default output is the classic output or the rows a strict reader "
        f"reads on {sound_files - repaired} of {sound_files} sound files written from the "
        f"{len(tables)} tables (the undamaged table among them) and on "
        f"{detection.sound - detection.repaired} of {detection.sound} in the dialect table."
    )
    if timing:
        print(timing)
    return 0


if __name__ == "__main__":
    sys.exit(main())
