"""The tidewrack command line, driven as users drive it: as a subprocess."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import tidewrack
from tidewrack.__main__ import main

# Row 3 is short (padded, or quarantined by --no-fill); row 4 has a stray
# comma (merged, or quarantined by --no-merge); row 5 has a stray quote.
DAMAGED = (
    b"id,name,city\n"
    b"1,Ana,Lisbon\n"
    b"2,Ben\n"
    b"3,Cleo,Paris,France\n"
    b'4,"Dee "DJ" Jones",Oslo\n'
)
CLEAN_MERGED = (
    b"id,name,city\n"
    b"1,Ana,Lisbon\n"
    b"2,Ben,\n"
    b'3,Cleo,"Paris,France"\n'
    b'4,"Dee ""DJ"" Jones",Oslo\n'
)
SUMMARY_KEYS = [
    "total_rows",
    "salvaged_rows",
    "repaired_rows",
    "quarantined_rows",
    "detected_delimiter",
    "inferred_columns",
    "input",
    "output",
    "quarantine",
    "input_bytes",
    "elapsed_seconds",
    "mb_per_s",
]


def tidewrack_cli(
    *args: str | os.PathLike[str], cwd: Path, stdin: bytes | None = None
) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "tidewrack", *map(str, args)],
        cwd=cwd,
        input=stdin if stdin is not None else b"",
        capture_output=True,
        timeout=120,
        check=False,
    )


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
        for expected in ("rows read    5", "kept         4 (1 repaired)", "quarantined  1 -> orders.quarantine.csv",
                         "delimiter    comma", "columns      3", "MB/s"):
            assert expected in stderr

    def test_quarantine_defaults_beside_explicit_output(self, tmp_path: Path, damaged: Path) -> None:
        (tmp_path / "out").mkdir()
        result = tidewrack_cli("salvage", damaged, "-o", "out/clean.csv", cwd=tmp_path)

        assert_clean_exit(result, 0)
        assert (tmp_path / "out" / "clean.csv").read_bytes() == CLEAN_MERGED
        assert (tmp_path / "out" / "orders.quarantine.csv").read_bytes() == b"line,reason,raw_content\n"

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
        assert report["input"] == str(damaged)
        assert report["output"] == str(tmp_path / "orders.clean.csv")
        assert report["quarantine"] is None
        assert report["input_bytes"] == len(DAMAGED)
        assert report["elapsed_seconds"] > 0
        assert report["mb_per_s"] is None or report["mb_per_s"] > 0
        assert not (tmp_path / "orders.quarantine.csv").exists()

    def test_fail_on_quarantine(self, tmp_path: Path, damaged: Path) -> None:
        repaired = tidewrack_cli("salvage", damaged, "--fail-on-quarantine", cwd=tmp_path)
        assert_clean_exit(repaired, 0)

        set_aside = tidewrack_cli("salvage", damaged, "--no-fill", "--fail-on-quarantine", cwd=tmp_path)
        assert_clean_exit(set_aside, 3)
        # The outputs are complete all the same: exit 3 is a verdict, not a failure.
        assert (tmp_path / "orders.quarantine.csv").read_text().count("\n") == 2

    def test_options_reach_the_engine(self, tmp_path: Path) -> None:
        (tmp_path / "t.tsv").write_bytes(b"a\tb\tc\n1\t2\n")
        result = tidewrack_cli("salvage", "t.tsv", "-d", "tab", "-n", "2", "--json", cwd=tmp_path)

        report = json.loads(result.stdout)
        assert (report["detected_delimiter"], report["inferred_columns"]) == ("\t", 2)
        assert report["repaired_rows"] == 1
        assert (tmp_path / "t.clean.csv").read_bytes() == b'a\t"b\tc"\n1\t2\n'

    @pytest.mark.parametrize("output_args", [["-o", "-"], []], ids=["dash-o-dash", "implied-by-stdin"])
    def test_stdin_to_stdout(self, tmp_path: Path, output_args: list[str]) -> None:
        result = tidewrack_cli("salvage", "-", *output_args, cwd=tmp_path, stdin=DAMAGED)

        stderr = assert_clean_exit(result, 0)
        assert result.stdout == CLEAN_MERGED
        assert "<stdin> -> <stdout>" in stderr
        assert list(tmp_path.iterdir()) == [], "stdout output writes no quarantine file by default"

    def test_stdin_to_files_with_quarantine(self, tmp_path: Path) -> None:
        result = tidewrack_cli(
            "salvage", "-", "-o", "clean.csv", "-q", "rejects.csv", "--no-fill", cwd=tmp_path, stdin=DAMAGED
        )

        assert_clean_exit(result, 0)
        assert (tmp_path / "rejects.csv").read_bytes() == (
            b'line,reason,raw_content\n3,"Row has too few columns (expected 3)","2,Ben"\n'
        )


class TestErrors:
    @pytest.mark.parametrize(
        ("args", "named"),
        [
            (["salvage", "missing.csv"], "cannot read 'missing.csv': No such file or directory"),
            (["salvage", "orders.csv", "-o", "no/such/dir/out.csv"],
             "cannot write 'no/such/dir/out.csv': No such file or directory"),
            (["salvage", "orders.csv", "-q", "no/such/dir/q.csv"],
             "cannot write 'no/such/dir/q.csv': No such file or directory"),
            (["salvage", "."], "cannot read '.': Is a directory"),
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
            ["salvage", "orders.csv", "-q", "q.csv", "--no-quarantine"],
            ["salvage", "orders.csv", "-q", "-"],
            ["salvage", "orders.csv", "-n", "-1"],
            ["salvage", "orders.csv", "-d", ";;"],
            ["salvage", "orders.csv", "--quote-char", "«"],
            ["preview", "orders.csv", "-n", "many"],
        ],
    )
    def test_usage_errors_exit_2_and_touch_nothing(self, tmp_path: Path, damaged: Path, args: list[str]) -> None:
        stderr = assert_clean_exit(tidewrack_cli(*args, cwd=tmp_path), 2)
        assert "usage: tidewrack" in stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv"]

    def test_help_and_version(self, tmp_path: Path) -> None:
        help_text = tidewrack_cli("--help", cwd=tmp_path)
        assert_clean_exit(help_text, 0)
        for command in ("salvage", "sniff", "preview"):
            assert command in help_text.stdout.decode()
        version = tidewrack_cli("--version", cwd=tmp_path)
        assert version.stdout.decode().strip() == f"tidewrack {tidewrack.__version__}"

    def test_closed_pipe_ends_quietly(self, tmp_path: Path) -> None:
        rows = b"".join(b"%d,name %d,%d\n" % (i, i, i * 7) for i in range(20000))
        (tmp_path / "long.csv").write_bytes(b"id,name,value\n" + rows)
        with subprocess.Popen(
            [sys.executable, "-m", "tidewrack", "preview", "long.csv", "-n", "20000"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
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
        class InterruptedStdin:
            class buffer:  # stands in for sys.stdin.buffer
                @staticmethod
                def read(*_: object) -> bytes:
                    raise KeyboardInterrupt

        monkeypatch.setattr(sys, "stdin", InterruptedStdin)
        assert main(["salvage", "-", "-o", str(tmp_path / "out.csv")]) == 130
        assert capsys.readouterr().err == "tidewrack: interrupted\n"


class TestSniff:
    def test_one_line_per_file_and_errors_do_not_stop_the_rest(self, tmp_path: Path) -> None:
        (tmp_path / "semi.csv").write_bytes(b"\xef\xbb\xbfa;b;c\r\n1;2,5;3\r\n4;5;6\r\n")
        (tmp_path / "tabs.tsv").write_bytes(b"a\tb\n1\t2\n3\t4\n")
        result = tidewrack_cli("sniff", "semi.csv", "missing.csv", "tabs.tsv", cwd=tmp_path)

        stderr = assert_clean_exit(result, 1)
        assert result.stdout.decode().splitlines() == [
            "semi.csv: delimiter semicolon ';', 3 columns",
            "tabs.tsv: delimiter tab, 2 columns",
        ]
        assert "cannot read 'missing.csv'" in stderr

    def test_reads_stdin(self, tmp_path: Path) -> None:
        result = tidewrack_cli("sniff", "-", cwd=tmp_path, stdin=b"a|b|c\n1|2|3\n")
        assert result.stdout.decode() == "<stdin>: delimiter vertical bar '|', 3 columns\n"

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
        assert result.stdout.decode() == f"{big}: delimiter comma ',', 4 columns\n"


class TestPreview:
    def test_header_rule_rows_and_counts(self, tmp_path: Path) -> None:
        (tmp_path / "p.csv").write_text(
            "id,comment\n1,short\n2,a comment far too long to be shown whole\n3,x\n4,y\n"
        )
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
            "-- 2 of 4 rows shown below the header; 0 repaired, 0 quarantined; "
            "delimiter comma ',', 2 columns"
        )
        assert len(lines) == 5

    def test_counts_cover_the_whole_file(self, tmp_path: Path, damaged: Path) -> None:
        result = tidewrack_cli("preview", damaged, "-n", "1", "--no-fill", "--no-merge", cwd=tmp_path)

        assert_clean_exit(result, 0)
        assert result.stdout.decode().splitlines()[-1].startswith(
            "-- 1 of 2 rows shown below the header; 0 repaired, 2 quarantined;"
        )
