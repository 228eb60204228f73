"""read_csv: the salvaged rows of a file as a pandas DataFrame of strings."""

from __future__ import annotations

from collections.abc import Sequence

from ._paths import StrPath, fspath_arg

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import SupportsIndex

    import pandas as pd


def read_csv(
    path: StrPath,
    *,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> pd.DataFrame:
    """Salvages ``path`` and returns its rows as a DataFrame.

    The first salvaged row is the header; every cell is a ``str`` (no type
    inference: the salvage works on text, convert columns yourself). Empty
    header names become ``"Unnamed: <i>"`` and repeated ones get ``.1``,
    ``.2``... suffixes. The keyword options are those of ``salvage_file``;
    quarantined rows are left out (``SalvageReader`` has their count).
    """
    file_path = fspath_arg(path, "path")
    try:
        import pandas as pd
    except ImportError as exc:
        raise ImportError(
            "tidewrack.read_csv needs pandas, which is not installed: pip install pandas"
        ) from exc

    from . import open as salvage_open  # the package's, for its paths and errors

    reader = salvage_open(
        file_path,
        delimiter,
        quote_char,
        fill_ragged_rows,
        merge_overflow,
        expected_columns,
        repair_quotes,
    )
    rows = list(reader)
    header, body = (rows[0], rows[1:]) if rows else ([], [])
    # Rows are only uneven with expected_columns=0; pad so every cell stays a str.
    width = max([len(header), *map(len, body)])
    padded = [row + [""] * (width - len(row)) if len(row) < width else row for row in body]
    return pd.DataFrame(padded, columns=column_names(header, width), dtype=str)


def column_names(header: Sequence[str], width: int) -> list[str]:
    """Unique column labels from a header row, named the way pandas users expect."""
    names: list[str] = []
    taken: set[str] = set()
    for index in range(width):
        raw = header[index] if index < len(header) else ""
        base = raw if raw.strip() else f"Unnamed: {index}"
        name, suffix = base, 0
        while name in taken:
            suffix += 1
            name = f"{base}.{suffix}"
        names.append(name)
        taken.add(name)
    return names
