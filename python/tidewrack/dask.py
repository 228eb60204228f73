"""Many files on a Dask cluster: one task, or one partition, per file.

``salvage`` salvages every file as a task and returns their Reports;
``read_csv`` gives a Dask DataFrame whose partitions are the files' salvaged
rows. Both run on the scheduler in use: a ``distributed.Client``'s cluster
when one is active, else Dask's local one. The native work releases the GIL,
so worker threads and worker processes both help.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable
from types import EllipsisType

from ._arrow import needs
from ._frame import read_csv as _read_frame
from ._paths import StrPath, csv_files_in, default_output, path_arg
from ._report import Report
from ._salvage import salvage as _salvage

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any

    import dask.dataframe as dd

__all__ = ["files", "read_csv", "salvage"]


def files(paths_or_glob: StrPath | Iterable[StrPath]) -> list[str]:
    """The files named: each path as given, a folder's CSV files, a glob pattern's matches.

    Folders and patterns expand sorted by name; FileNotFoundError when nothing is named.
    """
    given = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    found: list[str] = []
    for item in given:
        path = path_arg(item, "paths_or_glob")
        if os.path.isdir(path):
            found += csv_files_in(path)
        elif not os.path.exists(path) and glob.has_magic(path):
            found += sorted(match for match in glob.glob(path) if os.path.isfile(match))
        else:
            found.append(path)
    if not found:
        raise FileNotFoundError(f"no files match {paths_or_glob!r}")
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
    ``tidewrack.salvage``. ValueError, before any task runs, when two inputs
    would write the same file; the first failing task's exception propagates.
    """
    dask = needs("dask", "dask.salvage", "dask")
    if "output" in options or "progress" in options:
        raise TypeError("tidewrack.dask.salvage names each output in out_dir; output and progress cannot be given")
    sources = files(paths_or_glob)
    folder = path_arg(out_dir, "out_dir")
    outputs = [os.path.join(folder, os.path.basename(default_output(source))) for source in sources]
    first_source: dict[str, str] = {}
    for source, output in zip(sources, outputs):
        other = first_source.setdefault(os.path.normcase(output), source)
        if other != source:
            raise ValueError(f"{other!r} and {source!r} would both write {output!r}")
    os.makedirs(folder, exist_ok=True)
    tasks = [
        dask.delayed(_salvage, pure=False)(source, output, quarantine=quarantine, repairs=repairs, **options)
        for source, output in zip(sources, outputs)
    ]
    return list(dask.compute(*tasks))


def read_csv(paths_or_glob: StrPath | Iterable[StrPath], **options: Any) -> dd.DataFrame:
    """The salvaged rows of every file as one Dask DataFrame, one partition per file.

    Each partition is what ``tidewrack.read_csv`` gives for its file (the
    keyword options are its own), read by a task of its own; the files should
    share their header. The columns are taken from the first file, read once
    more, on the caller's side, when the frame is made.
    """
    dataframe = needs("dask.dataframe", "dask.read_csv", "dask")
    frame: dd.DataFrame = dataframe.from_map(_read_frame, files(paths_or_glob), **options)
    return frame

