"""read_csv: the salvaged rows of a file as a pandas DataFrame of strings."""

from __future__ import annotations

from ._arrow import needs, read_arrow
from ._paths import StrPath

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any, Literal

    import pandas as pd


def read_csv(path: StrPath, *, dtype_backend: Literal["pyarrow"] | None = None, **options: Any) -> pd.DataFrame:
    """Salvages ``path`` and returns its clean rows as a DataFrame.

    The first clean row is the header; every cell is a string: ``str`` cells
    by default, ``pandas.ArrowDtype(pyarrow.string())`` columns with
    ``dtype_backend="pyarrow"``. With ``infer_types=True`` (see ``read_arrow``)
    typed columns become nullable integers (``Int64``), floats, nullable
    booleans and datetimes (or their ``ArrowDtype``). Blank header names become ``"Unnamed: <i>"``
    and repeated ones get ``.1``, ``.2``... suffixes. The keyword options are
    those of ``scan``: the rows are those ``salvage()`` writes; quarantined
    rows are left out (``scan(...).report`` counts them).
    """
    if dtype_backend not in (None, "pyarrow"):
        raise ValueError(f"dtype_backend must be None or 'pyarrow', not {dtype_backend!r}")
    pandas = needs("pandas", "read_csv", "pandas")
    pyarrow = needs("pyarrow", "read_csv", "pandas")
    table = read_arrow(path, **options)
    if dtype_backend == "pyarrow":
        return table.to_pandas(types_mapper=pandas.ArrowDtype, self_destruct=True)
    # Typed columns with empty cells keep their type: nullable integers and booleans, dates as datetimes.
    nullable = {pyarrow.int64(): pandas.Int64Dtype(), pyarrow.bool_(): pandas.BooleanDtype()}
    return table.to_pandas(types_mapper=nullable.get, date_as_object=False, self_destruct=True)
