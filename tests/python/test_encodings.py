"""Input encodings: every character kept, every byte that needed reading or replacing counted and logged."""

from __future__ import annotations

import codecs
from pathlib import Path

import pytest
import tidewrack

TEXT = "name,city,amount\nMüller,Zürich,£5\nRenée,Besançon,€7\n"


def salvaged(tmp_path: Path, data: bytes, **options: object) -> tuple[tidewrack.Report, str, str]:
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    report = tidewrack.salvage(source, tmp_path / "out.csv", **options)  # type: ignore[arg-type]
    log = (tmp_path / "out.repairs.csv").read_text(encoding="utf-8")
    return report, (tmp_path / "out.csv").read_text(encoding="utf-8"), log


@pytest.mark.parametrize(
    ("data", "encoding", "read_as"),
    [
        (codecs.BOM_UTF8 + TEXT.encode(), "auto", "utf-8"),
        (codecs.BOM_UTF16_LE + TEXT.encode("utf-16-le"), "auto", "utf-16-le"),
        (TEXT.encode("utf-16-le"), "auto", "utf-16-le"),  # no mark: found by its NUL bytes
        (TEXT.encode("utf-16-be"), "utf-16-be", "utf-16-be"),
        (codecs.BOM_UTF32_BE + TEXT.encode("utf-32-be"), "auto", "utf-32-be"),
        (TEXT.encode("cp1252"), "cp1252", "cp1252"),
        (TEXT.replace("€", "¤").encode("latin-1"), "latin-1", "latin-1"),
        (TEXT.encode("mac_roman"), "mac-roman", "mac-roman"),  # decoded by Python's codec
    ],
    ids=["utf-8-bom", "utf-16-bom", "utf-16-nul", "utf-16-be", "utf-32-bom", "cp1252", "latin-1", "mac-roman"],
)
def test_each_encoding_reads_every_character(
    tmp_path: Path, data: bytes, encoding: str, read_as: str
) -> None:
    report, clean, log = salvaged(tmp_path, data, encoding=encoding)
    expected = TEXT.replace("€", "¤") if encoding == "latin-1" else TEXT
    assert clean == expected
    assert (report.encoding, report.decoded_bytes, report.replaced_bytes) == (read_as, 0, 0)
    assert log == "line_start,line_end,action,detail\n"


def test_auto_reads_bytes_outside_utf8_as_cp1252_and_logs_them(tmp_path: Path) -> None:
    data = TEXT.encode() + "Straße,Köln,£9\n".encode("cp1252")
    report, clean, log = salvaged(tmp_path, data)
    assert clean == TEXT + "Straße,Köln,£9\n"
    assert (report.encoding, report.decoded_bytes, report.replaced_bytes) == ("utf-8+cp1252", 3, 0)
    assert log.splitlines()[1:] == ["4,4,decoded,3 bytes read as cp1252"]


@pytest.mark.parametrize("encoding", ["utf-8", "shift_jis"])
def test_undecodable_bytes_are_replaced_counted_and_logged(tmp_path: Path, encoding: str) -> None:
    report, clean, log = salvaged(tmp_path, b"a,b\nx\xff,y\n", encoding=encoding)
    assert clean == "a,b\nx\ufffd,y\n"
    assert (report.decoded_bytes, report.replaced_bytes) == (0, 1)
    assert log.splitlines()[1:] == ["2,2,replaced,\"1 byte not decodable, replaced by U+FFFD\""]


def test_classic_reads_bytes_as_they_are(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(b"a\n")
    with pytest.raises(ValueError, match="leave encoding at 'auto'"):
        tidewrack.salvage(tmp_path / "in.csv", classic=True, encoding="cp1252")
