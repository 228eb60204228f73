"""infer_types: string columns that hold one type throughout become that type."""

from __future__ import annotations

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    import pyarrow as pa

# Numbers whose text a number type would not give back: leading zeros (codes,
# postal codes), and more digits than a float keeps.
_LEADING_ZERO = r"^[+-]?0[0-9]"
_DECIMAL = r"^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$"
_TOO_PRECISE = r"[0-9](\.?[0-9]){15}"


def with_types(table: pa.Table) -> pa.Table:
    """The table with each column typed as ``typed_column`` finds it."""
    import pyarrow as pa

    return pa.Table.from_arrays([typed_column(column) for column in table.columns], names=table.column_names)


def typed_column(column: pa.ChunkedArray) -> pa.ChunkedArray:
    """The column as integers, floats, booleans, dates or timestamps, the first type every
    non-empty cell reads as exactly, empty cells then null; else the column as it is."""
    import pyarrow as pa
    import pyarrow.compute as pc

    present = pc.not_equal(column, "")
    cells = pc.filter(column, present)
    if len(cells) == 0:
        return column
    with_nulls = pc.if_else(present, column, pa.scalar(None, pa.string()))

    def every(pattern: str) -> bool:
        return bool(pc.all(pc.match_substring_regex(cells, pattern)).as_py())

    def some(pattern: str) -> bool:
        return bool(pc.any(pc.match_substring_regex(cells, pattern)).as_py())

    candidates = []
    if not some(_LEADING_ZERO):
        candidates.append(pa.int64())
        if every(_DECIMAL) and not some(_TOO_PRECISE):
            candidates.append(pa.float64())
    candidates += [pa.bool_(), pa.date32(), pa.timestamp("us")]
    for kind in candidates:
        try:
            return pc.cast(with_nulls, kind)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            continue
    return column
