#!/usr/bin/env python3
"""Peak memory and speed on inputs of awkward shape: compressed text, blank-line runs, long records.

    python bench/shapes.py [--scale 1] [--shapes NAME ...] [--tmp DIR] [--results FILE]

Each shape is generated into a temporary folder, measured, then deleted before the next
one is made (the folder goes at the end, whatever happens); the biggest shapes need about
5 GB of disk at once. Every measured run is its own process (`python -m tidewrack ...`,
or `python -c` for the classic module), its peak RSS taken from wait4; MB/s divides the
text read (decompressed for the compressed shapes) by the wall time, interpreter start-up
included. The paths:

- salvage: `tidewrack salvage IN -o OUT.csv`, default options (`--threads 1` / `--threads 2`
  for the blank-line runs), writing its quarantine file and repair log too;
- scan: `tidewrack salvage IN -o OUT.arrow`, the same salvage through the Arrow scan, batches
  written to an Arrow IPC file as they come (needs pyarrow);
- sniff: `tidewrack sniff IN`;
- classic: `_tidewrack_backend.salvage_file(IN, OUT)`.

The long-record shapes run every path, the others the salvage alone. --scale multiplies
every size (0.01 for a quick look); the default is the sizes the targets are set for.

Targets: the compressed shapes and the blank-line runs at most 200 MB; a long record at
most 1.2x the record plus 150 MB, whichever path reads it; the clean file about 46 MB.
"""

from __future__ import annotations

import argparse
import bz2
import functools
import lzma
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import generate
import run

BLOCK_ROWS = 40_000  # about 4 MB of clean rows, repeated
SPAN_LINE = 100  # characters a line of a quoted field spanning lines
ROWS_BEFORE = 150
BOUNDED = 200e6
CLEAN_RSS = 46e6
PATHS = ("salvage", "scan", "sniff", "classic")
QUOTED_TEXT = "tide wrack kelp, driftwood gull anchor rope; buoy net crab shell pebble sand dune "
SPAN_TEXT = QUOTED_TEXT.replace(",", "").replace(";", "")


@dataclass
class Shape:
    name: str
    write: Callable[[Path], int]  # writes the input; returns the longest record's bytes
    paths: tuple[str, ...]
    target: str  # "bounded", "record" or "clean"
    threads: tuple[str, ...] = ("",)  # --threads values for the salvage, "" for the default
    suffix: str = ".csv"
    text: int | None = None  # the bytes of text when not the file's size: a compressed input's


@functools.cache
def clean_block() -> bytes:
    rng = random.Random(20261207)
    return ("\n".join(generate.clean_row(rng, i) for i in range(1, BLOCK_ROWS + 1)) + "\n").encode()


def repeat(out, block: bytes, size: int) -> int:
    """Writes block over and over, the last time cut to reach size bytes; returns size."""
    written = 0
    while written < size:
        data = block[: size - written]
        out.write(data)
        written += len(data)
    return size


def compressed_writer(kind: str, copies: int) -> Callable[[Path], int]:
    # One member for the header, then the clean block compressed once and its member
    # written again and again: the reader decompresses concatenated members one after
    # another, so the text is copies blocks long while making it costs little more than the disk.
    compress = {
        "gz": lambda data: (lambda c: c.compress(data) + c.flush())(zlib.compressobj(1, wbits=31)),
        "bz2": lambda data: bz2.compress(data, 1),
        "xz": lambda data: lzma.compress(data, preset=0),
    }[kind]

    def write(path: Path) -> int:
        block = clean_block()
        member = compress(block)
        with open(path, "wb") as out:
            out.write(compress((generate.CLEAN_HEADER + "\n").encode()))
            for _ in range(copies):
                out.write(member)
        return max(len(line) + 1 for line in block.split(b"\n"))

    return write


def blank_writer(lines: int) -> Callable[[Path], int]:
    def write(path: Path) -> int:
        with open(path, "wb") as out:
            out.write(b"id,name,note\n")
            repeat(out, b"\n" * (1 << 20), lines)
            out.write(b"1,after,the blanks\n")
        return len("1,after,the blanks\n")

    return write


def quoted_field(out, size: int, span: bool) -> int:
    """A quoted field of size bytes of text, one line or lines of SPAN_LINE characters."""
    if span:
        line = (SPAN_TEXT * (SPAN_LINE // len(SPAN_TEXT) + 1))[: SPAN_LINE - 1] + "\n"
        block = (line * ((1 << 20) // len(line))).encode()
    else:
        block = (QUOTED_TEXT * ((1 << 20) // len(QUOTED_TEXT))).encode()
    out.write(b'"')
    repeat(out, block, size)
    out.write(b'"')
    return size + 2


def rows(count: int, start: int = 1) -> bytes:
    return "".join(f"{i},row {i},a short note\n" for i in range(start, start + count)).encode()


def quoted_writer(size: int, where: str) -> Callable[[Path], int]:
    def write(path: Path) -> int:
        with open(path, "wb") as out:
            if where == "first":  # the first record, the header, holds the field
                record = quoted_field(out, size, span=True) + len(",name,note\n")
                out.write(b",name,note\n")
                out.write(rows(ROWS_BEFORE))
                return record
            out.write(b"id,name,note\n")
            before = ROWS_BEFORE if where == "span" else 10
            out.write(rows(before))
            start = f"{before + 1},long,".encode()
            out.write(start)
            record = len(start) + quoted_field(out, size, span=where == "span") + 1
            out.write(b"\n")
            if where == "rows":  # about as many bytes of short rows after it, whole rows
                block = rows(BLOCK_ROWS, before + 2)
                for _ in range(-(-size // len(block))):
                    out.write(block)
            out.write(rows(10, before + 2))
            return record

    return write


def single_line_writer(size: int) -> Callable[[Path], int]:
    def write(path: Path) -> int:
        block = clean_block().replace(b"\n", b",")
        with open(path, "wb") as out:
            repeat(out, block, size)
            out.write(b"end\n")
        return size + 4

    return write


def filled_writer(char: bytes, size: int) -> Callable[[Path], int]:
    def write(path: Path) -> int:
        with open(path, "wb") as out:
            return repeat(out, char * (1 << 20), size)

    return write


def clean_writer(size: int) -> Callable[[Path], int]:
    def write(path: Path) -> int:
        block = clean_block()
        with open(path, "wb") as out:
            out.write((generate.CLEAN_HEADER + "\n").encode())
            repeat(out, block, size)
        return max(len(line) + 1 for line in block.split(b"\n"))

    return write


def label(size: int) -> str:
    return f"{size / 1e9:g} GB" if size >= 1e9 else f"{size / 1e6:g} MB"


def shapes(scale: float) -> list[Shape]:
    gb, mb = int(1e9 * scale), int(1e6 * scale)
    copies = max(1, round(2 * gb / len(clean_block())))
    made = [
        Shape(
            f"{label(2 * gb)} text, {kind}",
            compressed_writer(kind, copies),
            ("salvage",),
            "bounded",
            suffix=".csv." + kind,
            text=len(generate.CLEAN_HEADER) + 1 + copies * len(clean_block()),
        )
        for kind in ("gz", "bz2", "xz")
    ]
    made.append(
        Shape(f"{30 * scale:g} M blank lines", blank_writer(30 * mb), ("salvage",), "bounded", threads=("1", "2"))
    )
    for size in (300 * mb, gb):
        made += [
            Shape(f"{label(size)} quoted field, one line", quoted_writer(size, "line"), PATHS, "record"),
            Shape(
                f"{label(size)} quoted field, lines after {ROWS_BEFORE} rows",
                quoted_writer(size, "span"),
                PATHS,
                "record",
            ),
            Shape(f"{label(size)} quoted field, first record", quoted_writer(size, "first"), PATHS, "record"),
            Shape(
                f"{label(size)} quoted field, then as many bytes of rows", quoted_writer(size, "rows"), PATHS, "record"
            ),
        ]
    made += [
        Shape(f"{label(gb)} single line", single_line_writer(gb), PATHS, "record"),
        Shape(f"{label(gb)} of commas", filled_writer(b",", gb), PATHS, "record"),
        Shape(f"{label(gb)} of quotes", filled_writer(b'"', gb), PATHS, "record"),
        Shape(f"{label(gb)} clean", clean_writer(gb), ("salvage",), "clean"),
    ]
    return made


def command(path: str, src: Path, out: Path, threads: str) -> list[str]:
    python = [sys.executable, "-m", "tidewrack"]
    if path == "salvage":
        return (
            python
            + ["salvage", str(src), "-o", str(out / "out.csv"), "-q"]
            + (["--threads", threads] if threads else [])
        )
    if path == "scan":
        return python + ["salvage", str(src), "-o", str(out / "out.arrow"), "-q"]
    if path == "sniff":
        return python + ["sniff", str(src)]
    code = "import sys, _tidewrack_backend as t; t.salvage_file(sys.argv[1], sys.argv[2])"
    return [sys.executable, "-c", code, str(src), str(out / "out.csv")]


def measure(argv: list[str], timeout: float, mem_limit: int) -> dict:
    """One process: wall seconds or why it failed, and its peak RSS in bytes."""

    def limit_memory() -> None:
        # A runaway run must fail in its own process, not starve the machine.
        resource.setrlimit(resource.RLIMIT_DATA, (mem_limit, mem_limit))

    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=limit_memory)
    deadline = start + timeout
    while True:
        pid, status, rusage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            process.kill()
            _, status, rusage = os.wait4(process.pid, 0)
            process.stderr.close()
            return {"aborted": f"timeout (>{timeout:.0f}s)", "rss": rusage.ru_maxrss * 1024}
        time.sleep(0.01)
    wall = time.perf_counter() - start
    err = process.stderr.read().decode(errors="replace").strip()
    process.stderr.close()
    result: dict = {"rss": rusage.ru_maxrss * 1024, "seconds": wall}
    if os.WIFSIGNALED(status):
        result["aborted"] = f"killed ({signal.Signals(os.WTERMSIG(status)).name})"
    elif os.WEXITSTATUS(status) not in (0, 3):  # 3: refused by a limit, which the defaults set none of
        # The reason alone, past "tidewrack: cannot salvage 'PATH' into FORMAT: ".
        reason = err.splitlines()[-1].split(": ", 2)[-1][:60] if err else ""
        result["aborted"] = f"exit {os.WEXITSTATUS(status)}: {reason}"
    return result


def verdict(shape: Shape, record: int, rss: int) -> tuple[str, str]:
    if shape.target == "bounded":
        limit, text = BOUNDED, f"<= {BOUNDED / 1e6:.0f} MB"
    elif shape.target == "clean":
        limit, text = 1.2 * CLEAN_RSS, f"about {CLEAN_RSS / 1e6:.0f} MB (<= {1.2 * CLEAN_RSS / 1e6:.0f})"
    else:
        limit = 1.2 * record + 150e6
        text = f"<= {limit / 1e6:,.0f} MB (1.2x + 150)"
    return text, "met" if rss <= limit else "MISSED"


def megabytes(size: int) -> str:
    return f"{size / 1e6:,.1f}" if size >= 1e5 else "< 0.1"


def has_pyarrow() -> bool:
    return subprocess.run([sys.executable, "-c", "import pyarrow"], capture_output=True).returncode == 0


def format_table(rows: list[list[str]]) -> str:
    header = ["shape", "path", "input MB", "record MB", "peak RSS MB", "MB/s", "target", "result"]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    sep = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(header), sep] + [line(r) for r in rows])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every size (0.01: a quick look)")
    every = [s.name for s in shapes(1.0)]
    parser.add_argument(
        "--shapes",
        nargs="*",
        metavar="WORD",
        help=f"only the shapes whose name holds one of these words; the shapes: {'; '.join(every)}",
    )
    parser.add_argument("--paths", nargs="*", choices=PATHS, default=list(PATHS))
    parser.add_argument("--tmp", default=None, help="where the temporary folder goes (default: the system's)")
    parser.add_argument("--timeout", type=float, default=1200.0, help="seconds per run")
    parser.add_argument("--mem-limit-gb", type=float, default=16.0, help="data limit per run")
    parser.add_argument("--results", default=None, help="also write the table into this Markdown file")
    args = parser.parse_args(argv)

    chosen = [s for s in shapes(args.scale) if not args.shapes or any(w in s.name for w in args.shapes)]
    arrow = has_pyarrow()
    table: list[list[str]] = []
    tmp = Path(tempfile.mkdtemp(prefix="tidewrack-shapes-", dir=args.tmp))
    try:
        for shape in chosen:
            src = tmp / ("input" + shape.suffix)
            start = time.perf_counter()
            record = shape.write(src)
            size = src.stat().st_size
            text = size if shape.text is None else shape.text
            print(
                f"{shape.name}: wrote {size / 1e6:,.0f} MB in {time.perf_counter() - start:.1f}s",
                file=sys.stderr,
                flush=True,
            )
            for path in (p for p in shape.paths if p in args.paths):
                for threads in shape.threads if path == "salvage" else ("",):
                    shown = path + (f" --threads {threads}" if threads else "")
                    if path == "scan" and not arrow:
                        table.append(
                            [
                                shape.name,
                                shown,
                                megabytes(size),
                                megabytes(record),
                                "-",
                                "-",
                                "-",
                                "not run: no pyarrow",
                            ]
                        )
                        continue
                    out = tmp / "out"
                    out.mkdir()
                    result = measure(command(path, src, out, threads), args.timeout, int(args.mem_limit_gb * 2**30))
                    shutil.rmtree(out)
                    rss = result["rss"]
                    target, met = verdict(shape, record, rss)
                    speed = "-" if "aborted" in result else f"{text / 1e6 / result['seconds']:.0f}"
                    outcome = f"aborted: {result['aborted']}" if "aborted" in result else met
                    print(
                        f"  {shown:20} {result.get('seconds', 0):7.1f}s  peak RSS {rss / 1e6:,.0f} MB  {outcome}",
                        file=sys.stderr,
                        flush=True,
                    )
                    table.append(
                        [
                            shape.name,
                            shown,
                            megabytes(size),
                            megabytes(record),
                            f"{rss / 1e6:,.0f}",
                            speed,
                            target,
                            outcome,
                        ]
                    )
            src.unlink()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    text = format_table(table)
    facts = run.machine()
    print()
    print(text)
    print()
    print("\n".join(facts))
    if args.results:
        run.write_section(Path(args.results), HEADING, render(text, facts, args))
    return 0


HEADING = "## Shapes"


def render(table: str, facts: list[str], args: argparse.Namespace) -> str:
    return f"""{HEADING}

Produced by `tools/bench shapes` (`bench/shapes.py --scale {args.scale:g}`): peak RSS and
speed of each path on inputs of awkward shape, each run its own process (see the
docstring of `bench/shapes.py` for the paths). "record MB" is the longest record; MB/s
counts the text read (decompressed), interpreter start-up included. The compressed
inputs are a header and a 4 MB block of clean rows, the block's member repeated.

{table}

Machine:

{chr(10).join(facts)}
"""


if __name__ == "__main__":
    sys.exit(main())
