"""How the package's rules read an input: refused when it is not text, else in
the encoding given, or in one its head shows."""

from __future__ import annotations

import codecs
import contextlib
import dataclasses
import itertools
import os
import stat
from collections.abc import Generator, Iterator

from . import _native
from ._binary import BinaryInputError, looks_like
from ._compression import CHUNK, CompressedDataError, Head, decompressed, decompressed_head, detect, zip_member
from ._encodings import guess_code_page, resolve, transcoded, utf8_or_mixed
from ._engine_files import BytesDone, reported, spooled
from ._options import AUTO

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any, BinaryIO

    from ._options import ReadingOptions

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
    stream: bool = False  # standard input, a pipe, a device: read once, by Python

    @property
    def piped(self) -> bool:
        """Python reads the input for the engine, decompressed and decoded (see input_chunks)."""
        return self.compression is not None or self.codec is not None or self.stream


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
    return reading_of_head(source, head, encoding, force_text)


def reading_of_head(source: str, head: Head, encoding: str, force_text: bool) -> Reading:
    """How to read ``source``, whose head is ``head``, with ``encoding`` (see reading_of)."""
    engine_encoding, codec = resolve(encoding)
    if encoding != AUTO:
        return Reading(engine_encoding, codec, compression=head.compression)
    if not force_text:
        kind = looks_like(head)
        if kind is not None:
            raise BinaryInputError(source, *kind)
    data = head.data
    if (
        data.startswith(codecs.BOM_UTF8)
        or _native.detect_encoding(data[:_ENGINE_HEAD]) != "utf-8"
        or utf8_or_mixed(data)
    ):
        return Reading(engine_encoding, codec, compression=head.compression)
    guessed, confidence = guess_code_page(data)
    if guessed == "cp1252":  # the engine's own
        return Reading("cp1252", None, confidence, head.compression)
    return Reading("utf-8", guessed, confidence, head.compression)


def input_chunks(source: str, read: Reading, progress: BytesDone | None = None) -> Generator[bytes, None, None]:
    """The bytes the engine reads of a ``read.piped`` regular file: ``source`` decompressed and decoded.

    The chunks stream: memory stays bounded whatever the input holds, and no
    copy of the text is written anywhere. ``progress`` is told the bytes of
    ``source`` read. Close the iterator when it is not read to its end.
    """
    with open(source, "rb") as handle:
        if read.compression == "zip":
            chunks: Iterator[bytes] = reported(zip_member(handle)[1], handle, progress)
            if read.codec is not None:
                chunks = transcoded(chunks, read.codec)
        else:
            chunks = _pipeline(_raw_chunks(handle, progress), read)
        yield from chunks  # closing this closes them


@dataclasses.dataclass(frozen=True)
class EngineInput:
    """An input made ready for the engine: the file it is told of, how that is read, and what it reads."""

    path: str  # the input, or a private file keeping a zip archive that came on a stream
    read: Reading
    progress: BytesDone | None  # told the bytes of the input read
    stream: Iterator[bytes] | None = None  # a stream's bytes, decompressed and decoded: read once

    def feed(self) -> dict[str, Any]:
        """The engine's ``input_chunks`` and ``progress``: the bytes Python reads for it (a regular
        file's anew at each call: close them when they are not read to their end), or None and the
        progress the engine reports as it reads ``path`` itself."""
        if self.stream is not None:
            return {"input_chunks": self.stream, "progress": None}
        if self.read.piped:
            return {"input_chunks": input_chunks(self.path, self.read, self.progress), "progress": None}
        return {"input_chunks": None, "progress": self.progress}


@contextlib.contextmanager
def prepared_input(source: str, options: ReadingOptions, progress: BytesDone | None = None) -> Iterator[EngineInput]:
    """``source`` made ready for a salvage or a scan as ``options`` say: its encoding resolved,
    its head looked at, decompressed and decoded as it is read.

    A regular file is looked at by its head (reading_of) and read again from
    its start. A stream (standard input, a pipe, a device) is read once: its
    head is looked at here and handed to the engine first, then the rest as
    it comes. A zip archive on a stream is kept in a private temporary file,
    as its index lies at its end. ``progress`` is told the bytes of
    ``source`` read.
    """
    resolve(options.encoding)  # an unknown encoding before any file is opened
    with open(source, "rb") as handle:
        if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            with _prepared_stream(source, handle, options, progress) as engine_input:
                yield engine_input
            return
    yield EngineInput(source, reading_of(source, options.encoding, options.force_text), progress)


@contextlib.contextmanager
def _prepared_stream(
    source: str, handle: BinaryIO, options: ReadingOptions, progress: BytesDone | None
) -> Iterator[EngineInput]:
    """A stream made ready for the engine (see prepared_input): read once, its head first."""
    raw_head = _read_up_to(handle, HEAD_BYTES)
    kind = detect(raw_head)
    raw: Iterator[bytes] = itertools.chain([raw_head], _raw_chunks(handle, None))
    if progress is not None:
        raw = _counted(raw, progress)
    if kind == "zip":
        with spooled(raw) as kept, prepared_input(kept, options) as spool:
            yield dataclasses.replace(spool, read=dataclasses.replace(spool.read, stream=True))
        return
    head = Head(_head_of(kind, raw_head), kind)
    read = dataclasses.replace(reading_of_head(source, head, options.encoding, options.force_text), stream=True)
    with contextlib.closing(_pipeline(raw, read)) as chunks:
        yield EngineInput(source, read, progress, chunks)


def _raw_chunks(handle: BinaryIO, progress: BytesDone | None) -> Generator[bytes, None, None]:
    for chunk in iter(lambda: handle.read(CHUNK), b""):
        yield chunk
        if progress is not None:
            progress(handle.tell())


def _counted(chunks: Iterator[bytes], progress: BytesDone) -> Generator[bytes, None, None]:
    done = 0
    for chunk in chunks:
        done += len(chunk)
        yield chunk
        progress(done)


def _pipeline(raw: Iterator[bytes], read: Reading) -> Generator[bytes, None, None]:
    """``raw`` decompressed and decoded as ``read`` says (a zip archive aside)."""
    chunks = raw if read.compression is None else decompressed(read.compression, raw)
    yield from (chunks if read.codec is None else transcoded(chunks, read.codec))


def _read_up_to(handle: BinaryIO, size: int) -> bytes:
    """``size`` bytes of a stream, fewer only at its end."""
    data = bytearray()
    while len(data) < size and (chunk := handle.read(size - len(data))):
        data += chunk
    return bytes(data)


def _head_of(kind: str | None, raw_head: bytes) -> bytes:
    """The head of a stream whose first bytes are ``raw_head``, decompressed when ``kind`` says."""
    if kind is None:
        return raw_head
    data = bytearray()
    chunks = decompressed(kind, iter([raw_head]))
    try:
        for chunk in chunks:
            data += chunk
            if len(data) >= HEAD_BYTES:
                break
    except CompressedDataError:  # cut short here, not in the stream; the whole read tells
        pass
    finally:
        chunks.close()
    return bytes(data[:HEAD_BYTES])


__all__ = ["BinaryInputError", "EngineInput", "Reading", "input_chunks", "prepared_input", "reading_of"]
