"""tidewrack._native.salvage: the repair log, its counters, its arguments and its errors."""

from __future__ import annotations

import errno
from pathlib import Path

import pytest

import _tidewrack_backend
from tidewrack import _native

LOG_HEADER = "line_start,line_end,action,detail\n"


@pytest.mark.parametrize(
    ("content", "options", "logged", "counter"),
    [
        (b"a,b,c\n1,2,3\n4,5\n", {}, "3,3,padded,1 empty field added", "padded_rows"),
        (b"a,b\n1,2\n3,4,5,6\n", {}, "3,3,merged,fields 3-4 joined into column 2", "merged_rows"),
        (b'a,b\n1,2\n3,"5" monitor"\n', {}, "3,3,quote_repaired,1 stray quote kept as text", "quote_repairs"),
        (b'a,b\n1,"x\n2,y\n3,z\n', {}, "2,2,unclosed_quote,quote on line 2 read as text", "unclosed_quotes"),
        (
            b"a,b\n1,2\n3,4,5\n",
            {"merge_overflow": False},
            "3,3,quarantined,Row has extra columns (expected 2)",
            "quarantined_rows",
        ),
    ],
    ids=["padded", "merged", "quote_repaired", "unclosed_quote", "quarantined"],
)
def test_each_change_is_one_log_line_and_counted(
    tmp_path: Path, content: bytes, options: dict[str, bool], logged: str, counter: str
) -> None:
    (tmp_path / "in.csv").write_bytes(content)
    counts = _native.salvage(
        str(tmp_path / "in.csv"), str(tmp_path / "out.csv"), None, str(tmp_path / "log.csv"), **options
    )
    assert (tmp_path / "log.csv").read_text() == f"{LOG_HEADER}{logged}\n"
    assert counts[counter] == 1


def test_counts_extend_the_classic_summary_and_recovery_can_be_turned_off(tmp_path: Path) -> None:
    # One quote left open on line 2 once swallowed every row after it.
    (tmp_path / "in.csv").write_bytes(b'id,name\n1,"Ann\n2,Ben\n3,Cy\n')
    source, out, classic = (str(tmp_path / name) for name in ("in.csv", "out.csv", "classic.csv"))

    plain = _native.salvage(source, out, recover_unclosed_quotes=False)
    summary = _tidewrack_backend.salvage_file(source, classic).to_dict()

    assert plain == {
        **summary,
        "padded_rows": 0,
        "merged_rows": 0,
        "quote_repairs": 0,
        "unclosed_quotes": 0,
        "decoded_bytes": 0,
        "replaced_bytes": 0,
        "encoding": "utf-8",
        "quote_char": '"',
        "escape_char": None,
        "skip_blanks": False,
        "comment_prefix": None,
        "header_rows": 0,
        "confidence": 0.0,
        "comment_lines": 0,
        "preamble_lines": 0,
        "output_quote_char": '"',
        "notes": [],
    }
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "classic.csv").read_bytes()
    assert _native.salvage(source, out)["total_rows"] == 4 == summary["total_rows"] + 2


@pytest.mark.parametrize(
    ("paths", "error", "number", "culprit"),
    [
        (("missing.csv", "out.csv"), FileNotFoundError, errno.ENOENT, "missing.csv"),
        ((".", "out.csv"), IsADirectoryError, errno.EISDIR, "."),
        (("in.csv", "no/out.csv"), FileNotFoundError, errno.ENOENT, "no/out.csv"),
        (("in.csv", "out.csv", "no/q.csv"), FileNotFoundError, errno.ENOENT, "no/q.csv"),
        (("in.csv", "out.csv", None, "no/log.csv"), FileNotFoundError, errno.ENOENT, "no/log.csv"),
        (("in.csv", "out.csv", None, "/dev/full"), OSError, errno.ENOSPC, "/dev/full"),
    ],
    ids=["missing-input", "input-is-dir", "output-dir", "quarantine-dir", "log-dir", "log-full"],
)
def test_file_errors_are_the_subclass_with_errno_and_the_file(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    paths: tuple[str | None, ...],
    error: type[OSError],
    number: int,
    culprit: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.csv").write_bytes(b"a,b\n1\n")
    with pytest.raises(OSError) as caught:
        _native.salvage(*paths)
    assert (type(caught.value), caught.value.errno, caught.value.filename) == (error, number, culprit)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda: _native.salvage("in.csv", "o.csv", "q.csv", "r.csv", ","),
            TypeError,
            r"^salvage\(\) takes from 2 to 4 positional arguments but 5 were given$",
        ),
        (
            lambda: _native.salvage("in.csv", "o.csv", "./o.csv"),
            ValueError,
            "^output_path and quarantine_path are the same file$",
        ),
        (
            lambda: _native.salvage("in.csv", "o.csv", "q.csv", "sub/../q.csv"),
            ValueError,
            "^quarantine_path and repairs_path are the same file$",
        ),
        (lambda: _native.salvage("in.csv", "o.csv", delimiter='"'), ValueError, "delimiter"),
        (
            lambda: _native.salvage("in.csv", "o.csv", recover_unclosed_quotes=1),
            TypeError,
            "'int' object is not an instance of 'bool'",
        ),
        (lambda: _native.salvage("in.csv", "o.csv", threads=0), ValueError, "^threads must be between 1 and 256$"),
        (lambda: _native.salvage("in.csv", "o.csv", progress=1), TypeError, "'int' object is not callable"),
    ],
    ids=[
        "options-by-keyword-only",
        "output-is-quarantine",
        "quarantine-is-log",
        "unreadable-options",
        "flag",
        "threads",
        "progress-not-callable",
    ],
)
def test_refusals_touch_no_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, call: object, error: type[Exception], message: str
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "in.csv").write_bytes(b"a,b\n")
    with pytest.raises(error, match=message):
        call()  # type: ignore[operator]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "sub"]


def test_every_thread_count_writes_the_same_files(tmp_path: Path) -> None:
    # Parts start at guessed line starts: quoted line breaks, lone CRs and
    # stray quotes make some guesses wrong, and those parts are redone.
    rows = [
        b'1,"multi\nline, quoted",x\n',
        b"2,short\n",
        b'3,"a "stray" quote",y\n',
        b"4,cr only\r",
        b"5,too,many,fields\n",
        b"\n",
    ]
    (tmp_path / "in.csv").write_bytes(b"id,text,more\n" + b"".join(rows[i * 5 % len(rows)] for i in range(100_000)))
    written = []
    for threads in (1, 2, 3, 8):
        names = [str(tmp_path / f"{kind}{threads}.csv") for kind in ("out", "q", "log")]
        counts = _native.salvage(str(tmp_path / "in.csv"), *names, threads=threads)
        written.append((counts, [Path(name).read_bytes() for name in names]))
    assert all(each == written[0] for each in written)


def test_progress_counts_up_to_the_input_size(tmp_path: Path) -> None:
    content = b"a,b,c\n" + b"1,two,three\n" * 2_000_000  # 24 MB: reported as the blocks are read
    (tmp_path / "in.csv").write_bytes(content)
    done: list[int] = []
    _native.salvage(str(tmp_path / "in.csv"), str(tmp_path / "out.csv"), progress=done.append, threads=1)
    assert done == sorted(done) and len(done) > 1 and done[-1] == len(content)


def test_an_exception_from_progress_stops_the_salvage_and_propagates(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")

    def refuse(done: int) -> None:
        raise LookupError(done)

    with pytest.raises(LookupError):
        _native.salvage(str(tmp_path / "in.csv"), str(tmp_path / "out.csv"), progress=refuse)


@pytest.mark.parametrize(
    "cls", [_native.ArrowScan, _tidewrack_backend.SalvageReader, _tidewrack_backend.SalvageSummary]
)
def test_the_extension_types_are_immutable(cls: type) -> None:
    with pytest.raises(TypeError, match="immutable"):
        cls.extra = 1
