"""tidewrack salvage: clean copy, quarantine file, summary."""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import stat

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
    source_label,
    write_error,
)
from ._cli_options import refuse_impossible_options, salvage_options
from ._cli_report import report_json, report_text
from ._compression import CompressedDataError
from ._paths import collision, default_output, named_after_output, same_file
from ._salvage import salvage

EXIT_QUARANTINED = 3


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
    if args.repairs == STDIO:
        parser.error("the repair log cannot be standard output; give a path")
    if args.classic and args.repairs:
        parser.error("--classic writes no repair log; drop --repairs")
    if args.classic and args.encoding != "auto":
        parser.error("--classic reads the bytes as they are; drop --encoding")
    if args.classic and args.threads is not None:
        parser.error("--classic runs on one thread; drop --threads")

    if to_stdout:
        output = None
    elif args.in_place:
        output = args.input
    else:
        output = args.output or default_output(args.input)
    quarantine = beside_output(args.quarantine, args.no_quarantine, output, "quarantine")
    repairs = beside_output(args.repairs, args.no_repairs or args.classic, output, "repairs")
    refuse_collisions(parser, args.input, output, quarantine, repairs, args.in_place)
    if to_stdout or args.json:
        require_stdout()

    with Scratch() as scratch:
        source, _ = engine_input(args.input, scratch)
        target = scratch.path("clean.csv") if output is None else output
        try:
            report = salvage(
                source, target, quarantine=quarantine, repairs=repairs, encoding=args.encoding,
                classic=args.classic, threads=args.threads, **salvage_options(args),
            )
        except OSError as err:
            destinations = [path for path in (output, quarantine, repairs) if path]
            raise failure(err, args.input, source, destinations) from None
        except CompressedDataError as err:
            raise CliError(f"cannot read {source_label(args.input)}: {err}") from None
        except MemoryError:
            raise out_of_memory(args.input) from None
        if output is None:
            copy_to_stdout(target)

    report = dataclasses.replace(report, input=args.input, output=STDIO if output is None else output)
    if args.json:
        print_out(json.dumps(report_json(report), indent=2, ensure_ascii=False))
    else:
        say(report_text(report))
    if args.fail_on_quarantine and report.quarantined_rows:
        return EXIT_QUARANTINED
    return 0


def beside_output(given: str | None, skipped: bool, output: str | None, kind: str) -> str | None:
    """The path given, none when skipped or when the output is standard output, else named after the output."""
    if given:
        return given
    if skipped or output is None:
        return None
    return named_after_output(output, kind)


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
