"""scan, read_arrow, read_polars: the clean rows of a salvage as Arrow string columns."""

from __future__ import annotations

import contextlib
import dataclasses
import operator
import os
import threading
import weakref
from collections.abc import Callable, Iterator

from . import _native
from ._atomic import PendingOutputs, is_private_file
from ._engine_files import EnginePaths
from ._options import AUTO, ReadingOptions, check_flag
from ._output_names import refuse_collisions
from ._paths import StrPath, path_arg
from ._reading import Reading, prepared_input
from ._report import Report
from ._typed import with_types
from ._warnings import warnings_of

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any, SupportsIndex

    import polars as pl
    import pyarrow as pa


class Scan:
    """The clean rows of one salvage as Arrow record batches of strings, read as the consumer asks.

    Any Arrow consumer takes it through ``__arrow_c_stream__`` (the Arrow
    PyCapsule interface): ``pyarrow.table(s)``, ``pyarrow.RecordBatchReader.from_stream(s)``,
    ``polars.DataFrame(s)``, ``duckdb.sql("SELECT * FROM s")``. Each stream
    asked for reads the file anew (DuckDB asks for one to learn the schema),
    and writes the quarantine file and the repair log anew: each is put in
    place when a stream is read to its end.

    A stream stops within a fraction of a second on Ctrl-C (any signal
    handler that raises; they run when the main thread reads) or an exception
    from ``progress``. Its consumer then fails (pyarrow: OSError
    "interrupted"; Polars: ComputeError): read it inside ``with
    s.propagating():`` to have the exception itself propagate instead, as
    ``read_arrow`` and the other readers do.
    """

    def __init__(
        self,
        source: str,
        compression: str | None,
        read: Reading,
        inputs: contextlib.ExitStack,
        open_native: Callable[[], _native.ArrowScan],
        first: _native.ArrowScan,
        quarantine: str | None,
        repairs: str | None,
        options: ReadingOptions,
    ) -> None:
        self._source = source
        # The options as given: for the report's confidence and warnings.
        self._options = options
        self._quarantine = quarantine
        self._repairs = repairs
        self._compression = compression
        self._read = read
        self._input_bytes = os.stat(source).st_size
        self._open_native = open_native
        self._lock = threading.Lock()
        self._unread: _native.ArrowScan | None = first
        self._last: _native.ArrowScan | None = None
        # The engine's links to files of names that are not UTF-8 stay as long as the scan.
        weakref.finalize(self, inputs.close)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        with self._lock:
            native, self._unread = self._unread, None
        if native is None:
            native = self._open_native()
        with self._lock:
            self._last = native
        return native.__arrow_c_stream__(requested_schema)

    @contextlib.contextmanager
    def propagating(self) -> Iterator[None]:
        """Around the reading of this scan's stream: when Ctrl-C or ``progress`` stopped it, their
        exception (KeyboardInterrupt...) propagates instead of the consumer's error."""
        try:
            yield
        except Exception:
            if self._stopped_by() is None:
                raise
        if (stopped_by := self._stopped_by()) is not None:  # a stop never goes unnoticed
            raise stopped_by from None

    def _stopped_by(self) -> BaseException | None:
        with self._lock:
            last = self._last
        return None if last is None else last.stopped_by

    @property
    def report(self) -> Report | None:
        """The salvage's Report once the last stream taken is read to its end, else None.

        No clean file is written: ``output`` is "". ``quarantine`` and
        ``repairs`` are the paths given to ``scan()``, None for those not written.
        """
        with self._lock:
            last = self._last
        counts = None if last is None else last.counts
        if counts is None:
            return None
        counts = dict(counts)
        elapsed = counts.pop("elapsed_seconds")
        notes = counts.pop("notes", [])
        if self._read.codec is not None:
            counts["encoding"] = self._read.codec
        counts["confidence"] = self._options.confidence(counts["confidence"])
        report = Report(
            **counts,
            encoding_confidence=self._read.confidence,
            compression=self._compression,
            input=self._source,
            output="",
            quarantine=self._quarantine,
            repairs=self._repairs,
            input_bytes=self._input_bytes,
            elapsed_seconds=elapsed,
        )
        return dataclasses.replace(report, warnings=warnings_of(report, notes, self._options))


def scan(
    path: StrPath,
    *,
    batch_rows: SupportsIndex = _native.BATCH_ROWS,
    threads: SupportsIndex | None = None,
    encoding: str = AUTO,
    force_text: bool = False,
    delimiter: str | None = None,
    quote_char: str | None = '"',
    escape_char: str | None = None,
    skip_blanks: bool | None = None,
    comment_prefix: str | None = None,
    preamble_lines: SupportsIndex | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    recover_unclosed_quotes: bool | None = True,
    quarantine: StrPath | None = None,
    repairs: StrPath | None = None,
    string_view: bool = False,
    progress: Callable[[int, int], object] | None = None,
) -> Scan:
    """Salvages ``path`` as ``salvage()`` does, its clean rows going to Arrow batches instead of a file.

    The rows are those ``salvage()`` writes with the same options, in order.
    The first names the columns: blank names become ``"Unnamed: <i>"``,
    repeated ones get ``.1``, ``.2``... suffixes, a NUL in a name becomes
    U+FFFD. Every column is a string column without nulls (Arrow ``utf8``, or ``utf8_view`` with
    ``string_view=True``: the layout Polars keeps strings in, which it takes
    without converting); a batch holds at most ``batch_rows`` rows. Memory
    follows the batch and block size, not the file size: the file is read as
    the batches are taken. ``threads`` reconcile at once (None: one per
    available core). Compressed input is decompressed as it is read, input that is not text
    refused (``force_text``), the encoding and the dialect detected or taken
    from the options, as ``salvage()`` does.

    The file is opened and its dialect settled here: file failures raise the
    OSError subclass of their kind, naming the file. ``expected_columns=0``
    (no width enforced) is a ValueError: columns need rows of one width.

    ``quarantine`` (the records set aside) and ``repairs`` (the repair log),
    when given, hold what ``salvage()`` writes there with the same options.
    They are written under private names beside them as the stream is read,
    and renamed into place (replacing a link there, not writing through it)
    once it is read to its end: a stream left half-way leaves them as they
    were. A failure to put them in place fails the stream, as a stop does.
    Either being the input, or the two one file, is a ValueError.

    ``progress`` is called now and then with the bytes of ``path`` done and
    its size, as ``salvage()`` calls it: every few MB as a stream reads it
    (each stream anew; compressed input by its compressed bytes), ending at
    its size once the stream is read to its end. Ctrl-C (a signal handler that raises) and an exception
    ``progress`` raises stop the scan: here, or in a stream (see ``Scan``);
    the exception propagates.
    """
    check_flag("string_view", string_view)
    options = ReadingOptions(
        encoding=encoding,
        force_text=force_text,
        delimiter=delimiter,
        quote_char=quote_char,
        escape_char=escape_char,
        skip_blanks=skip_blanks,
        comment_prefix=comment_prefix,
        preamble_lines=preamble_lines,
        fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow,
        expected_columns=expected_columns,
        repair_quotes=repair_quotes,
        recover_unclosed_quotes=recover_unclosed_quotes,
        threads=threads,
    )
    return scan_with(
        options,
        path,
        batch_rows=batch_rows,
        quarantine=quarantine,
        repairs=repairs,
        string_view=string_view,
        progress=progress,
    )


def scan_with(
    options: ReadingOptions,
    path: StrPath,
    *,
    batch_rows: SupportsIndex,
    quarantine: StrPath | None,
    repairs: StrPath | None,
    string_view: bool,
    progress: Callable[[int, int], object] | None,
) -> Scan:
    """scan() with its reading options checked already."""
    source = path_arg(path, "path")
    quarantine_path = None if quarantine is None else path_arg(quarantine, "quarantine")
    repairs_path = None if repairs is None else path_arg(repairs, "repairs")
    refuse_collisions(source, None, quarantine_path, repairs_path)
    if options.expected_columns is not None and operator.index(options.expected_columns) == 0:
        raise ValueError(
            "expected_columns=0 enforces no width, and columns need one: leave it None to infer the width, or give it"
        )
    input_bytes = os.stat(source).st_size
    done = None if progress is None else lambda count: progress(count, input_bytes)
    with contextlib.ExitStack() as inputs:
        engine_input = inputs.enter_context(prepared_input(source, options, done))
        read = engine_input.read
        engine_paths = inputs.enter_context(EnginePaths())
        engine_path = engine_paths(engine_input.path)
        destinations = [quarantine_path, repairs_path]

        def open_native() -> _native.ArrowScan:
            # The quarantine file and the repair log are written under private names beside them
            # and renamed into place once the stream is read to its end: a link there is replaced,
            # and a stream left half-way leaves the files as they were. A private name of the
            # package's own (the command line's) is written as it is.
            pending = PendingOutputs([path for path in destinations if path and not is_private_file(path)])
            private = {output.destination: output.path for output in pending.outputs}
            engine_outputs = [None if path is None else engine_paths(private.get(path, path)) for path in destinations]
            # A file the engine names by a name of its own is reported by the caller's name.
            user_names = {engine_path: source, **dict(zip(engine_outputs, destinations))}

            def finished() -> None:
                pending.commit()
                pending.remove()

            try:
                native = _native.ArrowScan(
                    engine_path,
                    batch_rows=batch_rows,
                    encoding=read.engine_encoding,
                    quarantine_path=engine_outputs[0],
                    repairs_path=engine_outputs[1],
                    string_view=string_view,
                    finished=finished if pending.outputs else None,
                    # Input that Python decompresses or decodes streams into each scan, which reads it anew.
                    **engine_input.feed(),
                    **options.engine_arguments(),
                )
            except OSError as err:
                pending.remove()
                err.filename = user_names.get(err.filename, err.filename)
                raise
            except BaseException:
                pending.remove()
                raise
            # What is left once the stream and the scan holding `finished` are gone is removed.
            outputs = pending.outputs
            weakref.finalize(pending, lambda: [output.remove() for output in outputs])
            return native

        first = open_native()  # now, so that a failure to open shows at once
        return Scan(
            source,
            read.compression,
            read,
            inputs.pop_all(),
            open_native,
            first,
            quarantine_path,
            repairs_path,
            options,
        )


def needs(module: str, function: str, extra: str) -> Any:
    """The optional dependency ``module``, or ImportError naming the extra that installs it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"tidewrack.{function} needs {module}: pip install 'tidewrack[{extra}]'") from exc


def read_arrow(path: StrPath, *, infer_types: bool = False, **options: Any) -> pa.Table:
    """The clean rows of ``path`` as a pyarrow Table of string columns (options as for ``scan``).

    Ctrl-C, and an exception that ``progress`` raises, stop the reading
    within a fraction of a second and propagate.

    ``infer_types=True`` makes a column integer, float, boolean, date or
    timestamp when every non-empty cell reads as that type exactly (numbers
    with leading zeros, or more digits than a float keeps, stay text), its
    empty cells then null; any other column stays string.
    """
    pyarrow = needs("pyarrow", "read_arrow", "arrow")
    scanned = scan(path, **options)
    with scanned.propagating():
        table: pa.Table = pyarrow.RecordBatchReader.from_stream(scanned).read_all()
    return with_types(table) if infer_types else table


def read_polars(path: StrPath, *, infer_types: bool = False, **options: Any) -> pl.DataFrame:
    """The clean rows of ``path`` as a Polars DataFrame of String columns (options as for ``read_arrow``)."""
    polars = needs("polars", "read_polars", "polars")
    options["string_view"] = True  # the layout Polars keeps strings in, whatever was asked
    if infer_types:
        frame: pl.DataFrame = polars.DataFrame(read_arrow(path, infer_types=True, **options))
        return frame
    scanned = scan(path, **options)
    with scanned.propagating():
        frame = polars.DataFrame(scanned)
    return frame
