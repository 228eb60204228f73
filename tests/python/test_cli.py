"""The tidewrack command line, driven as users drive it: as a subprocess."""

from __future__ import annotations

import csv
import gzip
import hashlib
import json
import os
import platform
import pty
import re
import resource
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tidewrack
from tidewrack.cli import main
from tidewrack.cli.report import describe_delimiter

# Row 3 is short (padded, or quarantined by --no-fill); row 4 has a stray
# comma (merged, or quarantined by --no-merge); row 5 has a stray quote.
DAMAGED = b'id,name,city\n1,Ana,Lisbon\n2,Ben\n3,Cleo,Paris,France\n4,"Dee "DJ" Jones",Oslo\n'
CLEAN_MERGED = b'id,name,city\n1,Ana,Lisbon\n2,Ben,\n3,Cleo,"Paris,France"\n4,"Dee ""DJ"" Jones",Oslo\n'
SUMMARY_KEYS = [
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
    "mb_per_s",
]
# Line 2 opens a quote that never closes: the classic rules swallow lines 3-4 into it.
UNCLOSED = b'id,name\n1,"Ann\n2,Ben\n3,Cy\n'


UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
TIDEWRACK = [sys.executable, "-m", "tidewrack"]


def tidewrack_cli(
    *args: str | bytes | os.PathLike[str], cwd: Path, stdin: bytes | None = None, **popen: object
) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [*TIDEWRACK, *(arg if isinstance(arg, bytes) else str(arg) for arg in args)],
        cwd=cwd,
        input=stdin if stdin is not None else b"",
        capture_output=True,
        timeout=120,
        check=False,
        **popen,  # type: ignore[arg-type]
    )


def snapshot(folder: Path) -> dict[str, str]:
    """Every entry of a folder: the target of a symlink, a digest of a file's bytes."""

    def state(entry: Path) -> str:
        if entry.is_symlink():
            return f"-> {os.readlink(entry)}"
        if not entry.is_file():
            return "folder" if entry.is_dir() else "fifo"
        return hashlib.sha256(entry.read_bytes()).hexdigest()

    return {entry.name: state(entry) for entry in folder.iterdir()}


@pytest.fixture
def damaged(tmp_path: Path) -> Path:
    path = tmp_path / "orders.csv"
    path.write_bytes(DAMAGED)
    return path


def assert_clean_exit(result: subprocess.CompletedProcess[bytes], code: int) -> str:
    """Checks the exit code and that no traceback leaked; returns stderr."""
    stderr = result.stderr.decode()
    assert result.returncode == code, stderr
    assert "Traceback" not in stderr
    return stderr


class TestSalvage:
    def test_default_paths_beside_input_and_summary_on_stderr(self, tmp_path: Path, damaged: Path) -> None:
        result = tidewrack_cli("salvage", damaged.name, "--no-merge", cwd=tmp_path)

        stderr = assert_clean_exit(result, 0)
        assert result.stdout == b""
        assert (tmp_path / "orders.clean.csv").read_bytes() == (
            b'id,name,city\n1,Ana,Lisbon\n2,Ben,\n4,"Dee ""DJ"" Jones",Oslo\n'
        )
        assert (tmp_path / "orders.quarantine.csv").read_bytes() == (
            b'line,reason,raw_content\n4,"Row has extra columns (expected 3)","3,Cleo,Paris,France"\n'
        )
        assert (tmp_path / "orders.repairs.csv").read_bytes() == (
            b"line_start,line_end,action,detail\n"
            b"3,3,padded,1 empty field added\n"
            b"4,4,quarantined,Row has extra columns (expected 3)\n"
            b"5,5,quote_repaired,2 stray quotes kept as text\n"
        )
        for expected in (
            "rows read    5",
            "kept         4 (1 repaired)",
            "padded       1 row",
            "quotes       2 stray quotes kept as text",
            "quarantined  1 -> orders.quarantine.csv",
            "repair log   orders.repairs.csv",
            "delimiter    comma",
            "columns      3",
            "MB/s",
        ):
            assert expected in stderr

    @pytest.mark.parametrize(
        ("args", "quarantine"),
        [
            ([], "orders.quarantine.csv"),
            (["-o", "out/orders.clean.csv"], "out/orders.quarantine.csv"),
            (["-o", "out/strict.csv"], "out/strict.quarantine.csv"),
            (["-o", "out/clean"], "out/clean.quarantine.csv"),
            # Once the default quarantine of the input itself: it overwrote the output.
            (["-o", "orders.quarantine.csv"], "orders.quarantine.quarantine.csv"),
            (["--in-place"], "orders.quarantine.csv"),
        ],
    )
    def test_default_quarantine_is_named_after_the_output(
        self, tmp_path: Path, damaged: Path, args: list[str], quarantine: str
    ) -> None:
        (tmp_path / "out").mkdir()
        assert_clean_exit(tidewrack_cli("salvage", "orders.csv", "--no-merge", *args, cwd=tmp_path), 0)
        assert (tmp_path / quarantine).read_bytes().startswith(b"line,reason,raw_content\n4,")

    def test_runs_with_different_outputs_keep_their_own_quarantines(self, tmp_path: Path, damaged: Path) -> None:
        tidewrack_cli("salvage", "orders.csv", "--no-merge", "-o", "strict.csv", cwd=tmp_path)
        tidewrack_cli("salvage", "orders.csv", "-o", "merged.csv", cwd=tmp_path)
        assert (tmp_path / "strict.quarantine.csv").read_bytes().count(b"\n") == 2
        assert (tmp_path / "merged.quarantine.csv").read_bytes() == b"line,reason,raw_content\n"

    def test_json_summary(self, tmp_path: Path, damaged: Path) -> None:
        result = tidewrack_cli("salvage", damaged, "--no-fill", "--no-quarantine", "--json", cwd=tmp_path)

        assert_clean_exit(result, 0)
        report = json.loads(result.stdout)
        assert list(report) == SUMMARY_KEYS
        assert report["total_rows"] == 5
        assert report["salvaged_rows"] == 4
        assert report["repaired_rows"] == 1
        assert report["quarantined_rows"] == 1
        assert report["detected_delimiter"] == ","
        assert report["inferred_columns"] == 3
        assert [report[key] for key in ("padded_rows", "merged_rows", "quote_repairs", "unclosed_quotes")] == [
            0,
            1,
            2,
            0,
        ]
        assert (report["encoding"], report["compression"]) == ("utf-8", None)
        assert report["input"] == str(damaged)
        assert report["output"] == str(tmp_path / "orders.clean.csv")
        assert report["quarantine"] is None
        assert report["repairs"] == str(tmp_path / "orders.repairs.csv")
        assert report["input_bytes"] == len(DAMAGED)
        assert report["elapsed_seconds"] > 0
        assert report["mb_per_s"] is None or report["mb_per_s"] > 0
        assert not (tmp_path / "orders.quarantine.csv").exists()

    def test_guesses_are_shown_with_the_option_that_pins_them(self, tmp_path: Path) -> None:
        (tmp_path / "colon.csv").write_bytes(b"a:b:c\n1:2:3\n4,5:6:7\nx:y:z\n")  # the commas split no table
        (tmp_path / "plain.csv").write_bytes(b"a,b\n1,2\n")
        guessed = "the delimiter ':' was guessed (confidence 0.75); --delimiter ':' pins it"

        stderr = assert_clean_exit(tidewrack_cli("salvage", "colon.csv", cwd=tmp_path), 0)
        assert "\n  delimiter    colon ':' (confidence 0.75)\n" in stderr and stderr.endswith(f"\nwarning: {guessed}\n")
        pinned = tidewrack_cli("salvage", "colon.csv", "-d", ":", cwd=tmp_path)
        assert (
            "\n  delimiter    colon ':'\n" in assert_clean_exit(pinned, 0) and "warning" not in pinned.stderr.decode()
        )
        assert tidewrack_cli("salvage", "colon.csv", "--quiet", cwd=tmp_path).stderr == b""

        many = tidewrack_cli("salvage", "colon.csv", "plain.csv", "--json", cwd=tmp_path)
        assert assert_clean_exit(many, 0) == f"warning: colon.csv: {guessed}\n"
        assert [json.loads(line)["warnings"] for line in many.stdout.splitlines()] == [[guessed], []]

    @pytest.mark.parametrize(
        ("name", "args", "refused"),
        [
            ("orders.csv", ["--max-quarantined", "1", "--max-repaired", "20%"], None),
            ("orders.csv", ["--fail-on-quarantine"], "1 of 5 rows read was quarantined, over the limit of 0"),
            (
                "orders.csv",
                ["--max-repaired", "19.5%", "--max-quarantined", "0"],
                "1 of 5 rows read was repaired (20%), over the limit of 19.5%; "
                "1 of 5 rows read was quarantined, over the limit of 0",
            ),
            (
                "orders.csv",
                ["--max-quarantined", "0", "-o", "orders.clean.parquet"],
                "1 of 5 rows read was quarantined, over the limit of 0",
            ),
            ("orders.csv", ["--strict"], None),
            ("colon.csv", ["--strict", "--quiet"], "1 warning, and strict allows none"),
            ("colon.csv", ["--strict", "--format", "arrow"], "1 warning, and strict allows none"),
        ],
        ids=[
            "within",
            "fail-on-quarantine",
            "share-and-count",
            "parquet",
            "strict-nothing-guessed",
            "strict",
            "strict-arrow",
        ],
    )
    def test_limits_refuse_a_file_before_any_output_is_in_place(
        self, tmp_path: Path, damaged: Path, name: str, args: list[str], refused: str | None
    ) -> None:
        if any(arg.endswith((".parquet", "arrow")) for arg in args):
            pytest.importorskip("pyarrow")
        (tmp_path / "colon.csv").write_bytes(b"a:b:c\n1:2:3\n4,5:6:7\nx:y:z\n")
        for previous in ("orders.clean.csv", "orders.clean.parquet", "colon.clean.arrow", "colon.clean.csv"):
            (tmp_path / previous).write_bytes(b"an earlier run's output\n")
        before = snapshot(tmp_path)

        result = tidewrack_cli("salvage", name, "--no-fill", *args, cwd=tmp_path)

        if refused is None:
            assert_clean_exit(result, 0)
            assert snapshot(tmp_path) != before
            return
        stderr = assert_clean_exit(result, 3)
        assert stderr.splitlines()[0] == f"tidewrack: refused '{name}', nothing written: {refused}"
        if "--strict" in args:  # the warnings that refused it, even when --quiet
            assert stderr.splitlines()[1:] == [
                "warning: the delimiter ':' was guessed (confidence 0.75); --delimiter ':' pins it"
            ]
        assert snapshot(tmp_path) == before

    def test_options_reach_the_engine(self, tmp_path: Path) -> None:
        (tmp_path / "t.tsv").write_bytes(b"a\tb\tc\n1\t2\n")
        result = tidewrack_cli("salvage", "t.tsv", "-d", "tab", "-n", "2", "--json", cwd=tmp_path)

        report = json.loads(result.stdout)
        assert (report["detected_delimiter"], report["inferred_columns"]) == ("\t", 2)
        assert report["repaired_rows"] == 1
        assert (tmp_path / "t.clean.csv").read_bytes() == b'a\t"b\tc"\n1\t2\n'

    @pytest.mark.parametrize(
        ("args", "log"),
        [
            ([], "u.repairs.csv"),
            (["-o", "out.clean.csv"], "out.repairs.csv"),
            (["--repairs", "logs/u.csv"], "logs/u.csv"),
            (["--no-repairs"], None),
            (["-o", "-"], None),
            (["-o", "-", "--repairs", "u.log"], "u.log"),
            (["--classic"], None),
        ],
    )
    def test_repair_log_beside_the_output_unless_told(self, tmp_path: Path, args: list[str], log: str | None) -> None:
        (tmp_path / "logs").mkdir()
        (tmp_path / "u.csv").write_bytes(UNCLOSED)
        result = tidewrack_cli("salvage", "u.csv", *args, cwd=tmp_path)

        assert_clean_exit(result, 0)
        logs = [
            str(p.relative_to(tmp_path))
            for p in tmp_path.rglob("*")
            if p.match("*.repairs.csv") or p.parent.name == "logs" or p.suffix == ".log"
        ]
        assert logs == ([log] if log else [])
        if log is not None:
            assert (tmp_path / log).read_bytes().endswith(b"\n2,2,unclosed_quote,quote on line 2 read as text\n")

    def test_classic_writes_what_the_classic_module_writes(self, tmp_path: Path) -> None:
        (tmp_path / "u.csv").write_bytes(UNCLOSED)
        assert_clean_exit(tidewrack_cli("salvage", "u.csv", "--classic", "-o", "classic.csv", cwd=tmp_path), 0)
        assert_clean_exit(tidewrack_cli("salvage", "u.csv", "-o", "new.csv", cwd=tmp_path), 0)
        tidewrack._backend.salvage_file(str(tmp_path / "u.csv"), str(tmp_path / "module.csv"))

        assert (tmp_path / "classic.csv").read_bytes() == (tmp_path / "module.csv").read_bytes()
        assert (tmp_path / "classic.csv").read_bytes() == b'id,name\n1,"Ann\n2,Ben\n3,Cy\n"\n'
        assert (tmp_path / "new.csv").read_bytes() == b'id,name\n1,"""Ann"\n2,Ben\n3,Cy\n'

    @pytest.mark.parametrize("output_args", [["-o", "-"], []], ids=["dash-o-dash", "implied-by-stdin"])
    def test_stdin_to_stdout(self, tmp_path: Path, output_args: list[str]) -> None:
        result = tidewrack_cli("salvage", "-", *output_args, cwd=tmp_path, stdin=DAMAGED)

        stderr = assert_clean_exit(result, 0)
        assert result.stdout == CLEAN_MERGED
        assert "<stdin> -> <stdout>" in stderr
        assert list(tmp_path.iterdir()) == [], "stdout output writes no quarantine file by default"

    @pytest.mark.parametrize("output", ["/dev/null", "/dev/stdout"])
    def test_a_device_output_gets_no_default_quarantine_or_repair_log(
        self, tmp_path: Path, damaged: Path, output: str
    ) -> None:
        # Once made regular files /dev/null.quarantine.csv and /dev/null.repairs.csv, grown on every run.
        result = tidewrack_cli("salvage", "orders.csv", "-o", output, "--json", "--no-merge", cwd=tmp_path)

        assert_clean_exit(result, 0)
        report = json.loads(result.stdout[result.stdout.index(b"{") :])
        assert (report["quarantined_rows"], report["quarantine"], report["repairs"]) == (1, None, None)
        assert not any(os.path.lexists(f"{output}.{kind}.csv") for kind in ("quarantine", "repairs"))
        assert [entry.name for entry in tmp_path.iterdir()] == ["orders.csv"]

    def test_q_is_quiet_and_never_names_a_file(self, tmp_path: Path, damaged: Path) -> None:
        # -q once named the quarantine: "-q a.csv b.csv" overwrote a.csv with an empty one.
        (tmp_path / "b.csv").write_bytes(DAMAGED)
        intermixed = tidewrack_cli("salvage", "orders.csv", "-q", "b.csv", cwd=tmp_path)
        assert "unrecognized arguments: b.csv" in assert_clean_exit(intermixed, 2)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["b.csv", "orders.csv"]

        result = tidewrack_cli("salvage", "-q", "orders.csv", "b.csv", cwd=tmp_path)

        assert assert_clean_exit(result, 0) == ""
        assert damaged.read_bytes() == DAMAGED
        assert (tmp_path / "orders.clean.csv").read_bytes() == (tmp_path / "b.clean.csv").read_bytes() == CLEAN_MERGED

    def test_stdin_to_files_with_quarantine(self, tmp_path: Path) -> None:
        result = tidewrack_cli(
            "salvage", "-", "-o", "clean.csv", "--quarantine", "rejects.csv", "--no-fill", cwd=tmp_path, stdin=DAMAGED
        )

        assert_clean_exit(result, 0)
        assert (tmp_path / "rejects.csv").read_bytes() == (
            b'line,reason,raw_content\n3,"Row has too few columns (expected 3)","2,Ben"\n'
        )


@pytest.mark.parametrize("threads", ["1", "2"])
def test_parquet_and_arrow_hold_the_clean_rows_beside_the_same_quarantine_and_log(
    tmp_path: Path, damaged: Path, threads: str
) -> None:
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    assert_clean_exit(tidewrack_cli("salvage", damaged.name, "--threads", threads, cwd=tmp_path), 0)
    for args, table_file in [(["-o", "t.parquet"], "t.parquet"), (["--format", "arrow"], "orders.clean.arrow")]:
        assert_clean_exit(tidewrack_cli("salvage", damaged.name, "--threads", threads, *args, cwd=tmp_path), 0)
        table = (
            pq.read_table(tmp_path / table_file)
            if table_file.endswith(".parquet")
            else (pa.ipc.open_file(tmp_path / table_file).read_all())
        )
        with open(tmp_path / "orders.clean.csv", newline="", encoding="utf-8") as clean:
            header, *rows = csv.reader(clean)
        assert table.column_names == header and [list(row.values()) for row in table.to_pylist()] == rows
        stem = table_file.rsplit(".", 1)[0].removesuffix(".clean")
        for kind in ("quarantine", "repairs"):
            written = (tmp_path / f"{stem}.{kind}.csv").read_bytes()
            assert written == (tmp_path / f"orders.{kind}.csv").read_bytes()


class TestErrors:
    @pytest.mark.parametrize(
        ("args", "named"),
        [
            (["salvage", "missing.csv"], "cannot read 'missing.csv': No such file or directory"),
            (
                ["salvage", "orders.csv", "-o", "no/such/dir/out.csv"],
                "cannot write 'no/such/dir/out.csv': No such file or directory",
            ),
            (
                ["salvage", "orders.csv", "--quarantine", "no/such/dir/q.csv"],
                "cannot write 'no/such/dir/q.csv': No such file or directory",
            ),
            (["preview", "."], "cannot read '.': Is a directory"),
            (["preview", "missing.csv"], "cannot read 'missing.csv': No such file or directory"),
        ],
        ids=["missing-input", "output-dir-missing", "quarantine-dir-missing", "input-is-dir", "preview-missing"],
    )
    def test_file_errors_exit_1_and_name_the_file(
        self, tmp_path: Path, damaged: Path, args: list[str], named: str
    ) -> None:
        stderr = assert_clean_exit(tidewrack_cli(*args, cwd=tmp_path), 1)
        assert stderr.strip() == f"tidewrack: {named}"

    @pytest.mark.parametrize(
        "args",
        [
            [],
            ["clean", "orders.csv"],
            ["salvage"],
            ["salvage", "orders.csv", "--frobnicate"],
            ["salvage", "orders.csv", "-o", "-", "--json"],
            ["salvage", "orders.csv", "--quarantine", "q.csv", "--no-quarantine"],
            ["salvage", "orders.csv", "--quarantine", "-"],
            ["salvage", "orders.csv", "--repairs", "-"],
            ["salvage", "orders.csv", "--repairs", "r.csv", "--no-repairs"],
            ["salvage", "orders.csv", "-n", "-1"],
            ["salvage", "orders.csv", "-d", ";;"],
            ["salvage", "orders.csv", "--quote-char", "«"],
            ["salvage", "orders.csv", "--max-repaired", "abc%"],
            ["salvage", "orders.csv", "--max-quarantined", "1", "--fail-on-quarantine"],
            ["preview", "orders.csv", "-n", "many"],
        ],
    )
    def test_usage_errors_exit_2_and_touch_nothing(self, tmp_path: Path, damaged: Path, args: list[str]) -> None:
        stderr = assert_clean_exit(tidewrack_cli(*args, cwd=tmp_path), 2)
        assert re.fullmatch(r"tidewrack( \w+)?: error: .* \(see 'tidewrack( \w+)? --help'\)\n", stderr)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv"]

    @pytest.mark.parametrize(
        ("args", "named"),
        [
            (["rows.csv", "-o", "t.parquet"], "cannot write 't.parquet': File too large"),
            (["rows.csv", "-o", "t.arrow", "-n", "4", "--no-fill"], "cannot write 't.repairs.csv': File too large"),
            (
                ["wide.csv", "-o", "t.parquet"],
                "cannot salvage 'wide.csv' into Parquet: "
                "the rows hold 1000002 fields: a table may have at most 1000000 columns",
            ),
            (
                ["cut.csv.gz", "-o", "t.parquet"],
                "cannot read 'cut.csv.gz': gzip data ends early (the file is truncated)",
            ),
        ],
        ids=["output", "repair-log", "too-many-columns", "damaged-input"],
    )
    def test_table_output_failures_name_the_file_and_keep_the_old_outputs(
        self, tmp_path: Path, args: list[str], named: str
    ) -> None:
        pytest.importorskip("pyarrow")
        (tmp_path / "rows.csv").write_bytes(
            b"".join(b"%d,%d,name %d\n" % (i, i * 7919 % 1000003, i) for i in range(60_000))
        )
        (tmp_path / "wide.csv").write_bytes(b"," * 1_000_001 + b"\n")
        (tmp_path / "cut.csv.gz").write_bytes(gzip.compress(b"a,b\n1,2\n" * 1000)[:-12])
        (tmp_path / "t.parquet").write_bytes(b"previous\n")
        before = snapshot(tmp_path)
        limit = 256 << 10  # files grow past it: "File too large"

        result = tidewrack_cli(
            "salvage",
            *args,
            cwd=tmp_path,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
        )

        assert assert_clean_exit(result, 1) == f"tidewrack: {named}\n"
        assert snapshot(tmp_path) == before

    def test_help_and_version(self, tmp_path: Path) -> None:
        help_text = tidewrack_cli("--help", cwd=tmp_path)
        assert_clean_exit(help_text, 0)
        for command in ("salvage", "sniff", "preview"):
            assert command in help_text.stdout.decode()
        version = tidewrack_cli("--version", cwd=tmp_path)
        lines = version.stdout.decode().splitlines()
        assert lines[:2] == [
            f"tidewrack {tidewrack.__version__}",
            f"extension _tidewrack_backend {tidewrack.__version__}",
        ]
        assert lines[2].startswith(f"Python {platform.python_version()} (")
        assert lines[3] in ("SIMD avx2", "SIMD sse2", "SIMD scalar")

    def test_closed_pipe_ends_quietly(self, tmp_path: Path) -> None:
        rows = b"".join(b"%d,name %d,%d\n" % (i, i, i * 7) for i in range(20000))
        (tmp_path / "long.csv").write_bytes(b"id,name,value\n" + rows)
        with subprocess.Popen(
            [sys.executable, "-m", "tidewrack", "preview", "long.csv", "-n", "20000"],
            cwd=tmp_path,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        ) as proc:
            assert proc.stdout is not None and proc.stderr is not None
            assert proc.stdout.readline().startswith(b"id ")
            proc.stdout.close()  # like `| head -1`
            stderr = proc.stderr.read().decode()
            proc.wait(timeout=120)
        assert proc.returncode == 128 + signal.SIGPIPE
        assert stderr == ""

    def test_interrupt_exits_130_without_traceback(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
    ) -> None:
        def interrupted(*_: object, **__: object) -> None:
            raise KeyboardInterrupt

        monkeypatch.setattr("tidewrack.cli.salvage.salvage_with", interrupted)
        (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
        assert main(["salvage", str(tmp_path / "in.csv"), "-o", str(tmp_path / "out.csv")]) == 130
        assert capsys.readouterr().err == "tidewrack: interrupted\n"


class TestSniff:
    def test_one_line_per_file_and_errors_do_not_stop_the_rest(self, tmp_path: Path) -> None:
        (tmp_path / "semi.csv").write_bytes(b"\xef\xbb\xbfa;b;c\r\n1;2,5;3\r\n4;5;6\r\n")
        (tmp_path / "tabs.tsv").write_bytes(b"a\tb\n1\t2\n3\t4\n")
        result = tidewrack_cli("sniff", "semi.csv", "missing.csv", "tabs.tsv", cwd=tmp_path)

        stderr = assert_clean_exit(result, 1)
        assert [line.split("; ")[0] for line in result.stdout.decode().splitlines()] == [
            "semi.csv: delimiter semicolon ';', 3 columns",
            "tabs.tsv: delimiter tab, 2 columns",
        ]
        assert "cannot read 'missing.csv'" in stderr

    def test_reads_stdin(self, tmp_path: Path) -> None:
        result = tidewrack_cli("sniff", "-", cwd=tmp_path, stdin=b"a|b|c\n1|2|3\n")
        assert result.stdout.decode().startswith("<stdin>: delimiter vertical bar '|', 3 columns; quote '\"'")

    def test_big_file_agrees_with_a_full_salvage(self, tmp_path: Path) -> None:
        # The first MiB holds only 2-field rows, but the first 100 rows (what the
        # column count is taken from) are mostly 4-field ones: stopping at the
        # first MiB would answer 2.
        wide = "x" * 30_000
        lines = [f"{i},{wide}" for i in range(40)] + [f"{i},a,b,c" for i in range(150)]
        big = tmp_path / "big.csv"
        big.write_text("\n".join(lines) + "\n")
        assert big.stat().st_size > 1 << 20
        full = tidewrack.SalvageReader(str(big)).summary

        result = tidewrack_cli("sniff", big, cwd=tmp_path)

        assert full.inferred_columns == 4
        assert result.stdout.decode().startswith(f"{big}: delimiter comma ',', 4 columns; ")

    @pytest.mark.parametrize(
        "content",
        [
            b"\n \n\r\n   \n" * 50_000 + b"a;b;c\n" + b"1;2;3\n" * 200,
            # Records of several lines: the first 100 records hold 70 three-field rows.
            b'1,"a\n\n\nb"\n' * 30 + b"1,2,3\n" * 200,
            b"\r\r" * 1000 + b"a|b\r" + b"1|2\r" * 300,
            b"a\tb\tc\n" + b"\t\n" * 200 + b"1\t2\t3\n" * 50,
            b"\n" * ((1 << 20) - 3) + b"  a,b\n" + b"1,2\n" * 200,
            b"   \n" * 10,
        ],
        ids=[
            "blank-and-space-lines",
            "multi-line-records",
            "cr-only",
            "tab-only-lines",
            "chunk-boundary",
            "blank-only",
        ],
    )
    def test_head_without_blank_lines_agrees_with_a_full_salvage(self, tmp_path: Path, content: bytes) -> None:
        (tmp_path / "f.csv").write_bytes(content)
        full = tidewrack.open(tmp_path / "f.csv").summary
        result = tidewrack_cli("sniff", "f.csv", cwd=tmp_path)
        assert result.stdout.decode().startswith(
            f"f.csv: delimiter {describe_delimiter(full.detected_delimiter)}, {full.inferred_columns} columns; "
        )

    @pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer holds on to freed memory")
    def test_long_run_of_blank_lines_is_read_in_bounded_memory(self, tmp_path: Path) -> None:
        # 30 MB of blank lines before two rows once took 28 s and 2 GB.
        (tmp_path / "blank.csv").write_bytes(b"\n" * 64_000_000 + b"a;b\n1;2\n")
        peak_rss_of = (
            "import resource, subprocess, sys; run = subprocess.run(sys.argv[1:], capture_output=True, timeout=120);"
            "print(run.stdout.decode(), end=''); print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
        )
        result = subprocess.run(
            [sys.executable, "-c", peak_rss_of, *TIDEWRACK, "sniff", "blank.csv"],
            cwd=tmp_path,
            capture_output=True,
            timeout=180,
            check=True,
        )
        answer, peak_kib = result.stdout.decode().splitlines()
        assert answer.startswith("blank.csv: delimiter semicolon ';', 2 columns; ")
        assert int(peak_kib) < 200_000


class TestPreview:
    def test_header_rule_rows_and_counts(self, tmp_path: Path) -> None:
        (tmp_path / "p.csv").write_text("id,comment\n1,short\n2,a comment far too long to be shown whole\n3,x\n4,y\n")
        result = tidewrack_cli("preview", "p.csv", "-n", "2", "-w", "12", cwd=tmp_path)

        assert_clean_exit(result, 0)
        lines = result.stdout.decode().splitlines()
        assert lines[:4] == [
            "id | comment",
            "---+-------------",
            "1  | short",
            "2  | a comment f…",
        ]
        assert lines[4] == (
            "-- 2 of 4 rows shown below the header; 0 repaired, 0 quarantined; delimiter comma ',', 2 columns"
        )
        assert len(lines) == 5

    def test_counts_cover_the_whole_file(self, tmp_path: Path, damaged: Path) -> None:
        result = tidewrack_cli("preview", damaged, "-n", "1", "--no-fill", "--no-merge", cwd=tmp_path)

        assert_clean_exit(result, 0)
        assert (
            result.stdout.decode()
            .splitlines()[-1]
            .startswith("-- 1 of 2 rows shown below the header; 0 repaired, 2 quarantined;")
        )


class TestAtomicWrites:
    def test_a_signal_during_a_commit_arrives_after_it(self) -> None:
        # pyarrow's threads took the signal that the committing thread held back.
        pytest.importorskip("pyarrow")
        code = (
            "import os, signal, pyarrow\n"
            "from tidewrack._atomic import _signals_deferred\n"
            "reached = False\n"
            "try:\n"
            "    with _signals_deferred():\n"
            "        for _ in range(20): os.kill(os.getpid(), signal.SIGINT)\n"
            "        reached = True\n"
            "except KeyboardInterrupt:\n"
            "    print('after' if reached else 'inside')\n"
        )
        assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "after\n"

    @pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGINT, signal.SIGTERM])
    def test_interrupted_salvage_leaves_the_previous_outputs(self, tmp_path: Path, big_csv: Path, signum: int) -> None:
        # Outputs used to be truncated first: a kill left a short file that looked complete.
        (tmp_path / "big.clean.csv").write_bytes(b"previous clean\n")
        (tmp_path / "big.quarantine.csv").write_bytes(b"previous quarantine\n")
        before = snapshot(tmp_path)
        with subprocess.Popen(
            [*TIDEWRACK, "salvage", str(big_csv), "-o", "big.clean.csv"], cwd=tmp_path, stderr=subprocess.PIPE
        ) as proc:
            while not any(p.name.startswith(".") for p in tmp_path.iterdir()):  # the run is writing
                assert proc.poll() is None
                time.sleep(0.005)
            proc.send_signal(signum)
            _, stderr = proc.communicate(timeout=120)

        left = snapshot(tmp_path)
        if signum == signal.SIGKILL:
            assert proc.returncode == -signal.SIGKILL
            left = {name: state for name, state in left.items() if not name.startswith(".tidewrack-")}
        else:
            assert proc.returncode == 128 + signum
            assert stderr.startswith(b"tidewrack: ") and stderr.count(b"\n") == 1, stderr
        assert left == before

    @pytest.mark.parametrize("table_format", ["csv", "parquet"])
    def test_interrupted_jobs_leave_the_previous_outputs(self, tmp_path: Path, table_format: str) -> None:
        # Parquet jobs used to run on after Ctrl-C and replace their outputs. The inputs are pipes
        # held open, so that the jobs are still reading when Ctrl-C comes, however fast they are.
        if table_format == "parquet":
            pytest.importorskip("pyarrow")
        out = tmp_path / "out"
        out.mkdir()
        names = ("a", "b", "c")
        for name in names:
            os.mkfifo(tmp_path / f"{name}.csv")
            (out / f"{name}.clean.{table_format}").write_bytes(b"previous\n")
        before = snapshot(out)
        with subprocess.Popen(
            [*TIDEWRACK, "salvage", *(f"{name}.csv" for name in names), "-o", "out", "-j", "2"]
            + ["--format", table_format],
            cwd=tmp_path,
            stderr=subprocess.PIPE,
        ) as proc:
            writers = []
            for name in names[:2]:  # the two jobs running open their pipes
                while True:
                    try:
                        writers.append(os.open(tmp_path / f"{name}.csv", os.O_WRONLY | os.O_NONBLOCK))
                        break
                    except OSError:  # no reader yet
                        assert proc.poll() is None
                        time.sleep(0.005)
            for writer in writers:
                os.write(writer, b"id,name\n" + b"1,x\n" * 1000)
            proc.send_signal(signal.SIGINT)
            time.sleep(0.2)  # the jobs are told while still reading
            for writer in writers:
                os.close(writer)
            _, stderr = proc.communicate(timeout=120)

        assert proc.returncode == 130 and stderr == b"tidewrack: interrupted\n"
        assert snapshot(out) == before

    def test_replaced_not_written_through_and_modes_kept(self, tmp_path: Path, damaged: Path) -> None:
        (tmp_path / "victim.txt").write_bytes(b"precious\n")
        (tmp_path / "orders.quarantine.csv").symlink_to("victim.txt")  # planted at the predictable name
        damaged.chmod(0o640)

        result = tidewrack_cli("salvage", "orders.csv", "--in-place", cwd=tmp_path, preexec_fn=lambda: os.umask(0o027))

        assert_clean_exit(result, 0)
        assert (tmp_path / "victim.txt").read_bytes() == b"precious\n"
        assert damaged.read_bytes() == CLEAN_MERGED
        quarantine = tmp_path / "orders.quarantine.csv"
        assert not quarantine.is_symlink() and quarantine.read_bytes() == b"line,reason,raw_content\n"
        assert {damaged.stat().st_mode & 0o777, quarantine.stat().st_mode & 0o777} == {0o640}
        assert sorted(p.name for p in tmp_path.iterdir()) == [
            "orders.csv",
            "orders.quarantine.csv",
            "orders.repairs.csv",
            "victim.txt",
        ]

    @pytest.mark.parametrize("caller", ["cli", "api"])
    def test_links_at_the_output_names_are_replaced_whatever_they_lead_to(
        self, tmp_path: Path, damaged: Path, caller: str
    ) -> None:
        # A link to a FIFO at the quarantine's name once handed the rows set aside to whoever read the FIFO.
        os.mkfifo(tmp_path / "fifo")
        (tmp_path / "folder").mkdir()
        (tmp_path / "victim.txt").write_bytes(b"precious\n")
        (tmp_path / "orders.clean.csv").symlink_to("victim.txt")
        (tmp_path / "orders.quarantine.csv").symlink_to("fifo")
        (tmp_path / "orders.repairs.csv").symlink_to("folder")
        reader = os.open(tmp_path / "fifo", os.O_RDONLY | os.O_NONBLOCK)  # a writer would not block on it
        try:
            if caller == "cli":
                assert_clean_exit(tidewrack_cli("salvage", "orders.csv", "--no-fill", cwd=tmp_path), 0)
            else:
                tidewrack.salvage(damaged, fill_ragged_rows=False)
            written = os.read(reader, 1 << 16)
        finally:
            os.close(reader)

        assert written == b""
        assert (tmp_path / "victim.txt").read_bytes() == b"precious\n" and list((tmp_path / "folder").iterdir()) == []
        kinds = {name: os.lstat(tmp_path / f"orders.{name}.csv").st_mode for name in ("clean", "quarantine", "repairs")}
        assert all(map(stat.S_ISREG, kinds.values())), kinds
        assert (tmp_path / "orders.quarantine.csv").read_bytes().endswith(b'"2,Ben"\n')

    @pytest.mark.parametrize("caller", ["cli", "api"])
    def test_in_place_through_a_link_salvages_its_target_and_keeps_the_link(
        self, tmp_path: Path, damaged: Path, caller: str
    ) -> None:
        # The link used to be replaced by the clean copy, its target left damaged.
        (tmp_path / "link.csv").symlink_to("orders.csv")
        if caller == "cli":
            assert_clean_exit(tidewrack_cli("salvage", "link.csv", "--in-place", "--no-repairs", cwd=tmp_path), 0)
        else:
            tidewrack.salvage(tmp_path / "link.csv", tmp_path / "link.csv", repairs=None)

        assert os.readlink(tmp_path / "link.csv") == "orders.csv" and damaged.read_bytes() == CLEAN_MERGED
        assert sorted(p.name for p in tmp_path.iterdir()) == ["link.csv", "link.quarantine.csv", "orders.csv"]

    def test_a_run_into_files_another_run_writes_waits_for_it_and_says_so(self, tmp_path: Path, damaged: Path) -> None:
        os.mkfifo(tmp_path / "slow.csv")
        command = [*TIDEWRACK, "salvage", "-o", "out.csv", "--no-repairs", "--no-quarantine"]
        with subprocess.Popen([*command, "slow.csv"], cwd=tmp_path, stderr=subprocess.PIPE) as first:
            deadline = time.monotonic() + 60
            while True:  # the first run holds its locks once it reads its input
                try:
                    feed = os.open(tmp_path / "slow.csv", os.O_WRONLY | os.O_NONBLOCK)
                    break
                except OSError:
                    assert first.poll() is None and time.monotonic() < deadline
                    time.sleep(0.01)
            with subprocess.Popen([*command, "orders.csv"], cwd=tmp_path, stderr=subprocess.PIPE) as second:
                assert second.stderr is not None
                told = second.stderr.readline()
                os.write(feed, b"a,b\n1,2\n")
                os.close(feed)
                assert first.wait(timeout=60) == 0
                assert second.wait(timeout=60) == 0
                rest = second.stderr.read()

        assert told == b"tidewrack: waiting for another run writing 'out.csv' to finish\n"
        assert b"waiting" not in rest
        assert (tmp_path / "out.csv").read_bytes() == CLEAN_MERGED  # the second run's, committed after the first
        assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv", "out.csv", "slow.csv"]


class TestRefusals:
    @pytest.mark.parametrize(
        ("args", "named"),
        [
            (["orders.csv", "-o", "orders.csv"], "the output 'orders.csv' is the input 'orders.csv'"),
            (["orders.csv", "-o", "link.csv"], "the output 'link.csv' is the input 'orders.csv'"),
            (["orders.csv", "-o", "hard.csv"], "the output 'hard.csv' is the input 'orders.csv'"),
            (["orders.csv", "--quarantine", "./orders.csv"], "the quarantine './orders.csv' is the input 'orders.csv'"),
            (
                ["orders.csv", "--in-place", "--quarantine", "link.csv"],
                "the quarantine 'link.csv' is the input 'orders.csv'",
            ),
            (
                ["orders.csv", "-o", "x.csv", "--quarantine", "out/../x.csv"],
                "the output 'x.csv' and the quarantine 'out/",
            ),
            (["orders.csv", "--repairs", "link.csv"], "the repair log 'link.csv' is the input 'orders.csv'"),
            (["orders.csv", "--in-place", "--repairs", "hard.csv"], "the repair log 'hard.csv' is the input"),
            (["orders.csv", "-o", "x.csv", "--repairs", "x.csv"], "the output 'x.csv' and the repair log 'x.csv'"),
            (
                ["orders.csv", "--quarantine", "q.csv", "--repairs", "out/../q.csv"],
                "the quarantine 'q.csv' and the repair log",
            ),
            (["orders.csv", "--classic", "--repairs", "r.csv"], "--classic writes no repair log"),
            (["orders.csv", "--encoding", "no-such-codec"], "unknown encoding: 'no-such-codec'"),
            (["orders.csv", "--in-place", "-o", "x.csv"], "--in-place writes the clean copy over INPUT"),
            (["-", "--in-place"], "--in-place needs INPUT to be a file"),
            (["fifo", "--in-place"], "--in-place needs a regular file"),
            # Once left plain CSV under the .gz name.
            (
                ["orders.csv.gz", "--in-place"],
                "--in-place would write plain CSV under the gzip file's name "
                "'orders.csv.gz'; drop --in-place to write 'orders.clean.csv', or name the output with -o",
            ),
            (["orders.csv", "-d", '"'], "the delimiter and the quote character are both '\"'"),
            (["orders.csv", "-d", "tab", "--quote-char", "\t"], "the delimiter and the quote character are both"),
            (["orders.csv", "--quote-char", "\n"], "the quote character must be one ASCII character other than CR"),
            # Each of these once ended in a traceback, or (-o '') silently meant the default output.
            (["orders.csv", "--escape-char", '"'], "the quote character and the escape character are both '\"'"),
            (
                ["orders.csv", "--escape-char", ","],
                "cannot salvage 'orders.csv': the delimiter and the escape "
                "character are both ','; they must differ (as detected: give the delimiter",
            ),
            (["orders.csv", "--quote-char", ","], "the delimiter and the quote character are both ','"),
            (["orders.csv", "-d", ";", "--escape-char", ";"], "the delimiter and the escape character are both ';'"),
            (["orders.csv", "--escape-char", "ab"], "the escape character must be one ASCII character"),
            (["orders.csv", "--encoding", "idna"], "encoding 'idna' cannot read damaged input"),
            (["orders.csv", "--encoding", "punycode"], "encoding 'punycode' cannot read damaged input"),
            (["orders.csv", "--encoding", "undefined"], "encoding 'undefined' cannot read damaged input"),
            (["orders.csv", "--encoding", "base64"], "encoding 'base64' does not decode bytes to text"),
            # Once 18.5 GB of memory and 10 GB written for a 674-byte file.
            (["orders.csv", "-n", "1000000000"], "the column count must be from 0 to 1000000, got 1000000000"),
            (["orders.csv", "-o", ""], "-o/--output is an empty path"),
            (["orders.csv", "--quarantine", ""], "--quarantine is an empty path"),
            (["orders.csv", "--repairs", ""], "--repairs is an empty path"),
            (["", "orders.csv"], "INPUT is an empty path"),
            (["orders.csv", "--format", "parquet", "-o", "-"], "Parquet output needs a file"),
            (["orders.csv", "--in-place", "--format", "arrow"], "--in-place keeps the input a CSV file"),
            (["orders.csv", "-o", "x.parquet", "--classic"], "--classic writes CSV only"),
            (["orders.csv", "-o", "x.arrow", "-n", "0"], "--columns 0 leaves rows of different widths"),
            (
                ["orders.csv", "-o", "x.parquet", "--format", "csv"],
                "--format csv writes CSV, but the output 'x.parquet' is named for Parquet",
            ),
            (
                ["orders.csv", "-o", "x.feather", "--format", "parquet"],
                "--format parquet writes Parquet, but the output 'x.feather' is named for Arrow IPC",
            ),
            # Out of range once emptied an existing output; 2**63-1 is the last count accepted.
            (["orders.csv", "-n", str(2**63)], f"expected a number from 0 to {2**63 - 1}, got {2**63}"),
            (["orders.csv", "-n", str(10**23)], f"expected a number from 0 to {2**63 - 1}, got {10**23}"),
        ],
    )
    def test_refused_before_anything_is_written(
        self, tmp_path: Path, damaged: Path, args: list[str], named: str
    ) -> None:
        (tmp_path / "out").mkdir()
        (tmp_path / "link.csv").symlink_to("orders.csv")
        os.link(damaged, tmp_path / "hard.csv")
        os.mkfifo(tmp_path / "fifo")
        (tmp_path / "orders.csv.gz").write_bytes(gzip.compress(DAMAGED))
        (tmp_path / "orders.clean.csv").write_bytes(b"previous\n")
        before = snapshot(tmp_path)

        stderr = assert_clean_exit(tidewrack_cli("salvage", *args, cwd=tmp_path), 2)

        assert named in stderr and stderr.count("\n") == 1
        assert snapshot(tmp_path) == before


class TestHostileEnvironment:
    def test_file_name_that_is_not_utf8(self, tmp_path: Path) -> None:
        (tmp_path / os.fsdecode(b"caf\xe9.csv")).write_bytes(DAMAGED)  # Latin-1

        salvaged = tidewrack_cli("salvage", b"caf\xe9.csv", cwd=tmp_path)
        sniffed = tidewrack_cli("sniff", b"caf\xe9.csv", cwd=tmp_path)

        assert "caf\\xe9.csv -> caf\\xe9.clean.csv" in assert_clean_exit(salvaged, 0)
        assert (tmp_path / os.fsdecode(b"caf\xe9.clean.csv")).read_bytes() == CLEAN_MERGED
        assert (tmp_path / os.fsdecode(b"caf\xe9.quarantine.csv")).exists()
        assert sniffed.stdout.startswith(b"caf\\xe9.csv: delimiter comma ',', 3 columns; ")

    @pytest.mark.parametrize(
        "args",
        [
            ["salvage", "orders.csv", "-o", "-"],
            ["salvage", "orders.csv", "--json"],
            ["sniff", "orders.csv"],
            ["preview", "orders.csv"],
        ],
        ids=["clean-rows", "json", "sniff", "preview"],
    )
    @pytest.mark.parametrize("stdout", ["> /dev/full", ">&-"])
    def test_full_or_closed_stdout(self, tmp_path: Path, damaged: Path, args: list[str], stdout: str) -> None:
        result = subprocess.run(
            ["sh", "-c", f'"$@" {stdout}', "sh", *TIDEWRACK, *args], cwd=tmp_path, capture_output=True, check=False
        )
        why = "No space left on device" if "full" in stdout else "Bad file descriptor"
        assert assert_clean_exit(result, 1) == f"tidewrack: cannot write standard output: {why}\n"

    @pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves more address space than any limit allows")
    def test_a_file_larger_than_the_memory_allowed_is_salvaged(self, tmp_path: Path, big_csv: Path) -> None:
        # The input used to be read whole: 200 MB could not fit in 150.
        limit = 150 << 20
        result = tidewrack_cli(
            "salvage",
            big_csv,
            "-o",
            "clean.csv",
            "--json",
            cwd=tmp_path,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)),
        )
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "clean.csv").stat().st_size == big_csv.stat().st_size

    @pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves more address space than any limit allows")
    def test_out_of_memory_names_the_input_and_keeps_the_output(self, tmp_path: Path) -> None:
        one_line = tmp_path / "one_line.csv"
        one_line.write_bytes(b"a," * (100 << 20))
        (tmp_path / "clean.csv").write_bytes(b"previous\n")
        limit = 150 << 20  # a record of 200 MB cannot fit
        result = tidewrack_cli(
            "salvage",
            one_line,
            "-o",
            "clean.csv",
            cwd=tmp_path,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)),
        )
        assert assert_clean_exit(result, 1) == f"tidewrack: cannot salvage '{one_line}': out of memory\n"
        assert (tmp_path / "clean.csv").read_bytes() == b"previous\n" and len(list(tmp_path.iterdir())) == 2


# Runs a command in a mount namespace of its own, with a 1 MB tmpfs on disk/
# seeded from seed/; lists disk/ before and after (names, then digests).
FULL_DISK = """
mount -t tmpfs -o size=1m tmpfs disk || exit 77
cp -a seed/. disk/
if [ -p fifo ]; then cat input.csv > fifo 2>/dev/null & fi
cd disk
list() { find . -mindepth 1 | sort; find . -type f -exec sha256sum {} + | sort; }
list > ../before
"$@" < ../input.csv 2> ../stderr
echo $? > ../status
list > ../after
"""


class TestFullDisk:
    """A full disk fails the run with one line naming the file, and changes no file."""

    def stderr_on_full_disk(
        self, tmp_path: Path, args: list[str], seed: dict[str, int], tmpdir: bool = False, status: int = 1
    ) -> str:
        for folder in ("disk", "seed"):
            (tmp_path / folder).mkdir()
        for name, rows in seed.items():
            (tmp_path / "seed" / name).write_bytes(b"1,Ana,2024-01-01,note,1.5\n" * rows)
        (tmp_path / "input.csv").write_bytes(b"1,Ana,2024-01-01,note,1.5\n" * 80_000)  # 2 MB
        if "../fifo" in args:
            os.mkfifo(tmp_path / "fifo")
        env = {**os.environ, "TMPDIR": str(tmp_path / "disk")} if tmpdir else None
        try:
            driver = subprocess.run(
                ["unshare", "--mount", "sh", "-c", FULL_DISK, "sh", *TIDEWRACK, "salvage", *args],
                cwd=tmp_path,
                env=env,
                capture_output=True,
                timeout=120,
                check=False,
            )
        except FileNotFoundError:
            pytest.skip("no unshare command")
        if driver.returncode != 0:
            pytest.skip(f"cannot mount a small tmpfs here: {driver.stderr.decode().strip()}")
        assert (tmp_path / "after").read_text() == (tmp_path / "before").read_text()
        assert (tmp_path / "status").read_text() == f"{status}\n"
        return (tmp_path / "stderr").read_text()

    @pytest.mark.parametrize(
        ("args", "seed", "named"),
        [
            (["../input.csv", "-o", "clean.csv"], {"clean.csv": 4_000}, "clean.csv"),
            # Once cut a 20,001-line input to 7,281 lines.
            (["in.csv", "--in-place"], {"in.csv": 24_000}, "in.csv"),
        ],
        ids=["output", "in-place"],
    )
    def test_full_disk_under_the_outputs(
        self, tmp_path: Path, args: list[str], seed: dict[str, int], named: str
    ) -> None:
        stderr = self.stderr_on_full_disk(tmp_path, args, seed)
        assert stderr == f"tidewrack: cannot write '{named}': No space left on device\n"

    @pytest.mark.parametrize("source", ["-", "../fifo"])
    def test_streamed_input_needs_no_temporary_room(self, tmp_path: Path, source: str) -> None:
        """Standard input and a FIFO stream into the engine: a 1 MB temporary folder takes a 2 MB input."""
        (tmp_path / "clean.csv").write_bytes(b"previous\n")
        self.stderr_on_full_disk(tmp_path, [source, "-o", "../clean.csv", "-q"], {}, tmpdir=True, status=0)
        assert (tmp_path / "clean.csv").read_bytes() == (tmp_path / "input.csv").read_bytes()

    def test_full_temporary_directory_is_named_not_the_input(self, tmp_path: Path) -> None:
        pytest.importorskip("pyarrow")
        (tmp_path / "clean.csv").write_bytes(b"previous\n")
        args = ["-", "-o", "../clean.parquet", "--format", "parquet"]  # a table reads a stream from a scratch copy
        stderr = self.stderr_on_full_disk(tmp_path, args, {}, tmpdir=True)
        assert stderr.startswith(f"tidewrack: cannot write temporary file '{tmp_path / 'disk'}/")
        assert stderr.endswith("/input.csv': No space left on device\n")


class TestManyFiles:
    @pytest.fixture
    def inputs(self, tmp_path: Path) -> Path:
        """orders.csv and a folder of two more: a plain one and a gzip one, beside an earlier run's output."""
        (tmp_path / "orders.csv").write_bytes(DAMAGED)
        exports = tmp_path / "exports"
        exports.mkdir()
        (exports / "b.csv").write_bytes(b"x;y\n1;2\n")
        (exports / "c.csv.gz").write_bytes(gzip.compress(b"p,q\n3,4\n"))
        (exports / "b.clean.csv").write_bytes(b"an earlier run's output: not an input\n")
        (exports / "notes.txt").write_bytes(b"not a CSV file\n")
        return tmp_path

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_files_and_folders_into_an_output_folder_as_json_lines(self, inputs: Path, jobs: str) -> None:
        result = tidewrack_cli("salvage", "orders.csv", "exports", "-o", "out/new", "--json", "-j", jobs, cwd=inputs)

        assert_clean_exit(result, 0)
        reports = [json.loads(line) for line in result.stdout.decode().splitlines()]
        assert [r["input"] for r in reports] == ["orders.csv", "exports/b.csv", "exports/c.csv.gz"]
        assert [list(r) for r in reports] == [SUMMARY_KEYS] * 3
        assert [r["output"] for r in reports] == [
            "out/new/orders.clean.csv",
            "out/new/b.clean.csv",
            "out/new/c.clean.csv",
        ]
        assert (inputs / "out/new/orders.clean.csv").read_bytes() == CLEAN_MERGED
        assert (inputs / "out/new/c.clean.csv").read_bytes() == b"p,q\n3,4\n"
        assert len(list((inputs / "out/new").iterdir())) == 9  # clean, quarantine, repair log each

    @pytest.mark.parametrize(
        "extra",
        [[], ["--no-fill", "--fail-on-quarantine"], ["--no-fill", "--fail-on-quarantine", "-j", "2"]],
        ids=["failure", "failure-outweighs-quarantine", "in-parallel"],
    )
    def test_exit_status_is_the_worst_and_a_failure_stops_nothing(
        self, tmp_path: Path, damaged: Path, extra: list[str]
    ) -> None:
        (tmp_path / "cut.csv.gz").write_bytes(gzip.compress(DAMAGED)[:-12])  # truncated: unreadable
        (tmp_path / "fine.csv").write_bytes(b"a,b\n1,2\n")

        result = tidewrack_cli("salvage", "orders.csv", "cut.csv.gz", "fine.csv", *extra, cwd=tmp_path)

        stderr = assert_clean_exit(result, 1)
        first = (
            "tidewrack: refused 'orders.csv', nothing written: 1 of 5 rows read was quarantined, over the limit of 0"
            if extra
            else "tidewrack: orders.csv -> orders.clean.csv"
        )
        assert [line for line in stderr.splitlines() if line.startswith("tidewrack: ")] == [
            first,
            "tidewrack: cannot read 'cut.csv.gz': gzip data ends early (the file is truncated)",
            "tidewrack: fine.csv -> fine.clean.csv",
        ]
        assert not list(tmp_path.glob("cut.*.csv")) and not list(tmp_path.glob(".tidewrack-*"))
        assert (tmp_path / "fine.clean.csv").read_bytes() == b"a,b\n1,2\n"

    def test_a_refused_file_exits_3_when_nothing_failed(self, tmp_path: Path, damaged: Path) -> None:
        (tmp_path / "fine.csv").write_bytes(b"a,b\n1,2\n")
        result = tidewrack_cli(
            "salvage", "fine.csv", "orders.csv", "--no-fill", "--fail-on-quarantine", "--json", cwd=tmp_path
        )
        assert_clean_exit(result, 3)
        fine, refused = (json.loads(line) for line in result.stdout.splitlines())
        assert fine["warnings"] == [] and refused["error"].startswith("refused 'orders.csv', nothing written: 1 of 5")
        assert sorted(path.name for path in tmp_path.iterdir()) == [
            "fine.clean.csv",
            "fine.csv",
            "fine.quarantine.csv",
            "fine.repairs.csv",
            "orders.csv",
        ]

    @pytest.mark.parametrize(
        ("args", "named"),
        [
            (["orders.csv", "b.csv", "--quarantine", "q.csv"], "--quarantine would name one file for all of them"),
            (["orders.csv", "b.csv", "--repairs", "r.csv"], "--repairs would name one file for all of them"),
            (["orders.csv", "-"], "standard input ('-') can only be salvaged alone"),
            (["orders.csv", "b.csv", "-o", "-"], "standard output cannot take several clean copies"),
            (["orders.csv", "b.csv", "-o", "b.csv"], "-o names a folder; 'b.csv' is not one"),
            (
                ["orders.csv", "sub/orders.csv", "-o", "out"],
                "'orders.csv' and 'sub/orders.csv' would both write 'out/orders.clean.csv'",
            ),
            (["orders.csv", "./orders.csv"], "would both write"),
            (["b.csv", "b.clean.csv"], "the output 'b.clean.csv' of 'b.csv' is the input 'b.clean.csv'"),
            (["orders.csv", "empty"], "the folder 'empty' holds no CSV files"),
        ],
        ids=[
            "quarantine",
            "repairs",
            "stdin",
            "stdout",
            "output-is-a-file",
            "same-default-outputs",
            "same-input-twice",
            "output-is-another-input",
            "empty-folder",
        ],
    )
    def test_refused_before_anything_is_written(
        self, tmp_path: Path, damaged: Path, args: list[str], named: str
    ) -> None:
        (tmp_path / "b.csv").write_bytes(b"a,b\n1,2\n")
        (tmp_path / "b.clean.csv").write_bytes(b"a,b\n1,2\n")
        (tmp_path / "sub").mkdir()
        (tmp_path / "sub/orders.csv").write_bytes(DAMAGED)
        (tmp_path / "sub/b.csv").write_bytes(DAMAGED)
        (tmp_path / "empty").mkdir()
        before = snapshot(tmp_path)

        stderr = assert_clean_exit(tidewrack_cli("salvage", *args, cwd=tmp_path), 2)

        assert named in stderr
        assert snapshot(tmp_path) == before


def on_a_terminal(*args: str, cwd: Path, **env: str) -> tuple[int, bytes]:
    """Runs the command with stderr on a pseudo-terminal; returns its status and what the terminal got."""
    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen(
            [*TIDEWRACK, *args],
            cwd=cwd,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=terminal,
            env={**os.environ, **env},
        )
    finally:
        os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 1 << 16)
        except OSError:  # EIO: the process closed the terminal
            break
        if not chunk:
            break
        shown += chunk
    os.close(controller)
    return process.wait(timeout=120), shown


class TestProgressBar:
    @pytest.fixture
    def big(self, tmp_path: Path) -> Path:
        path = tmp_path / "big.csv"
        path.write_bytes(b"a,b,c\n" + b"1,two,three\n" * 500_000)  # 6 MB: several reports
        return path

    @pytest.mark.parametrize("output", ["big.clean.csv", "big.parquet"])
    def test_drawn_on_a_terminal_and_erased_before_the_summary(self, tmp_path: Path, big: Path, output: str) -> None:
        if output.endswith(".parquet"):
            pytest.importorskip("pyarrow")
        status, shown = on_a_terminal(
            "salvage", "big.csv", "-o", output, cwd=tmp_path, TIDEWRACK_PROGRESS_MIN_BYTES="1000"
        )
        assert status == 0
        bar, summary = shown.rsplit(b"\r\x1b[K", 1)
        assert re.search(rb"\r\[#{24}\] 6\.0 MB / 6\.0 MB  [\d.]+ MB/s  (\d+:\d\d|--:--) left\x1b\[K$", bar)
        assert summary.startswith(f"tidewrack: big.csv -> {output}\r\n".encode())

    @pytest.mark.parametrize(
        ("args", "env", "shown_first"),
        [(["--quiet"], {"TIDEWRACK_PROGRESS_MIN_BYTES": "1000"}, b""), ([], {}, b"tidewrack: big.csv -> ")],
        ids=["quiet-shows-nothing", "small-input-shows-the-summary"],
    )
    def test_not_drawn_when_quiet_or_small(
        self, tmp_path: Path, big: Path, args: list[str], env: dict[str, str], shown_first: bytes
    ) -> None:
        status, shown = on_a_terminal("salvage", "big.csv", *args, cwd=tmp_path, **env)
        assert status == 0
        assert shown.startswith(shown_first) and bool(shown) == bool(shown_first)
        assert b"\x1b[K" not in shown

    def test_not_drawn_when_stderr_is_not_a_terminal(self, tmp_path: Path, big: Path) -> None:
        environment = {**os.environ, "TIDEWRACK_PROGRESS_MIN_BYTES": "1000"}
        result = tidewrack_cli("salvage", "big.csv", cwd=tmp_path, env=environment)
        stderr = assert_clean_exit(result, 0)
        assert stderr.startswith("tidewrack: big.csv -> big.clean.csv\n") and "\r" not in stderr
