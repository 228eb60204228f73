"""Input encodings: the engine decodes the common ones itself; any other codec
Python knows is decoded here into UTF-8 first."""

from __future__ import annotations

import codecs
import contextlib
from collections.abc import Iterator

from ._paths import BytesDone, reported, spooled

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import BinaryIO

# Python's canonical codec names of the encodings the engine decodes, and the
# engine's names for them.
_ENGINE_NAMES = {
    "utf-8": "utf-8",
    "utf-8-sig": "utf-8",
    "cp1252": "cp1252",
    "iso8859-1": "latin-1",
    "utf-16": "utf-16",
    "utf-16-le": "utf-16-le",
    "utf-16-be": "utf-16-be",
    "utf-32": "utf-32",
    "utf-32-le": "utf-32-le",
    "utf-32-be": "utf-32-be",
}
_CHUNK = 1 << 20


def resolve(encoding: str) -> tuple[str, str | None]:
    """The engine's encoding for ``encoding``, and the Python codec that must decode the input first (or None).

    ValueError for a name no codec answers to, or a codec that does not decode bytes to text.
    """
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be str, not {type(encoding).__name__}")
    if encoding == "auto":
        return "auto", None
    try:
        info = codecs.lookup(encoding)
    except LookupError:
        raise ValueError(f"unknown encoding: {encoding!r}") from None
    if info.name in _ENGINE_NAMES:
        return _ENGINE_NAMES[info.name], None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"encoding {encoding!r} does not decode bytes to text")
    return "utf-8", info.name


@contextlib.contextmanager
def transcoded_input(source: str, codec: str, progress: BytesDone | None = None) -> Iterator[str]:
    """A private temporary file holding ``source`` decoded with ``codec``, in UTF-8.

    Bytes the codec cannot decode are kept as they are (surrogateescape), so
    that the engine, reading UTF-8, replaces each by U+FFFD and counts and
    logs it with its record. ``progress`` is told the bytes of ``source`` read.
    """
    with open(source, "rb") as raw, spooled(reported(_transcoded(raw, codec), raw, progress)) as path:
        yield path


def _transcoded(raw: BinaryIO, codec: str) -> Iterator[bytes]:
    decoder = codecs.getincrementaldecoder(codec)(errors="surrogateescape")
    while True:
        chunk = raw.read(_CHUNK)
        yield decoder.decode(chunk, final=not chunk).encode("utf-8", "surrogateescape")
        if not chunk:
            return
