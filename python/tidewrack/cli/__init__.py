"""The ``tidewrack`` command line, on top of the library: parsing, the commands, what they print."""

from .main import main

__all__ = ["main"]
