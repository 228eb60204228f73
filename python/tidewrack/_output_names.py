"""The names of a salvage's outputs: the defaults beside the input, the files of a folder, and
outputs that would overwrite one another or the input."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable

from ._paths import is_stream, same_file, written_at

_CLEAN = ".clean"
_COMPRESSION_SUFFIXES = (".gz", ".bz2", ".xz", ".zip")
_FOLDER_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zip")
_OUTPUT_SUFFIXES = (".clean.csv", ".quarantine.csv", ".repairs.csv")


def is_salvage_output(name: str) -> bool:
    """Whether a file is named as an earlier salvage names its outputs."""
    return name.lower().endswith(_OUTPUT_SUFFIXES)


def csv_files_in(folder: str) -> list[str]:
    """The CSV files of a folder (compressed too, salvage outputs left out), sorted by name."""
    return [
        os.path.join(folder, name)
        for name in sorted(os.listdir(folder))
        if name.lower().endswith(_FOLDER_SUFFIXES)
        and not is_salvage_output(name)
        and os.path.isfile(os.path.join(folder, name))
    ]


@dataclasses.dataclass(frozen=True)
class Job:
    """One input and the files its salvage writes (output None: standard output)."""

    source: str
    output: str | None
    quarantine: str | None
    repairs: str | None

    def destinations(self) -> list[tuple[str, str]]:
        named = [("the output", self.output), ("the quarantine", self.quarantine), ("the repair log", self.repairs)]
        return [(label, path) for label, path in named if path is not None]


def identities(path: str) -> list[object]:
    """What a file is known by: its resolved path and, once it exists, its inode."""
    keys: list[object] = [os.path.realpath(path)]
    try:
        info = os.stat(path)
    except OSError:
        return keys
    return [*keys, (info.st_dev, info.st_ino)]


def shared_file(jobs: list[Job], shown: Callable[[str], str] = str) -> str | None:
    """Why the jobs cannot all run: a file that two inputs would write, or an output that
    is an input (its own input may be its output, replaced in place); None when they can."""
    readers: dict[object, Job] = {}
    for job in jobs:
        for key in identities(job.source):
            readers.setdefault(key, job)
    writers: dict[str, Job] = {}
    for job in jobs:
        for label, path in job.destinations():
            reader = next((readers[key] for key in identities(path) if key in readers), None)
            if reader is not None and not (reader is job and label == "the output"):
                return f"{label} '{shown(path)}' of '{shown(job.source)}' is the input '{shown(reader.source)}'"
            writer = writers.setdefault(written_at(path), job)
            if writer is not job:  # its own files are checked with its options
                return f"'{shown(writer.source)}' and '{shown(job.source)}' would both write '{shown(path)}'"
    return None


def default_output(input_path: str) -> str:
    """data.csv -> data.clean.csv (data.csv.gz too), in the input's directory."""
    stem, suffix = os.path.splitext(input_path)
    if suffix.lower() in _COMPRESSION_SUFFIXES:
        stem = os.path.splitext(stem)[0]
    return stem + ".clean.csv"


def named_after_output(output_path: str, kind: str) -> str:
    """A file beside the output, named after it, a .clean ending dropped.

    data.clean.csv -> data.quarantine.csv, strict.csv -> strict.quarantine.csv
    (kind "quarantine"); runs with different outputs thus never share one.
    """
    folder, name = os.path.split(output_path)
    stem = os.path.splitext(name)[0]
    if stem.endswith(_CLEAN) and len(stem) > len(_CLEAN):
        stem = stem[: -len(_CLEAN)]
    return os.path.join(folder, f"{stem}.{kind}.csv")


def default_beside(output_path: str, kind: str) -> str | None:
    """The default file of ``kind`` beside the output (see named_after_output), or None where
    the output is a stream rather than a file in a folder (see is_stream)."""
    if is_stream(output_path):
        return None
    return named_after_output(output_path, kind)


def collision(
    source: str | None, outputs: list[tuple[str, str | None]]
) -> tuple[tuple[str, str], tuple[str, str]] | None:
    """The first two files of a run that would overwrite one another, each as (label, path).

    ``outputs`` are (label, path or None), the clean output first: it alone
    may be the input (``source``, None for none), which it then replaces on
    purpose. No two outputs may be one file.
    """
    for label, path in outputs[1:]:
        if source is not None and path is not None and same_file(source, path):
            return (label, path), ("input", source)
    present = [(label, path) for label, path in outputs if path is not None]
    for i, (label, path) in enumerate(present):
        for other, other_path in present[i + 1 :]:
            if written_at(path) == written_at(other_path):
                return (label, path), (other, other_path)
    return None


def refuse_collisions(source: str, output: str | None, quarantine: str | None, repairs: str | None) -> None:
    """ValueError for outputs that would overwrite one another, or the input (the clean output alone may)."""
    found = collision(source, [("output", output), ("quarantine", quarantine), ("repairs", repairs)])
    if found is not None:
        (first, first_path), (second, second_path) = found
        if second == "input":
            raise ValueError(f"{first} is the input file: {first_path!r}")
        raise ValueError(f"{first} and {second} are the same file: {first_path!r}, {second_path!r}")
