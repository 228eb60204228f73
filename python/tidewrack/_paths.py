"""Path arguments: the native module takes str only; the package also takes os.PathLike."""

from __future__ import annotations

import os
from typing import TypeAlias

StrPath: TypeAlias = str | os.PathLike[str]


def fspath_arg(value: StrPath, name: str) -> str:
    """Turns a path-like argument into str and refuses bytes paths by name.

    Other wrong types pass through untouched, so the native module's own
    TypeError (with its "while processing" note) is what the caller sees.
    """
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(
            f"{name} must be str or os.PathLike[str], not {type(value).__name__}; "
            "decode bytes paths first, e.g. with os.fsdecode()"
        )
    return value
