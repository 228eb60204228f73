"""Salvage damaged CSV files: repair what can be repaired, set aside the rest, report both.

``salvage()`` is the one entry point for salvaging a file: it writes the clean
file, the quarantine file and a repair log listing every change to the data,
and returns a ``Report``. It runs on the package's own extension module,
``tidewrack._native``, or with ``classic=True`` on ``_tidewrack_backend``, the
classic module, which this package also re-exports with a few additions:

* ``salvage_file`` and ``open`` also accept ``os.PathLike`` paths and file
  names that are not valid UTF-8 (the native functions take UTF-8 ``str``
  only); ``SalvageReader`` itself is the native class and takes ``str``.
* ``salvage_file`` writes its outputs atomically: they replace the files at
  their paths only once complete, and a failed or interrupted call leaves
  those files as they were.
* File failures raise the ``OSError`` subclass of their kind, with ``errno``
  and ``filename`` set.
* ``scan`` hands the clean rows of a salvage to any Arrow consumer (pyarrow,
  Polars, DuckDB, pandas) as record batches of string columns, streamed;
  ``read_arrow``, ``read_csv`` and ``read_polars`` load them into a pyarrow
  Table, a pandas DataFrame and a Polars DataFrame (extras ``arrow``,
  ``pandas``, ``polars``).
* ``python -m tidewrack`` / ``tidewrack`` is the command line.
"""

from __future__ import annotations

import _tidewrack_backend as _backend
from _tidewrack_backend import SalvageReader, SalvageSummary, __version__, sniff

from ._arrow import Scan, read_arrow, read_polars, scan
from ._atomic import salvage_atomically
from ._binary import BinaryInputError
from ._compression import CompressedDataError
from ._dialect import Dialect, detect
from ._engine_files import EnginePaths
from ._frame import read_csv
from ._input_state import InputChangedError
from ._paths import StrPath, check_readable, fspath_arg, named_os_error, usable_paths, written_at
from ._report import Report
from ._salvage import salvage
from ._thresholds import ThresholdExceeded

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import SupportsIndex

__all__ = [
    "BinaryInputError",
    "CompressedDataError",
    "Dialect",
    "InputChangedError",
    "Report",
    "SalvageReader",
    "Scan",
    "SalvageSummary",
    "ThresholdExceeded",
    "__version__",
    "detect",
    "open",
    "read_arrow",
    "read_csv",
    "read_polars",
    "salvage",
    "salvage_file",
    "scan",
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
    Paths may be ``str`` or ``os.PathLike[str]``.

    Both outputs are written beside their paths under hidden temporary names
    and renamed over them only once both are complete, so on any failure the
    files at those paths stay as they were; a symlink at a path is replaced,
    not written through. ``output_path`` may be ``input_path``. File failures
    raise the ``OSError`` subclass of the failure, naming the file in
    ``filename``; the input itself is never rejected. ``ValueError`` if
    ``output_path`` and ``quarantine_path`` are the same file.
    """
    source = fspath_arg(input_path, "input_path")
    output = fspath_arg(output_path, "output_path")
    quarantine = None if quarantine_path is None else fspath_arg(quarantine_path, "quarantine_path")
    options = (delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    if not usable_paths(source, output, quarantine):
        return _backend.salvage_file(source, output, quarantine, *options)

    if quarantine is not None and written_at(output) == written_at(quarantine):
        raise ValueError(f"output_path and quarantine_path are the same file: {output!r}, {quarantine!r}")
    return salvage_atomically(
        source,
        output,
        [quarantine],
        lambda source, output, others: _backend.salvage_file(source, output, others[0], *options),
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
    their kind (``FileNotFoundError``, ``PermissionError``, ...) with
    ``errno`` and ``filename`` set.
    """
    path = fspath_arg(file_path, "file_path")
    options = (delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    if not usable_paths(path):
        return _backend.open(path, *options)
    check_readable(path)
    with EnginePaths() as engine_path:
        try:
            return _backend.open(engine_path(path), *options)
        except OSError as err:
            raise named_os_error(err, path) from None
