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
  dialect kinds     the whole file with a preamble, comment lines, another delimiter, single
                    quotes, backslash escapes, a blank after each comma, no quoting (inch
                    marks), no header or a unit row under it, for whatever detection there is

The truth of a damaged row is the row as written (a stray comma or quote is part of the value).
A markdown table per kind:

  exact    damaged rows that come out exactly as the undamaged table had them
  cells    cells of the damaged rows in their right place
  intact   undamaged rows that come out unchanged
  extra    rows in the output that the table did not have (a preamble, comments)

Then, for each dialect kind, how many of --dialect-tables generated files tidewrack.detect
reads right (delimiter, quote, escape, blanks after delimiters, header rows, comment prefix,
preamble lines; a quote or escape character no cell needed leaves no trace and is not
judged), the
false-repair check (undamaged input: the default rules write the classic output, byte
for byte) and the time of the default rules over the classic ones on one larger damaged table.
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

CUSTOMERS = ("Contoso", "Fabrikam", "Northwind Traders", "Tailspin Toys", "Litware", "Proseware",
             "Wingtip", "Woodgrove Bank", "Blue Yonder", "Adventure Works")
STREETS = ("Market St", "Harbour Rd", "Park Ave", "Mill Lane", "Bridge St", "Kings Rd", "Elm Ct")
PRODUCTS = ("Oat milk 1l", "Rye bread", "Green tea", "Apples 1kg", "Paper cups 12oz", "Descaler",
            "Espresso beans 1kg", "Napkins", "Syrup vanilla", "Tea chai 500g")
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
        body = [[str(start + i) if name == "id" else COLUMNS[name](rng) for name in names]
                for i in range(rows)]
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
        rows = [row for row in csv.reader(io.StringIO(text, newline=""), delimiter=dialect.delimiter)
                if any(cell.strip() for cell in row)]
        if not rows:
            continue
        width = statistics.mode(len(row) for row in rows)
        rows = [row for row in rows
                if len(row) == width and not any('"' in cell or "\n" in cell or "\r" in cell
                                                  for cell in row)]
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
    truth = [*row[:k], value, *row[k + 1:]]
    return ",".join([*(render(c) for c in row[:k]), value, *(render(c) for c in row[k + 1:])]), truth


def missing_delimiter(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    if k + 1 >= len(row) or not row[k] or not row[k + 1] or render(row[k]) != row[k] \
            or render(row[k + 1]) != row[k + 1]:
        return None
    cells = [render(c) for c in row]
    return ",".join([*cells[:k], cells[k] + cells[k + 1], *cells[k + 2:]]), row


def doubled_delimiter(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    if k + 1 >= len(row):
        return None
    cells = [render(c) for c in row]
    return ",".join([*cells[:k + 1], "", *cells[k + 1:]]), row


def stray_quote(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    """A value that starts with a quote, written unquoted, before a field quoted by the writer."""
    if k + 2 >= len(row) or "," in row[k] or '"' in row[k]:
        return None
    truth = [*row[:k], '"' + row[k], *row[k + 1:]]
    later = rng.randint(k + 1, len(row) - 1)
    cells = [truth[i] if i == k else render(c, force=i == later) for i, c in enumerate(truth)]
    return ",".join(cells), truth


def unclosed_quote(row: Row, k: int, rng: random.Random, typed_columns: set[int]) -> tuple[str, Row] | None:
    """A value that starts with a quote, written unquoted, with no other quote on its line."""
    if any(render(c) != c for c in row) or any('"' in c for c in row):
        return None
    truth = [*row[:k], '"' + row[k], *row[k + 1:]]
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


def damage_rows(table: list[Row], damage, rng: random.Random, chosen: Callable[[int], bool],
                column: int = 0) -> Damaged:
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
    return "".join(",".join(c.replace("\\", "\\\\").replace(",", "\\,") for c in row) + "\n"
                   for row in table)


def with_comments(table: list[Row]) -> str:
    lines = [line(row) for row in table]
    for at in range(len(lines) - 1, 0, -20):
        lines.insert(at, "# checked by the night run")
    return "\n".join(lines) + "\n"


SIZES = ('12" ruler', '5" pipe', "A4", '27" screen', "plain", "1/2 inch", '3" nails')
UNITS = {"id": "key", "date": "yyyy-mm-dd", "time": "hh:mm", "qty": "pcs", "price": "EUR", "amount": "EUR"}


def inch_marked(table: list[Row]) -> list[Row]:
    """A table written with no quoting: no cell holds a comma, a size column holds inch marks
    and, every ten rows, a lone quote opening a cell."""
    rows = [[cell.replace(",", "") for cell in row] for row in table]
    return [[*rows[0], "size"], *([*row, '"as is' if i % 10 == 3 else SIZES[i % len(SIZES)]]
                                  for i, row in enumerate(rows[1:]))]


# Dialect kinds whose table is not the one generated: the truth their salvage is scored against.
DIALECT_TABLE: dict[str, Callable[[list[Row]], list[Row]]] = {
    "no header": lambda t: t[1:],
    "no quoting": inch_marked,
    "two header rows": lambda t: [t[0], [UNITS.get(name, "") for name in t[0]], *t[1:]],
}
DIALECT_DAMAGE: dict[str, Callable[[list[Row]], tuple[str, int]]] = {
    "preamble": lambda t: ("Orders export\nGenerated 2024-05-01 06:00\n" + written(t), 2),
    "comment lines": lambda t: (with_comments(t), (len(t) - 1) // 20 + 1),
    "semicolon delimiter": lambda t: (written(t, ";"), 0),
    "caret delimiter": lambda t: (written(t, "^"), 0),
    "single quotes": lambda t: (written(t, quote="'"), 0),
    "backslash escapes": lambda t: (escaped(t), 0),
    "no header": lambda t: (written(t), 0),
    "comma and space": lambda t: ("".join(", ".join(render(c) for c in row) + "\n" for row in t), 0),
    "no quoting": lambda t: ("".join(",".join(row) + "\n" for row in t), 0),
    "two header rows": lambda t: (written(t), 0),
}


# What detection should read in each dialect kind, beside what it reads in a plain file.
PLAIN_DIALECT = {"delimiter": ",", "quote_char": '"', "escape_char": None, "skip_blanks": False,
                 "header_rows": 1, "comment_prefix": None, "preamble_lines": 0}
DIALECT_TRUTH = {
    "plain": {},
    "preamble": {"preamble_lines": 2},
    "comment lines": {"comment_prefix": "#"},
    "semicolon delimiter": {"delimiter": ";"},
    "caret delimiter": {"delimiter": "^"},
    "single quotes": {"quote_char": "'"},
    "backslash escapes": {"escape_char": "\\"},
    "no header": {"header_rows": 0},
    "comma and space": {"skip_blanks": True},
    "no quoting": {"quote_char": None},
    "two header rows": {"header_rows": 2},
}


def dialect_accuracy(seed: int, count: int, rows: int, directory: Path) -> list[str]:
    """Markdown rows: how many generated files of each dialect kind tidewrack.detect reads right.

    A quote or escape character that no cell needed leaves no trace in the file, which then
    reads alike whichever is detected: there only the other fields are judged.
    """
    lines = []
    tables = generated_tables(seed, count, rows)
    for kind, changes in DIALECT_TRUTH.items():
        right = 0
        wrong: dict[str, int] = {}
        for number, (_, table) in enumerate(tables):
            shaped = DIALECT_TABLE.get(kind, list)(table)
            text = written(table) if kind == "plain" else DIALECT_DAMAGE[kind](shaped)[0]
            path = directory / f"dialect-{number}.csv"
            path.write_text(text, encoding="utf-8")
            want = {**PLAIN_DIALECT, **{name: value for name, value in changes.items()
                                        if name not in ("quote_char", "escape_char") or value is None
                                        or value in text}}
            found = tidewrack.detect(path).to_dict()
            misses = [name for name, value in want.items() if found[name] != value]
            right += not misses
            for name in misses:
                wrong[name] = wrong.get(name, 0) + 1
        seen = ", ".join(f"{name} ({times})" for name, times in sorted(wrong.items())) or "-"
        lines.append(f"| {kind} | {right} of {count} ({percent(right, count)}) | {seen} |")
    return lines


def salvaged(path: Path, classic: bool) -> tuple[list[Row], bytes]:
    out = path.with_suffix(".out.csv")
    report = tidewrack.salvage(path, out, quarantine=None, repairs=None, classic=classic)
    data = out.read_bytes()
    rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""),
                           delimiter=report.detected_delimiter))
    return rows, data


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
        matcher = difflib.SequenceMatcher(None, [tuple(r) for r in truth], [tuple(r) for r in rows],
                                          autojunk=False)
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
    parser.add_argument("--dialect-tables", type=int, default=200,
                        help="generated tables per dialect kind whose detection is checked")
    parser.add_argument("--timing-rows", type=int, default=200000,
                        help="rows of the table timed (0: no timing)")
    parser.add_argument("--examples", type=Path, default=Path(__file__).resolve().parent.parent / "examples")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    tables = generated_tables(args.seed, args.tables, args.rows) + example_tables(args.examples)
    scores: dict[tuple[str, bool], Score] = {}
    same_output = 0
    with tempfile.TemporaryDirectory(prefix="tidewrack-quality-") as scratch:
        directory = Path(scratch)
        for number, (name, table) in enumerate(tables):
            cases: list[tuple[str, Damaged]] = []
            path = directory / f"t{number}-clean.csv"
            path.write_text(written(table), encoding="utf-8")
            if salvaged(path, True)[1] == salvaged(path, False)[1]:
                same_output += 1
            else:
                print(f"false repair: {name}", file=sys.stderr)
            # The examples are short: damaged in every row, one file per row damaged.
            share = args.share if name.startswith("generated") else 1.0
            for kind, damage in ROW_DAMAGE.items():
                if share == 1.0:
                    cases.extend((kind, damage_rows(table, damage, rng, lambda i, r=row: i == r, row))
                                 for row in range(1, len(table)))
                else:
                    cases.append((kind, damage_rows(table, damage, rng,
                                                    lambda i: rng.random() < share)))
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
            case = damage_rows(table, lambda *a: rng.choice(kinds)(*a), rng,
                               lambda i: rng.random() < args.share)
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
            classic = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None,
                                                              classic=True))
            default = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None,
                                                              threads=1))
            # As users run them: every core.
            every_core = best_of_three(lambda: tidewrack.salvage(path, out, quarantine=None, repairs=None))
            unaligned = best_of_three(lambda: _native.salvage(str(path), out, threads=1,
                                                              align_columns=False))
            aligned = best_of_three(lambda: _native.salvage(str(path), out, threads=1))
            size = path.stat().st_size / 1e6
            timing = (f"Time on a {size:.0f} MB table with {args.share:.0%} of its rows damaged, one thread, "
                      f"best of 3: classic {classic:.3f} s, default rules {default:.3f} s "
                      f"({default / classic:.2f}x classic), on every core {every_core:.3f} s "
                      f"({every_core / classic:.2f}x); the engine alone with and without "
                      f"column-aware repair {aligned:.3f} s / {unaligned:.3f} s ({aligned / unaligned:.2f}x).")

    print(f"Seed {args.seed}: {args.tables} generated tables of {args.rows} rows "
          f"({args.share:.0%} damaged), {len(tables) - args.tables} examples (every row damaged in turn).\n")
    print("| damage | classic exact | classic cells | default exact | default cells "
          "| classic intact | default intact | extra rows classic / default |")
    print("|---|---|---|---|---|---|---|---|")
    for kind in [*ROW_DAMAGE, *DIALECT_DAMAGE]:
        old, new = scores[(kind, True)], scores[(kind, False)]
        print(f"| {kind} ({new.damaged} rows) | {percent(old.exact, old.damaged)} "
              f"| {percent(old.cells_right, old.cells)} | {percent(new.exact, new.damaged)} "
              f"| {percent(new.cells_right, new.cells)} | {percent(old.intact, old.undamaged)} "
              f"| {percent(new.intact, new.undamaged)} | {old.extra} / {new.extra} |")
    print("\n| dialect kind | read right by tidewrack.detect | fields read wrong (files) |")
    print("|---|---|---|")
    print("\n".join(detection))
    print(f"\nNo false repairs: the default output is the classic output on {same_output} of "
          f"{len(tables)} undamaged tables.")
    if timing:
        print(timing)
    return 0


if __name__ == "__main__":
    sys.exit(main())
