"""tidewrack.detect(): the dialect a salvage reads, as a value."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

from . import _native
from ._paths import EnginePaths, StrPath, path_arg

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from collections.abc import Mapping
    from typing import Any


@dataclass(frozen=True)
class Dialect:
    """How a delimited file is written: what ``salvage()`` reads it as."""

    delimiter: str
    quote_char: str | None  # None: no quoting
    escape_char: str | None  # None: no escape character
    doubled_quotes: bool  # a doubled quote inside quotes stands for one
    skip_blanks: bool  # spaces and tabs right after a delimiter are left out
    comment_prefix: str | None  # lines starting with it are comments
    preamble_lines: int  # lines before the table
    header_rows: int  # 0 to 3: a title row, then unit rows and the like
    columns: int
    confidence: float  # 0 to 1
    notes: tuple[str, ...] = ()  # what the reading may have misread, with the option that pins it

    def to_dict(self) -> dict[str, Any]:
        """The fields in order, ready for JSON."""
        return dataclasses.asdict(self)


def detect(source: StrPath | bytes, *, encoding: str = "auto") -> Dialect:
    """The dialect of a file, from its head, or of a text given whole.

    A head that the classic dialect (``,`` ``;`` tab ``|`` with ``"``) reads
    as a sound table is read so; other dialects are taken only where they
    explain damage in that reading. ``notes`` holds what the reading kept but
    may be otherwise, each with the option that reads it otherwise.

    ``source`` is a path (``str`` or ``os.PathLike``), read as ``salvage()``
    reads it (only its head); or the text itself: ``bytes``, or a ``str`` that
    holds a line break.
    """
    if isinstance(source, bytes):
        found = _native.detect(source.decode("utf-8", "replace"), text=True)
    elif isinstance(source, str) and ("\n" in source or "\r" in source):
        found = _native.detect(source, text=True)
    else:
        with EnginePaths() as engine_path:
            found = _native.detect(engine_path(path_arg(source, "source")), encoding=encoding)
    return dialect_of(found)


def dialect_of(found: Mapping[str, Any]) -> Dialect:
    """A Dialect from the engine's dict of it."""
    return Dialect(
        delimiter=found["delimiter"],
        quote_char=found["quote_char"],
        escape_char=found["escape_char"],
        doubled_quotes=found["quote_char"] is not None and found["escape_char"] is None,
        skip_blanks=found["skip_blanks"],
        comment_prefix=found["comment_prefix"],
        preamble_lines=found["preamble_lines"],
        header_rows=found["header_rows"],
        columns=found["columns"],
        confidence=found["confidence"],
        notes=tuple(found["notes"]),
    )


__all__ = ["Dialect", "detect", "dialect_of"]
