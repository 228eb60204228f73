"""Files and bytes handed to the native module: links for names it cannot open, spooled input,
and the progress of chunks read from a file."""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import BinaryIO, Self, TypeAlias

BytesDone: TypeAlias = Callable[[int], object]


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
