#!/usr/bin/env python3
"""Side-by-side benchmark: tidewrack against the usual CSV readers, one run, two tables.

    python bench/run.py [--runs 3] [--size-mb 100] [--inputs clean damaged ...] [--tools ...]

Every tool does the same job on every input: read every field as text, reconcile each
row to the column count, write a clean CSV. The first table runs every tool on one
thread; the second runs the peers at their default thread counts against the
`tidewrack salvage` command. Each run of each tool is its own subprocess, so its peak
RSS is its own; runs alternate between the tools of an input so that drift on the
machine affects them alike. Times are medians over --runs runs and cover the job only
(not interpreter start-up or imports). A tool that raises is reported as
"aborted: <ExceptionType>", never left out.

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
# Every tool at its default thread count. Python's csv loop is there for the damaged
# input alone, where the peers abort or drop rows.
THREADED_TOOLS = ("tidewrack-cli", "pyarrow-mt", "polars-mt", "duckdb-mt", "python-csv")
CSV_LOOP_INPUTS = ("damaged",)
# Into Arrow, pandas and Polars, every tool at its default thread count, each peer
# beside the tidewrack call that gives the same object; then the scan taken batch by batch.
ARROW_PAIRS = {"pyarrow-table": "read_arrow", "pandas-frame": "read_csv", "polars-frame": "read_polars"}
ARROW_TOOLS = ("read_arrow", "pyarrow-table", "read_csv", "pandas-frame", "read_polars", "polars-frame", "scan-batches")
ARROW_INPUTS = ("clean", "damaged")
OURS = {"file": "tidewrack", "reader": "SalvageReader", "threads": "tidewrack-cli", "arrow": "read_arrow"}
# What pins the single-threaded table's peers to one thread; the threaded table unsets it.
ONE_THREAD = {"POLARS_MAX_THREADS": "1", "OMP_NUM_THREADS": "1", "ARROW_NUM_THREADS": "1"}
# run.py rewrites RESULTS.md above this heading; big.py, shapes.py (and the pasted repair
# quality table) each own one section below it.
BIG_HEADING = "## Big files"

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
    with (
        open(src, newline="", encoding="utf-8-sig", errors="replace") as f,
        open(dst, "w", newline="", encoding="utf-8") as g,
    ):
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


def pyarrow_to_csv(src: str, dst: str, *, threads: bool) -> None:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    if not threads:
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
    width = header_width(src)
    names = [f"c{i}" for i in range(width)]
    table = pacsv.read_csv(
        src,
        read_options=pacsv.ReadOptions(use_threads=threads, column_names=names, skip_rows=1),
        parse_options=pacsv.ParseOptions(newlines_in_values=True, invalid_row_handler=lambda row: "skip"),
        convert_options=pacsv.ConvertOptions(
            column_types={name: pa.string() for name in names},
            check_utf8=False,
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        ),
    )
    pacsv.write_csv(table, dst)


def job_pyarrow(src: str, dst: str) -> None:
    pyarrow_to_csv(src, dst, threads=False)


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


def duckdb_to_csv(src: str, dst: str, *, threads: bool) -> None:
    import duckdb

    con = duckdb.connect()
    if not threads:
        con.execute("SET threads = 1")
    con.execute("SET preserve_insertion_order = true")
    quoted_src = src.replace("'", "''")
    quoted_dst = dst.replace("'", "''")
    con.execute(
        f"COPY (SELECT * FROM read_csv('{quoted_src}', all_varchar = true, header = true, "
        "ignore_errors = true, null_padding = true, strict_mode = false, "
        + ("" if threads else "parallel = false, ")
        + "max_line_size = 1000000000)) "
        f"TO '{quoted_dst}' (FORMAT csv, HEADER true)"
    )
    con.close()


def job_duckdb(src: str, dst: str) -> None:
    duckdb_to_csv(src, dst, threads=False)


def job_tidewrack_cli(src: str, dst: str) -> None:
    from tidewrack.cli import main

    # The command as a user runs it, with its default outputs and threads.
    status = main(["salvage", src, "-o", dst])
    if status != 0:
        raise RuntimeError(f"tidewrack salvage exited with status {status}")


def job_pyarrow_mt(src: str, dst: str) -> None:
    pyarrow_to_csv(src, dst, threads=True)


def job_duckdb_mt(src: str, dst: str) -> None:
    duckdb_to_csv(src, dst, threads=True)


def job_salvage_reader(src: str, dst: str) -> None:
    import _tidewrack_backend

    rows = list(_tidewrack_backend.SalvageReader(src))
    globals()["held"] = rows  # held until the process ends, as a caller would


def job_csv_reader(src: str, dst: str) -> None:
    import csv

    csv.field_size_limit(sys.maxsize)
    rows = list(csv.reader(open(src, newline="", encoding="utf-8", errors="replace")))
    globals()["held"] = rows


def hold(value: object) -> None:
    globals()["held"] = value  # held until the process ends, as a caller would


def job_read_arrow(src: str, dst: str) -> None:
    import tidewrack

    hold(tidewrack.read_arrow(src))


def job_pyarrow_table(src: str, dst: str) -> None:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    names = [f"c{i}" for i in range(header_width(src))]
    hold(
        pacsv.read_csv(
            src,
            read_options=pacsv.ReadOptions(column_names=names, skip_rows=1),
            convert_options=pacsv.ConvertOptions(
                column_types={name: pa.string() for name in names},
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    )


def job_read_csv(src: str, dst: str) -> None:
    import tidewrack

    hold(tidewrack.read_csv(src))


def job_pandas_frame(src: str, dst: str) -> None:
    import pandas as pd

    hold(pd.read_csv(src, dtype=str, keep_default_na=False))


def job_read_polars(src: str, dst: str) -> None:
    import tidewrack

    hold(tidewrack.read_polars(src))


def job_polars_frame(src: str, dst: str) -> None:
    import polars as pl

    hold(pl.read_csv(src, infer_schema=False))


def job_scan_batches(src: str, dst: str) -> None:
    import pyarrow as pa

    import tidewrack

    for _ in pa.RecordBatchReader.from_stream(tidewrack.scan(src, batch_rows=65536)):
        pass


JOBS = {
    "tidewrack": job_tidewrack,
    "python-csv": job_python_csv,
    "pandas": job_pandas,
    "pyarrow": job_pyarrow,
    "polars": job_polars,
    "duckdb": job_duckdb,
    "SalvageReader": job_salvage_reader,
    "csv.reader": job_csv_reader,
    "tidewrack-cli": job_tidewrack_cli,
    "pyarrow-mt": job_pyarrow_mt,
    "polars-mt": job_polars,
    "duckdb-mt": job_duckdb_mt,
    "read_arrow": job_read_arrow,
    "pyarrow-table": job_pyarrow_table,
    "read_csv": job_read_csv,
    "pandas-frame": job_pandas_frame,
    "read_polars": job_read_polars,
    "polars-frame": job_polars_frame,
    "scan-batches": job_scan_batches,
}
# Comma-separated: every module a job needs is imported before it is timed.
IMPORTS = {
    "tidewrack": "_tidewrack_backend",
    "SalvageReader": "_tidewrack_backend",
    "pandas": "pandas",
    "pyarrow": "pyarrow.csv",
    "polars": "polars",
    "duckdb": "duckdb",
    "tidewrack-cli": "tidewrack.cli",
    "pyarrow-mt": "pyarrow.csv",
    "polars-mt": "polars",
    "duckdb-mt": "duckdb",
    "read_arrow": "tidewrack,pyarrow",
    "pyarrow-table": "pyarrow.csv",
    "read_csv": "tidewrack,pyarrow,pandas",
    "pandas-frame": "pandas",
    "read_polars": "tidewrack,polars",
    "polars-frame": "polars",
    "scan-batches": "tidewrack,pyarrow",
}


def worker(tool: str, src: str, dst: str) -> int:
    """Runs one job and prints one JSON line: seconds, or the exception type."""
    for module in filter(None, IMPORTS.get(tool, "").split(",")):
        __import__(module)  # imports are not part of the job
    start = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_SELF)
    try:
        JOBS[tool](src, dst)
    except BaseException as error:  # noqa: BLE001 - every failure is reported
        print(json.dumps({"aborted": type(error).__name__, "message": str(error)[:200]}))
        return 0
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    # Every thread's time in the kernel (page faults, reads): where one tool's runs differ most.
    print(json.dumps({"seconds": seconds, "system": after.ru_stime - before.ru_stime}))
    return 0


# --------------------------------------------------------------------------- driver


def remove_outputs(dst: Path) -> None:
    """The output and whatever was written beside it (the command's quarantine file and log)."""
    for path in dst.parent.glob(dst.stem + ".*"):
        path.unlink()


def run_once(tool: str, src: Path, dst: Path, timeout: float, mem_limit: int, threaded: bool = False) -> dict:
    """One subprocess; returns seconds or aborted, and its peak RSS in bytes."""
    remove_outputs(dst)
    env = {k: v for k, v in os.environ.items() if k not in ONE_THREAD}
    if not threaded:
        env.update(ONE_THREAD)
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
            remove_outputs(dst)
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
    remove_outputs(dst)
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


def threads_in_use() -> str:
    """What `tidewrack salvage` does with threads, from its own help and signature."""
    helped = subprocess.run([sys.executable, "-m", "tidewrack", "salvage", "--help"], capture_output=True, text=True)
    code = (
        "import inspect, tidewrack._native as n\n"
        "p = inspect.signature(n.salvage).parameters.get('threads')\n"
        "print('absent' if p is None else repr(p.default))\n"
    )
    signed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    native = signed.stdout.strip() if signed.returncode == 0 else "unknown"
    if "--threads" not in helped.stdout:
        return (
            f"`tidewrack salvage` has no --threads option in this build "
            f"(`_native.salvage` threads: {native}): it runs on one thread"
        )
    return (
        f"`tidewrack salvage` runs at its default --threads "
        f"(`_native.salvage` threads={native}; {os.cpu_count()} cores)"
    )


DISPLAY = {"tidewrack-cli": "tidewrack salvage", "pyarrow-mt": "pyarrow", "polars-mt": "polars", "duckdb-mt": "duckdb"}


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
    tool = DISPLAY.get(tool, tool)
    if aborted:
        return [name, tool, "-", "-", f"{rss / size:.2f}x", "aborted: " + aborted[0]]
    seconds = statistics.median(times)
    ratio = f"{seconds / ours:.1f}x" if ours else "-"
    return [name, tool, f"{size / 1e6 / seconds:.0f}", ratio, f"{rss / size:.2f}x", "finished"]


def generated_inputs(args: argparse.Namespace, names: list[str]) -> Path:
    """The folder of the inputs ``names`` at ``args.size_mb`` and ``args.seed`` (``args.data``, or
    build/bench-data[-SIZE]), made by generate.py where missing."""
    data = (
        Path(args.data)
        if args.data
        else (DEFAULT_DATA if args.size_mb == 100.0 else DEFAULT_DATA.with_name(f"bench-data-{args.size_mb:g}mb"))
    )
    subprocess.run(
        [
            sys.executable,
            str(REPO / "bench" / "generate.py"),
            "--size-mb",
            str(args.size_mb),
            "--seed",
            str(args.seed),
            "--out",
            str(data),
            "--only",
            *names,
        ],
        check=True,
    )
    return data


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size-mb", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--data", default=None, help="input directory (default build/bench-data[-SIZE])")
    parser.add_argument("--out", default=str(DEFAULT_OUT))
    parser.add_argument("--inputs", nargs="*", choices=INPUTS, default=list(INPUTS))
    every_tool = list(dict.fromkeys(FILE_TOOLS + READER_TOOLS + THREADED_TOOLS + ARROW_TOOLS))
    parser.add_argument("--tools", nargs="*", choices=every_tool, default=every_tool)
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per run")
    parser.add_argument("--mem-limit-gb", type=float, default=16.0, help="data limit per run")
    parser.add_argument("--results", default=None, help="also write the tables to this Markdown file")
    parser.add_argument("--json", default=None, help="also write every measurement as JSON")
    args = parser.parse_args(argv)

    data = generated_inputs(args, args.inputs)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    mem_limit = int(args.mem_limit_gb * 2**30)

    groups = [
        (group, [t for t in tools if t in args.tools])
        for group, tools in (
            ("file", FILE_TOOLS),
            ("reader", READER_TOOLS),
            ("threads", THREADED_TOOLS),
            ("arrow", ARROW_TOOLS),
        )
    ]
    tables: dict[str, list[list[str]]] = {"single": [], "threads": [], "arrow": []}
    raw: dict = {}
    medians: dict[tuple[str, str, str], float] = {}
    peaks: dict[tuple[str, str, str], int] = {}
    runs: dict[tuple[str, str, str], list[dict]] = {}
    sizes: dict[str, int] = {}
    for name in args.inputs:
        src = data / f"{name}.csv"
        size = src.stat().st_size
        for group, tools in groups:
            if group == "threads" and name not in CSV_LOOP_INPUTS:
                tools = [t for t in tools if t != "python-csv"]
            if group == "arrow" and name not in ARROW_INPUTS:
                continue
            if not tools:
                continue
            results: dict[str, list[dict]] = {t: [] for t in tools}
            timed_out: set[str] = set()
            for run in range(args.runs):
                for tool in tools:
                    if tool in timed_out:
                        continue
                    result = run_once(
                        tool,
                        src,
                        out / f"{name}.{tool}.csv",
                        args.timeout,
                        mem_limit,
                        threaded=group in ("threads", "arrow"),
                    )
                    results[tool].append(result)
                    shown = (
                        f"{result['seconds']:.3f}s"
                        if "seconds" in result
                        else f"{result['aborted']} {result.get('message', '')}"
                    )
                    print(
                        f"  {name:12} {group:7} {tool:14} run {run + 1}: {shown}, "
                        f"peak RSS {result['rss'] / 1e6:.0f} MB",
                        file=sys.stderr,
                        flush=True,
                    )
                    if result.get("aborted", "").startswith("timeout"):
                        timed_out.add(tool)  # one time-out is enough to know
            ours_times = [r["seconds"] for r in results.get(OURS[group], []) if "seconds" in r]
            ours = statistics.median(ours_times) if ours_times else None
            for tool in results:
                if group == "arrow":
                    paired = [r["seconds"] for r in results.get(ARROW_PAIRS.get(tool, tool), []) if "seconds" in r]
                    tables["arrow"].append(
                        summarise(name, size, tool, results[tool], statistics.median(paired) if paired else None)
                    )
                else:
                    tables["threads" if group == "threads" else "single"].append(
                        summarise(name, size, tool, results[tool], ours)
                    )
                finished = [r["seconds"] for r in results[tool] if "seconds" in r]
                if finished and len(finished) == len(results[tool]):
                    medians[(group, name, tool)] = statistics.median(finished)
                peaks[(group, name, tool)] = max(r["rss"] for r in results[tool]) if results[tool] else 0
                runs[(group, name, tool)] = results[tool]
            sizes[name] = size
            raw.setdefault(name, {})[group] = results

    texts = {key: format_table(rows) if rows else "" for key, rows in tables.items()}
    goals = targets(medians, peaks, sizes) if tables["single"] else []
    threaded_goals = threaded_targets(medians, sizes) if tables["threads"] else []
    arrow_goals = arrow_targets(medians, peaks, sizes, runs) if tables["arrow"] else []
    threads = threads_in_use() if tables["threads"] else ""
    facts = machine()
    for text in (
        texts["single"],
        "\n".join(goals),
        threads,
        texts["threads"],
        "\n".join(threaded_goals),
        texts["arrow"],
        "\n".join(arrow_goals),
        "\n".join(facts),
    ):
        if text:
            print()
            print(text)
    if args.json:
        Path(args.json).write_text(json.dumps(raw, indent=1))
    if args.results:
        write_results(
            Path(args.results),
            render_results(texts, goals, threaded_goals, arrow_goals, threads, facts, args, size_of(data, args.inputs)),
        )
    return 0


def size_of(data: Path, inputs: list[str]) -> str:
    return ", ".join(f"{n} {(data / f'{n}.csv').stat().st_size / 1e6:.1f} MB" for n in inputs)


def verdict(label: str, value: float | None, limit: float, at_least: bool, unit: str = "x") -> str:
    if value is None:
        return f"- {label}: not measured"
    met = value >= limit if at_least else value <= limit
    bound = ">=" if at_least else "<="
    digits = 0 if unit == " MB/s" else 2
    return f"- {label}: {value:.{digits}f}{unit} (target {bound} {limit:g}{unit}) {'met' if met else 'MISSED'}"


def targets(medians: dict, peaks: dict, sizes: dict) -> list[str]:
    """The single-threaded table's targets, each met or missed, from this run's medians and peaks."""
    lines = ["Targets (medians; met / MISSED / not measured):"]

    def ratio(name: str, tool: str, ours: str = "tidewrack", group: str = "file") -> float | None:
        if (group, name, tool) in medians and (group, name, ours) in medians:
            return medians[(group, name, tool)] / medians[(group, name, ours)]
        return None

    for name in ("clean", "damaged"):
        if name not in sizes:
            continue
        lines.append(verdict(f"{name}: Python csv time / salvage_file time", ratio(name, "python-csv"), 20, True))
        lines.append(verdict(f"{name}: pyarrow time / salvage_file time", ratio(name, "pyarrow"), 5, True))
        cp = ratio(name, "cp")
        lines.append(verdict(f"{name}: salvage_file time / cp time", 1 / cp if cp else None, 5, False))
    if "clean" in sizes and ("file", "clean", "tidewrack") in medians:
        per_mb_clean = medians[("file", "clean", "tidewrack")] / sizes["clean"]
        for name in ("adversarial", "single_line"):
            if ("file", name, "tidewrack") in medians:
                per_mb = medians[("file", name, "tidewrack")] / sizes[name]
                lines.append(verdict(f"{name}: salvage_file time per MB / clean's", per_mb / per_mb_clean, 2, False))
    for name in sizes:
        lines.append(
            verdict(
                f"{name}: csv.reader time / SalvageReader time",
                ratio(name, "csv.reader", "SalvageReader", "reader"),
                2,
                True,
            )
        )
    for name, size in sizes.items():
        if ("file", name, "tidewrack") in peaks:
            limit = 1.3 * size + 50e6
            peak = peaks[("file", name, "tidewrack")]
            lines.append(
                f"- {name}: salvage_file peak RSS {peak / 1e6:.0f} MB (target <= "
                f"{limit / 1e6:.0f} MB, 1.3x input + 50 MB) {'met' if peak <= limit else 'MISSED'}"
            )
        if ("reader", name, "SalvageReader") in peaks:
            lines.append(
                verdict(
                    f"{name}: SalvageReader peak RSS / input", peaks[("reader", name, "SalvageReader")] / size, 3, False
                )
            )
    return lines


def threaded_targets(medians: dict, sizes: dict) -> list[str]:
    """The threaded table's targets: `tidewrack salvage` against the peers on every core."""
    lines = ["Targets of the threaded table (medians; met / MISSED / not measured):"]

    def ours(name: str) -> float | None:
        return medians.get(("threads", name, "tidewrack-cli"))

    for name in ("clean", "damaged"):
        if name in sizes:
            seconds = ours(name)
            lines.append(
                verdict(
                    f"{name}: tidewrack salvage MB/s",
                    sizes[name] / 1e6 / seconds if seconds else None,
                    600,
                    True,
                    " MB/s",
                )
            )
    if "clean" in sizes:
        peers = {
            DISPLAY[t]: medians[("threads", "clean", t)]
            for t in ("pyarrow-mt", "polars-mt", "duckdb-mt")
            if ("threads", "clean", t) in medians
        }
        fastest = min(peers, key=peers.__getitem__) if peers else "fastest peer"
        seconds = ours("clean")
        lines.append(
            verdict(
                f"clean: {fastest} (the fastest of pyarrow, Polars, DuckDB) time / tidewrack salvage time",
                peers[fastest] / seconds if peers and seconds else None,
                1.5,
                True,
            )
        )
    if "damaged" in sizes:
        loop, seconds = medians.get(("threads", "damaged", "python-csv")), ours("damaged")
        lines.append(
            verdict(
                "damaged: Python csv time / tidewrack salvage time",
                loop / seconds if loop and seconds else None,
                25,
                True,
            )
        )
    clean = ours("clean")
    for name in ("adversarial", "single_line"):
        if name in sizes and "clean" in sizes:
            seconds = ours(name)
            lines.append(
                verdict(
                    f"{name}: tidewrack salvage time per MB / clean's",
                    seconds / sizes[name] / (clean / sizes["clean"]) if seconds and clean else None,
                    1.5,
                    False,
                )
            )
    return lines


def spread(results: list[dict]) -> str:
    """A tool's fastest and slowest runs and its median time in the kernel, as one phrase."""
    times = [r["seconds"] for r in results if "seconds" in r]
    system = [r["system"] for r in results if "system" in r]
    if not times:
        return "not measured"
    kernel = f", {statistics.median(system):.3f} s in the kernel" if system else ""
    return f"{min(times):.3f}-{max(times):.3f} s{kernel}"


def arrow_targets(medians: dict, peaks: dict, sizes: dict, runs: dict) -> list[str]:
    """The Into Arrow table's targets: each tidewrack call against the peer that gives the same object."""
    lines = ["Targets of the Into Arrow table (medians; met / MISSED / not measured):"]
    goals = (
        ("pyarrow-table", "pyarrow.csv.read_csv time / tidewrack.read_arrow time", 1.5),
        ("pandas-frame", "pandas.read_csv(dtype=str) time / tidewrack.read_csv time", 5),
        ("polars-frame", "polars.read_csv(infer_schema=False) time / tidewrack.read_polars time", 1),
    )
    for name in ("clean", "damaged"):
        if name not in sizes:
            continue
        for peer, label, limit in goals:
            ours, theirs = medians.get(("arrow", name, ARROW_PAIRS[peer])), medians.get(("arrow", name, peer))
            lines.append(verdict(f"{name}: {label}", theirs / ours if ours and theirs else None, limit, True))
            if name == "clean" and ("arrow", name, peer) in runs:
                lines.append(
                    f"  - runs from fastest to slowest: {peer} "
                    f"{spread(runs[('arrow', name, peer)])}; {ARROW_PAIRS[peer]} "
                    f"{spread(runs.get(('arrow', name, ARROW_PAIRS[peer]), []))}"
                )
        table = peaks.get(("arrow", name, "read_arrow"))
        lines.append(
            verdict(
                f"{name}: tidewrack.read_arrow peak RSS / input", table / sizes[name] if table else None, 2.5, False
            )
        )
        clean, damaged = medians.get(("arrow", "clean", "read_arrow")), medians.get(("arrow", name, "read_arrow"))
        if name == "damaged" and clean and damaged and "clean" in sizes:
            # Where the peers abort there is nothing to divide by but our own clean time.
            per_mb = (damaged / sizes[name]) / (clean / sizes["clean"])
            lines.append(f"- damaged: tidewrack.read_arrow time per MB / clean's: {per_mb:.2f}x")
        batches = peaks.get(("arrow", name, "scan-batches"))
        if batches:
            lines.append(
                f"- {name}: scan taken batch by batch (65536 rows): peak RSS {batches / 1e6:.0f} MB, "
                "interpreter and libraries included"
            )
    return lines


def render_results(
    texts: dict[str, str],
    goals: list[str],
    threaded_goals: list[str],
    arrow_goals: list[str],
    threads: str,
    facts: list[str],
    args: argparse.Namespace,
    sizes: str,
) -> str:
    return f"""# Benchmark results

Produced by `tools/bench` (`bench/run.py --runs {args.runs} --size-mb {args.size_mb:g}`).
Each row is the median of {args.runs} runs of one tool on one input, each run in its own
process; "time / ours" divides the tool's time by tidewrack's on the same input
(`salvage_file` for the file job, `list(SalvageReader(p))` for the reader job,
`tidewrack salvage` in the threaded table); peak RSS is the process's maximum resident
set, interpreter and libraries included, divided by the input size.

Inputs ({sizes}): see `bench/generate.py`.

## One thread

The file job: read every field as text, reconcile each row to the column count, write a
clean CSV. tidewrack runs `salvage_file` with its defaults (delimiter and column count
detected). Python's csv pads and merges in a loop; pandas (C parser) drops overlong rows
(`on_bad_lines="skip"`), the only lenient choice it has there; pyarrow reads every column
as string on one thread and skips invalid rows; Polars (`POLARS_MAX_THREADS=1`) and DuckDB
(`SET threads = 1`) run with their most lenient options. `cp` copies the file: the
physical floor. The reader job holds every row as a list of str: `list(SalvageReader(p))`
against `list(csv.reader(open(p, newline="", errors="replace")))`.

{texts["single"]}

{chr(10).join(goals)}

## Every core

The same file job, each tool at its default thread count: pyarrow with `use_threads=True`,
Polars with `POLARS_MAX_THREADS` unset, DuckDB at its default `threads` with parallel
reading, the same lenient options as above. tidewrack runs as its command,
`tidewrack salvage IN -o OUT` (the package's entry point, called inside the measured
process so that interpreter start-up is left out as for every tool); it also writes its
quarantine file and repair log beside OUT. On the damaged input, where the peers abort
or drop rows, Python's csv loop (one thread) is the comparison.

{threads}.

{texts["threads"]}

{chr(10).join(threaded_goals)}

## Into Arrow

The clean and damaged inputs into a pyarrow Table of strings (`tidewrack.read_arrow`
against `pyarrow.csv.read_csv` with every column read as string), a pandas DataFrame
(`tidewrack.read_csv` against `pandas.read_csv(dtype=str)`) and a Polars DataFrame
(`tidewrack.read_polars` against `polars.read_csv(infer_schema=False)`), every tool at
its default thread count; "time / ours" divides by the tidewrack call that gives the same
object. `scan-batches` takes `tidewrack.scan` 65536 rows at a time and keeps none.
The times of one tool can differ widely from run to run, mostly in the kernel: pyarrow's
memory pool asks the kernel for 2 MiB pages, which fault in cheaply when the kernel has
them free and wait for it to compact memory when it has not; tidewrack's columns take
ordinary pages, slower to fault in but never waiting. Each target's line below gives
the runs' range and time in the kernel.

{texts["arrow"]}

{chr(10).join(arrow_goals)}

Machine:

{chr(10).join(facts)}
"""


def write_results(path: Path, tables: str) -> None:
    """Rewrites RESULTS.md above BIG_HEADING with run.py's tables, keeping the sections below."""
    old = path.read_text() if path.exists() else ""
    _, mark, tail = old.partition(BIG_HEADING)
    path.write_text(tables.rstrip("\n") + "\n" + ("\n" + (mark + tail).strip("\n") + "\n" if mark else ""))


def write_section(path: Path, heading: str, section: str) -> None:
    """Replaces the section under heading (up to the next "## " heading) with section, which
    starts with that heading, or appends it; every other section is kept as it was."""
    old = path.read_text() if path.exists() else ""
    head, mark, tail = old.partition(heading + "\n")
    rest = ""
    if mark:
        after = tail.find("\n## ")
        rest = tail[after + 1 :] if after >= 0 else ""
    text = head.rstrip("\n") + ("\n\n" if head.strip() else "") + section.rstrip("\n") + "\n"
    path.write_text(text + ("\n" + rest if rest else ""))


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "--worker":
        sys.exit(worker(*sys.argv[2:5]))
    sys.exit(main())
