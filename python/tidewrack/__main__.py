"""Entry point of the ``tidewrack`` command and of ``python -m tidewrack``."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from ._cli_io import CliError
from ._cli_parser import build_parser

EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a process ended by SIGPIPE


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command line and returns the exit status instead of exiting."""
    try:
        args = build_parser().parse_args(argv)
        status: int = args.run(args)
        return status
    except SystemExit as stop:  # argparse: --help, --version, usage errors
        if stop.code is None or isinstance(stop.code, int):
            return stop.code or 0
        return 1
    except CliError as err:
        print(f"tidewrack: {err}", file=sys.stderr)
        return err.exit_code
    except KeyboardInterrupt:
        print("tidewrack: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`). Point stdout at /dev/null so the
        # interpreter's final flush does not complain about it again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())
