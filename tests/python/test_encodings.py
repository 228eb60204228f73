"""Input encodings: every character kept, every byte that needed reading or replacing counted and logged."""

from __future__ import annotations

import codecs
from pathlib import Path

import pytest

import tidewrack
from tidewrack._encodings import encoding_warning as tidewrack_encoding_warning

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
def test_each_encoding_reads_every_character(tmp_path: Path, data: bytes, encoding: str, read_as: str) -> None:
    report, clean, log = salvaged(tmp_path, data, encoding=encoding)
    expected = TEXT.replace("€", "¤") if encoding == "latin-1" else TEXT
    assert clean == expected
    assert (report.encoding, report.decoded_bytes, report.replaced_bytes) == (read_as, 0, 0)
    assert report.encoding_confidence is None  # nothing guessed
    assert log == "line_start,line_end,action,detail\n"


def test_auto_reads_bytes_outside_utf8_as_cp1252_and_logs_them(tmp_path: Path) -> None:
    data = TEXT.encode() + "Straße,Köln,£9\n".encode("cp1252")
    report, clean, log = salvaged(tmp_path, data)
    assert clean == TEXT + "Straße,Köln,£9\n"
    assert (report.encoding, report.decoded_bytes, report.replaced_bytes) == ("utf-8+cp1252", 3, 0)
    assert report.encoding_confidence is None  # UTF-8 with stray bytes stays UTF-8
    assert log.splitlines()[1:] == ["4,4,decoded,3 bytes read as cp1252"]


@pytest.mark.parametrize(
    ("encoding", "undecodable"),
    # An ASCII byte a codec cannot decode (cp424, utf-7) once ended the salvage in a traceback.
    [("utf-8", b"\xff"), ("shift_jis", b"\xff"), ("cp424", b"\x70"), ("utf-7", b"+\xe9")],
)
def test_undecodable_bytes_are_replaced_counted_and_logged(tmp_path: Path, encoding: str, undecodable: bytes) -> None:
    data = "a,b\nx".encode(encoding) + undecodable + ",y\n".encode(encoding)
    report, clean, log = salvaged(tmp_path, data, encoding=encoding)
    count = len(undecodable)
    assert clean == f"a,b\nx{chr(0xFFFD) * count},y\n"
    assert (report.decoded_bytes, report.replaced_bytes) == (0, count)
    bytes_word = "byte" if count == 1 else "bytes"
    assert log.splitlines()[1:] == [f'2,2,replaced,"{count} {bytes_word} not decodable, replaced by U+FFFD"']


def test_classic_reads_bytes_as_they_are(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_bytes(b"a\n")
    with pytest.raises(ValueError, match="leave encoding at 'auto'"):
        tidewrack.salvage(tmp_path / "in.csv", classic=True, encoding="cp1252")


WESTERN = (
    "order_id;customer;city;item;price\n"
    "1001;Müller GmbH;Düsseldorf;Kühlschrank groß;499,00\n"
    "1002;Société Générale;Besançon;Crème brûlée à emporter;3,50\n"
    "1003;Peña & Hijos;Logroño;Jamón ibérico;89,95\n"
    "1004;João Gonçalves;São Paulo;Pão de queijo;1,20\n"
    "1005;Åsa Lindström;Göteborg;Smörgåsbord för två;45,00\n"
    "1006;Françoise Lefèvre;Montréal;Café décaféiné;7,25\n"
)
GREEK = (
    "id,πελάτης,πόλη,προϊόν,τιμή\n"
    "1,Γεώργιος Παπαδόπουλος,Αθήνα,Ελαιόλαδο παρθένο,12.50\n"
    "2,Μαρία Κωνσταντίνου,Θεσσαλονίκη,Φέτα,8.90\n"
    "3,Νικόλαος Αλεξίου,Πάτρα,Μέλι θυμαρίσιο,9.40\n"
)
CHINESE = (
    "編號,客戶姓名,城市,地址,商品名稱,金額\n"
    "1,陳大文,台北市,信義區松仁路100號,烏龍茶禮盒,880\n"
    "2,林美玲,高雄市,前鎮區中山二路5號,鳳梨酥,350\n"
    "3,王志明,台中市,西屯區台灣大道三段99號,珍珠奶茶粉,220\n"
)


@pytest.mark.parametrize(
    ("text", "code_page"),
    [
        (CHINESE, "big5"),
        (GREEK, "iso8859_7"),
        (WESTERN, "cp850"),
        (WESTERN, "mac_roman"),
        (WESTERN, "cp1252"),
        (WESTERN.replace("ç", "c"), "latin-1"),
    ],
)
def test_a_head_that_is_not_utf8_is_read_in_the_code_page_it_reads_best_in(
    tmp_path: Path, text: str, code_page: str
) -> None:
    report, clean, log = salvaged(tmp_path, text.encode(code_page) * 3)
    assert clean == text * 3
    assert text.encode(code_page).decode(report.encoding) == text
    assert report.encoding_confidence is not None and report.encoding_confidence >= 0.5
    assert (report.decoded_bytes, report.replaced_bytes) == (0, 0)
    assert tidewrack_encoding_warning(report) is None


def test_a_weak_guess_is_said_and_tells_how_to_name_the_encoding(tmp_path: Path) -> None:
    # One Cyrillic name in an English file: Hebrew, Greek and Chinese read those bytes as well.
    report, _, _ = salvaged(tmp_path, "id,name,city\n1,John Smith,Leeds\n2,Иван,Derby\n".encode("cp1251"))
    assert report.encoding_confidence is not None and report.encoding_confidence < 0.5
    warning = tidewrack_encoding_warning(report)
    assert warning is not None and report.encoding in warning and "--encoding NAME" in warning
