"""Salvage damaged CSV files: repair what can be repaired, set aside the rest, report both.

The engine is the native module ``_tidewrack_backend``; this package re-exports
it and adds what is easier in Python:

* ``salvage_file`` and ``open`` also accept ``os.PathLike`` paths (the native
  functions take ``str`` only); ``SalvageReader`` itself is the native class and
  takes ``str``.
* ``read_csv`` loads the salvaged rows into a pandas DataFrame.
* ``python -m tidewrack`` / ``tidewrack`` is the command line.
"""

from __future__ import annotations

from typing import SupportsIndex

import _tidewrack_backend as _backend
from _tidewrack_backend import SalvageReader, SalvageSummary, __version__, sniff

from ._frame import read_csv
from ._paths import StrPath, fspath_arg

__all__ = [
    "SalvageReader",
    "SalvageSummary",
    "__version__",
    "open",
    "read_csv",
    "salvage_file",
    "sniff",
]


def salvage_file(
    input_path: StrPath,
    output_path: StrPath,
    quarantine_path: StrPath | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> SalvageSummary:
    """Salvages ``input_path`` into a clean CSV file at ``output_path``.

    Rows the options forbid repairing go to ``quarantine_path`` when it is
    given (as ``line,reason,raw_content``). Returns the counters of the run.
    Paths may be ``str`` or ``os.PathLike[str]``. File failures raise
    ``OSError``; the input itself is never rejected.
    """
    return _backend.salvage_file(
        fspath_arg(input_path, "input_path"),
        fspath_arg(output_path, "output_path"),
        None if quarantine_path is None else fspath_arg(quarantine_path, "quarantine_path"),
        delimiter,
        quote_char,
        fill_ragged_rows,
        merge_overflow,
        expected_columns,
        repair_quotes,
    )


def open(
    file_path: StrPath,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> SalvageReader:
    """Salvages ``file_path`` in memory and returns a ``SalvageReader`` over its rows.

    Same options as ``salvage_file``; ``file_path`` may be ``str`` or
    ``os.PathLike[str]``. File failures raise the ``OSError`` subclass of
    their kind (``FileNotFoundError``, ``PermissionError``, ...).
    """
    return _backend.open(
        fspath_arg(file_path, "file_path"),
        delimiter,
        quote_char,
        fill_ragged_rows,
        merge_overflow,
        expected_columns,
        repair_quotes,
    )
