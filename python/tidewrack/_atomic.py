"""Output files that appear whole or not at all.

The engine writes each output into a private hidden directory made beside its
destination. Once every output of a call is complete, each is flushed to disk
and renamed over its destination; any other ending removes them. A failed or
interrupted run therefore leaves every existing file as it was, and a symlink
at a destination is replaced, never written through.

Streams and devices (a FIFO, /dev/stdout, /dev/null) cannot be renamed over:
their output is made in a private temporary directory and copied to them once
complete.
"""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import signal
import stat
import tempfile
import threading
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType

from ._paths import EnginePaths, check_readable, named_os_error

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Self, TypeVar

    T = TypeVar("T")

_PRIVATE_PREFIX = ".tidewrack-"
_COPY_CHUNK = 1 << 20


class PendingOutput:
    """One destination and the private file the engine writes in its place."""

    def __init__(self, destination: str) -> None:
        self.destination = destination
        self._mode = _existing_mode(destination)
        self._stream = _is_stream(destination)
        folder = None if self._stream else os.path.dirname(destination) or os.curdir
        try:
            self._folder = tempfile.mkdtemp(prefix=_PRIVATE_PREFIX, dir=folder)
        except OSError as err:
            raise OSError(err.errno, err.strerror, err.filename if self._stream else destination) from None
        self.path = os.path.join(self._folder, "part")

    def started(self) -> bool:
        """Whether the engine has opened this output (outputs are written in order)."""
        return os.path.lexists(self.path)

    def settle(self) -> None:
        """Everything that can fail before the rename: flush to disk, keep the old mode, copy to a stream."""
        try:
            if self._stream:
                # Appending: a stream is never truncated, and /dev/stdout may lead to a file.
                with open(self.path, "rb") as source, open(self.destination, "ab") as target:
                    shutil.copyfileobj(source, target, _COPY_CHUNK)
                return
            descriptor = os.open(self.path, os.O_RDONLY)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
            if self._mode is not None:
                os.chmod(self.path, self._mode)
        except OSError as err:
            raise OSError(err.errno, err.strerror, self.destination) from None

    def rename(self) -> None:
        if self._stream:
            return
        try:
            os.replace(self.path, self.destination)
        except OSError as err:
            raise OSError(err.errno, err.strerror, self.destination) from None
        _sync_folder(os.path.dirname(self.destination) or os.curdir)

    def remove(self) -> None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)
        with contextlib.suppress(OSError):
            os.rmdir(self._folder)


class PendingOutputs:
    """The outputs of one call: all renamed into place by commit(), or none."""

    def __init__(self, destinations: Sequence[str]) -> None:
        self.outputs: list[PendingOutput] = []
        try:
            # Ctrl-C between making a private folder and listing it here would leave the folder behind.
            with _signals_deferred():
                for destination in destinations:
                    self.outputs.append(PendingOutput(destination))
        except BaseException:
            self._remove()
            raise

    def commit(self) -> None:
        for output in self.outputs:
            output.settle()
        with _signals_deferred():
            for output in self.outputs:
                output.rename()

    def _remove(self) -> None:
        for output in self.outputs:
            output.remove()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self._remove()


def salvage_atomically(
    source: str, output: str, others: Sequence[str | None], run: Callable[[str, str, list[str | None]], T]
) -> T:
    """Runs ``run(engine_source, engine_output, engine_others)``, every output written atomically.

    The output and each other destination (None: not written) become private
    files for the engine to write; all are renamed into place once ``run``
    has returned, and removed on any other ending. A file failure raises the
    OSError subclass of its kind, naming the file as the caller named it.
    """
    check_readable(source)
    destinations = [output, *others]
    with PendingOutputs([path for path in destinations if path is not None]) as pending, EnginePaths() as engine_path:
        parts = iter(pending.outputs)
        engine_output, *engine_others = [
            None if path is None else engine_path(next(parts).path) for path in destinations
        ]
        engine_source = engine_path(source)
        try:
            result = run(engine_source, str(engine_output), engine_others)
        except OSError as err:
            names = {part: path for part, path in zip([engine_output, *engine_others], destinations) if part}
            names[engine_source] = source
            if err.filename in names:
                err.filename = names[err.filename]
                raise
            if err.filename is not None:  # named by the package already
                raise
            # The classic module names no file: it reads the input whole, then writes the outputs in order.
            culprit = next((out.destination for out in reversed(pending.outputs) if out.started()), source)
            raise named_os_error(err, culprit) from None
        pending.commit()
    return result


def _existing_mode(destination: str) -> int | None:
    """The permission bits to keep, or None for a new file; refuses what cannot be written.

    A read-only file is refused as a plain open for writing would refuse it,
    rather than silently replaced.
    """
    if os.path.isdir(destination):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), destination)
    try:
        info = os.lstat(destination)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(info.st_mode):
        return None
    if not os.access(destination, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), destination)
    return stat.S_IMODE(info.st_mode) & 0o777


def _is_stream(destination: str) -> bool:
    """A device, FIFO or socket, or a name in /dev or /proc (/dev/stdout, /dev/fd/1).

    Names there stand for streams even when they lead to a regular file, and
    a rename would replace the kernel's own link. /dev/shm is ordinary storage.
    """
    try:
        if not stat.S_ISREG(os.stat(destination).st_mode):
            return True
    except OSError:
        pass
    folder = os.path.realpath(os.path.dirname(os.path.abspath(destination)))
    return folder in ("/dev", "/proc") or folder.startswith("/proc/")


def _sync_folder(folder: str) -> None:
    """Makes a rename durable; the file is already in place, so a failure here is not reported."""
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


_DEFERRED_SIGNALS = [signal.SIGINT, signal.SIGTERM, *([signal.SIGHUP] if hasattr(signal, "SIGHUP") else [])]


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """Holds back Ctrl-C and termination for the life of the block.

    Around the renames of one commit: a signal between two renames would
    leave a new output beside an old quarantine; held back, it arrives once
    the commit is whole. Python runs signal handlers in the main thread
    only, whichever thread the signal reaches (other libraries start threads
    of their own), so there the handlers are swapped for ones that note the
    signal; a handler installed outside Python is left as it is.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held: list[int] = []
    previous = {}
    for number in _DEFERRED_SIGNALS:
        handler = signal.getsignal(number)
        if handler is not None:
            previous[number] = handler
            signal.signal(number, lambda caught, _frame: held.append(caught))
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if held:
            signal.raise_signal(held[0])
