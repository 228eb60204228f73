"""infer_types: string columns that hold one type throughout become that type."""

from __future__ import annotations

import contextlib

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    import pyarrow as pa

# Numbers whose text a number type would not give back: leading zeros (codes,
# postal codes), and more digits than a float keeps. Integers are decimal
# digits only: the cast would read "0x10" as 16.
_LEADING_ZERO = r"^[+-]?0[0-9]"
_INTEGER = r"^[+-]?[0-9]+$"
_DECIMAL = r"^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$"
_TOO_PRECISE = r"[0-9](\.?[0-9]){15}"
_ZERO = r"^[+-]?[0.]*([eE][+-]?[0-9]+)?$"


def with_types(table: pa.Table) -> pa.Table:
    """The table with each column typed as ``typed_column`` finds it."""
    import pyarrow as pa

    return pa.Table.from_arrays([typed_column(column) for column in table.columns], names=table.column_names)


def typed_column(column: pa.ChunkedArray) -> pa.ChunkedArray:
    """The column as integers, floats, booleans, dates or timestamps, the first type every
    non-empty cell reads as exactly, empty cells then null; else the column as it is."""
    import pyarrow as pa
    import pyarrow.compute as pc

    # The string functions below take utf8 only.
    text = column.cast(pa.string()) if pa.types.is_string_view(column.type) else column
    present = pc.not_equal(text, "")
    cells = pc.filter(text, present)
    if len(cells) == 0:
        return column
    with_nulls = pc.if_else(present, text, pa.scalar(None, pa.string()))

    def every(pattern: str) -> bool:
        return bool(pc.all(pc.match_substring_regex(cells, pattern)).as_py())

    def some(pattern: str) -> bool:
        return bool(pc.any(pc.match_substring_regex(cells, pattern)).as_py())

    def exact_floats(values: pa.ChunkedArray) -> bool:
        # Out of range, a text reads as infinity or zero: not the number written.
        read = pc.filter(values, present)
        zero_text = pc.match_substring_regex(cells, _ZERO)
        return bool(pc.all(pc.is_finite(read)).as_py()) and pc.equal(read, 0.0).equals(zero_text)

    if not some(_LEADING_ZERO):
        if every(_INTEGER):
            with contextlib.suppress(pa.ArrowInvalid):  # past int64: a float keeps too few digits
                return pc.cast(pc.replace_substring_regex(with_nulls, r"^\+", ""), pa.int64())
        if every(_DECIMAL) and not some(_TOO_PRECISE):
            floats = pc.cast(with_nulls, pa.float64())
            if exact_floats(floats):
                return floats
    for kind in (pa.bool_(), pa.date32(), pa.timestamp("us")):
        try:
            return pc.cast(with_nulls, kind)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            continue
    return column
