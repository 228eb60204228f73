"""Many files on a Dask cluster: one task, or one partition, per file.

``salvage`` salvages every file as a task and returns their Reports;
``read_csv`` gives a Dask DataFrame whose partitions are the files' salvaged
rows. Both run on the scheduler in use: a ``distributed.Client``'s cluster
when one is active, else Dask's local one. The native work releases the GIL,
so worker threads and worker processes both help.
"""

from __future__ import annotations

import dataclasses
import glob
import inspect
import os
from collections.abc import Iterable
from types import EllipsisType

from ._arrow import needs
from ._frame import read_csv as _read_frame
from ._options import ReadingOptions, check_flag
from ._output_names import Job, csv_files_in, default_output, is_salvage_output, named_after_output, shared_file
from ._paths import StrPath, check_readable, path_arg
from ._report import Report
from ._salvage import salvage as _salvage
from ._salvage import salvage_with

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any

    import dask.dataframe as dd
    import pandas as pd

__all__ = ["files", "read_csv", "salvage"]


def files(paths_or_glob: StrPath | Iterable[StrPath]) -> list[str]:
    """The files named: each path as given, a folder's CSV files, a glob pattern's matches.

    Folders and patterns expand sorted by name, leaving out the outputs of an
    earlier salvage (``*.clean.csv``, ``*.quarantine.csv``, ``*.repairs.csv``).
    Every entry must name a file: the OSError of a path that cannot be read,
    FileNotFoundError for a folder or pattern that gives none, or no entry at all.
    """
    given = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    if not given:
        raise FileNotFoundError("no files named")
    found: list[str] = []
    for item in given:
        path = path_arg(item, "paths_or_glob")
        if os.path.isdir(path):
            named = csv_files_in(path)
            if not named:
                raise FileNotFoundError(f"the folder {path!r} holds no CSV files")
        elif not os.path.exists(path) and glob.has_magic(path):
            named = sorted(match for match in glob.glob(path) if os.path.isfile(match) and not is_salvage_output(match))
            if not named:
                raise FileNotFoundError(f"no files match {path!r}")
        else:
            check_readable(path)
            named = [path]
        found += named
    return found


def salvage(
    paths_or_glob: StrPath | Iterable[StrPath],
    out_dir: StrPath,
    *,
    quarantine: None | EllipsisType = ...,
    repairs: None | EllipsisType = ...,
    **options: Any,
) -> list[Report]:
    """Salvages every file into ``out_dir``, one Dask task per file; returns their Reports in order.

    Each file's outputs are named as ``tidewrack.salvage`` names them, in
    ``out_dir`` (created if missing): ``data.csv`` -> ``data.clean.csv``,
    ``data.quarantine.csv``, ``data.repairs.csv``; ``quarantine=None`` or
    ``repairs=None`` skips those files. The other keyword options are those of
    ``tidewrack.salvage``. Before any task runs or anything is created: the
    OSError of an input that cannot be read, and ValueError when an output
    would replace an input or two inputs would write the same file; the first
    failing task's exception propagates.
    """
    dask = needs("dask", "dask.salvage", "dask")
    if "output" in options or "progress" in options:
        raise TypeError("tidewrack.dask.salvage names each output in out_dir; output and progress cannot be given")
    for kind, label, given in (("quarantine", "quarantine", quarantine), ("repairs", "repair log", repairs)):
        if given is not None and given is not ...:
            raise ValueError(
                f"tidewrack.dask.salvage writes each file's {label} beside its output: {kind} can only be "
                f"None or left out, as every task would replace the one file {given!r}"
            )
    try:
        inspect.signature(_salvage).bind("", **options)
    except TypeError as err:
        raise TypeError(f"tidewrack.dask.salvage: {err}") from None
    reading = {field.name for field in dataclasses.fields(ReadingOptions)}
    checked = ReadingOptions(**{name: value for name, value in options.items() if name in reading})
    classic = options.get("classic", False)
    strict = options.get("strict", False)
    check_flag("classic", classic)
    check_flag("strict", strict)
    folder = path_arg(out_dir, "out_dir")
    sources = files(paths_or_glob)
    jobs: list[Job] = []
    for source in sources:
        output = os.path.join(folder, os.path.basename(default_output(source)))
        beside_quarantine = None if quarantine is None else named_after_output(output, "quarantine")
        # classic writes no repair log
        beside_repairs = None if repairs is None or classic else named_after_output(output, "repairs")
        jobs.append(Job(source, output, beside_quarantine, beside_repairs))
    problem = shared_file(jobs)
    if problem is not None:
        raise ValueError(problem)
    os.makedirs(folder, exist_ok=True)
    tasks = [
        dask.delayed(salvage_with, pure=False)(
            checked,
            job.source,
            job.output,
            quarantine=job.quarantine,
            repairs=job.repairs,
            classic=classic,
            progress=None,
            strict=strict,
            max_repaired=options.get("max_repaired"),
            max_quarantined=options.get("max_quarantined"),
        )
        for job in jobs
    ]
    return list(dask.compute(*tasks))


def read_csv(paths_or_glob: StrPath | Iterable[StrPath], **options: Any) -> dd.DataFrame:
    """The salvaged rows of every file as one Dask DataFrame, one partition per file.

    Each partition is what ``tidewrack.read_csv`` gives for its file, read by
    a task of its own; the keyword options are its own, but for
    ``quarantine`` and ``repairs``, a file that every task would write. The
    columns and their types are the first file's, read once more, on the
    caller's side, when the frame is made. A file with other column names is
    a ValueError naming it; a column of another type (``infer_types=True``) is
    cast to the first file's type where every value keeps (empty text cells
    becoming missing), else ValueError naming the file and column.
    """
    dataframe = needs("dask.dataframe", "dask.read_csv", "dask")
    for kind in ("quarantine", "repairs"):
        if options.get(kind) is not None:
            raise ValueError(
                f"tidewrack.dask.read_csv writes no {kind} file: each task would write {options[kind]!r} at once; "
                f"tidewrack.dask.salvage writes one per file"
            )
    sources = files(paths_or_glob)
    like = _read_frame(sources[0], **options).iloc[:0]
    frame: dd.DataFrame = dataframe.from_map(
        _partition, sources, meta=like, like=like, first=sources[0], options=options
    )
    return frame


def _partition(path: str, *, like: pd.DataFrame, first: str, options: dict[str, Any]) -> pd.DataFrame:
    """The rows of ``path`` with the columns and types of ``like``, the empty frame of the file ``first``."""
    frame = _read_frame(path, **options)
    if list(frame.columns) != list(like.columns):
        raise ValueError(
            f"{path!r} has the columns {list(frame.columns)}, {first!r} has {list(like.columns)}: "
            "the files of one frame must share their header"
        )
    import pandas

    text = None
    for name, dtype in like.dtypes.items():
        column = frame[name]
        if column.dtype == dtype:
            continue
        if pandas.api.types.is_string_dtype(dtype):
            # Text in the first file: this file's cells as written ("+3", "1.50"), not as typed here.
            text = _read_frame(path, **{**options, "infer_types": False}) if text is None else text
            frame[name] = text[name].astype(dtype)
            continue
        cast = _cast_exactly(column, dtype)
        if cast is None:
            raise ValueError(
                f"column {name!r} of {path!r} holds {column.dtype} values, "
                f"which the column's type in {first!r}, {dtype}, cannot hold exactly"
            )
        frame[name] = cast
    return frame


def _cast_exactly(column: pd.Series, dtype: Any) -> pd.Series | None:
    """The column as ``dtype`` if every value keeps (empty text cells become missing), else None."""
    import pandas

    types = pandas.api.types
    if types.is_string_dtype(column.dtype):
        column = column.mask(column == "")  # what a typed column holds for an empty cell
    present = column.notna()
    numbers = all(types.is_numeric_dtype(kind) and not types.is_bool_dtype(kind) for kind in (column.dtype, dtype))
    if present.any() and not numbers:
        return None  # a date as a number, a boolean as 1: another kind of value
    try:
        cast = column.astype(dtype)
    except (TypeError, ValueError, ArithmeticError, NotImplementedError):
        return None
    # Missing values compare by place: each type has its own missing value (NaN, NaT, NA).
    if not cast.notna().equals(present):
        return None
    return cast if cast[present].astype(column.dtype).equals(column[present]) else None
