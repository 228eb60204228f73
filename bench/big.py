#!/usr/bin/env python3
"""Peak memory on big files: a generated clean file of several GB, and the inputs made of one record.

    python bench/big.py [--gb 5] [--size-mb 100] [--runs 1] [--tmp DIR] [--results FILE]

Writes a clean file of --gb gigabytes into a temporary folder: bench/generate.py's clean
input (--size-mb) written over and over behind one header, so that making it costs
little more than the disk. The module's salvage_file and the `tidewrack salvage` command
run on it, each in its own process (see run.py), reporting MB/s and peak RSS in MB; the
folder is deleted at the end, whatever happens. The comma-only and single-line inputs
of generate.py get the same two runs: their one record spans the whole file.

Takes minutes and twice --gb of disk, hence not part of the default benchmark: started
by `tools/bench big`.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import run

TOOLS = {"tidewrack": "salvage_file", "tidewrack-cli": "tidewrack salvage"}
RECORD_INPUTS = ("commas", "single_line")
RSS_LIMIT = 150e6  # streaming keeps peak RSS bounded, whatever the file size


def write_big(block_source: Path, path: Path, size: int) -> float:
    """The clean input repeated behind its header up to size bytes; returns seconds taken."""
    start = time.perf_counter()
    header, _, body = block_source.read_bytes().partition(b"\n")
    with open(path, "wb") as out:
        out.write(header + b"\n")
        written = len(header) + 1
        while written < size:
            out.write(body)
            written += len(body)
    return time.perf_counter() - start


def measure(name: str, src: Path, out: Path, args: argparse.Namespace) -> list[list[str]]:
    size = src.stat().st_size
    rows = []
    for tool, shown in TOOLS.items():
        results = []
        for attempt in range(args.runs):
            result = run.run_once(
                tool, src, out / f"{name}.{tool}.csv", args.timeout, int(args.mem_limit_gb * 2**30), threaded=True
            )
            results.append(result)
            done = f"{result['seconds']:.2f}s" if "seconds" in result else result["aborted"]
            print(
                f"  {name:12} {tool:14} run {attempt + 1}: {done}, peak RSS {result['rss'] / 1e6:.0f} MB",
                file=sys.stderr,
                flush=True,
            )
        rss = max(r["rss"] for r in results)
        aborted = [r["aborted"] for r in results if "aborted" in r]
        speed = "-" if aborted else f"{size / 1e6 / statistics.median(r['seconds'] for r in results):.0f}"
        verdict = "-"
        if name == "big":
            verdict = f"{'met' if rss <= RSS_LIMIT else 'MISSED'} (<= {RSS_LIMIT / 1e6:.0f} MB)"
        rows.append(
            [
                name,
                f"{size / 1e6:,.0f} MB",
                shown,
                speed,
                f"{rss / 1e6:.0f}",
                f"{rss / size:.2f}x",
                verdict,
                "aborted: " + aborted[0] if aborted else "finished",
            ]
        )
    return rows


def format_table(rows: list[list[str]]) -> str:
    header = ["input", "size", "tool", "MB/s", "peak RSS (MB)", "peak RSS / input", "target", "result"]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    sep = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(header), sep] + [line(r) for r in rows])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gb", type=float, default=5.0, help="size of the big clean file")
    parser.add_argument(
        "--size-mb", type=float, default=100.0, help="size of the repeated block and of the one-record inputs"
    )
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--data", default=None, help="input directory (default build/bench-data[-SIZE])")
    parser.add_argument("--tmp", default=None, help="where the temporary folder goes (default: the system's)")
    parser.add_argument("--timeout", type=float, default=1200.0, help="seconds per run")
    parser.add_argument("--mem-limit-gb", type=float, default=16.0, help="data limit per run")
    parser.add_argument("--results", default=None, help="also write the table into this Markdown file")
    args = parser.parse_args(argv)

    data = run.generated_inputs(args, ["clean", *RECORD_INPUTS])
    size = int(args.gb * 1e9)
    tmp = Path(tempfile.mkdtemp(prefix="tidewrack-big-", dir=args.tmp))
    try:
        # The input and one output at a time, plus the small quarantine and log files.
        needed = 2 * size + 2**30
        if shutil.disk_usage(tmp).free < needed:
            print(f"big.py: {tmp} has less than {needed / 1e9:.1f} GB free", file=sys.stderr)
            return 1
        big = tmp / "big.csv"
        seconds = write_big(data / "clean.csv", big, size)
        print(
            f"wrote {big} ({big.stat().st_size / 1e9:.2f} GB) in {seconds:.1f}s "
            f"({big.stat().st_size / 1e6 / seconds:.0f} MB/s)",
            file=sys.stderr,
            flush=True,
        )
        rows = measure("big", big, tmp, args)
        big.unlink()
        for name in RECORD_INPUTS:
            rows += measure(name, data / f"{name}.csv", tmp, args)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    table = format_table(rows)
    threads = run.threads_in_use()
    facts = run.machine()
    print()
    print(table)
    print()
    print(threads)
    print()
    print("\n".join(facts))
    if args.results:
        run.write_section(Path(args.results), run.BIG_HEADING, render(table, threads, facts, args))
    return 0


def render(table: str, threads: str, facts: list[str], args: argparse.Namespace) -> str:
    return f"""{run.BIG_HEADING}

Produced by `tools/bench big` (`bench/big.py --gb {args.gb:g} --size-mb {args.size_mb:g} --runs {args.runs}`).
"big" is a clean file of {args.gb:g} GB: generate.py's clean input repeated behind one
header; "commas" is {args.size_mb:g} MB of commas and nothing else, "single_line" the
single-line input: each one record as long as the file. `salvage_file` is the module's
(`_tidewrack_backend`); `tidewrack salvage IN -o OUT` is the command, writing its
quarantine file and repair log too. Each run is its own process; peak RSS is its maximum
resident set, interpreter included.

{threads}.

{table}

Machine:

{chr(10).join(facts)}
"""


if __name__ == "__main__":
    sys.exit(main())
