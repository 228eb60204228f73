"""The tidewrack command line: arguments, their checks and their help texts."""

from __future__ import annotations

import argparse
import platform
import sys
import sysconfig

import _tidewrack_backend

from .. import _native
from .._options import AUTO
from . import preview as preview_command
from . import salvage as salvage_command
from . import sniff as sniff_command
from .options import (
    add_dialect_options,
    add_salvage_options,
    bounded_int,
    encoding_arg,
    limit_arg,
    threads_arg,
)

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from typing import NoReturn

DESCRIPTION = """\
Salvage damaged CSV files: every record is kept, repaired (short rows padded,
surplus fields merged into the last column, stray quotes read as text) or set
aside in a quarantine file with its line number and the reason. Nothing in
the input is ever rejected; a repair log lists every change made, and the
summary counts what was repaired and set aside."""

EXIT_CODES = """\
exit codes:
  0    success
  1    a file could not be read or written (the message names it), or memory ran out
  2    bad usage, impossible options, or files that would overwrite one another
  3    refused, no output written: more rows repaired or quarantined than
       --max-repaired or --max-quarantined allow, or a warning under --strict
  130  interrupted (Ctrl-C); 143 and 129 for SIGTERM and SIGHUP
  141  standard output closed early (| head)
With several inputs to salvage, the worst status of the files: 1, then 3, then 0.

Run 'tidewrack COMMAND --help' for the options of each command."""

SALVAGE_EPILOG = """\
defaults:
  OUTPUT      INPUT with its suffix replaced by .clean.csv (data.csv -> data.clean.csv);
              standard output when INPUT is '-'
  QUARANTINE  named after OUTPUT, a .clean ending dropped: data.clean.csv ->
              data.quarantine.csv, strict.csv -> strict.quarantine.csv;
              none when OUTPUT is a stream: standard output, a name in /dev,
              a device or a FIFO of your own (-o /dev/null)
  REPAIRS     named after OUTPUT the same way: data.clean.csv -> data.repairs.csv;
              none when OUTPUT is a stream, or with --classic

Files are replaced only once complete: each output is written under a hidden
temporary name beside it, then renamed over it. A failed or interrupted run
leaves every existing file as it was; a symlink at OUTPUT, QUARANTINE or
REPAIRS is replaced, never written through, whatever it leads to. An output
naming INPUT, or two outputs naming one file, is refused before anything is
written; --in-place replaces INPUT by its clean copy on purpose (a symlink:
the file it leads to, the link kept), and refuses compressed INPUT. A run
into files that another run is writing waits until that run's files are all
in place, and says so.

The repair log is CSV with the header line_start,line_end,action,detail: the
lines of the record, then one of padded, merged, dropped, split,
quote_repaired, unclosed_quote, quarantined, and what was done ("1 empty field
added", "field 8 joined into column 7", "fields 4-5 joined into column 4",
"empty field 3 dropped", "field 2 split into columns 2-3", "2 stray quotes
kept as text", "quote on line 35 read as text", the quarantine reason). One
line per change, in input order.

Unless --classic, a row of another width is first aligned to the columns: the
joins, drops, splits or inserted empty cells that make its cells fit what the
rows of the expected width hold are taken when clearly better than merging
into the last column or padding at the end.

An opening quote whose field would run on across the following lines (to the
end of the input, past 1,000 lines or 1 MB, or to a stray quote on a later
line), when those lines read as rows
of the expected width on their own, is read as text: the rows are kept rather
than swallowed into one field. --classic turns this off, and writes exactly
what the classic engine (_tidewrack_backend.salvage_file) writes.

A progress bar (bytes done, MB/s, time left) is drawn on stderr when it is a
terminal and the input is larger than 64 MB; --quiet hides it and the summary.

Several INPUTs are salvaged one after another (-j N: N at a time) into their
default outputs, or into the folder -o names; a folder among them means its
*.csv files (also compressed, .csv.gz and the like), sorted by name, outputs of
an earlier run (*.clean.csv, *.quarantine.csv, *.repairs.csv) left out. Paths
naming one file (--quarantine, --repairs) are refused, and so are two inputs whose
outputs would be one file. A file that fails does not stop the others, and
leaves none of its outputs behind. Each is reported in the order given.

What was guessed and may be wrong gets a line "warning: ..." on stderr
(unless --quiet), naming the option that pins it: a delimiter guessed with
low confidence or other than , ; tab |, a quote other than ", lines left out
as a preamble or as comments, and what the detection noticed (a second table,
a title row kept as data...). --strict refuses such a file; --max-repaired
and --max-quarantined refuse one with too many rows changed. A refused file
gets one line "tidewrack: refused ..." with the counts, exit status 3, and
none of its outputs: the files at their paths stay as they were.

--json prints one object to standard output: the summary counters (total_rows,
salvaged_rows, repaired_rows, quarantined_rows, detected_delimiter,
inferred_columns), the repair counters (padded_rows, merged_rows,
quote_repairs, unclosed_quotes, decoded_bytes, replaced_bytes: null with
--classic, which does not count them), encoding, compression, then input,
output, quarantine and repairs (null when none), input_bytes, elapsed_seconds,
the dialect read (quote_char, escape_char, skip_blanks, comment_prefix,
header_rows, confidence: null when a delimiter is given), comment_lines,
preamble_lines, output_quote_char, warnings (a list of the sentences) and
mb_per_s (null if too fast to time, or for compressed input). With several
inputs, one such object per line, or {"input": ..., "error": ...} for a file
that failed or was refused.

The quarantine file is CSV with the header line,reason,raw_content: the input
line on which the record ends, why it was set aside, and its fields joined by
the delimiter.

examples:
  tidewrack salvage orders.csv
  tidewrack salvage export.csv -o clean/export.csv --no-merge --max-quarantined 0.5% --strict
  tidewrack salvage vendor.csv --in-place --quarantine rejects/vendor.csv --no-repairs
  curl -s https://example.org/feed.csv | tidewrack salvage - > feed.clean.csv"""

SNIFF_EPILOG = """\
Only the head of a file is read: its first 100 non-blank rows, which is what
the detection itself looks at (standard input: at most its first 32 MiB;
compressed input: at most 4 MiB of it decompressed).
The answer is what 'tidewrack salvage' detects without --delimiter: the
delimiter, the quote and escape characters, blanks after delimiters, comment
and preamble lines, a header row, the column count and a confidence."""

PREVIEW_EPILOG = """\
The whole file is salvaged (in memory) so that the counts in the last line are
those of a full run; only the first rows are printed."""


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, the help named rather than the whole usage printed."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


class VersionAction(argparse.Action):
    """--version, its text made only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(version_text())
        parser.exit()


def version_text() -> str:
    """What a bug report needs: the versions, the Python and the SIMD instructions in use."""
    import importlib.metadata  # slow to import: only for --version

    try:
        package = importlib.metadata.version("tidewrack")
    except importlib.metadata.PackageNotFoundError:
        package = "not installed"
    free_threaded = "yes" if sysconfig.get_config_var("Py_GIL_DISABLED") else "no"
    return (
        f"tidewrack {package}\n"
        f"extension _tidewrack_backend {_tidewrack_backend.__version__}\n"
        f"Python {platform.python_version()} ({platform.python_implementation()}, {sys.platform}, "
        f"free-threaded: {free_threaded})\n"
        f"SIMD {_native.simd()}"
    )


def add_force_text(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--force-text",
        action="store_true",
        help="read input that does not look like text (a picture, a program, a workbook, NUL bytes) "
        "all the same; without it such input is refused with exit status 1",
    )


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog="tidewrack", description=DESCRIPTION, epilog=EXIT_CODES, formatter_class=formatter)
    parser.add_argument("--version", action=VersionAction, nargs=0, help="show the versions in use and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    salvage = commands.add_parser(
        "salvage",
        formatter_class=formatter,
        epilog=SALVAGE_EPILOG,
        help="write a clean copy of a damaged CSV file, a quarantine of the rows set aside and a repair log",
        description="Write a clean copy of INPUT, a quarantine file listing the rows that could\n"
        "not be repaired under the chosen options, and a repair log listing every change\n"
        "made. A summary goes to stderr.",
    )
    salvage.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="the damaged CSV file; '-' reads standard input. Several files are each salvaged into "
        "their own outputs; a folder among them stands for its CSV files",
    )
    salvage.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        help="where the clean CSV goes; '-' writes standard output. With several inputs, the folder "
        "(made if missing) where their outputs go under their default names",
    )
    salvage.add_argument(
        "--format",
        choices=("csv", "parquet", "arrow"),
        help="the clean file's format (default: parquet for an OUTPUT ending in .parquet or .pq, arrow "
        "for .arrow or .feather, else csv; an OUTPUT named for another format is refused); Parquet and "
        "Arrow IPC need pyarrow, and hold string columns named by the header; the quarantine and the "
        "repair log stay CSV",
    )
    salvage.add_argument(
        "--in-place",
        action="store_true",
        help="replace INPUT by its clean copy (once complete, like any output; a symlink: the file it leads "
        "to); not with -o, nor for compressed INPUT",
    )
    quarantine = salvage.add_mutually_exclusive_group()
    quarantine.add_argument("--quarantine", metavar="QUARANTINE", help="where the rows set aside are listed")
    quarantine.add_argument(
        "--no-quarantine",
        action="store_true",
        help="write no quarantine file (the rows set aside are still counted)",
    )
    repairs = salvage.add_mutually_exclusive_group()
    repairs.add_argument(
        "--repairs", metavar="REPAIRS", help="where the repair log goes: one line per change to the data"
    )
    repairs.add_argument("--no-repairs", action="store_true", help="write no repair log")
    salvage.add_argument(
        "-j",
        "--jobs",
        type=bounded_int(1),
        default=1,
        metavar="N",
        help="inputs salvaged at the same time (default: %(default)s)",
    )
    salvage.add_argument(
        "--classic",
        action="store_true",
        help="the classic engine, byte for byte: no repair log, no unclosed-quote recovery",
    )
    salvage.add_argument(
        "--encoding",
        type=encoding_arg,
        default=AUTO,
        metavar="NAME",
        help="encoding of INPUT (default: %(default)s: a byte-order mark, UTF-16 by its NUL bytes, UTF-8, "
        "else the code page the head reads best in); a name also reads input that does not look like text",
    )
    add_force_text(salvage)
    salvage.add_argument(
        "--threads",
        type=threads_arg,
        metavar="N",
        help="threads that salvage at once (default: one per available core); the files are the same",
    )
    add_salvage_options(salvage, ("-n", "--columns"))
    add_dialect_options(salvage)
    report = salvage.add_argument_group("reporting")
    report.add_argument(
        "--json",
        action="store_true",
        help="print the summary as JSON on stdout instead of text on stderr",
    )
    report.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no summary, warnings, progress bar or waiting notice on stderr (errors are still reported, and "
        "the warnings that --strict refuses a file for)",
    )
    limits = salvage.add_argument_group(
        "limits (exceeded: exit status 3 and no output written; N|P%: a number of rows, or a share of "
        "the rows read such as 2.5%)"
    )
    limits.add_argument(
        "--strict",
        action="store_true",
        help="refuse the file when anything was guessed that may be wrong (any warning)",
    )
    limits.add_argument(
        "--max-repaired",
        type=limit_arg,
        metavar="N|P%",
        help="refuse the file when more rows were repaired",
    )
    quarantined = limits.add_mutually_exclusive_group()
    quarantined.add_argument(
        "--max-quarantined",
        type=limit_arg,
        metavar="N|P%",
        help="refuse the file when more rows were quarantined",
    )
    quarantined.add_argument(
        "--fail-on-quarantine",
        dest="max_quarantined",
        action="store_const",
        const=0,
        help="refuse the file when any row was quarantined: --max-quarantined 0",
    )
    salvage.set_defaults(run=salvage_command.run, parser=salvage)

    sniff = commands.add_parser(
        "sniff",
        formatter_class=formatter,
        epilog=SNIFF_EPILOG,
        help="print the detected dialect and column count of files",
        description="Print the dialect and the column count that a salvage would detect,\none line per FILE.",
    )
    sniff.add_argument("files", nargs="+", metavar="FILE", help="CSV files; '-' reads standard input")
    sniff.add_argument("--json", action="store_true", help="one JSON object per file: the whole dialect")
    add_force_text(sniff)
    sniff.set_defaults(run=sniff_command.run, parser=sniff)

    preview = commands.add_parser(
        "preview",
        formatter_class=formatter,
        epilog=PREVIEW_EPILOG,
        help="show the first repaired rows of a file as a table",
        description="Show the header and the first rows of FILE as they come out of a salvage,\n"
        "as an aligned table, then the counts of the whole file.",
    )
    preview.add_argument("file", metavar="FILE", help="the CSV file; '-' reads standard input")
    preview.add_argument(
        "-n",
        "--rows",
        type=bounded_int(0),
        default=20,
        metavar="N",
        help="rows to show below the header (default: %(default)s)",
    )
    preview.add_argument(
        "-w",
        "--max-width",
        type=bounded_int(4),
        default=30,
        metavar="CELLS",
        help="longest cell shown before it is cut with an ellipsis (default: %(default)s)",
    )
    add_salvage_options(preview, ("--columns",))
    add_force_text(preview)
    preview.set_defaults(run=preview_command.run, parser=preview)
    return parser
