"""Runs one command line: its exit status for every way it may end."""

from __future__ import annotations

import io
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager

from .console import CliError, say, shown, silence_stdout
from .parser import build_parser

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a process ended by SIGPIPE


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised like Ctrl-C so that the run unwinds and removes its temporary files."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command line and returns the exit status instead of exiting."""
    for stream in (sys.stdout, sys.stderr):
        # Names that are not UTF-8 and text the terminal cannot show are escaped, never fatal.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    with _termination_raised():
        try:
            args = build_parser().parse_args(argv)
            status: int = args.run(args)
            return status
        except SystemExit as stop:  # argparse: --help, --version, usage errors
            if stop.code is None or isinstance(stop.code, int):
                return stop.code or 0
            return EXIT_FAILURE
        except CliError as err:
            say(f"tidewrack: {err}")
            return err.exit_code
        except KeyboardInterrupt:
            say("tidewrack: interrupted")
            return EXIT_INTERRUPTED
        except Terminated as stop:
            say(f"tidewrack: terminated by {signal.Signals(stop.signum).name}")
            return 128 + stop.signum
        except BrokenPipeError:
            # The reader went away (e.g. `| head`): end quietly, as a SIGPIPE would.
            silence_stdout()
            return EXIT_BROKEN_PIPE
        except MemoryError:
            say("tidewrack: out of memory")
            return EXIT_FAILURE
        except OSError as err:  # a failure no command explained: still one line
            named = f"'{shown(err.filename)}': " if isinstance(err.filename, str) else ""
            say(f"tidewrack: {named}{err.strerror or err}")
            return EXIT_FAILURE


@contextmanager
def _termination_raised() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Terminated for the duration of the run.

    A signal the process was started to ignore (nohup) stays ignored.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(signum: int, _frame: object) -> None:
        raise Terminated(signum)

    previous = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        handler = signal.getsignal(signum)
        if handler is not None and handler != signal.SIG_IGN:
            previous[signum] = handler
            signal.signal(signum, terminate)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
