"""The clean file and the reader agree: a strict CSV reader over the clean output
yields exactly the rows that SalvageReader hands out, for damaged inputs."""

import csv
import random

import pytest

import _tidewrack_backend as backend

PIECES = ["a", "bc", "long words here", " ", "", "é", "€uro", "\udcff", "1.5", "x y"]


def damaged_field(rnd, delimiter, quote):
    text = "".join(rnd.choice(PIECES) for _ in range(rnd.randint(0, 3)))
    roll = rnd.random()
    if roll < 0.15:
        text += delimiter
    elif roll < 0.25:
        text += quote  # a stray quote in an unquoted field
    if rnd.random() < 0.3:
        inner = text + rnd.choice(["", "\n", "\r\n", delimiter, quote * 2])
        if rnd.random() < 0.2:
            inner += quote + rnd.choice(["x", " ", ""])  # a quote that may or may not close
        ending = "" if rnd.random() < 0.05 else quote  # now and then left open
        text = quote + inner + ending
    return text


def damaged_input(seed):
    rnd = random.Random(seed)
    delimiter = rnd.choice([",", ";", "\t", "|"])
    quote = rnd.choice(['"', '"', "'"])
    width = rnd.randint(1, 5)
    lines = []
    for _ in range(rnd.randint(0, 40)):
        if rnd.random() < 0.07:
            lines.append("")
            continue
        count = max(1, width + rnd.choice([0, 0, 0, -1, 1, 2]))
        lines.append(delimiter.join(damaged_field(rnd, delimiter, quote) for _ in range(count)))
    ending = rnd.choice(["\n", "\r\n", "\r"])
    text = ending.join(lines) + rnd.choice(["", ending])
    data = text.encode("utf-8", "surrogateescape")  # "\udcff" becomes the invalid byte FF
    if rnd.random() < 0.1:
        data = b"\xef\xbb\xbf" + data
    options = {
        "delimiter": rnd.choice([None, delimiter, delimiter]),
        "quote_char": quote,
        "fill_ragged_rows": rnd.random() < 0.7,
        "merge_overflow": rnd.random() < 0.7,
        "expected_columns": rnd.choice([None, None, 0, width, width + 1]),
        "repair_quotes": rnd.random() < 0.7,
    }
    return data, options


def strict_rows(path, delimiter, quote):
    with open(path, newline="", encoding="utf-8") as stream:
        # A row of one empty field is written as an empty line, which csv reads as [].
        return [row or [""] for row in csv.reader(stream, delimiter=delimiter, quotechar=quote, strict=True)]


@pytest.mark.parametrize("seed", range(200))
def test_clean_output_reads_back_as_the_reader_rows(write_input, tmp_path, seed):
    data, options = damaged_input(seed)
    source = write_input(data)
    clean, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
    context = f"input {data!r} with {options}"

    summary = backend.salvage_file(source, str(clean), str(quarantine), **options)
    reader = backend.open(source, **options)
    rows = list(reader)

    assert summary.to_dict() == reader.summary.to_dict(), context
    assert strict_rows(clean, summary.detected_delimiter, options["quote_char"]) == rows, context
    if summary.inferred_columns:
        assert all(len(row) == summary.inferred_columns for row in rows), context

    with open(quarantine, newline="", encoding="utf-8") as stream:
        header, *rejected = csv.reader(stream, strict=True)
    assert header == ["line", "reason", "raw_content"]
    assert len(rejected) == summary.quarantined_rows, context
    width = summary.inferred_columns
    for line, reason, _raw in rejected:
        assert int(line) >= 1
        assert reason in (
            f"Row has too few columns (expected {width})",
            f"Row has extra columns (expected {width})",
        ), context
