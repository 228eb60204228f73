"""Files and standard streams for the command line.

The engine reads and writes named files only, so standard input and pipes are
spooled to a scratch file first, and standard output is copied from one.
"""

from __future__ import annotations

import os
import shutil
import stat
import sys
import tempfile
from types import TracebackType
from typing import BinaryIO, Self

STDIO = "-"
_COPY_CHUNK = 1 << 20


class CliError(Exception):
    """A failure reported as one line on stderr, with the process's exit code."""

    def __init__(self, message: str, exit_code: int = 1) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def reason(err: OSError) -> str:
    """The OS's words for an error, without Python's "[Errno n]" decoration."""
    return err.strerror or str(err)


def engine_input(path: str, scratch: Scratch) -> tuple[str, int]:
    """A regular file holding the input, for the engine to read, and its size.

    Standard input ('-'), pipes and other streams are copied to a scratch file
    first. A file that cannot be read raises CliError naming it.
    """
    if path == STDIO:
        return spool(sys.stdin.buffer, scratch)
    try:
        with open(path, "rb") as handle:
            info = os.fstat(handle.fileno())
            if stat.S_ISREG(info.st_mode):
                return path, info.st_size
            return spool(handle, scratch)
    except OSError as err:
        raise CliError(f"cannot read '{path}': {reason(err)}") from None


def unwritable_reason(path: str) -> str | None:
    """Why ``path`` cannot be opened for writing, or None if it can.

    Opens in append mode so that an existing file is left as it is.
    """
    try:
        with open(path, "ab"):
            return None
    except OSError as err:
        return reason(err)


class Scratch:
    """A private temporary directory, made on first use and removed on exit."""

    def __init__(self) -> None:
        self._dir: tempfile.TemporaryDirectory[str] | None = None

    def path(self, name: str) -> str:
        if self._dir is None:
            self._dir = tempfile.TemporaryDirectory(prefix="tidewrack-")
        return os.path.join(self._dir.name, name)

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


def spool(stream: BinaryIO, scratch: Scratch) -> tuple[str, int]:
    """Copies a stream into a scratch file; returns its path and size."""
    path = scratch.path("input.csv")
    with open(path, "wb") as copy:
        shutil.copyfileobj(stream, copy, _COPY_CHUNK)
        return path, copy.tell()


def copy_to_stdout(path: str) -> None:
    with open(path, "rb") as source:
        shutil.copyfileobj(source, sys.stdout.buffer, _COPY_CHUNK)
    sys.stdout.buffer.flush()


def write_bytes(scratch: Scratch, name: str, data: bytes) -> str:
    path = scratch.path(name)
    with open(path, "wb") as handle:
        handle.write(data)
    return path
