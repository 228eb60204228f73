"""Path arguments and file errors between Python and the native module.

The native module takes str paths only, encodes them as strict UTF-8 and names
no file in its OSError (its messages end in "(os error N)"); the package takes
os.PathLike too, reaches any file name, and raises OSError subclasses that
carry errno and filename.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import os
import re
import shutil
import stat
import tempfile
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import BinaryIO, Self, TypeAlias

StrPath: TypeAlias = str | os.PathLike[str]
BytesDone: TypeAlias = Callable[[int], object]

_OS_ERROR_NUMBER = re.compile(r"\(os error (\d+)\)$")
_CLEAN = ".clean"


def fspath_arg(value: StrPath, name: str) -> str:
    """Turns a path-like argument into str and refuses bytes paths by name.

    Other wrong types pass through untouched, so the native module's own
    TypeError (with its "while processing" note) is what the caller sees.
    """
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(
            f"{name} must be str or os.PathLike[str], not {type(value).__name__}; "
            "decode bytes paths first, e.g. with os.fsdecode()"
        )
    return value


def path_arg(value: StrPath, name: str) -> str:
    """A path argument as str; anything but str and os.PathLike[str] is a TypeError naming it."""
    path = fspath_arg(value, name)
    if not isinstance(path, str):
        raise TypeError(f"{name} must be str or os.PathLike[str], not {type(path).__name__}")
    if not path:
        raise ValueError(f"{name} is an empty path")
    return path


_COMPRESSION_SUFFIXES = (".gz", ".bz2", ".xz", ".zip")


_FOLDER_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zip")
_OUTPUT_SUFFIXES = (".clean.csv", ".quarantine.csv", ".repairs.csv")


def is_salvage_output(name: str) -> bool:
    """Whether a file is named as an earlier salvage names its outputs."""
    return name.lower().endswith(_OUTPUT_SUFFIXES)


def csv_files_in(folder: str) -> list[str]:
    """The CSV files of a folder (compressed too, salvage outputs left out), sorted by name."""
    return [
        os.path.join(folder, name)
        for name in sorted(os.listdir(folder))
        if name.lower().endswith(_FOLDER_SUFFIXES)
        and not is_salvage_output(name)
        and os.path.isfile(os.path.join(folder, name))
    ]


@dataclasses.dataclass(frozen=True)
class Job:
    """One input and the files its salvage writes (output None: standard output)."""

    source: str
    output: str | None
    quarantine: str | None
    repairs: str | None

    def destinations(self) -> list[tuple[str, str]]:
        named = [("the output", self.output), ("the quarantine", self.quarantine), ("the repair log", self.repairs)]
        return [(label, path) for label, path in named if path is not None]


def identities(path: str) -> list[object]:
    """What a file is known by: its resolved path and, once it exists, its inode."""
    keys: list[object] = [os.path.realpath(path)]
    try:
        info = os.stat(path)
    except OSError:
        return keys
    return [*keys, (info.st_dev, info.st_ino)]


def shared_file(jobs: list[Job], shown: Callable[[str], str] = str) -> str | None:
    """Why the jobs cannot all run: a file that two inputs would write, or an output that
    is an input (its own input may be its output, replaced in place); None when they can."""
    readers: dict[object, Job] = {}
    for job in jobs:
        for key in identities(job.source):
            readers.setdefault(key, job)
    writers: dict[str, Job] = {}
    for job in jobs:
        for label, path in job.destinations():
            reader = next((readers[key] for key in identities(path) if key in readers), None)
            if reader is not None and not (reader is job and label == "the output"):
                return f"{label} '{shown(path)}' of '{shown(job.source)}' is the input '{shown(reader.source)}'"
            writer = writers.setdefault(written_at(path), job)
            if writer is not job:  # its own files are checked with its options
                return f"'{shown(writer.source)}' and '{shown(job.source)}' would both write '{shown(path)}'"
    return None


def default_output(input_path: str) -> str:
    """data.csv -> data.clean.csv (data.csv.gz too), in the input's directory."""
    stem, suffix = os.path.splitext(input_path)
    if suffix.lower() in _COMPRESSION_SUFFIXES:
        stem = os.path.splitext(stem)[0]
    return stem + ".clean.csv"


def named_after_output(output_path: str, kind: str) -> str:
    """A file beside the output, named after it, a .clean ending dropped.

    data.clean.csv -> data.quarantine.csv, strict.csv -> strict.quarantine.csv
    (kind "quarantine"); runs with different outputs thus never share one.
    """
    folder, name = os.path.split(output_path)
    stem = os.path.splitext(name)[0]
    if stem.endswith(_CLEAN) and len(stem) > len(_CLEAN):
        stem = stem[: -len(_CLEAN)]
    return os.path.join(folder, f"{stem}.{kind}.csv")


def default_beside(output_path: str, kind: str) -> str | None:
    """The default file of ``kind`` beside the output (see named_after_output), or None where
    the output is a stream rather than a file in a folder (see is_stream)."""
    if is_stream(output_path):
        return None
    return named_after_output(output_path, kind)


def is_kernel_name(path: str) -> bool:
    """A name in /dev or /proc: /dev/null, /dev/stdout, /dev/fd/1 stand for streams even when they
    lead to a regular file, and a rename would replace the kernel's own link. /dev/shm is ordinary storage."""
    folder = os.path.realpath(os.path.dirname(os.path.abspath(path)))
    return folder in ("/dev", "/proc") or folder.startswith("/proc/")


def is_stream(path: str) -> bool:
    """Whether an output is written to where it is rather than replaced by a renamed file.

    Streams are the kernel's names (is_kernel_name), a device, and a FIFO or
    socket of the user's own. A symlink is never one, whatever it leads to:
    at an output's name it is replaced, so that a link planted there (to a
    FIFO another user reads, to a file of theirs) receives nothing; so is a
    FIFO of another user's.
    """
    if is_kernel_name(path):
        return True
    try:
        info = os.lstat(path)
    except OSError:
        return False  # not there yet: a file to create
    if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode):
        return True
    return (stat.S_ISFIFO(info.st_mode) or stat.S_ISSOCK(info.st_mode)) and info.st_uid == os.geteuid()


def usable_paths(*paths: object) -> bool:
    """Whether the package can work on these paths itself (None stands for no path).

    Anything else (a wrong type, a NUL character) goes to the native module
    untouched, so that its own exception is raised.
    """
    return all(path is None or (isinstance(path, str) and "\0" not in path) for path in paths)


def check_readable(path: str) -> None:
    """Raises the OSError that reading ``path`` would meet, with errno and filename.

    Regular files are opened and closed again; other files only looked at,
    since opening a FIFO would let a waiting writer start too early.
    """
    info = os.stat(path)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if stat.S_ISREG(info.st_mode):
        os.close(os.open(path, os.O_RDONLY))


def same_file(first: str, second: str) -> bool:
    """The same path once symlinks are resolved, or the same existing file."""
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samestat(os.stat(first), os.stat(second))
    except OSError:
        return False


def written_at(path: str) -> str:
    """Where an output lands: a stream where its name leads, anything else at its own name
    (a symlink there is replaced, not followed); so two links to one file are two outputs."""
    if is_stream(path):
        return os.path.realpath(path)
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(os.path.realpath(folder), name)


def collision(
    source: str | None, outputs: list[tuple[str, str | None]]
) -> tuple[tuple[str, str], tuple[str, str]] | None:
    """The first two files of a run that would overwrite one another, each as (label, path).

    ``outputs`` are (label, path or None), the clean output first: it alone
    may be the input (``source``, None for none), which it then replaces on
    purpose. No two outputs may be one file.
    """
    for label, path in outputs[1:]:
        if source is not None and path is not None and same_file(source, path):
            return (label, path), ("input", source)
    present = [(label, path) for label, path in outputs if path is not None]
    for i, (label, path) in enumerate(present):
        for other, other_path in present[i + 1 :]:
            if written_at(path) == written_at(other_path):
                return (label, path), (other, other_path)
    return None


def refuse_collisions(source: str, output: str | None, quarantine: str | None, repairs: str | None) -> None:
    """ValueError for outputs that would overwrite one another, or the input (the clean output alone may)."""
    found = collision(source, [("output", output), ("quarantine", quarantine), ("repairs", repairs)])
    if found is not None:
        (first, first_path), (second, second_path) = found
        if second == "input":
            raise ValueError(f"{first} is the input file: {first_path!r}")
        raise ValueError(f"{first} and {second} are the same file: {first_path!r}, {second_path!r}")


def named_os_error(err: OSError, filename: str) -> OSError:
    """The native module's OSError as the subclass of its error number, naming ``filename``."""
    found = _OS_ERROR_NUMBER.search(str(err))
    if found is None:  # an I/O-layer message without a number
        named = type(err)(*err.args)
        named.filename = filename
        return named
    number = int(found[1])
    return OSError(number, os.strerror(number), filename)


class EnginePaths:
    """Paths the native module can open, for any file name.

    A name that is not valid UTF-8 (a str with surrogate escapes, as
    os.listdir and sys.argv give it) is reached through a symlink in a private
    temporary directory, removed on exit.
    """

    def __init__(self) -> None:
        self._links: str | None = None
        self._count = 0

    def __call__(self, path: str) -> str:
        try:
            path.encode("utf-8")
            return path
        except UnicodeEncodeError:
            pass
        if self._links is None:
            self._links = tempfile.mkdtemp(prefix="tidewrack-")
        self._count += 1
        link = os.path.join(self._links, str(self._count))
        os.symlink(os.path.abspath(path), link)
        return link

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._links is not None:
            shutil.rmtree(self._links, ignore_errors=True)


@contextlib.contextmanager
def spooled(chunks: Iterable[bytes]) -> Iterator[str]:
    """A private temporary file holding ``chunks`` (input the engine cannot read as it is), removed on leaving."""
    with tempfile.TemporaryDirectory(prefix="tidewrack-") as folder:
        path = os.path.join(folder, "input")
        with open(path, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
        yield path


def reported(chunks: Iterable[bytes], source: BinaryIO, progress: BytesDone | None) -> Iterator[bytes]:
    """``chunks``, telling ``progress`` after each how far ``source``, the file they come from, is read.

    Once they are done the whole file counts as read: a zip archive's index lies past the data.
    """
    for chunk in chunks:
        yield chunk
        if progress is not None:
            progress(source.tell())
    if progress is not None:
        progress(os.fstat(source.fileno()).st_size)
