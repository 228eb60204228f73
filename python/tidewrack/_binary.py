"""Inputs that are not text: a salvage of a picture or a program would only
turn its bytes into rows of garbage, so they are named and refused."""

from __future__ import annotations

import re

from . import _native
from ._compression import MAGIC_LENGTH, Head, detect

_EXPORT_SHEET = "export a sheet as CSV first"
# Signatures that no CSV file starts with: what the file then is, and what to do.
_SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", ("a PNG image", None)),
    (b"\xff\xd8\xff", ("a JPEG image", None)),
    (b"GIF87a", ("a GIF image", None)),
    (b"GIF89a", ("a GIF image", None)),
    (b"%PDF-", ("a PDF document", None)),
    (b"\x7fELF", ("a program (an ELF executable)", None)),
    (b"SQLite format 3\x00", ("an SQLite database", "export a table as CSV first")),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", ("an Office 97-2003 file (an .xls workbook or the like)", _EXPORT_SHEET)),
)
# "PAR1" may well start a text file; a Parquet file's binary page headers follow it.
_PARQUET = b"PAR1"
# Zip archives that are documents, by a file each holds.
_DOCUMENTS = (
    ("xl/workbook.xml", ("an Excel workbook", _EXPORT_SHEET)),
    ("xl/workbook.bin", ("an Excel workbook", _EXPORT_SHEET)),
    ("content.xml", ("an OpenDocument file (a spreadsheet or the like)", _EXPORT_SHEET)),
    ("word/document.xml", ("a Word document", None)),
    ("ppt/presentation.xml", ("a PowerPoint presentation", None)),
)
# NUL bytes in a run of 64 or more are a zero-filled block, as a crash leaves
# in a text file; fewer are the structure of a binary file, where there are
# many of them. (A run that ends the head may be cut short, or end the file.)
_SHORT_NUL_RUN = re.compile(rb"(?<!\x00)\x00{1,63}(?=[^\x00])")
# A few NULs in short runs are damage in a text file (a CSV cell may hold one),
# not the structure of a binary one: at least this many, and one in this many
# bytes of the head.
_BINARY_NULS = 8
_BINARY_NUL_SHARE = 200
# The engine reads a NUL pattern in this many leading bytes as UTF-16 or UTF-32.
_ENCODING_HEAD = 4096


class BinaryInputError(ValueError):
    """The input is not text: ``looks_like`` says what it is (a picture, a program, a
    workbook, ...), ``advice`` what to do instead (or None).

    ``force_text=True`` or a named ``encoding`` reads it as text all the same.
    """

    def __init__(self, filename: str, looks_like: str, advice: str | None = None) -> None:
        self.filename = filename
        self.looks_like = looks_like
        self.advice = advice
        super().__init__(self.message(f"{filename!r}", "force_text=True"))

    def message(self, name: str, force_text: str) -> str:
        """One line: the file (as ``name``), what it looks like, and what to do; without
        advice, that ``force_text`` (an option's name) reads it anyway."""
        advice = self.advice or f"{force_text} reads it as text anyway"
        return f"{name} is not CSV text: it looks like {self.looks_like}; {advice}"


def looks_like(head: Head) -> tuple[str, str | None] | None:
    """What the input whose head this is looks like when it is not text, and what to do
    instead (or None); None for text."""
    if head.members:
        names = set(head.members)
        return next((kind for member, kind in _DOCUMENTS if member in names), None)
    data = head.data
    inner = detect(data[:MAGIC_LENGTH])
    if inner is not None:
        outer = f" inside {head.compression}" if head.compression else ""
        return f"{inner} data{outer}", "decompress it first"
    for signature, kind in _SIGNATURES:
        if data.startswith(signature):
            return kind
    if b"\0" not in data or _native.detect_encoding(data[:_ENCODING_HEAD]) != "utf-8":
        return None  # no NUL, or the NULs of UTF-16 or UTF-32 text
    if data.startswith(_PARQUET):
        return "a Parquet file", None
    if not data.strip(b"\0"):
        return "a file of NUL bytes only (zero-filled)", None
    nuls = sum(len(run) for run in _SHORT_NUL_RUN.findall(data))
    if nuls >= _BINARY_NULS and nuls * _BINARY_NUL_SHARE >= len(data):
        return "binary data (NUL bytes)", None
    return None
