"""tidewrack.salvage() and its Report: defaults, refusals, and the classic switch."""

from __future__ import annotations

import concurrent.futures
import csv
import errno
import gzip
import io
import json
import os
import random
import subprocess
import sys
import threading
import zipfile
from collections.abc import Callable
from pathlib import Path

import pytest

import _tidewrack_backend
import tidewrack

REPO = Path(__file__).resolve().parents[2]
# Fuzz inputs (their option header bytes read as data) and the examples.
CORPUS = sorted({path.read_bytes(): path for path in REPO.glob("fuzz/corpus/*/*")}.values())
FILES = [*CORPUS, *sorted(REPO.glob("examples/*.csv"))]
DAMAGED = b'id,name,city\n1,Ana,Lisbon\n2,Ben\n3,Cleo,Paris,France\n4,"Dee "DJ" Jones",Oslo\n'


def listing(folder: Path) -> list[str]:
    return sorted(path.name for path in folder.iterdir())


@pytest.mark.parametrize("source", FILES, ids=lambda path: f"{path.parent.name}/{path.name[:12]}")
def test_classic_is_the_classic_module_byte_for_byte(tmp_path: Path, source: Path) -> None:
    report = tidewrack.salvage(source, tmp_path / "a.csv", quarantine=tmp_path / "a.q.csv", classic=True)
    summary = _tidewrack_backend.salvage_file(str(source), str(tmp_path / "b.csv"), str(tmp_path / "b.q.csv"))

    assert {key: getattr(report, key) for key in summary.to_dict()} == summary.to_dict()
    assert (tmp_path / "a.csv").read_bytes() == (tmp_path / "b.csv").read_bytes()
    assert (tmp_path / "a.q.csv").read_bytes() == (tmp_path / "b.q.csv").read_bytes()
    assert listing(tmp_path) == ["a.csv", "a.q.csv", "b.csv", "b.q.csv"]


def well_formed(seed: int) -> bytes:
    """A CSV file that any reader reads alike: quoted delimiters, quotes and line breaks included."""
    rng = random.Random(seed)
    pieces = ["a", "Zoë", " ", ",", ";", '"', "\n", "\r\n", "x y", "12.5", ""]
    columns = rng.randint(1, 6)
    text = io.StringIO()
    writer = csv.writer(text, lineterminator=rng.choice(["\n", "\r\n"]))
    for _ in range(rng.randint(1, 40)):
        writer.writerow(["".join(rng.choices(pieces, k=rng.randint(0, 4))) or "-" for _ in range(columns)])
    return text.getvalue().encode()


@pytest.mark.parametrize("seed", range(12))
def test_default_rules_change_nothing_in_a_well_formed_file(tmp_path: Path, seed: int) -> None:
    (tmp_path / "in.csv").write_bytes(well_formed(seed))

    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "new.csv")
    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "old.csv", classic=True)

    assert (tmp_path / "new.csv").read_bytes() == (tmp_path / "old.csv").read_bytes()
    assert (tmp_path / "new.repairs.csv").read_bytes() == b"line_start,line_end,action,detail\n"
    changes = ("repaired_rows", "quarantined_rows", "padded_rows", "merged_rows", "quote_repairs", "unclosed_quotes")
    assert [getattr(report, key) for key in changes] == [0] * len(changes)


def test_a_row_of_one_empty_field_is_not_an_empty_line(tmp_path: Path) -> None:
    # Most readers skip an empty line: the row would be lost on loading the clean file.
    (tmp_path / "in.csv").write_bytes(b'name\nAna\n\n""\nBen\n')

    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "new.csv")
    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "old.csv", classic=True)

    assert (tmp_path / "new.csv").read_bytes() == b'name\nAna\n""\n""\nBen\n'
    assert (tmp_path / "old.csv").read_bytes() == b"name\nAna\n\n\nBen\n"
    with open(tmp_path / "new.csv", newline="") as clean:
        assert list(csv.reader(clean)) == [["name"], ["Ana"], [""], [""], ["Ben"]]


TOO_FEW, EXTRA = "Row has too few columns (expected {})", "Row has extra columns (expected {})"


@pytest.mark.parametrize(
    ("data", "clean", "quarantined", "classic_clean", "classic_quarantined"),
    [
        pytest.param(
            b'id,name,qty\n1,"Smith" ,4\n2,"Lee"  \n',
            b"id,name,qty\n1,Smith ,4\n",
            [(3, 3, TOO_FEW.format(3), "2,Lee  ")],
            b"id,name,qty\n1,Smith,4\n",
            [(3, TOO_FEW.format(3), "2,Lee")],
            id="regression: blanks after a closing quote were dropped without a log line",
        ),
        pytest.param(
            b'id,note\n1,"two\rlines"\n2\n3,"x\r\ny",z\n',
            b'id,note\n1,"two\rlines"\n',
            [(4, 4, TOO_FEW.format(2), "2"), (5, 6, EXTRA.format(2), "3,x\r\ny,z")],
            b'id,note\n1,"two\rlines"\n',
            [(3, TOO_FEW.format(2), "2"), (5, EXTRA.format(2), "3,x\r\ny,z")],
            id="regression: a lone CR inside quotes ended no line of the log",
        ),
    ],
)
def test_default_rules_change_nothing_unlogged_and_count_lines_as_an_editor(
    tmp_path: Path,
    data: bytes,
    clean: bytes,
    quarantined: list[tuple[int, int, str, str]],
    classic_clean: bytes,
    classic_quarantined: list[tuple[int, str, str]],
) -> None:
    # The log and the quarantine count CR, LF and CR LF as one line each; the classic module keeps its reading.
    (tmp_path / "in.csv").write_bytes(data)
    strict = {"fill_ragged_rows": False, "merge_overflow": False}

    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "new.csv", **strict)
    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "old.csv", classic=True, **strict)

    def rows(name: str) -> list[list[str]]:
        with open(tmp_path / name, newline="") as file:
            return list(csv.reader(file))[1:]

    assert (tmp_path / "new.csv").read_bytes() == clean
    assert rows("new.repairs.csv") == [
        [str(start), str(end), "quarantined", reason] for start, end, reason, _ in quarantined
    ]
    assert rows("new.quarantine.csv") == [[str(end), reason, raw] for _, end, reason, raw in quarantined]
    assert (tmp_path / "old.csv").read_bytes() == classic_clean
    assert rows("old.quarantine.csv") == [[str(line), reason, raw] for line, reason, raw in classic_quarantined]


def test_defaults_are_named_after_the_output_and_none_skips(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(DAMAGED)
    report = tidewrack.salvage(tmp_path / "in.csv")

    assert listing(tmp_path) == ["in.clean.csv", "in.csv", "in.quarantine.csv", "in.repairs.csv"]
    assert (report.output, report.quarantine, report.repairs) == tuple(
        str(tmp_path / name) for name in ("in.clean.csv", "in.quarantine.csv", "in.repairs.csv")
    )
    assert list(report.to_dict()) == [
        "total_rows",
        "salvaged_rows",
        "repaired_rows",
        "quarantined_rows",
        "detected_delimiter",
        "inferred_columns",
        "padded_rows",
        "merged_rows",
        "quote_repairs",
        "unclosed_quotes",
        "decoded_bytes",
        "replaced_bytes",
        "encoding",
        "compression",
        "input",
        "output",
        "quarantine",
        "repairs",
        "input_bytes",
        "elapsed_seconds",
        "quote_char",
        "escape_char",
        "skip_blanks",
        "comment_prefix",
        "header_rows",
        "confidence",
        "comment_lines",
        "preamble_lines",
        "output_quote_char",
        "encoding_confidence",
        "warnings",
    ]
    assert (report.padded_rows, report.merged_rows, report.quote_repairs, report.input_bytes) == (1, 1, 2, len(DAMAGED))
    json.dumps(report.to_dict())

    tidewrack.salvage(tmp_path / "in.csv", tmp_path / "only.csv", quarantine=None, repairs=None)
    assert "only.quarantine.csv" not in listing(tmp_path) and "only.repairs.csv" not in listing(tmp_path)
    assert tidewrack.salvage(tmp_path / "in.csv", tmp_path / "c.csv", classic=True).repairs is None
    devnull = tidewrack.salvage(tmp_path / "in.csv", os.devnull)  # a device has no folder for files beside it
    assert (devnull.quarantine, devnull.repairs) == (None, None)


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"classic": True, "repairs": "r.csv"}, ValueError, "classic=True writes no repair log"),
        ({"classic": True, "recover_unclosed_quotes": True}, ValueError, "does not recover unclosed quotes"),
        ({"quarantine": "in.csv"}, ValueError, "quarantine is the input file"),
        ({"repairs": "./in.csv"}, ValueError, "repairs is the input file"),
        ({"output": "x.csv", "repairs": "x.csv"}, ValueError, "output and repairs are the same file"),
        ({"quarantine": "q.csv", "repairs": "sub/../q.csv"}, ValueError, "quarantine and repairs are the same"),
        ({"encoding": "no-such-codec"}, ValueError, "unknown encoding"),
        ({"repairs": b"r.csv"}, TypeError, "repairs must be str or os.PathLike"),
        ({"delimiter": '"'}, ValueError, "delimiter"),
        # Once accepted: 'ab' read as 'a' (turning "name" into "nme"), 'no' and 'yes' as true.
        ({"escape_char": "ab"}, ValueError, "^the escape character must be one ASCII character"),
        ({"quote_char": "ab"}, ValueError, "^the quote character must be one ASCII character"),
        ({"quote_char": "é"}, ValueError, "^the quote character must be one ASCII character"),
        ({"quote_char": 39}, TypeError, "^quote_char must be str or None, not int$"),
        ({"skip_blanks": "no"}, TypeError, "^skip_blanks must be True, False or None, not str$"),
        ({"classic": "yes"}, TypeError, "^classic must be True or False, not str$"),
        ({"fill_ragged_rows": 1}, TypeError, "^fill_ragged_rows must be True or False, not int$"),
        ({"escape_char": '"'}, ValueError, "^the quote character and the escape character are both"),
        ({"delimiter": ";", "escape_char": ";"}, ValueError, "^the delimiter and the escape character are both"),
        ({"escape_char": ","}, ValueError, r"are both ','; they must differ \(as detected"),
        ({"expected_columns": 1_000_001}, ValueError, "^the column count must be from 0 to 1000000, got 1000001$"),
        ({"expected_columns": "3"}, TypeError, "^expected_columns must be an int or None, not str$"),
        ({"encoding": "idna"}, ValueError, "^encoding 'idna' cannot read damaged input$"),
        ({"output": ""}, ValueError, "^output is an empty path$"),
        (
            {"max_repaired": True},
            TypeError,
            "max_repaired must be an int count or a str share such as '2.5%', not bool",
        ),
        ({"max_quarantined": 1.5}, TypeError, "not float"),
        ({"max_quarantined": -1}, ValueError, "max_quarantined must not be negative"),
        ({"max_repaired": "abc%"}, ValueError, "from '0%' to '100%', not 'abc%'"),
        ({"max_repaired": "101%"}, ValueError, "not '101%'"),
        ({"max_repaired": "2"}, ValueError, "not '2'"),
        (
            {"merge_overflow": False, "max_quarantined": 0},
            tidewrack.ThresholdExceeded,
            "^1 of 5 rows read was quarantined, over the limit of 0$",
        ),
        (
            {"classic": True, "max_repaired": "39.9%", "strict": True},
            tidewrack.ThresholdExceeded,
            r"^2 of 5 rows read were repaired \(40%\), over the limit of 39.9%$",
        ),
    ],
)
def test_refusals_write_nothing(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    arguments: dict[str, object],
    error: type[Exception],
    message: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "in.csv").write_bytes(DAMAGED)
    with pytest.raises(error, match=message):
        tidewrack.salvage("in.csv", **arguments)  # type: ignore[arg-type]
    assert listing(tmp_path) == ["in.csv", "sub"]


@pytest.mark.parametrize(
    ("function", "arguments", "error", "message"),
    [
        (tidewrack.scan, {"string_view": "yes"}, TypeError, "^string_view must be True or False, not str$"),
        (tidewrack.scan, {"quote_char": "ab"}, ValueError, "^the quote character must be one ASCII character"),
        (tidewrack.scan, {"expected_columns": 2_000_000}, ValueError, "^the column count must be from 0 to 1000000"),
        (tidewrack.detect, {"force_text": 1}, TypeError, "^force_text must be True or False, not int$"),
        (tidewrack.detect, {"encoding": "punycode"}, ValueError, "^encoding 'punycode' cannot read damaged input$"),
    ],
)
def test_scan_and_detect_check_their_options(
    tmp_path: Path,
    function: Callable[..., object],
    arguments: dict[str, object],
    error: type[Exception],
    message: str,
) -> None:
    (tmp_path / "in.csv").write_bytes(DAMAGED)
    with pytest.raises(error, match=message):
        function(tmp_path / "in.csv", **arguments)


@pytest.mark.parametrize("classic", [False, True])
@pytest.mark.parametrize(
    ("arguments", "error", "number", "culprit"),
    [
        ({"input": "missing.csv"}, FileNotFoundError, errno.ENOENT, "missing.csv"),
        ({"output": "no/out.csv"}, FileNotFoundError, errno.ENOENT, "no/out.csv"),
        ({"quarantine": "/dev/full"}, OSError, errno.ENOSPC, "/dev/full"),
    ],
)
def test_file_errors_name_the_file_as_given(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    classic: bool,
    arguments: dict[str, str],
    error: type[OSError],
    number: int,
    culprit: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.csv").write_bytes(DAMAGED)
    arguments = {"input": "in.csv", "output": "out.csv", **arguments}
    with pytest.raises(OSError) as caught:
        tidewrack.salvage(classic=classic, **arguments)  # type: ignore[arg-type]
    assert (type(caught.value), caught.value.errno, caught.value.filename) == (error, number, culprit)
    assert listing(tmp_path) == ["in.csv"]


def test_repair_log_that_cannot_be_written_names_it_and_any_file_name_works(tmp_path: Path) -> None:
    odd = tmp_path / os.fsdecode(b"caf\xe9.csv")  # not UTF-8: reached through a link
    odd.write_bytes(DAMAGED)
    with pytest.raises(FileNotFoundError) as caught:
        tidewrack.salvage(odd, repairs=tmp_path / "no" / "log.csv")
    assert caught.value.filename == str(tmp_path / "no" / "log.csv")
    assert listing(tmp_path) == [odd.name]

    report = tidewrack.salvage(odd)
    assert Path(report.repairs).read_text().count("\n") == 4  # type: ignore[arg-type]


def zipped(content: bytes) -> bytes:
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as writer:
        writer.writestr("member.csv", content)
    return archive.getvalue()


@pytest.mark.parametrize(
    ("name", "content", "options"),
    [
        ("plain.csv", DAMAGED * 400_000, {}),  # 28 MB: the engine reports as it reads
        ("packed.csv.gz", gzip.compress(DAMAGED * 400_000), {}),  # the compressed bytes read
        ("packed.zip", zipped(DAMAGED * 400_000), {}),  # its index is read first, then past the data
        ("decoded.csv", DAMAGED * 400_000, {"encoding": "cp437"}),  # decoded by Python first
        ("classic.csv", DAMAGED, {"classic": True}),  # once, at the end
    ],
    ids=["engine", "gzip", "zip", "python-codec", "classic"],
)
def test_progress_counts_the_input_as_given_up_to_its_size(
    tmp_path: Path, name: str, content: bytes, options: dict[str, object]
) -> None:
    (tmp_path / name).write_bytes(content)
    calls: list[tuple[int, int]] = []
    tidewrack.salvage(tmp_path / name, tmp_path / "out.csv", progress=lambda *call: calls.append(call), **options)
    assert {size for _, size in calls} == {len(content)}
    assert [done for done, _ in calls] == sorted(done for done, _ in calls) and calls[-1][0] == len(content)


@pytest.mark.parametrize("options", [{}, {"classic": True}, {"encoding": "cp437"}], ids=["engine", "classic", "codec"])
def test_an_exception_from_progress_writes_nothing(tmp_path: Path, options: dict[str, object]) -> None:
    (tmp_path / "in.csv").write_bytes(DAMAGED)

    def stop(done: int, size: int) -> None:
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tidewrack.salvage(tmp_path / "in.csv", progress=stop, **options)
    assert listing(tmp_path) == ["in.csv"]


@pytest.mark.parametrize("options", [{}, {"classic": True}, {"encoding": "cp437"}], ids=["engine", "classic", "codec"])
@pytest.mark.parametrize("change", ["truncated", "appended", "replaced"])
def test_an_input_that_changes_while_it_is_read_fails_and_writes_nothing(
    tmp_path: Path, options: dict[str, object], change: str
) -> None:
    # A 548 MB file truncated to 100 MB mid-run gave exit 0, a short clean file and a report of 548 MB.
    source = tmp_path / "in.csv"
    source.write_bytes(DAMAGED)
    (tmp_path / "in.clean.csv").write_bytes(b"an earlier run's output\n")

    changed = []

    def change_input(done: int, size: int) -> None:
        if done < size or changed:
            return  # once, at the end of the reading, before the outputs are in place
        changed.append(change)
        if change == "replaced":
            (tmp_path / "new.csv").write_bytes(DAMAGED)
            os.replace(tmp_path / "new.csv", source)
        else:
            with open(source, "r+b" if change == "truncated" else "ab") as file:
                file.truncate(10) if change == "truncated" else file.write(b"5,Eve,Rome\n")

    with pytest.raises(tidewrack.InputChangedError, match="changed while it was read") as raised:
        tidewrack.salvage(source, progress=change_input, **options)
    assert isinstance(raised.value, OSError) and raised.value.filename == str(source)
    assert listing(tmp_path) == ["in.clean.csv", "in.csv"]
    assert (tmp_path / "in.clean.csv").read_bytes() == b"an earlier run's output\n"


def test_a_compressed_input_is_not_replaced_by_its_clean_copy(tmp_path: Path) -> None:
    packed = gzip.compress(DAMAGED)
    (tmp_path / "in.csv.gz").write_bytes(packed)
    with pytest.raises(ValueError, match="^output is the input, a gzip file: the clean CSV would replace it"):
        tidewrack.salvage(tmp_path / "in.csv.gz", tmp_path / "in.csv.gz")
    assert listing(tmp_path) == ["in.csv.gz"] and (tmp_path / "in.csv.gz").read_bytes() == packed


OUTPUTS = ("out.csv", "out.quarantine.csv", "out.repairs.csv")


def written_set(folder: Path) -> tuple[bytes, ...]:
    return tuple((folder / name).read_bytes() for name in OUTPUTS)


def test_a_salvage_into_files_another_one_writes_waits_for_it(tmp_path: Path) -> None:
    # Two runs into the same outputs once left one's clean file beside the other's repair log.
    (tmp_path / "a.csv").write_bytes(b"id,name\n1,Ana,Lisbon\n2\n")
    (tmp_path / "b.csv").write_bytes(DAMAGED)
    tidewrack.salvage(tmp_path / "b.csv", tmp_path / "out.csv")
    second_alone = written_set(tmp_path)
    holding, release = threading.Event(), threading.Event()

    def hold(done: int, size: int) -> None:  # within the salvage, its outputs not yet in place
        holding.set()
        release.wait(60)

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        try:
            first = pool.submit(tidewrack.salvage, tmp_path / "a.csv", tmp_path / "out.csv", progress=hold)
            assert holding.wait(60)
            second = pool.submit(tidewrack.salvage, tmp_path / "b.csv", tmp_path / "out.csv")
            with pytest.raises(TimeoutError):
                second.result(timeout=1)  # waits for the first to put its files in place
        finally:
            release.set()
        first.result(timeout=60)
        second.result(timeout=60)

    assert written_set(tmp_path) == second_alone
    assert listing(tmp_path) == ["a.csv", "b.csv", *OUTPUTS]


# Prints once imported, then salvages when its standard input closes: so the test starts two runs at once.
RUN = (
    "import sys, tidewrack\nprint(flush=True)\nsys.stdin.read()\n"
    "tidewrack.salvage(sys.argv[1], 'out.csv', fill_ragged_rows=False)\n"
)


def test_concurrent_processes_into_the_same_outputs_leave_one_run_s_files(tmp_path: Path) -> None:
    # The inputs differ in each output: a row merged on one line, a short row quarantined on another.
    (tmp_path / "a.csv").write_bytes(b"id,name,city\n1,Ana,Lisbon,PT\n2,Ana\n")
    (tmp_path / "b.csv").write_bytes(b"id,name,city\n1,Ben\n2,Ben,Oslo,NO\n")
    sets = set()
    for name in ("a.csv", "b.csv"):
        tidewrack.salvage(tmp_path / name, tmp_path / "out.csv", fill_ragged_rows=False)
        sets.add(written_set(tmp_path))
    for _ in range(20):
        runs = [
            subprocess.Popen(
                [sys.executable, "-c", RUN, name], cwd=tmp_path, stdin=subprocess.PIPE, stdout=subprocess.PIPE
            )
            for name in ("a.csv", "b.csv")
        ]
        assert [run.stdout.readline() for run in runs] == [b"\n", b"\n"]  # type: ignore[union-attr]
        for run in runs:
            run.stdin.close()  # type: ignore[union-attr]
        for run in runs:
            assert run.wait(timeout=60) == 0
            run.stdout.close()  # type: ignore[union-attr]
        assert written_set(tmp_path) in sets
    assert listing(tmp_path) == ["a.csv", "b.csv", *OUTPUTS]
