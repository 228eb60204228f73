"""tidewrack salvage: clean copy, quarantine file, summary."""

from __future__ import annotations

import argparse
import json
import os
import stat
import time

from . import salvage_file
from ._cli_io import (
    STDIO,
    CliError,
    Scratch,
    copy_to_stdout,
    engine_input,
    out_of_memory,
    print_out,
    read_error,
    require_stdout,
    say,
    scratch_error,
    shown,
    write_error,
)
from ._cli_parser import refuse_impossible_options, salvage_options
from ._cli_report import SalvageRun
from ._paths import same_file

EXIT_QUARANTINED = 3
_CLEAN = ".clean"


def default_output(input_path: str) -> str:
    """data.csv -> data.clean.csv, in the input's directory."""
    return os.path.splitext(input_path)[0] + ".clean.csv"


def default_quarantine(output_path: str) -> str:
    """Named after the output, beside it: data.clean.csv -> data.quarantine.csv, strict.csv -> strict.quarantine.csv.

    Runs with different outputs thus never share a quarantine file.
    """
    folder, name = os.path.split(output_path)
    stem = os.path.splitext(name)[0]
    if stem.endswith(_CLEAN) and len(stem) > len(_CLEAN):
        stem = stem[: -len(_CLEAN)]
    return os.path.join(folder, f"{stem}.quarantine.csv")


def run(args: argparse.Namespace) -> int:
    parser = args.parser
    refuse_impossible_options(args)
    if args.in_place and args.output is not None:
        parser.error("--in-place writes the clean copy over INPUT; it cannot be combined with -o/--output")
    if args.in_place and args.input == STDIO:
        parser.error("--in-place needs INPUT to be a file, not standard input")
    to_stdout = args.output == STDIO or (args.output is None and args.input == STDIO)
    if to_stdout and args.json:
        parser.error("--json and an output on standard output (-o -) both need stdout; drop one")
    if args.quarantine == STDIO:
        parser.error("the quarantine file cannot be standard output; give a path")

    if to_stdout:
        output = None
    elif args.in_place:
        output = args.input
    else:
        output = args.output or default_output(args.input)
    if args.quarantine:
        quarantine = args.quarantine
    elif args.no_quarantine or output is None:
        quarantine = None
    else:
        quarantine = default_quarantine(output)
    refuse_collisions(parser, args.input, output, quarantine, args.in_place)
    if to_stdout or args.json:
        require_stdout()

    with Scratch() as scratch:
        source, input_bytes = engine_input(args.input, scratch)
        target = scratch.path("clean.csv") if output is None else output
        started = time.perf_counter()
        try:
            summary = salvage_file(source, target, quarantine, **salvage_options(args))
        except OSError as err:
            raise failure(err, args.input, source, [path for path in (output, quarantine) if path]) from None
        except MemoryError:
            raise out_of_memory(args.input) from None
        elapsed = time.perf_counter() - started
        if output is None:
            copy_to_stdout(target)

    run_report = SalvageRun(
        summary=summary,
        input=args.input,
        output=STDIO if output is None else output,
        quarantine=quarantine,
        input_bytes=input_bytes,
        elapsed_seconds=elapsed,
    )
    if args.json:
        print_out(json.dumps(run_report.to_json(), indent=2, ensure_ascii=False))
    else:
        say(run_report.to_text())
    if args.fail_on_quarantine and summary.quarantined_rows:
        return EXIT_QUARANTINED
    return 0


def refuse_collisions(
    parser: argparse.ArgumentParser, source: str, output: str | None, quarantine: str | None, in_place: bool
) -> None:
    """Usage error, before anything is read or written, for files that would overwrite one another."""
    named = source != STDIO
    if named and output is not None and not in_place and same_file(source, output):
        parser.error(
            f"the output '{shown(output)}' is the input '{shown(source)}'; "
            "use --in-place to replace the input by its clean copy"
        )
    if named and quarantine is not None and same_file(source, quarantine):
        parser.error(f"the quarantine '{shown(quarantine)}' is the input '{shown(source)}'")
    if output is not None and quarantine is not None and same_file(output, quarantine):
        parser.error(f"the output '{shown(output)}' and the quarantine '{shown(quarantine)}' are the same file")
    if in_place:
        try:
            regular = stat.S_ISREG(os.stat(source).st_mode)
        except OSError:
            return  # reading it reports why
        if not regular:
            parser.error(f"--in-place needs a regular file; '{shown(source)}' is not one")


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
