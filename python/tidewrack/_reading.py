"""How the package's rules read an input: refused when it is not text, else in
the encoding given, or in one its head shows."""

from __future__ import annotations

import codecs
import contextlib
import dataclasses
from collections.abc import Iterator

from . import _native
from ._binary import BinaryInputError, looks_like
from ._compression import CHUNK, decompressed, decompressed_head, zip_member
from ._encodings import guess_code_page, resolve, transcoded, utf8_or_mixed
from ._paths import BytesDone, reported

# The bytes of the (decompressed) input looked at.
HEAD_BYTES = 256 << 10
# The leading bytes in which the engine finds a byte-order mark or a NUL pattern.
_ENGINE_HEAD = 4096


@dataclasses.dataclass(frozen=True)
class Reading:
    """An encoding for the engine, the codec that decodes the input for it first (or None),
    how sure a code page guessed from the head is (None when none was guessed), and
    the input's compression."""

    engine_encoding: str
    codec: str | None
    confidence: float | None = None
    compression: str | None = None

    @property
    def piped(self) -> bool:
        """Python decompresses or decodes the input for the engine (see input_chunks)."""
        return self.compression is not None or self.codec is not None


def reading_of(source: str, encoding: str, force_text: bool) -> Reading:
    """How to read ``source`` with ``encoding`` ("auto" or a codec's name).

    Under "auto" the head of the input decides: unless ``force_text``, an
    input that is not text raises BinaryInputError; a head that is not UTF-8
    (without a byte-order mark or the NUL pattern of UTF-16 or UTF-32) is read
    in the code page it reads best in. A named encoding is read as it is.
    Unknown encodings raise ValueError, damaged compressed data
    CompressedDataError.
    """
    engine_encoding, codec = resolve(encoding)
    head = decompressed_head(source, HEAD_BYTES)
    if head is None:
        return Reading(engine_encoding, codec)
    if encoding != "auto":
        return Reading(engine_encoding, codec, compression=head.compression)
    if not force_text:
        kind = looks_like(head)
        if kind is not None:
            raise BinaryInputError(source, *kind)
    data = head.data
    if (data.startswith(codecs.BOM_UTF8) or _native.detect_encoding(data[:_ENGINE_HEAD]) != "utf-8"
            or utf8_or_mixed(data)):
        return Reading(engine_encoding, codec, compression=head.compression)
    guessed, confidence = guess_code_page(data)
    if guessed == "cp1252":  # the engine's own
        return Reading("cp1252", None, confidence, head.compression)
    return Reading("utf-8", guessed, confidence, head.compression)


def input_chunks(source: str, read: Reading, progress: BytesDone | None = None) -> Iterator[bytes]:
    """The bytes the engine reads of a ``read.piped`` input: the file ``source`` decompressed and decoded.

    The chunks stream: memory stays bounded whatever the input holds, and no
    copy of the text is written anywhere. ``progress`` is told the bytes of
    ``source`` read. Close the iterator when it is not read to its end.
    """
    with open(source, "rb") as handle:
        if read.compression == "zip":
            _, chunks = zip_member(handle)
        else:
            chunks = iter(lambda: handle.read(CHUNK), b"")
            if read.compression is not None:
                chunks = decompressed(read.compression, chunks)
        chunks = reported(chunks, handle, progress)
        if read.codec is not None:
            chunks = transcoded(chunks, read.codec)
        with contextlib.closing(chunks):
            yield from chunks


__all__ = ["BinaryInputError", "Reading", "input_chunks", "reading_of"]
