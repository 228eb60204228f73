"""Files and standard streams for the command line.

A salvage into CSV reads standard input and pipes as they come; the table
formats, which may read their input twice, take them spooled to a scratch file
first. Standard output is copied from a scratch file. Every failure becomes a
CliError: one line naming the file and the reason.
"""

from __future__ import annotations

import errno
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Iterator
from types import TracebackType

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import BinaryIO, Self

STDIO = "-"
CHUNK = 1 << 20


class CliError(Exception):
    """A failure reported as one line on stderr, with the process's exit code."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def shown(path: str) -> str:
    """A path as printed: bytes of the name that are not UTF-8 appear as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def reason(err: OSError) -> str:
    """The OS's words for an error, without Python's "[Errno n]" decoration."""
    return err.strerror or str(err)


def source_label(path: str) -> str:
    """How an input is named in messages: "standard input" for '-'."""
    return "standard input" if path == STDIO else f"'{shown(path)}'"


def read_error(path: str, err: OSError) -> CliError:
    return CliError(f"cannot read {source_label(path)}: {reason(err)}")


def out_of_memory(path: str) -> CliError:
    return CliError(f"cannot salvage {source_label(path)}: out of memory")


def write_error(path: str, err: OSError) -> CliError:
    return CliError(f"cannot write '{shown(path)}': {reason(err)}")


def scratch_error(err: OSError) -> CliError:
    where = f" '{shown(err.filename)}'" if isinstance(err.filename, str) else ""
    return CliError(f"cannot write temporary file{where}: {reason(err)}")


class Scratch:
    """A private temporary directory, made on first use and removed on exit."""

    def __init__(self) -> None:
        self._dir: tempfile.TemporaryDirectory[str] | None = None

    def path(self, name: str) -> str:
        if self._dir is None:
            try:
                self._dir = tempfile.TemporaryDirectory(prefix="tidewrack-")
            except OSError as err:
                raise scratch_error(err) from None
        return os.path.join(self._dir.name, name)

    def write(self, name: str, chunks: Iterator[bytes]) -> tuple[str, int]:
        """Writes ``chunks`` to a new scratch file; returns its path and size.

        Unbuffered, so that a full disk is reported by the write that met it.
        """
        path = self.path(name)
        size = 0
        try:
            descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            try:
                for chunk in chunks:
                    view = memoryview(chunk)
                    while view:
                        view = view[os.write(descriptor, view) :]
                    size += len(chunk)
            finally:
                os.close(descriptor)
        except OSError as err:
            err.filename = path
            raise scratch_error(err) from None
        return path, size

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._dir is not None:
            self._dir.cleanup()


def stdin_binary() -> BinaryIO:
    if sys.stdin is None:  # started with standard input closed
        raise read_error(STDIO, OSError(errno.EBADF, os.strerror(errno.EBADF)))
    return sys.stdin.buffer


def chunks_of(stream: BinaryIO, label: str) -> Iterator[bytes]:
    """The content of ``stream``; a failed read raises CliError naming ``label``."""
    while True:
        try:
            chunk = stream.read(CHUNK)
        except OSError as err:
            raise read_error(label, err) from None
        if not chunk:
            return
        yield chunk


def streamed_input(path: str) -> str:
    """The path a salvage reads the input at: standard input ('-') by its device name."""
    if path != STDIO:
        return path
    stdin_binary()  # refuses a closed standard input
    return "/dev/stdin"


def engine_input(path: str, scratch: Scratch) -> tuple[str, int]:
    """A regular file holding the input, for the engine to read, and its size.

    Standard input ('-'), pipes and other streams are copied to a scratch file
    first. A file that cannot be read raises CliError naming it.
    """
    if path == STDIO:
        return scratch.write("input.csv", chunks_of(stdin_binary(), STDIO))
    try:
        handle = open(path, "rb")
    except OSError as err:
        raise read_error(path, err) from None
    with handle:
        info = os.fstat(handle.fileno())
        if stat.S_ISREG(info.st_mode):
            return path, info.st_size
        return scratch.write("input.csv", chunks_of(handle, path))


def require_stdout() -> None:
    """Refuses, before any work, a run whose results would go to a closed standard output."""
    if sys.stdout is None:
        raise _stdout_failed(OSError(errno.EBADF, os.strerror(errno.EBADF)))


def print_out(text: str) -> None:
    """Prints a line to standard output at once, so that a failure is reported here."""
    require_stdout()
    try:
        print(text, flush=True)
    except BrokenPipeError:
        raise
    except OSError as err:
        raise _stdout_failed(err) from None


def copy_to_stdout(path: str) -> None:
    require_stdout()
    with open(path, "rb") as source:  # a scratch file of this run
        try:
            sys.stdout.flush()
            shutil.copyfileobj(source, sys.stdout.buffer, CHUNK)
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise
        except OSError as err:
            raise _stdout_failed(err) from None


def say(text: str) -> None:
    """Prints a line to stderr; there is nowhere left to report a failure of stderr itself."""
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        pass


def silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's final flush
    does not fail again on what could not be written."""
    if sys.stdout is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _stdout_failed(err: OSError) -> CliError:
    silence_stdout()
    return CliError(f"cannot write standard output: {reason(err)}")
