"""The tidewrack package's own engine: salvage with a repair log, Arrow scans."""

from collections.abc import Callable, Iterable
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
    quote_char: str | None
    escape_char: str | None
    skip_blanks: bool
    comment_prefix: str | None
    header_rows: int
    confidence: float
    comment_lines: int
    preamble_lines: int
    output_quote_char: str | None

class DialectValues(TypedDict):
    delimiter: str
    quote_char: str | None
    escape_char: str | None
    skip_blanks: bool
    comment_prefix: str | None
    preamble_lines: int
    header_rows: int
    columns: int
    confidence: float

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
    detect_dialect: bool = False,
    quoting: bool = True,
    escape_char: str | None = None,
    skip_blanks: bool | None = None,
    comment_prefix: str | None = None,
    preamble_lines: SupportsIndex | None = None,
    output_quote_char: str | None = None,
    align_columns: bool = True,
    input_chunks: Iterable[bytes] | None = None,
) -> SalvageCounts:
    """Salvages a CSV file into a clean file, a quarantine file and a repair log."""

def detect(
    source: str, *, text: bool = False, encoding: str = "auto", input_chunks: Iterable[bytes] | None = None
) -> DialectValues:
    """The dialect salvage() would read, from a file's head or a text."""

MAX_THREADS: int  # the most threads one salvage runs on
BATCH_ROWS: int  # the rows of a scan's batch unless told otherwise

def detect_encoding(head: bytes, /) -> str:
    """The encoding the auto policy reads a head in: "utf-8", or UTF-16/UTF-32 by a byte-order mark or NUL pattern."""

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
        detect_dialect: bool = False,
        quoting: bool = True,
        escape_char: str | None = None,
        skip_blanks: bool | None = None,
        comment_prefix: str | None = None,
        preamble_lines: SupportsIndex | None = None,
        output_quote_char: str | None = None,
        align_columns: bool = True,
        threads: SupportsIndex | None = None,
        batch_rows: SupportsIndex | None = None,
        quarantine_path: str | None = None,
        repairs_path: str | None = None,
        string_view: bool = False,
        progress: Callable[[int], object] | None = None,
        input_chunks: Iterable[bytes] | None = None,
        finished: Callable[[], object] | None = None,
    ) -> None: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The rows as an Arrow C stream in a PyCapsule; a scan gives one stream."""
    @property
    def counts(self) -> dict[str, Any] | None:
        """The counters (and elapsed_seconds) once the stream was read to its end, else None."""
    @property
    def stopped_by(self) -> BaseException | None:
        """The exception that stopped the stream (a signal handler's, progress's), else None."""
