"""The tidewrack package's own engine: salvage with a repair log, Arrow scans."""

from collections.abc import Callable
from typing import Any, SupportsIndex, TypedDict, final

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
) -> SalvageCounts:
    """Salvages a CSV file into a clean file, a quarantine file and a repair log."""

def simd() -> str:
    """The instructions the parser uses to classify input bytes: "avx2", "sse2" or "scalar"."""

@final
class ArrowScan:
    """The clean rows of a file salvage as Arrow record batches of string columns."""

    def __init__(
        self,
        path: str,
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
        batch_rows: SupportsIndex | None = None,
        quarantine_path: str | None = None,
        repairs_path: str | None = None,
    ) -> None: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The rows as an Arrow C stream in a PyCapsule; a scan gives one stream."""
    @property
    def counts(self) -> dict[str, Any] | None:
        """The counters (and elapsed_seconds) once the stream was read to its end, else None."""
