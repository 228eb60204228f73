"""tidewrack salvage: clean copy, quarantine file, summary, for one input or several."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import signal
import stat
import threading
from collections.abc import Callable, Generator

from .._atomic import output_locks
from .._binary import BinaryInputError
from .._compression import CompressedDataError, compression_of
from .._options import OptionError
from .._output_names import Job, collision, csv_files_in, default_beside, default_output, shared_file
from .._paths import same_file
from .._report import Report
from .._salvage import classic_conflicts, salvage_with
from .._thresholds import ThresholdExceeded
from .console import (
    STDIO,
    CliError,
    Scratch,
    copy_to_stdout,
    engine_input,
    out_of_memory,
    print_out,
    read_error,
    reason,
    require_stdout,
    say,
    scratch_error,
    shown,
    source_label,
    streamed_input,
    write_error,
)
from .options import reading_options
from .progress import ProgressBar, progress_bar
from .report import report_json, report_text
from .tables import FORMAT_NAMES, UnfitRows, format_of, named_for, salvage_to_table

EXIT_USAGE = 2
EXIT_REFUSED = 3
# With several inputs the run exits with the worst status of its files, worst
# last: a file that could not be salvaged outweighs one refused by the limits.
SEVERITY = (0, EXIT_REFUSED, 1)
# A folder among several inputs stands for these files; outputs of an earlier
# run beside them are left out, so that a second run reads the same inputs.


class Refused(CliError):
    """A file salvaged but not written: the limits refused it. ``report`` is what the salvage found."""

    def __init__(self, message: str, report: Report) -> None:
        super().__init__(message, EXIT_REFUSED)
        self.report = report


def run(args: argparse.Namespace) -> int:
    parser = args.parser
    args.options = options = reading_options(args)
    for flag, path in [("INPUT", given) for given in args.inputs] + [
        ("-o/--output", args.output),
        ("--quarantine", args.quarantine),
        ("--repairs", args.repairs),
    ]:
        if path == "":
            parser.error(f"{flag} is an empty path")
    # A folder stands for its CSV files, even alone.
    many = len(args.inputs) > 1 or os.path.isdir(args.inputs[0])
    if many:
        refuse_single_file_options(parser, args)
    source = args.inputs[0]
    if args.in_place and args.output is not None:
        parser.error("--in-place writes the clean copy over INPUT; it cannot be combined with -o/--output")
    if args.in_place and source == STDIO:
        parser.error("--in-place needs INPUT to be a file, not standard input")
    to_stdout = args.output == STDIO or (args.output is None and source == STDIO)
    if to_stdout and args.json:
        parser.error("--json and an output on standard output (-o -) both need stdout; drop one")
    if args.quarantine == STDIO:
        parser.error("the quarantine file cannot be standard output; give a path")
    if args.repairs == STDIO:
        parser.error("the repair log cannot be standard output; give a path")
    if args.classic:
        for reason, _, remedy in classic_conflicts(options, bool(args.repairs)):
            if remedy is not None:
                parser.error(f"--classic {reason}; {remedy}")
    named_format = None if many else format_of(args.output)
    if args.format and named_format and args.format != named_format:
        parser.error(
            f"--format {args.format} writes {FORMAT_NAMES[args.format]}, but the output '{shown(args.output)}' "
            f"is named for {FORMAT_NAMES[named_format]}; drop --format or rename the output"
        )
    args.format = args.format or named_format or "csv"
    if args.format != "csv":
        refuse_table_options(args, to_stdout)
    if many:
        return run_many(args)

    if to_stdout:
        output = None
    elif args.in_place:
        output = source
    else:
        output = args.output or named_for(default_output(source), args.format)
    job = plan(args, source, output)
    if to_stdout or args.json:
        require_stdout()

    try:
        with progress_bar(args.quiet, known_size(source) or 0) as bar:
            report = salvage_one(args, job, None if bar is None else bar.reporter(source), bar)
    except Refused as refusal:
        say(f"tidewrack: {refusal}")
        say_warnings(args, refusal.report, many=False, refused=True)
        return refusal.exit_code
    if args.json:
        print_out(json.dumps(report_json(report), indent=2, ensure_ascii=False))
    elif not args.quiet:
        say(report_text(report))
    say_warnings(args, report, many=False)
    return 0


def say_warnings(args: argparse.Namespace, report: Report, many: bool, refused: bool = False) -> None:
    """A line on stderr per warning, the file named where several run; unless quiet, or they refused the file."""
    if args.quiet and not (refused and args.strict):
        return
    named = f"{shown(report.input)}: " if many else ""
    for warning in report.warnings:
        say(f"warning: {named}{warning}")


def refuse_table_options(args: argparse.Namespace, to_stdout: bool) -> None:
    """Usage errors for what a Parquet or Arrow IPC output cannot do; CliError without pyarrow."""
    name = FORMAT_NAMES[args.format]
    if to_stdout:
        args.parser.error(f"{name} output needs a file: give -o OUTPUT")
    if args.in_place:
        args.parser.error(f"--in-place keeps the input a CSV file; it cannot write {name}")
    if args.classic:
        args.parser.error(f"--classic writes CSV only; drop --classic or write {name} without it")
    if args.options.expected_columns == 0:
        args.parser.error(f"--columns 0 leaves rows of different widths, which {name} columns cannot hold")
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CliError(f"writing {name} needs pyarrow: pip install 'tidewrack[arrow]'") from None


def refuse_single_file_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors for options that name one file, given with several inputs."""
    if STDIO in args.inputs:
        parser.error("standard input ('-') can only be salvaged alone; give file names")
    if args.output == STDIO:
        parser.error("with several inputs, -o names a folder; standard output cannot take several clean copies")
    if args.output is not None and os.path.lexists(args.output) and not os.path.isdir(args.output):
        parser.error(f"with several inputs, -o names a folder; '{shown(args.output)}' is not one")
    for given, flag in ((args.quarantine, "--quarantine"), (args.repairs, "--repairs")):
        if given:
            parser.error(
                f"with several inputs, {flag} would name one file for all of them; "
                "drop it: each input's goes beside its output"
            )


def run_many(args: argparse.Namespace) -> int:
    """Salvages several inputs, -j at a time; reports each in input order; returns the worst status."""
    parser = args.parser
    jobs = []
    for source in expand_folders(parser, args.inputs):
        if args.in_place:
            output = source
        else:
            output = named_for(default_output(source), args.format)
            if args.output is not None:
                output = os.path.join(args.output, os.path.basename(output))
        jobs.append(plan(args, source, output))
    refuse_shared_files(parser, jobs)
    if args.json:
        require_stdout()
    if args.output is not None:
        try:
            os.makedirs(args.output, exist_ok=True)
        except OSError as err:
            raise CliError(f"cannot create folder '{shown(args.output)}': {reason(err)}") from None

    statuses = []
    total = sum(known_size(job.source) or 0 for job in jobs)
    # Closed on any ending, so that a failure to report stops the jobs still running.
    with progress_bar(args.quiet, total) as bar, contextlib.closing(outcomes(args, jobs, bar)) as results:
        for job, outcome in zip(jobs, results):
            statuses.append(tell(args, job, outcome, bar))
    return max(statuses, key=severity)


def severity(status: int) -> int:
    return SEVERITY.index(status) if status in SEVERITY else len(SEVERITY)


def expand_folders(parser: argparse.ArgumentParser, inputs: list[str]) -> list[str]:
    """The inputs with each folder replaced by its CSV files, sorted by name."""
    sources = []
    for given in inputs:
        if not os.path.isdir(given):
            sources.append(given)
            continue
        try:
            found = csv_files_in(given)
        except OSError as err:
            raise read_error(given, err) from None
        if not found:
            parser.error(f"the folder '{shown(given)}' holds no CSV files")
        sources += found
    return sources


def plan(args: argparse.Namespace, source: str, output: str | None) -> Job:
    """The files of one input's salvage; usage error for any that would overwrite another."""
    quarantine = beside_output(args.quarantine, args.no_quarantine, output, "quarantine")
    repairs = beside_output(args.repairs, args.no_repairs or args.classic, output, "repairs")
    refuse_collisions(args.parser, source, output, quarantine, repairs, args.in_place)
    if args.in_place and os.path.islink(source):
        output = os.path.realpath(source)  # the link's target is salvaged, and the link kept
    return Job(source, output, quarantine, repairs)


def refuse_shared_files(parser: argparse.ArgumentParser, jobs: list[Job]) -> None:
    """Usage error, before anything is written, for a file that two inputs would write, or
    an output that is another input."""
    problem = shared_file(jobs, shown)
    if problem is not None:
        parser.error(problem)


def known_size(source: str) -> int | None:
    """The size of a regular file; None for standard input, streams and files that cannot be read."""
    if source == STDIO:
        return None
    try:
        info = os.stat(source)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def leave_stop_signals() -> None:
    """Leaves Ctrl-C, SIGTERM and SIGHUP to the main thread, which stops the jobs.

    Taken by a job's thread (or one it starts), a signal would wake no one:
    the main thread would wait on until a job ended, and that job would put
    its outputs in place after the interrupt.
    """
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})


def outcomes(args: argparse.Namespace, jobs: list[Job], bar: ProgressBar | None) -> Generator[Report | CliError]:
    """The report or the error of each job, in order, -j at a time.

    On Ctrl-C the jobs not started are dropped, and the running ones stop at
    their next progress report (and write nothing), or end.
    """
    stopping = threading.Event()

    def attempt(job: Job) -> Report | CliError:
        report = bar.reporter(job.source) if bar is not None and known_size(job.source) else None

        def progress(done: int, size: int) -> None:
            if stopping.is_set():
                raise KeyboardInterrupt
            if report is not None:
                report(done, size)

        try:
            return salvage_one(args, job, progress, bar)
        except CliError as err:
            return err

    if args.jobs == 1:
        yield from map(attempt, jobs)
        return
    import concurrent.futures  # slow to import, and only needed here

    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs, initializer=leave_stop_signals) as pool:
        try:  # Ctrl-C may come while the first jobs run and the others are still being submitted
            futures = [pool.submit(attempt, job) for job in jobs]
            for future in futures:
                yield future.result()
        except BaseException:
            stopping.set()
            pool.shutdown(cancel_futures=True)
            raise


def tell(args: argparse.Namespace, job: Job, outcome: Report | CliError, bar: ProgressBar | None) -> int:
    """Reports one input's outcome (a JSON line, or a summary or an error on stderr); returns its status."""
    with bar.paused() if bar is not None else contextlib.nullcontext():
        if isinstance(outcome, CliError):
            say(f"tidewrack: {outcome}")
            if isinstance(outcome, Refused):
                say_warnings(args, outcome.report, many=True, refused=True)
            if args.json:
                print_out(json.dumps({"input": job.source, "error": str(outcome)}, ensure_ascii=False))
            return outcome.exit_code
        if args.json:
            print_out(json.dumps(report_json(outcome), ensure_ascii=False))
        elif not args.quiet:
            say(report_text(outcome))
        say_warnings(args, outcome, many=True)
    return 0


def salvage_one(
    args: argparse.Namespace, job: Job, progress: Callable[[int, int], object] | None, bar: ProgressBar | None
) -> Report:
    """Salvages one input into its files, holding their locks from the start; a failure raises CliError naming
    the file."""

    def waiting(path: str) -> None:
        with bar.paused() if bar is not None else contextlib.nullcontext():
            say(f"tidewrack: waiting for another run writing '{shown(path)}' to finish")

    destinations = [path for _, path in job.destinations()]
    with contextlib.ExitStack() as locks, Scratch() as scratch:
        try:
            locks.enter_context(output_locks(destinations, None if args.quiet else waiting))
        except OSError as err:
            raise write_error(err.filename, err) from None
        source = streamed_input(job.source) if args.format == "csv" else engine_input(job.source, scratch)[0]
        target = scratch.path("clean.csv") if job.output is None else job.output
        limits = {"strict": args.strict, "max_repaired": args.max_repaired, "max_quarantined": args.max_quarantined}
        try:
            if args.format != "csv":
                report = salvage_to_table(
                    args.options, source, target, job.quarantine, job.repairs, args.format, progress, **limits
                )
            else:
                report = salvage_with(
                    args.options,
                    source,
                    target,
                    quarantine=job.quarantine,
                    repairs=job.repairs,
                    classic=args.classic,
                    progress=progress,
                    **limits,
                )
        except ThresholdExceeded as err:
            refused = dataclasses.replace(err.report, input=job.source)
            raise Refused(f"refused {source_label(job.source)}, nothing written: {err}", refused) from None
        except OSError as err:
            destinations = [path for _, path in job.destinations()]
            raise failure(err, job.source, source, destinations) from None
        except OptionError as err:  # the options contradict what was detected
            raise CliError(f"cannot salvage {source_label(job.source)}: {err}", EXIT_USAGE) from None
        except CompressedDataError as err:
            raise CliError(f"cannot read {source_label(job.source)}: {err}") from None
        except BinaryInputError as err:
            raise CliError(err.message(source_label(job.source), "--force-text")) from None
        except UnfitRows as err:
            raise CliError(
                f"cannot salvage {source_label(job.source)} into {FORMAT_NAMES[args.format]}: {err}"
            ) from None
        except MemoryError:
            raise out_of_memory(job.source) from None
        if job.output is None:
            copy_to_stdout(target)
    return dataclasses.replace(report, input=job.source, output=STDIO if job.output is None else job.output)


def beside_output(given: str | None, skipped: bool, output: str | None, kind: str) -> str | None:
    """The path given, none when skipped or when the output is standard output, else the default beside it."""
    if given is not None:
        return given
    if skipped or output is None:
        return None
    return default_beside(output, kind)


def refuse_collisions(
    parser: argparse.ArgumentParser,
    source: str,
    output: str | None,
    quarantine: str | None,
    repairs: str | None,
    in_place: bool,
) -> None:
    """Usage error, before anything is read or written, for files that would overwrite one another."""
    named = source != STDIO
    if named and output is not None and not in_place and same_file(source, output):
        parser.error(
            f"the output '{shown(output)}' is the input '{shown(source)}'; "
            "use --in-place to replace the input by its clean copy"
        )
    found = collision(
        source if named else None,
        [("the output", output), ("the quarantine", quarantine), ("the repair log", repairs)],
    )
    if found is not None:
        (first, first_path), (second, second_path) = found
        if second == "input":
            parser.error(f"{first} '{shown(first_path)}' is the input '{shown(second_path)}'")
        parser.error(f"{first} '{shown(first_path)}' and {second} '{shown(second_path)}' are the same file")
    if in_place:
        try:
            regular = stat.S_ISREG(os.stat(source).st_mode)
            compression = compression_of(source) if regular else None
        except OSError:
            return  # reading it reports why
        if not regular:
            parser.error(f"--in-place needs a regular file; '{shown(source)}' is not one")
        if compression is not None:
            parser.error(
                f"--in-place would write plain CSV under the {compression} file's name '{shown(source)}'; "
                f"drop --in-place to write '{shown(default_output(source))}', or name the output with -o"
            )


def failure(err: OSError, label: str, source: str, destinations: list[str]) -> CliError:
    """Names the file behind a failed salvage as the user knows it.

    Outputs first: with --in-place the input is also the output, and it was
    already opened for reading without a failure.
    """
    if err.filename in destinations:
        return write_error(err.filename, err)
    if err.filename == source:
        return read_error(label, err)
    return scratch_error(err)
