"""Input that is not text is named and refused, unless the caller says to read it as text."""

from __future__ import annotations

import gzip
import re
from pathlib import Path

import pytest

import tidewrack
from test_cli import tidewrack_cli
from test_compressed_input import zipped

TEXT = b"id,name,city\n1,Ana,Lisbon\n2,Ben,Oslo\n3,Cleo,Paris\n"


ELF = b"\x7fELF\x02\x01\x01" + b"\0" * 9 + b"\x02\0>\0\x01\0\0\0" + bytes(range(256)) * 8
REFUSED = {
    "png": (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR" + bytes(range(256)), "a PNG image"),
    "jpeg": (b"\xff\xd8\xff\xe0\0\x10JFIF\0" + bytes(range(256)), "a JPEG image"),
    "pdf": (b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n", "a PDF document"),
    "elf": (ELF, "a program"),
    "gzip-in-zip": (zipped(("data.csv.gz", gzip.compress(TEXT))), "gzip data inside zip; decompress it first"),
    "xlsx": (
        zipped(
            ("[Content_Types].xml", b"<Types/>"),
            ("xl/workbook.xml", b"<workbook/>"),
            ("xl/worksheets/sheet1.xml", b"<worksheet/>"),
        ),
        "an Excel workbook; export a sheet as CSV first",
    ),
    "ods": (
        zipped(
            ("mimetype", b"application/vnd.oasis.opendocument.spreadsheet"),
            ("content.xml", b"<doc/>"),
            ("META-INF/manifest.xml", b"<manifest/>"),
        ),
        "an OpenDocument file",
    ),
    "parquet": (
        b"PAR1\x15\x04\x15\x10\x15\x14L\x15\x02\x15\x00\x12\0\0\x08\x1c" + bytes(64) + b"PAR1",
        "a Parquet file",
    ),
    "sqlite": (b"SQLite format 3\0\x10\0\x01\x01\0@  " + bytes(80), "an SQLite database; export a table as CSV first"),
    "png-in-gzip": (gzip.compress(b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR"), "a PNG image"),
    # A NUL closing each line: not the pattern of UTF-16 text, which the engine would read.
    "nul-after-lines": (b"id,code\n" + b"".join(b"%d,ab\0\n" % i for i in range(12)), "binary data (NUL bytes)"),
    "zero-filled": (bytes(8192), "a file of NUL bytes only"),
}


@pytest.mark.parametrize("name", REFUSED)
def test_input_that_is_not_text_is_named_and_refused(tmp_path: Path, name: str) -> None:
    data, looks_like = REFUSED[name]
    (tmp_path / "in.csv").write_bytes(data)
    with pytest.raises(tidewrack.BinaryInputError, match=re.escape("looks like " + looks_like.split(";")[0])) as raised:
        tidewrack.salvage(tmp_path / "in.csv")
    assert isinstance(raised.value, ValueError) and raised.value.filename == str(tmp_path / "in.csv")
    with pytest.raises(tidewrack.BinaryInputError):
        tidewrack.detect(tmp_path / "in.csv")

    for command in (["salvage", "in.csv"], ["sniff", "in.csv"], ["preview", "in.csv"]):
        result = tidewrack_cli(*command, cwd=tmp_path)
        assert result.returncode == 1, command
        line = result.stderr.decode()
        assert line.startswith("tidewrack: 'in.csv' is not CSV text: it looks like ") and looks_like in line, command
        assert line.count("\n") == 1
    assert [path.name for path in tmp_path.iterdir()] == ["in.csv"]


@pytest.mark.parametrize(
    ("data", "options"),
    [
        (REFUSED["nul-after-lines"][0], {"force_text": True}),
        (REFUSED["png"][0], {"force_text": True}),
        (REFUSED["png"][0], {"encoding": "latin-1"}),
        (TEXT.decode().encode("utf-16-le"), {}),  # NULs in the pattern the engine reads as UTF-16
        (TEXT + bytes(4096) + TEXT, {}),  # a zero-filled block, as a crash leaves
        (b"PAR1,PAR2\n1,2\n", {}),
        (b"a,b,c\n\0,2,3\n", {}),  # a NUL in a cell is damage, not a binary file
    ],
    ids=[
        "nul-force-text",
        "png-force-text",
        "png-named-encoding",
        "utf-16-nul-pattern",
        "zero-block",
        "par1-text",
        "nul-in-a-cell",
    ],
)
def test_text_and_input_read_as_text_on_request_are_salvaged(
    tmp_path: Path, data: bytes, options: dict[str, object]
) -> None:
    (tmp_path / "in.csv").write_bytes(data)
    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "out.csv", **options)  # type: ignore[arg-type]
    assert report.total_rows > 0 and (tmp_path / "out.csv").exists()
    flags = ["--force-text"] if options.get("force_text") else [f"--encoding={options['encoding']}"] if options else []
    assert tidewrack_cli("salvage", "in.csv", "-o", "cli.csv", *flags, cwd=tmp_path).returncode == 0
    assert (tmp_path / "cli.csv").read_bytes() == (tmp_path / "out.csv").read_bytes()
