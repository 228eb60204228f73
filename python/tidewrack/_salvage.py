"""tidewrack.salvage(): the package's one entry point for salvaging a file."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import time
from collections.abc import Callable, Iterator
from types import EllipsisType

import _tidewrack_backend as _backend

from . import _native
from ._atomic import salvage_atomically
from ._compression import compression_of
from ._input_state import check_unchanged, state_of
from ._options import AUTO, ReadingOptions, check_flag
from ._output_names import default_beside, default_output, refuse_collisions
from ._paths import StrPath, path_arg, same_file
from ._reading import prepared_input
from ._report import Report
from ._thresholds import refusal
from ._warnings import warnings_of

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import Any, SupportsIndex

_UNCOUNTED_BY_CLASSIC = (
    "padded_rows",
    "merged_rows",
    "quote_repairs",
    "unclosed_quotes",
    "decoded_bytes",
    "replaced_bytes",
)


def salvage(
    input: StrPath,
    output: StrPath | None = None,
    *,
    quarantine: StrPath | None | EllipsisType = ...,
    repairs: StrPath | None | EllipsisType = ...,
    encoding: str = AUTO,
    force_text: bool = False,
    classic: bool = False,
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
    recover_unclosed_quotes: bool | None = None,
    threads: int | None = None,
    progress: Callable[[int, int], object] | None = None,
    strict: bool = False,
    max_repaired: int | str | None = None,
    max_quarantined: int | str | None = None,
) -> Report:
    """Salvages the CSV file ``input`` into a clean CSV file; returns a Report.

    ``output`` defaults to the input's name with ``.clean.csv`` for its suffix.
    ``quarantine`` (the records set aside) and ``repairs`` (the repair log:
    one line ``line_start,line_end,action,detail`` per change to the data)
    default to names beside the output (``data.clean.csv`` ->
    ``data.quarantine.csv``, ``data.repairs.csv``); None writes no such file.
    Every output appears whole or not at all (written beside its path, renamed
    over it once all are complete: a symlink there is replaced, not followed),
    and one salvage at a time writes them (another one into any of the same
    files waits for it). ``output`` may be ``input``, unless that is
    compressed: the input is then replaced (a symlink: the file it leads to).

    The package's rules read an opening quote as text when its field would
    swallow the lines after it and those lines read as rows of the expected
    width (``recover_unclosed_quotes``, on unless ``classic``). ``classic=True``
    runs the classic module's ``salvage_file`` instead, byte for byte: no repair
    log (``repairs`` must be left out or None) and no recovery.

    Without a ``delimiter`` the package's rules detect the whole dialect from
    the head of the file (see ``detect()``): the delimiter, the quote
    (``quote_char=None``: none), a backslash escape, blanks after delimiters,
    ``#`` comment lines and preamble lines, which the repair log lists and the
    clean file leaves out. ``quote_char`` (other than ``"``), ``escape_char``,
    ``skip_blanks``, ``comment_prefix`` and ``preamble_lines`` override what
    is detected; with a ``delimiter`` they are the whole dialect. The clean
    file keeps the delimiter and quotes with ``"``.

    ``threads`` salvage at once (None: one per available core); the files are
    the same for every count. ``classic`` runs on one thread.

    Input compressed with gzip, bzip2 or xz, or a zip archive of one file, is
    recognised by its first bytes and decompressed (not with ``classic``);
    ``Report.compression`` names it.

    Under ``encoding="auto"`` (not with ``classic``) the head of the input,
    decompressed, decides how it is read. An input that is not text (a
    picture, a program, a workbook, NUL bytes outside UTF-16 or UTF-32 text)
    raises ``BinaryInputError`` unless ``force_text``. A head that is not
    UTF-8 is read in the code page it reads best in, chosen by a detector:
    ``Report.encoding`` names it and ``Report.encoding_confidence`` says how
    sure the choice is (below 0.5: a weak guess; give ``encoding`` to be sure).

    ``progress`` is called now and then with the bytes of ``input`` done and
    its size: every few MB as the engine reads it, or as it is decompressed
    or decoded by Python first (``classic``: once, at the end). An exception
    it raises stops the salvage, which then writes nothing, and propagates.

    ``Report.warnings`` names what the package's rules guessed and may have
    guessed wrong (a delimiter of low confidence or outside ``, ; tab |``, a
    quote other than ``"``, lines left out as preamble or comments, what the
    engine noticed about the dialect), each with the command-line option that
    pins it, the keyword of the same name here. ``max_repaired`` and
    ``max_quarantined`` (an int count, or a str share of the rows read such as
    ``"2.5%"``) and ``strict`` (no warning allowed) raise ``ThresholdExceeded``,
    carrying the Report, before any output is put in place.

    Every option is checked before any file is opened. Raises TypeError for
    an option of the wrong type (a flag that is not a bool); ValueError for
    options that cannot give a readable file (a quote or escape character that
    is not one ASCII character, two of the delimiter, quote and escape
    character alike, more than 1,000,000 ``expected_columns``), an encoding
    that is unknown or cannot decode any input, outputs that would overwrite
    one another or the input, an output that is a compressed input, an empty
    path, a limit that is not a count or a share (TypeError for its type); the
    OSError subclass of a file failure, naming the file;
    ``CompressedDataError`` (a ValueError) for damaged or truncated compressed
    input, or a zip archive that does not hold exactly one file;
    ``BinaryInputError`` (a ValueError) for input that is not text.
    """
    check_flag("classic", classic)
    check_flag("strict", strict)
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
    return salvage_with(
        options,
        input,
        output,
        quarantine=quarantine,
        repairs=repairs,
        classic=classic,
        progress=progress,
        strict=strict,
        max_repaired=max_repaired,
        max_quarantined=max_quarantined,
    )


def classic_conflicts(options: ReadingOptions, repairs: bool) -> Iterator[tuple[str, str, str | None]]:
    """What classic=True cannot do that ``options`` (and a repair log, when ``repairs``) ask for, in
    the order they are checked: the reason, then the remedy in the library's words and in the
    command line's (None where no option of the command line asks for it)."""
    as_read = "leave encoding at 'auto' and force_text out"
    dialect = (options.escape_char, options.skip_blanks, options.comment_prefix, options.preamble_lines)
    conflicts = (
        (repairs, "writes no repair log", "leave repairs out or pass None", "drop --repairs"),
        (bool(options.recover_unclosed_quotes), "does not recover unclosed quotes", "", None),
        (options.encoding != AUTO, "reads the bytes as they are", as_read, "drop --encoding"),
        (bool(options.force_text), "reads the bytes as they are", as_read, "drop --force-text"),
        (options.threads is not None, "runs on one thread", "leave threads out", "drop --threads"),
        (
            options.quote_char is None or any(value is not None for value in dialect),
            "reads the classic dialect",
            "leave quote_char=None, escape_char, skip_blanks, comment_prefix and preamble_lines out",
            "drop --quote-char none and the dialect options",
        ),
    )
    for applies, reason, remedy, command_line_remedy in conflicts:
        if applies:
            yield reason, remedy, command_line_remedy


def salvage_with(
    options: ReadingOptions,
    input: StrPath,
    output: StrPath | None,
    *,
    quarantine: StrPath | None | EllipsisType,
    repairs: StrPath | None | EllipsisType,
    classic: bool,
    progress: Callable[[int, int], object] | None,
    strict: bool,
    max_repaired: int | str | None,
    max_quarantined: int | str | None,
) -> Report:
    """salvage() with its reading options checked already."""
    source = path_arg(input, "input")
    output_path = default_output(source) if output is None else path_arg(output, "output")
    quarantine_path = _beside(quarantine, output_path, "quarantine")
    if classic:
        for reason, remedy, _ in classic_conflicts(options, repairs is not ... and repairs is not None):
            raise ValueError(f"classic=True {reason}" + (f"; {remedy}" if remedy else ""))
        repairs_path = None
    else:
        repairs_path = _beside(repairs, output_path, "repairs")
    refuse_collisions(source, output_path, quarantine_path, repairs_path)
    if os.path.isfile(source) and same_file(source, output_path):
        refuse_compressed_in_place(source)
    check_limits = refusal(strict, max_repaired, max_quarantined)
    input_state = state_of(source)
    input_bytes = os.stat(source).st_size  # a stream's is counted as it is read
    read_bytes = 0

    def done(count: int) -> None:
        nonlocal read_bytes
        read_bytes = count
        if progress is not None:
            progress(count, input_bytes)

    started = time.perf_counter()

    def checked(counts: dict[str, Any], compression: str | None, notes: list[str]) -> Report:
        report = Report(
            **counts,
            compression=compression,
            input=source,
            output=output_path,
            quarantine=quarantine_path,
            repairs=repairs_path,
            input_bytes=max(input_bytes, read_bytes),
            elapsed_seconds=time.perf_counter() - started,
        )
        if not classic:
            report = dataclasses.replace(report, warnings=warnings_of(report, notes, options))
        check_limits(report)  # before the outputs are in place: a refusal leaves the files there as they were
        return report

    if classic:

        def classic_salvage(engine_input: str, output: str, others: list[str | None]) -> Report:
            summary = _backend.salvage_file(engine_input, output, others[0], *options.classic_arguments())
            done(input_bytes)  # before the outputs are in place, so that it can still stop them
            check_unchanged(source, input_state)
            counts = {
                **summary.to_dict(),
                **dict.fromkeys(_UNCOUNTED_BY_CLASSIC),
                "encoding": "utf-8",
                "quote_char": options.quote_char,
                "output_quote_char": options.quote_char,
            }
            return checked(counts, None, [])

        report = salvage_atomically(source, output_path, [quarantine_path], classic_salvage)
    else:
        with prepared_input(source, options, done) as engine_input:
            read = engine_input.read

            def native_salvage(engine_path: str, output: str, others: list[str | None]) -> Report:
                # Input that Python reads for the engine streams into it; the engine reports the
                # progress of what it reads itself.
                feed = engine_input.feed()
                with contextlib.closing(feed["input_chunks"]) if feed["input_chunks"] else contextlib.nullcontext():
                    written = _native.salvage(
                        engine_path,
                        output,
                        others[0],
                        others[1],
                        encoding=read.engine_encoding,
                        **feed,
                        **options.engine_arguments(),
                    )
                if progress is not None:
                    progress(input_bytes, input_bytes)  # before the outputs are in place, so that it can stop them
                check_unchanged(source, input_state)
                counts: dict[str, Any] = dict(written)
                notes = counts.pop("notes", [])
                if read.codec is not None:
                    counts["encoding"] = read.codec
                counts["encoding_confidence"] = read.confidence
                counts["confidence"] = options.confidence(counts["confidence"])
                return checked(counts, read.compression, notes)

            outputs = [quarantine_path, repairs_path]
            report = salvage_atomically(engine_input.path, output_path, outputs, native_salvage)
    return dataclasses.replace(report, elapsed_seconds=time.perf_counter() - started)


def refuse_compressed_in_place(source: str) -> None:
    """ValueError for a compressed input as its own output: plain CSV would take its compressed name."""
    try:
        compression = compression_of(source)
    except OSError:
        return  # reading it reports why
    if compression is not None:
        raise ValueError(
            f"output is the input, a {compression} file: the clean CSV would replace it under "
            f"its compressed name {source!r}; give another output"
        )


def _beside(value: StrPath | None | EllipsisType, output: str, kind: str) -> str | None:
    """A path argument whose default (...) is the file of that kind named after the output, if any."""
    if value is ...:
        return default_beside(output, kind)
    return None if value is None else path_arg(value, kind)
