"""An input file that changes while it is salvaged fails the salvage before any output is in place."""

from __future__ import annotations

import os
import stat


class InputChangedError(OSError):
    """The input file was written to, truncated or replaced while it was read: the
    outputs would hold part of one version and part of another, or a short file."""

    def __init__(self, filename: str) -> None:
        super().__init__(None, "it changed while it was read", filename)


def state_of(path: str) -> tuple[int, int, int, int] | None:
    """What changes when a regular file is written, truncated or replaced; None for
    anything else (a pipe, a device), which cannot be looked at twice."""
    info = os.stat(path)
    if not stat.S_ISREG(info.st_mode):
        return None
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


def check_unchanged(path: str, before: tuple[int, int, int, int] | None) -> None:
    """Raises InputChangedError when ``path`` is not the file ``before`` was taken of."""
    if before is not None and state_of(path) != before:
        raise InputChangedError(path)
