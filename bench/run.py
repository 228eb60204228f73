#!/usr/bin/env python3
"""Side-by-side benchmark: tidewrack against the usual CSV readers, one run, one table.

    python bench/run.py [--runs 3] [--size-mb 100] [--inputs clean damaged ...] [--tools ...]

Every tool does the same job on every input: read every field as text, reconcile each
row to the column count, write a clean CSV. Each run of each tool is its own
subprocess, so its peak RSS is its own; runs alternate between the tools of an input so
that drift on the machine affects them alike. Times are medians over --runs runs and
cover the job only (not interpreter start-up or imports). A tool that raises is
reported as "aborted: <ExceptionType>", never left out.

Usually started through tools/bench, which prepares the virtual environment with the
peers and builds tidewrack.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO / "build" / "bench-data"
DEFAULT_OUT = REPO / "build" / "bench-out"
INPUTS = ("clean", "wide", "damaged", "adversarial", "single_line")
# The file job, then the in-memory reader job; "ours" is the baseline of each.
FILE_TOOLS = ("tidewrack", "python-csv", "pandas", "pyarrow", "polars", "duckdb", "cp")
READER_TOOLS = ("SalvageReader", "csv.reader")
OURS = {"file": "tidewrack", "reader": "SalvageReader"}

# --------------------------------------------------------------------------- jobs
# Each job runs in a worker process: job(input_path, output_path) -> None.


def job_tidewrack(src: str, dst: str) -> None:
    import _tidewrack_backend

    _tidewrack_backend.salvage_file(src, dst)


def header_width(src: str) -> int:
    import csv

    csv.field_size_limit(sys.maxsize)
    with open(src, newline="", encoding="utf-8-sig", errors="replace") as f:
        return len(next(csv.reader(f), []))


def job_python_csv(src: str, dst: str) -> None:
    import csv

    csv.field_size_limit(sys.maxsize)
    with open(src, newline="", encoding="utf-8-sig", errors="replace") as f, open(
        dst, "w", newline="", encoding="utf-8"
    ) as g:
        reader = csv.reader(f)
        writer = csv.writer(g, lineterminator="\n")
        width = 0
        for row in reader:
            if not width:
                width = len(row)
            if len(row) < width:
                row.extend([""] * (width - len(row)))
            elif len(row) > width:
                row[width - 1 :] = [",".join(row[width - 1 :])]
            writer.writerow(row)


def job_pandas(src: str, dst: str) -> None:
    import pandas as pd

    # The C parser's only lenient choice for overlong rows is to drop them; short rows
    # are padded.
    frame = pd.read_csv(
        src,
        dtype=str,
        keep_default_na=False,
        on_bad_lines="skip",
        encoding="utf-8",
        encoding_errors="replace",
        engine="c",
    )
    frame.to_csv(dst, index=False)


def job_pyarrow(src: str, dst: str) -> None:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    pa.set_cpu_count(1)
    pa.set_io_thread_count(1)
    width = header_width(src)
    names = [f"c{i}" for i in range(width)]
    table = pacsv.read_csv(
        src,
        read_options=pacsv.ReadOptions(use_threads=False, column_names=names, skip_rows=1),
        parse_options=pacsv.ParseOptions(
            newlines_in_values=True, invalid_row_handler=lambda row: "skip"
        ),
        convert_options=pacsv.ConvertOptions(
            column_types={name: pa.string() for name in names},
            check_utf8=False,
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        ),
    )
    pacsv.write_csv(table, dst)


def job_polars(src: str, dst: str) -> None:
    import polars as pl

    frame = pl.read_csv(
        src,
        infer_schema=False,
        truncate_ragged_lines=True,
        ignore_errors=True,
        encoding="utf8-lossy",
        empty_string_is_null=False,
    )
    frame.write_csv(dst)


def job_duckdb(src: str, dst: str) -> None:
    import duckdb

    con = duckdb.connect()
    con.execute("SET threads = 1")
    con.execute("SET preserve_insertion_order = true")
    quoted_src = src.replace("'", "''")
    quoted_dst = dst.replace("'", "''")
    con.execute(
        f"COPY (SELECT * FROM read_csv('{quoted_src}', all_varchar = true, header = true, "
        "ignore_errors = true, null_padding = true, strict_mode = false, parallel = false, "
        "max_line_size = 1000000000)) "
        f"TO '{quoted_dst}' (FORMAT csv, HEADER true)"
    )
    con.close()


def job_salvage_reader(src: str, dst: str) -> None:
    import _tidewrack_backend

    rows = list(_tidewrack_backend.SalvageReader(src))
    globals()["held"] = rows  # held until the process ends, as a caller would


def job_csv_reader(src: str, dst: str) -> None:
    import csv

    csv.field_size_limit(sys.maxsize)
    rows = list(csv.reader(open(src, newline="", encoding="utf-8", errors="replace")))
    globals()["held"] = rows


JOBS = {
    "tidewrack": job_tidewrack,
    "python-csv": job_python_csv,
    "pandas": job_pandas,
    "pyarrow": job_pyarrow,
    "polars": job_polars,
    "duckdb": job_duckdb,
    "SalvageReader": job_salvage_reader,
    "csv.reader": job_csv_reader,
}
IMPORTS = {
    "tidewrack": "_tidewrack_backend",
    "SalvageReader": "_tidewrack_backend",
    "pandas": "pandas",
    "pyarrow": "pyarrow.csv",
    "polars": "polars",
    "duckdb": "duckdb",
}


def worker(tool: str, src: str, dst: str) -> int:
    """Runs one job and prints one JSON line: seconds, or the exception type."""
    module = IMPORTS.get(tool)
    if module:
        __import__(module)  # imports are not part of the job
    start = time.perf_counter()
    try:
        JOBS[tool](src, dst)
    except BaseException as error:  # noqa: BLE001 - every failure is reported
        print(json.dumps({"aborted": type(error).__name__, "message": str(error)[:200]}))
        return 0
    print(json.dumps({"seconds": time.perf_counter() - start}))
    return 0


# --------------------------------------------------------------------------- driver


def run_once(tool: str, src: Path, dst: Path, timeout: float, mem_limit: int) -> dict:
    """One subprocess; returns seconds or aborted, and its peak RSS in bytes."""
    if dst.exists():
        dst.unlink()
    env = dict(os.environ, POLARS_MAX_THREADS="1", OMP_NUM_THREADS="1", ARROW_NUM_THREADS="1")
    if tool == "cp":
        command = ["cp", str(src), str(dst)]
    else:
        command = [sys.executable, str(Path(__file__).resolve()), "--worker", tool, str(src), str(dst)]

    def limit_memory() -> None:
        # A runaway peer must fail in its own process, not starve the machine.
        if mem_limit:
            resource.setrlimit(resource.RLIMIT_DATA, (mem_limit, mem_limit))

    start = time.perf_counter()
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, preexec_fn=limit_memory
    )
    deadline = start + timeout
    status = rusage = None
    while True:
        pid, status, rusage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            process.kill()
            _, status, rusage = os.wait4(process.pid, 0)
            process.stdout.close()
            process.stderr.close()
            return {"aborted": f"timeout (>{timeout:.0f}s)", "rss": rusage.ru_maxrss * 1024}
        time.sleep(0.002)
    wall = time.perf_counter() - start
    out = process.stdout.read().decode(errors="replace").strip().splitlines()
    err = process.stderr.read().decode(errors="replace").strip()
    process.stdout.close()
    process.stderr.close()
    result: dict = {"rss": rusage.ru_maxrss * 1024}
    if os.WIFSIGNALED(status):
        result["aborted"] = f"killed ({signal.Signals(os.WTERMSIG(status)).name})"
    elif tool == "cp":
        result.update({"seconds": wall} if os.WEXITSTATUS(status) == 0 else {"aborted": "cp failed"})
    elif out:
        result.update(json.loads(out[-1]))
    else:
        result["aborted"] = f"exit {os.WEXITSTATUS(status)}: {err[-200:]}"
    if dst.exists():
        dst.unlink()
    return result


def versions() -> dict:
    code = (
        "import json, importlib.metadata as m\n"
        "out = {}\n"
        "for name in ('pandas', 'pyarrow', 'polars', 'duckdb', 'numpy'):\n"
        "    try: out[name] = m.version(name)\n"
        "    except m.PackageNotFoundError: out[name] = 'missing'\n"
        "print(json.dumps(out))\n"
    )
    found = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return json.loads(found.stdout) if found.returncode == 0 else {}


def machine() -> list[str]:
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                memory = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    peer = ", ".join(f"{k} {v}" for k, v in versions().items())
    load = " / ".join(f"{value:.2f}" for value in os.getloadavg())
    return [
        f"- date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
        f"- cores (nproc): {os.cpu_count()}; CPU: {model}",
        f"- memory: {memory}; kernel {platform.release()}",
        f"- Python {platform.python_version()}; {peer}",
        f"- load average (1 / 5 / 15 min) when the table was made: {load} (other work on the "
        "machine slows every tool alike, but adds noise)",
    ]


def format_table(rows: list[list[str]]) -> str:
    header = ["input", "tool", "MB/s", "time / ours", "peak RSS / input", "result"]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    sep = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(header), sep] + [line(r) for r in rows])


def summarise(name: str, size: int, tool: str, results: list[dict], ours: float | None) -> list[str]:
    rss = max(r["rss"] for r in results)
    times = [r["seconds"] for r in results if "seconds" in r]
    aborted = [r["aborted"] for r in results if "aborted" in r]
    if aborted:
        return [name, tool, "-", "-", f"{rss / size:.2f}x", "aborted: " + aborted[0]]
    seconds = statistics.median(times)
    ratio = f"{seconds / ours:.1f}x" if ours else "-"
    return [name, tool, f"{size / 1e6 / seconds:.0f}", ratio, f"{rss / size:.2f}x", "finished"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size-mb", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--data", default=None, help="input directory (default build/bench-data[-SIZE])")
    parser.add_argument("--out", default=str(DEFAULT_OUT))
    parser.add_argument("--inputs", nargs="*", choices=INPUTS, default=list(INPUTS))
    parser.add_argument("--tools", nargs="*", choices=FILE_TOOLS + READER_TOOLS,
                        default=list(FILE_TOOLS + READER_TOOLS))
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per run")
    parser.add_argument("--mem-limit-gb", type=float, default=16.0, help="data limit per run")
    parser.add_argument("--results", default=None, help="also write the table to this Markdown file")
    parser.add_argument("--json", default=None, help="also write every measurement as JSON")
    args = parser.parse_args(argv)

    data = Path(args.data) if args.data else (
        DEFAULT_DATA if args.size_mb == 100.0 else DEFAULT_DATA.with_name(f"bench-data-{args.size_mb:g}mb")
    )
    subprocess.run(
        [sys.executable, str(REPO / "bench" / "generate.py"), "--size-mb", str(args.size_mb),
         "--seed", str(args.seed), "--out", str(data), "--only", *args.inputs],
        check=True,
    )
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    mem_limit = int(args.mem_limit_gb * 2**30)

    groups = [("file", [t for t in FILE_TOOLS if t in args.tools]),
              ("reader", [t for t in READER_TOOLS if t in args.tools])]
    table: list[list[str]] = []
    raw: dict = {}
    medians: dict[tuple[str, str], float] = {}
    peaks: dict[tuple[str, str], int] = {}
    sizes: dict[str, int] = {}
    for name in args.inputs:
        src = data / f"{name}.csv"
        size = src.stat().st_size
        for group, tools in groups:
            if not tools:
                continue
            results: dict[str, list[dict]] = {t: [] for t in tools}
            timed_out: set[str] = set()
            for run in range(args.runs):
                for tool in tools:
                    if tool in timed_out:
                        continue
                    result = run_once(tool, src, out / f"{name}.{tool}.csv", args.timeout, mem_limit)
                    results[tool].append(result)
                    shown = (f"{result['seconds']:.3f}s" if "seconds" in result
                             else f"{result['aborted']} {result.get('message', '')}")
                    print(f"  {name:12} {tool:14} run {run + 1}: {shown}, "
                          f"peak RSS {result['rss'] / 1e6:.0f} MB", file=sys.stderr, flush=True)
                    if result.get("aborted", "").startswith("timeout"):
                        timed_out.add(tool)  # one time-out is enough to know
            ours_tool = OURS[group]
            ours_times = [r["seconds"] for r in results.get(ours_tool, []) if "seconds" in r]
            ours = statistics.median(ours_times) if ours_times else None
            for tool in results:
                table.append(summarise(name, size, tool, results[tool], ours))
                finished = [r["seconds"] for r in results[tool] if "seconds" in r]
                if finished and len(finished) == len(results[tool]):
                    medians[(name, tool)] = statistics.median(finished)
                peaks[(name, tool)] = max(r["rss"] for r in results[tool]) if results[tool] else 0
            sizes[name] = size
            raw.setdefault(name, {})[group] = results

    text = format_table(table)
    goals = targets(medians, peaks, sizes)
    facts = machine()
    print()
    print(text)
    print()
    print("\n".join(goals))
    print()
    print("\n".join(facts))
    if args.json:
        Path(args.json).write_text(json.dumps(raw, indent=1))
    if args.results:
        Path(args.results).write_text(
            render_results(text, goals, facts, args, size_of(data, args.inputs)))
    return 0


def size_of(data: Path, inputs: list[str]) -> str:
    return ", ".join(f"{n} {(data / f'{n}.csv').stat().st_size / 1e6:.1f} MB" for n in inputs)


def targets(medians: dict, peaks: dict, sizes: dict) -> list[str]:
    """The performance targets, each met or missed, from this run's medians and peaks."""
    lines = ["Targets (medians; met / MISSED / not measured):"]

    def check(label: str, value: float | None, limit: float, at_least: bool, unit: str = "x") -> None:
        if value is None:
            lines.append(f"- {label}: not measured")
            return
        met = value >= limit if at_least else value <= limit
        bound = ">=" if at_least else "<="
        lines.append(f"- {label}: {value:.2f}{unit} (target {bound} {limit:g}{unit}) "
                     f"{'met' if met else 'MISSED'}")

    def ratio(name: str, tool: str, ours: str = "tidewrack") -> float | None:
        if (name, tool) in medians and (name, ours) in medians:
            return medians[(name, tool)] / medians[(name, ours)]
        return None

    for name in ("clean", "damaged"):
        if name not in sizes:
            continue
        check(f"{name}: Python csv time / salvage_file time", ratio(name, "python-csv"), 20, True)
        check(f"{name}: pyarrow time / salvage_file time", ratio(name, "pyarrow"), 5, True)
        cp = ratio(name, "cp")
        check(f"{name}: salvage_file time / cp time", 1 / cp if cp else None, 5, False)
    if "clean" in sizes and ("clean", "tidewrack") in medians:
        per_mb_clean = medians[("clean", "tidewrack")] / sizes["clean"]
        for name in ("adversarial", "single_line"):
            if (name, "tidewrack") in medians:
                per_mb = medians[(name, "tidewrack")] / sizes[name]
                check(f"{name}: salvage_file time per MB / clean's", per_mb / per_mb_clean, 2, False)
    for name in sizes:
        check(f"{name}: csv.reader time / SalvageReader time",
              ratio(name, "csv.reader", "SalvageReader"), 2, True)
    for name, size in sizes.items():
        if (name, "tidewrack") in peaks:
            limit = 1.3 * size + 50e6
            peak = peaks[(name, "tidewrack")]
            lines.append(f"- {name}: salvage_file peak RSS {peak / 1e6:.0f} MB (target <= "
                         f"{limit / 1e6:.0f} MB, 1.3x input + 50 MB) {'met' if peak <= limit else 'MISSED'}")
        if (name, "SalvageReader") in peaks:
            check(f"{name}: SalvageReader peak RSS / input", peaks[(name, "SalvageReader")] / size, 3, False)
    return lines


def render_results(table: str, goals: list[str], facts: list[str], args: argparse.Namespace,
                   sizes: str) -> str:
    return f"""# Benchmark results

Produced by `tools/bench` (`bench/run.py --runs {args.runs} --size-mb {args.size_mb:g}`).
Each row is the median of {args.runs} runs of one tool on one input, each run in its own
process; "time / ours" divides the tool's time by tidewrack's on the same input
(`salvage_file` for the file job, `list(SalvageReader(p))` for the reader job); peak RSS
is the process's maximum resident set, interpreter and libraries included, divided by
the input size.

Inputs ({sizes}): see `bench/generate.py`.

The file job: read every field as text, reconcile each row to the column count, write a
clean CSV. tidewrack runs `salvage_file` with its defaults (delimiter and column count
detected). Python's csv pads and merges in a loop; pandas (C parser) drops overlong rows
(`on_bad_lines="skip"`), the only lenient choice it has there; pyarrow reads every column
as string on one thread and skips invalid rows; Polars (`POLARS_MAX_THREADS=1`) and DuckDB
(`SET threads = 1`) run with their most lenient options. `cp` copies the file: the
physical floor. The reader job holds every row as a list of str: `list(SalvageReader(p))`
against `list(csv.reader(open(p, newline="", errors="replace")))`.

{table}

{chr(10).join(goals)}

Machine:

{chr(10).join(facts)}
"""


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "--worker":
        sys.exit(worker(*sys.argv[2:5]))
    sys.exit(main())
