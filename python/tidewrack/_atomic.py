"""Output files that appear whole or not at all, one run at a time.

The engine writes each output into a private hidden directory made beside its
destination. Once every output of a call is complete, each is flushed to disk
and renamed over its destination; any other ending removes them. A failed or
interrupted run therefore leaves every existing file as it was, and a symlink
at a destination is replaced, never written through.

Streams (/dev/stdout, /dev/null, a device, a FIFO of the user's own) cannot be
renamed over: their output is made in a private temporary directory and
copied to them once complete.

A run holds an advisory lock on each destination from before the engine
writes until the renames are done, so that two runs into the same files
commit one after the other, never a mix of both.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import shutil
import signal
import stat
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import TracebackType

from ._engine_files import EnginePaths
from ._paths import check_readable, is_kernel_name, is_stream, named_os_error, same_file

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Self, TypeVar

    T = TypeVar("T")

_PRIVATE_PREFIX = ".tidewrack-"
_COPY_CHUNK = 1 << 20
# The private files of the outputs being written in this process.
_private_files: set[str] = set()
_private_guard = threading.Lock()


def is_private_file(path: str) -> bool:
    """Whether ``path`` is the private file of an output this process is writing (which
    is renamed into place already when the output is complete)."""
    with _private_guard:
        return path in _private_files


class PendingOutput:
    """One destination and the private file the engine writes in its place."""

    def __init__(self, destination: str) -> None:
        self.destination = destination
        self._mode = _existing_mode(destination)
        self._stream = is_stream(destination)
        # A FIFO or device of the user's is written only if it is still the one seen here.
        self._seen = None if not self._stream or is_kernel_name(destination) else os.lstat(destination)
        folder = None if self._stream else os.path.dirname(destination) or os.curdir
        try:
            self._folder = tempfile.mkdtemp(prefix=_PRIVATE_PREFIX, dir=folder)
        except OSError as err:
            raise OSError(err.errno, err.strerror, err.filename if self._stream else destination) from None
        self.path = os.path.join(self._folder, "part")
        with _private_guard:
            _private_files.add(self.path)

    def started(self) -> bool:
        """Whether the engine has opened this output (outputs are written in order)."""
        return os.path.lexists(self.path)

    def settle(self) -> None:
        """Everything that can fail before the rename: flush to disk, keep the old mode, copy to a stream."""
        try:
            if self._stream:
                self._copy_to_stream()
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

    def _copy_to_stream(self) -> None:
        # Appending, never creating: a stream is never truncated, and /dev/stdout may lead to a file.
        flags = os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC | (0 if self._seen is None else os.O_NOFOLLOW)
        with open(self.path, "rb") as source, open(os.open(self.destination, flags), "wb") as target:
            if self._seen is not None and not os.path.samestat(os.fstat(target.fileno()), self._seen):
                raise OSError(errno.EEXIST, "it was replaced while the run went on")
            shutil.copyfileobj(source, target, _COPY_CHUNK)

    def rename(self) -> None:
        if self._stream:
            return
        try:
            os.replace(self.path, self.destination)
        except OSError as err:
            raise OSError(err.errno, err.strerror, self.destination) from None
        _sync_folder(os.path.dirname(self.destination) or os.curdir)

    def remove(self) -> None:
        with _private_guard:
            _private_files.discard(self.path)
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
            self.remove()
            raise

    def commit(self) -> None:
        for output in self.outputs:
            output.settle()
        with _signals_deferred():
            for output in self.outputs:
                output.rename()

    def remove(self) -> None:
        """Removes what is left of the private files: all of them unless commit() renamed them."""
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
        self.remove()


def salvage_atomically(
    source: str, output: str, others: Sequence[str | None], run: Callable[[str, str, list[str | None]], T]
) -> T:
    """Runs ``run(engine_source, engine_output, engine_others)``, every output written atomically.

    The output and each other destination (None: not written) become private
    files for the engine to write; all are renamed into place once ``run``
    has returned, and removed on any other ending, each destination locked
    meanwhile (see output_locks). An output that is the input through a
    symlink replaces the link's target, keeping the link. A file failure
    raises the OSError subclass of its kind, naming the file as the caller
    named it (that target for such an output).
    """
    check_readable(source)
    if os.path.islink(output) and same_file(source, output):
        output = os.path.realpath(output)
    destinations = [output, *others]
    written = [path for path in destinations if path is not None]
    with output_locks(written), PendingOutputs(written) as pending, EnginePaths() as engine_path:
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


_LOCK_SUFFIX = ".lock"
_NAME_MAX = 255
# Lock files this process holds, by the thread holding each: the command line locks a job's
# outputs before it reads the input, and the salvage it then calls finds them held already.
_held: dict[str, int] = {}
_held_guard = threading.Lock()


@contextlib.contextmanager
def output_locks(destinations: Iterable[str], waiting: Callable[[str], object] | None = None) -> Iterator[None]:
    """Holds an advisory lock for each destination for the life of the block; where another
    run holds one, waits for it, having called ``waiting(destination)`` (once).

    The lock is flock() on a hidden file beside the destination
    (``.tidewrack-NAME.lock``), taken in one order by every run, so that none
    waits for a run that waits for it. The kernel releases it when the process
    ends, however it ends; the file is removed on release, and one left by a
    crash is simply taken by the next run. Streams have no lock.
    """
    me = threading.get_ident()
    wanted = sorted({_lock_path(path): path for path in destinations if not is_stream(path)}.items())
    held: list[tuple[str, int]] = []
    told = False

    def wait_for(destination: str) -> None:
        nonlocal told
        if waiting is not None and not told:
            told = True
            waiting(destination)

    try:
        for path, destination in wanted:
            with _held_guard:
                if _held.get(path) == me:
                    continue
            while not _lock(path, destination, held, wait_for):
                pass
        yield
    finally:
        with _signals_deferred():
            for path, descriptor in reversed(held):
                with _held_guard:
                    del _held[path]
                # Removed before the release, so that a run waiting on it finds it gone and takes a new one.
                if _is_at(path, descriptor):
                    with contextlib.suppress(OSError):
                        os.unlink(path)
                os.close(descriptor)


def _lock(path: str, destination: str, held: list[tuple[str, int]], wait_for: Callable[[str], None]) -> bool:
    """Locks the file ``path`` (made if missing) and adds it to ``held``; False when the
    file was removed by the run that held it, to be taken anew.

    Signals are held back but for the wait itself, so that whatever ends the
    run, a lock it took is listed to be released, or closed here.
    """
    descriptor = -1
    try:
        with _signals_deferred():
            try:
                # Never through a link, and never blocked by a FIFO planted at the name.
                descriptor = os.open(
                    path, os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o666
                )
            except OSError as err:
                raise OSError(err.errno, err.strerror, destination) from None
            taken = _flock(descriptor, destination, blocking=False)
            kept = taken and _kept(path, descriptor, held)
        if not taken:  # another run holds it, and removes it once done
            wait_for(destination)
            _flock(descriptor, destination, blocking=True)
            with _signals_deferred():
                kept = _kept(path, descriptor, held)
    except BaseException:
        if descriptor >= 0 and (path, descriptor) not in held:
            os.close(descriptor)
        raise
    if not kept:
        os.close(descriptor)
    return kept


def _flock(descriptor: int, destination: str, blocking: bool) -> bool:
    """Takes the exclusive lock; False when another holds it and ``blocking`` is not set."""
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | (0 if blocking else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    except OSError as err:
        raise OSError(err.errno, err.strerror, destination) from None
    return True


def _kept(path: str, descriptor: int, held: list[tuple[str, int]]) -> bool:
    """Lists a lock just taken, to be released; False when its file is no longer at ``path``."""
    if not _is_at(path, descriptor):
        return False
    with _held_guard:
        _held[path] = threading.get_ident()
    held.append((path, descriptor))
    return True


def _is_at(path: str, descriptor: int) -> bool:
    """Whether the open file ``descriptor`` is still the one at ``path``."""
    try:
        return os.path.samestat(os.lstat(path), os.fstat(descriptor))
    except OSError:
        return False


def _lock_path(destination: str) -> str:
    """The lock file of a destination. A name too long for one shares its lock with the
    names it begins like: runs into them only wait for one another."""
    folder, name = os.path.split(os.path.abspath(destination))
    lock = os.fsencode(f"{_PRIVATE_PREFIX}{name}")[: _NAME_MAX - len(_LOCK_SUFFIX)]
    return os.path.join(os.path.realpath(folder), os.fsdecode(lock) + _LOCK_SUFFIX)


def _existing_mode(destination: str) -> int | None:
    """The permission bits to keep, or None for a new file; refuses what cannot be written.

    A read-only file is refused as a plain open for writing would refuse it,
    rather than silently replaced.
    """
    try:
        info = os.lstat(destination)
    except FileNotFoundError:
        return None
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), destination)
    if not stat.S_ISREG(info.st_mode):
        return None
    if not os.access(destination, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), destination)
    return stat.S_IMODE(info.st_mode) & 0o777


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
