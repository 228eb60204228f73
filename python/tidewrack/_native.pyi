"""The tidewrack package's own engine functions: salvage with a repair log."""

from collections.abc import Callable
from typing import SupportsIndex, TypedDict

class SalvageCounts(TypedDict):
    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    padded_rows: int
    merged_rows: int
    quote_repairs: int
    unclosed_quotes: int
    decoded_bytes: int
    replaced_bytes: int
    encoding: str

def salvage(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    repairs_path: str | None = None,
    *,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    recover_unclosed_quotes: bool = True,
    encoding: str = "auto",
    threads: SupportsIndex | None = None,
    progress: Callable[[int], object] | None = None,
    align_columns: bool = True,
) -> SalvageCounts:
    """Salvages a CSV file into a clean file, a quarantine file and a repair log."""

def simd() -> str:
    """The instructions the parser uses to classify input bytes: "avx2", "sse2" or "scalar"."""
