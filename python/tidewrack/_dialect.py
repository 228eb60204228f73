"""tidewrack.detect(): the dialect a salvage reads, as a value."""

from __future__ import annotations

import contextlib
import dataclasses
import warnings
from dataclasses import dataclass

from . import _native
from ._engine_files import EnginePaths
from ._options import AUTO, check_flag
from ._paths import StrPath, path_arg
from ._reading import Reading, input_chunks, reading_of

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


def detect(
    source: StrPath | None = None,
    *,
    text: str | bytes | None = None,
    encoding: str = AUTO,
    force_text: bool = False,
) -> Dialect:
    """The dialect of a file, from its head, or of a text given whole.

    A head that the classic dialect (``,`` ``;`` tab ``|`` with ``"``) reads
    as a sound table is read so; other dialects are taken only where they
    explain damage in that reading. ``notes`` holds what the reading kept but
    may be otherwise, each with the option that reads it otherwise.

    ``source`` is a path (``str`` or ``os.PathLike``), read as ``salvage()``
    reads it (only its head, decompressed, in the encoding ``salvage()``
    reads it in; input that is not text raises ``BinaryInputError`` unless
    ``force_text``). ``text`` is the text itself instead (``str``, or
    ``bytes`` read as UTF-8). A text given as ``source`` (``bytes``, or a
    ``str`` holding a line break) is still read as text, with a
    DeprecationWarning.
    """
    check_flag("force_text", force_text)
    looks_like_text = isinstance(source, bytes) or (isinstance(source, str) and ("\n" in source or "\r" in source))
    if text is None and looks_like_text:
        warnings.warn(
            "pass the text as detect(text=...); detect(source) takes a path", DeprecationWarning, stacklevel=2
        )
        source, text = None, source
    if (source is None) == (text is None):
        raise TypeError("detect() takes a path or text=, one of them")
    if text is not None:
        if isinstance(text, bytes):
            text = text.decode("utf-8", "replace")
        if not isinstance(text, str):
            raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
        return dialect_of(_native.detect(text, text=True))
    path = path_arg(source, "source")
    return detect_read(path, reading_of(path, encoding, force_text))


def detect_read(path: str, read: Reading) -> Dialect:
    """The dialect of the file at ``path`` read as ``read`` says (its head, as a salvage reads it)."""
    if read.piped:
        with contextlib.closing(input_chunks(path, read)) as chunks:
            return dialect_of(_native.detect(path, encoding=read.engine_encoding, input_chunks=chunks))
    with EnginePaths() as engine_path:
        return dialect_of(_native.detect(engine_path(path), encoding=read.engine_encoding))


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
