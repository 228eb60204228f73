"""tidewrack salvage: clean copy, quarantine file, summary."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import PurePath

from . import salvage_file
from ._cli_io import STDIO, CliError, Scratch, copy_to_stdout, engine_input, unwritable_reason
from ._cli_parser import salvage_options
from ._cli_report import SalvageRun

EXIT_QUARANTINED = 3


def default_output(input_path: str) -> str:
    """data.csv -> data.clean.csv, in the input's directory."""
    return str(PurePath(input_path).with_suffix(".clean.csv"))


def default_quarantine(input_path: str, output_path: str) -> str:
    """<input name>.quarantine.csv beside the output (named after the output for stdin)."""
    named_after = output_path if input_path == STDIO else input_path
    stem = PurePath(named_after).with_suffix("").name
    return os.path.join(os.path.dirname(output_path), f"{stem}.quarantine.csv")


def run(args: argparse.Namespace) -> int:
    to_stdout = args.output == STDIO or (args.output is None and args.input == STDIO)
    if to_stdout and args.json:
        args.parser.error("--json and an output on standard output (-o -) both need stdout; drop one")
    if args.quarantine == STDIO:
        args.parser.error("the quarantine file cannot be standard output; give a path")

    with Scratch() as scratch:
        input_path, input_bytes = engine_input(args.input, scratch)

        output_path = scratch.path("clean.csv") if to_stdout else args.output or default_output(args.input)
        if args.no_quarantine or (to_stdout and args.quarantine is None):
            quarantine_path = None
        else:
            quarantine_path = args.quarantine or default_quarantine(args.input, output_path)

        started = time.perf_counter()
        try:
            summary = salvage_file(input_path, output_path, quarantine_path, **salvage_options(args))
        except OSError as err:
            raise explain_failure(err, args.input, [] if to_stdout else [output_path], quarantine_path) from None
        elapsed = time.perf_counter() - started

        if to_stdout:
            copy_to_stdout(output_path)

    run_report = SalvageRun(
        summary=summary,
        input=args.input,
        output=STDIO if to_stdout else output_path,
        quarantine=quarantine_path,
        input_bytes=input_bytes,
        elapsed_seconds=elapsed,
    )
    if args.json:
        print(json.dumps(run_report.to_json(), indent=2, ensure_ascii=False))
    else:
        print(run_report.to_text(), file=sys.stderr)
    if args.fail_on_quarantine and summary.quarantined_rows:
        return EXIT_QUARANTINED
    return 0


def explain_failure(err: OSError, input_label: str, outputs: list[str], quarantine: str | None) -> CliError:
    """Names the file behind an engine error, which carries only the OS's reason.

    The input was opened just before, so the culprit is almost always one of
    the files being written: the first one that cannot be opened is reported.
    """
    for path in [*outputs, *([quarantine] if quarantine else [])]:
        why = unwritable_reason(path)
        if why is not None:
            return CliError(f"cannot write '{path}': {why}")
    source = "standard input" if input_label == STDIO else f"'{input_label}'"
    return CliError(f"salvaging {source} failed: {err}")
