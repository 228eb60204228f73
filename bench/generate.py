#!/usr/bin/env python3
"""Writes the benchmark inputs: seeded, reproducible CSV files of a given size.

    python3 bench/generate.py [--size-mb 100] [--seed 20261207] [--out build/bench-data]

Inputs (each about --size-mb megabytes):
  clean.csv        8 columns, a header, quoted fields holding commas and doubled quotes
  wide.csv         200 columns of short numbers and words
  damaged.csv      a byte-order mark, ragged rows, stray and unterminated quotes, CR / CR LF /
                   LF mixed, blank lines, invalid UTF-8
  adversarial.csv  long lines of quoted fields dense with stray quotes
  single_line.csv  one line: the whole file is a single record
  commas.csv       nothing but commas: one record of empty fields, as long as the file

A file is rewritten only when its recorded size or seed differ (see manifest.json).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
from pathlib import Path

INPUTS = ("clean", "wide", "damaged", "adversarial", "single_line", "commas")

WORDS = (
    "harbour tide wrack kelp driftwood gull anchor rope buoy net crab shell pebble sand dune "
    "lighthouse keel hull mast sail stern bow deck cargo pier jetty quay reef shoal current "
    "estuary inlet lagoon cove bay cape headland cliff marsh brine spray foam swell surge ebb "
    "flood neap spring mooring ballast bilge bosun capstan galley hatch lantern oar paddle "
    "rudder tiller winch zephyr Ålesund Göteborg Málaga Kraków São-Paulo naïve café"
).split()


def words(rng: random.Random, low: int, high: int) -> str:
    return " ".join(rng.choices(WORDS, k=rng.randint(low, high)))


def quoted(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def clean_row(rng: random.Random, index: int) -> str:
    name = words(rng, 1, 3)
    if rng.random() < 0.3:
        name = name + ", " + words(rng, 1, 2)  # a delimiter inside quotes
    note = words(rng, 2, 8)
    if rng.random() < 0.1:
        note = note + ' "' + rng.choice(WORDS) + '"'  # doubled quotes inside quotes
    return ",".join(
        (
            str(index),
            quoted(name),
            f"{rng.uniform(-1000, 1000):.4f}",
            f"20{rng.randint(10, 29)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
            quoted(note),
            rng.choice(WORDS),
            str(rng.randint(0, 1_000_000)),
            "true" if rng.random() < 0.5 else "false",
        )
    )


CLEAN_HEADER = "id,name,amount,date,note,category,count,flag"


def write_clean(out, rng: random.Random, size: int) -> None:
    written = 0
    out.write((CLEAN_HEADER + "\n").encode())
    index = 0
    while written < size:
        chunk = []
        for _ in range(2000):
            index += 1
            chunk.append(clean_row(rng, index))
        data = ("\n".join(chunk) + "\n").encode()
        out.write(data)
        written += len(data)


def write_wide(out, rng: random.Random, size: int) -> None:
    columns = 200
    out.write((",".join(f"c{i}" for i in range(columns)) + "\n").encode())
    written = 0
    pool = [str(rng.randint(0, 99999)) for _ in range(5000)] + WORDS
    while written < size:
        chunk = [",".join(rng.choices(pool, k=columns)) for _ in range(200)]
        data = ("\n".join(chunk) + "\n").encode()
        out.write(data)
        written += len(data)


def damaged_row(rng: random.Random, index: int) -> bytes:
    row = clean_row(rng, index).encode()
    roll = rng.random()
    if roll < 0.05:  # too few fields
        row = b",".join(row.split(b",")[: rng.randint(1, 6)])
    elif roll < 0.10:  # too many: an unquoted text with commas
        row = row + b"," + words(rng, 2, 5).replace(" ", ",").encode()
    elif roll < 0.14:  # a stray quote inside a quoted field
        row = row.replace(b'"', b'"12" screen ', 1)
    elif roll < 0.17:  # quotes inside an unquoted field
        row = row + b',5" x 7" print'
    elif roll < 0.19:  # invalid UTF-8 in a field
        row = row.replace(b",", b"," + bytes([rng.choice((0xFF, 0xC3, 0x80, 0xED))]) + b"x", 1)
    elif roll < 0.20:  # a quoted field spread over two lines
        row = row.replace(b'"', b'"first line\nsecond ', 1)
    return row


def write_damaged(out, rng: random.Random, size: int) -> None:
    out.write(b"\xef\xbb\xbf" + CLEAN_HEADER.encode() + b"\r\n")
    written = 0
    index = 0
    endings = (b"\n",) * 6 + (b"\r\n",) * 3 + (b"\r",)
    while written < size:
        parts = []
        for _ in range(2000):
            index += 1
            parts.append(damaged_row(rng, index))
            parts.append(rng.choice(endings))
            if rng.random() < 0.01:
                parts.append(b"\n")  # a blank line
        data = b"".join(parts)
        out.write(data)
        written += len(data)
    # A quoted field left open runs to the end of the input.
    out.write(b'999999999,"never closed,' + words(rng, 3, 6).encode() + b"\n")


def adversarial_field(rng: random.Random) -> str:
    # Quotes followed by text, so each one is tested against the rest of the line.
    pieces = []
    for _ in range(rng.randint(40, 120)):
        pieces.append(rng.choice(WORDS))
        pieces.append(rng.choice(('"', '" ', ' "', '"x', '""')))
    return '"' + "".join(pieces) + '"'


def write_adversarial(out, rng: random.Random, size: int) -> None:
    out.write((CLEAN_HEADER + "\n").encode())
    written = 0
    while written < size:
        lines = []
        for _ in range(50):
            fields = [adversarial_field(rng) for _ in range(8)]
            lines.append(",".join(fields))
        data = ("\n".join(lines) + "\n").encode()
        out.write(data)
        written += len(data)


def write_single_line(out, rng: random.Random, size: int) -> None:
    written = 0
    index = 0
    while written < size:
        rows = []
        for _ in range(2000):
            index += 1
            rows.append(clean_row(rng, index))
        data = (",".join(rows) + ",").encode()
        out.write(data)
        written += len(data)
    out.write(b"end\n")


def write_commas(out, rng: random.Random, size: int) -> None:
    block = b"," * (1 << 20)
    written = 0
    while written < size:
        data = block[: size - written]
        out.write(data)
        written += len(data)


WRITERS = {
    "clean": write_clean,
    "wide": write_wide,
    "damaged": write_damaged,
    "adversarial": write_adversarial,
    "single_line": write_single_line,
    "commas": write_commas,
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent.parent / "build" / "bench-data"))
    parser.add_argument("--only", nargs="*", choices=INPUTS, default=list(INPUTS))
    parser.add_argument("--force", action="store_true", help="rewrite even when up to date")
    args = parser.parse_args(argv)

    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    manifest_path = out_dir / "manifest.json"
    try:
        manifest = json.loads(manifest_path.read_text())
    except (OSError, ValueError):
        manifest = {}
    size = int(args.size_mb * 1_000_000)
    for name in args.only:
        path = out_dir / f"{name}.csv"
        wanted = {"size_mb": args.size_mb, "seed": args.seed}
        if not args.force and manifest.get(name) == wanted and path.exists():
            continue
        rng = random.Random(f"{args.seed}:{name}")
        tmp = path.with_suffix(".tmp")
        with open(tmp, "wb", buffering=1 << 20) as out:
            WRITERS[name](out, rng, size)
        os.replace(tmp, path)
        manifest[name] = wanted
        manifest_path.write_text(json.dumps(manifest, indent=2, sort_keys=True) + "\n")
        print(f"wrote {path} ({path.stat().st_size / 1e6:.1f} MB)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
