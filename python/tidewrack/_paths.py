"""Path arguments, what a path names, and file errors between Python and the native module.

The native module takes str paths only, encodes them as strict UTF-8 and names
no file in its OSError (its messages end in "(os error N)"); the package takes
os.PathLike too, reaches any file name, and raises OSError subclasses that
carry errno and filename.
"""

from __future__ import annotations

import errno
import os
import re
import stat

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import TypeAlias


StrPath: TypeAlias = str | os.PathLike[str]

_OS_ERROR_NUMBER = re.compile(r"\(os error (\d+)\)$")


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


def named_os_error(err: OSError, filename: str) -> OSError:
    """The native module's OSError as the subclass of its error number, naming ``filename``."""
    found = _OS_ERROR_NUMBER.search(str(err))
    if found is None:  # an I/O-layer message without a number
        named = type(err)(*err.args)
        named.filename = filename
        return named
    number = int(found[1])
    return OSError(number, os.strerror(number), filename)
