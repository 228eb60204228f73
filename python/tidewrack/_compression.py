"""Compressed input: gzip, bzip2 and xz streams and one-member zip archives.

The engine reads plain bytes, so a compressed input is recognised by its magic
bytes and decompressed on the way in, chunk by chunk, in bounded memory: no
call makes more than a chunk, however much a few bytes expand to. Damaged or
truncated compressed data is an error, never silently shortened input.
"""

from __future__ import annotations

import bz2
import contextlib
import dataclasses
import itertools
import lzma
import os
import stat
import zlib
from collections.abc import Callable, Generator, Iterator

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    import zipfile
    from typing import BinaryIO, Protocol

    class _Decompressor(Protocol):
        @property
        def eof(self) -> bool: ...
        @property
        def unused_data(self) -> bytes: ...
        def decompress(self, data: bytes, /, max_length: int = -1) -> bytes: ...


# Longest magic first: every prefix test below reads at most this many bytes.
_MAGIC = (
    (b"\xfd7zXZ\x00", "xz"),
    (b"PK\x03\x04", "zip"),
    (b"PK\x05\x06", "zip"),  # an empty archive
    (b"BZh", "bzip2"),
    (b"\x1f\x8b", "gzip"),
)
MAGIC_LENGTH = max(len(magic) for magic, _ in _MAGIC)
# The most bytes one decompressor call makes (and the compressed bytes read at a time).
CHUNK = 1 << 20


class CompressedDataError(ValueError):
    """The compressed input cannot be decompressed whole; the message says why."""


def detect(head: bytes) -> str | None:
    """The compression whose magic bytes start ``head``, or None for plain input."""
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    return None


_STREAM_DECOMPRESSORS: dict[str, Callable[[], _Decompressor]] = {
    "gzip": lambda: zlib.decompressobj(wbits=16 + zlib.MAX_WBITS),
    "bzip2": bz2.BZ2Decompressor,
    "xz": lambda: lzma.LZMADecompressor(format=lzma.FORMAT_XZ),
}


def decompressed(kind: str, chunks: Iterator[bytes]) -> Generator[bytes, None, None]:
    """The decompressed content of a gzip, bzip2 or xz stream given in ``chunks``, at most CHUNK bytes at a time.

    Concatenated members (``cat a.gz b.gz``) follow one another, as the
    command-line tools read them. Damage or an early end raises
    CompressedDataError.
    """
    make = _STREAM_DECOMPRESSORS[kind]
    decompressor = make()
    started = False  # a member has begun: its end must come before the input's
    pending = b""
    for chunk in itertools.chain(chunks, [b""]):
        data = pending + chunk
        pending = b""
        while data:
            if not started:  # at a member boundary: only a next member may follow
                if len(data) < MAGIC_LENGTH and chunk:
                    pending = data  # too short to tell yet
                    break
                if detect(data) != kind:
                    raise CompressedDataError(f"{kind} data is followed by other bytes")
                started = True
            yield from _bounded_output(kind, decompressor, data)
            if not decompressor.eof:
                break
            data = decompressor.unused_data
            started = False
            decompressor = make()
    if started:
        raise CompressedDataError(f"{kind} data ends early (the file is truncated)")


def _bounded_output(kind: str, decompressor: _Decompressor, data: bytes) -> Generator[bytes, None, None]:
    """What ``decompressor`` makes of ``data``, CHUNK bytes at most per call, until it needs more input or ends."""
    try:
        while True:
            out = decompressor.decompress(data, CHUNK)
            if out:
                yield out
            if decompressor.eof:
                return
            if kind == "gzip":  # zlib hands back the input it did not use
                data = decompressor.unconsumed_tail  # type: ignore[attr-defined]
                if not data and len(out) < CHUNK:
                    return
            else:  # bz2 and lzma keep it inside
                data = b""
                if decompressor.needs_input:  # type: ignore[attr-defined]
                    return
    except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError) as err:
        raise CompressedDataError(f"{kind} data is damaged ({err})") from None


@dataclasses.dataclass(frozen=True)
class Head:
    """The first bytes of an input as a salvage reads them: decompressed."""

    data: bytes
    compression: str | None
    members: tuple[str, ...] = ()  # a zip archive's files, when it does not hold one


def decompressed_head(source: str, limit: int) -> Head | None:
    """The first ``limit`` bytes of ``source`` once decompressed (all of them when fewer).

    Only as much is decompressed as the head needs. None for anything but a
    regular file, which cannot be read twice. A zip archive that does not hold
    exactly one file gives its members' names and no data. Damage within the
    head raises CompressedDataError.
    """
    with open(source, "rb") as handle:
        if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            return None
        start = handle.read(MAGIC_LENGTH)
        kind = detect(start)
        if kind is None:
            return Head(start + handle.read(max(limit - len(start), 0)), None)
        handle.seek(0)
        if kind == "zip":
            members = zip_members(handle)
            if len(members) != 1:
                return Head(b"", kind, tuple(info.filename for info in members))
            chunks = _member_chunks(zipfile_of(handle), members[0])
        else:
            chunks = decompressed(kind, iter(lambda: handle.read(1 << 16), b""))
        data = bytearray()
        with contextlib.closing(chunks):
            for chunk in chunks:
                data += chunk
                if len(data) >= limit:
                    break
        return Head(bytes(data[:limit]), kind)


def zipfile_of(source: BinaryIO) -> zipfile.ZipFile:
    """The zip archive read from ``source``; CompressedDataError when it is damaged."""
    import zipfile  # rarely needed, and slow to import

    try:
        return zipfile.ZipFile(source)
    except zipfile.BadZipFile as err:
        raise CompressedDataError(f"zip archive is damaged ({err})") from None


def zip_members(source: BinaryIO) -> list[zipfile.ZipInfo]:
    """The files (not folders) of the zip archive read from ``source``."""
    with zipfile_of(source) as archive:
        return [info for info in archive.infolist() if not info.is_dir()]


def zip_member(source: BinaryIO) -> tuple[str, Iterator[bytes]]:
    """The one member of the zip archive read from ``source``: its name and content.

    An archive with no member or several raises CompressedDataError listing
    what it holds; a damaged one raises it with the reason.
    """
    archive = zipfile_of(source)
    members = [info for info in archive.infolist() if not info.is_dir()]
    if len(members) != 1:
        archive.close()
        if not members:
            raise CompressedDataError("zip archive holds no file")
        names = ", ".join(info.filename for info in members)
        raise CompressedDataError(f"zip archive holds {len(members)} files, name one: {names}")
    return members[0].filename, _member_chunks(archive, members[0])


def _member_chunks(archive: zipfile.ZipFile, member: zipfile.ZipInfo) -> Generator[bytes, None, None]:
    import zipfile

    with archive:
        try:
            if member.compress_type in (_ZIP_BZIP2, _ZIP_LZMA) and not member.flag_bits & _ZIP_ENCRYPTED:
                yield from _bounded_member(archive, member)
                return
            # zipfile inflates a deflated member a bounded read at a time (not its bzip2 and lzma).
            with archive.open(member) as stream:
                while chunk := stream.read(1 << 20):
                    yield chunk
        except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError) as err:
            raise CompressedDataError(f"zip member {member.filename!r} is damaged ({err})") from None


_ZIP_BZIP2 = 12
_ZIP_LZMA = 14
_ZIP_ENCRYPTED = 0x1
_LOCAL_HEADER = 30  # the fixed part of a member's local header; its name and extra field follow


def _bounded_member(archive: zipfile.ZipFile, member: zipfile.ZipInfo) -> Generator[bytes, None, None]:
    """A bzip2 or lzma member's content, decompressed here CHUNK bytes at most per call and checked
    against its size and CRC."""
    import zipfile

    handle = archive.fp
    assert handle is not None
    handle.seek(member.header_offset)
    header = handle.read(_LOCAL_HEADER)
    if len(header) < _LOCAL_HEADER or header[:4] != b"PK\x03\x04":
        raise zipfile.BadZipFile("bad local file header")
    handle.seek(int.from_bytes(header[26:28], "little") + int.from_bytes(header[28:30], "little"), os.SEEK_CUR)
    left = member.compress_size

    def raw(size: int) -> bytes:
        nonlocal left
        data = handle.read(min(size, left))
        if len(data) < min(size, left):
            raise EOFError("the archive ends inside the member")
        left -= len(data)
        return data

    if member.compress_type == _ZIP_BZIP2:
        decompressor: _Decompressor = bz2.BZ2Decompressor()
    else:
        # A version, the size of the properties, then LZMA1's: lc, lp and pb in one byte, the dictionary size.
        properties = raw(int.from_bytes(raw(4)[2:4], "little"))
        if len(properties) < 5:
            raise zipfile.BadZipFile("lzma properties are too short")
        packed = properties[0]
        decompressor = lzma.LZMADecompressor(
            lzma.FORMAT_RAW,
            filters=[
                {
                    "id": lzma.FILTER_LZMA1,
                    "lc": packed % 9,
                    "lp": packed // 9 % 5,
                    "pb": packed // 45,
                    "dict_size": int.from_bytes(properties[1:5], "little"),
                }
            ],
        )
    made, crc = 0, 0
    while left:
        for out in _bounded_output(f"zip member {member.filename!r}", decompressor, raw(1 << 16)):
            made += len(out)
            crc = zlib.crc32(out, crc)
            yield out
    if made != member.file_size or crc != member.CRC:
        raise zipfile.BadZipFile("its content does not match its size and CRC-32")


def compression_of(source: str) -> str | None:
    """The compression of a regular file by its first bytes; None for plain input and anything else."""
    with open(source, "rb") as handle:
        if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
            return None
        return detect(handle.read(MAGIC_LENGTH))
