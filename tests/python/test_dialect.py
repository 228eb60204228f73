"""tidewrack.detect() and the package's default rules reading a file's dialect."""

from __future__ import annotations

import csv
import io
import json
import random
from pathlib import Path

import pytest

import tidewrack
from tidewrack.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = sorted(REPO.glob("examples/*.csv"))
# (delimiter, columns, quote, escape, comment prefix, preamble lines) where the
# classic reading is wrong: it does not decode UTF-16, nor know these dialects.
CLASSIC_WRONG = {
    "export_utf16.csv": ("\t", 4, '"', None, None, 0),
    "commented_escapes.csv": (";", 4, '"', "\\", "#", 0),
    "single_quoted_preamble.csv": (",", 4, "'", None, None, 3),
}


def generated(seed: int, delimiter: str) -> tuple[str, int]:
    """A well-formed file of typed columns, quoted where needed, and its width."""
    rng = random.Random(seed)
    columns = rng.randint(2, 7)
    kinds = [rng.choice(["int", "decimal", "date", "word", "text"]) for _ in range(columns)]
    cell = {
        "int": lambda: str(rng.randint(-500, 99999)),
        "decimal": lambda: f"{rng.uniform(0, 1000):.2f}",
        "date": lambda: f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        "word": lambda: rng.choice(["red", "green", "blue", "Zoë"]),
        "text": lambda: rng.choice(["a, b", "x; y", 'say "hi"', "p|q", "tab\there", "plain"]),
    }
    text = io.StringIO()
    writer = csv.writer(text, delimiter=delimiter, lineterminator="\n")
    writer.writerow([f"col{i}" for i in range(columns)])
    for _ in range(rng.randint(3, 60)):
        writer.writerow([cell[kind]() for kind in kinds])
    return text.getvalue(), columns


@pytest.mark.parametrize("delimiter", [",", ";", "\t", "|"])
@pytest.mark.parametrize("seed", range(10))
def test_well_formed_files_read_as_the_classic_sniff_reads_them(delimiter: str, seed: int) -> None:
    text, columns = generated(seed, delimiter)
    found = tidewrack.detect(text=text)
    assert tidewrack.sniff(text) == delimiter
    assert (found.delimiter, found.quote_char, found.escape_char, found.skip_blanks) == (delimiter, '"', None, False)
    assert (found.columns, found.header_rows, found.preamble_lines, found.comment_prefix) == (columns, 1, 0, None)


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda path: path.name)
def test_examples_read_as_the_classic_reading_where_it_is_right(path: Path) -> None:
    summary = tidewrack.open(path).summary
    classic = (summary.detected_delimiter, summary.inferred_columns, '"', None, None, 0)
    found = tidewrack.detect(path)
    assert (
        found.delimiter,
        found.columns,
        found.quote_char,
        found.escape_char,
        found.comment_prefix,
        found.preamble_lines,
    ) == CLASSIC_WRONG.get(path.name, classic)


LONG_QUOTED_FIRST = (
    'id,note,qty\n1,"'
    + "\n".join(f"line {i} of the note" for i in range(101))
    + '",3\n'
    + "".join(f"{i},plain note {i},{i * 2}\n" for i in range(2, 31))
)
TABLE = "id,name,qty,price\n1,apple,3,1.5\n2,pear,4,2.5\n3,plum,5,0.5\n"
# Files the default rules once misread. None for the clean file: it must be as
# a strict reader reads the input; the warning (a part of one) or None.
MISFIRES = [
    ("one column of decimals, cut at '.'", "number\n1.1\n1.2\n1.3\n", None, None),
    ("one column of times, cut at ':'", "time\n12:30\n13:45\n14:00\n", None, None),
    ("'General's' made ' the quote", "id,name,unit\n1,General's store,ea\n2,Baker,kg\n3,Smith,ea\n", None, None),
    (
        "apostrophes and a damaged \" made ' the quote",
        'id,name,comment\n1,O\'Neill,"it\'s fine, really"\n2,D\'Arcy,"ok"\n3,Bob\'s,"a "bad" one"\n',
        'id,name,comment\n1,O\'Neill,"it\'s fine, really"\n2,D\'Arcy,ok\n3,Bob\'s,"a ""bad"" one"\n',
        None,
    ),
    ("a quoted field over 101 lines read as space-separated", LONG_QUOTED_FIRST, None, None),
    ("some cells led by a blank lost it", "a,b,c\n1, x,2\n3,y, z\n", None, None),
    (
        "a blank after every delimiter and an escaped quote",
        'ID, Test\n1, "Test line 1"\n2, "Test \\" line 3"\n',
        None,
        None,
    ),
    ("a header led by # taken for a comment", "#id,name,qty\n1,apple,3\n2,pear,4\n", None, None),
    (
        "a full-width row led by # dropped as a comment",
        "# exported\nid,name,qty\n1,a,3\n#2,b,4\n3,c,5\n",
        "id,name,qty\n1,a,3\n#2,b,4\n3,c,5\n",
        "1 line starting with '#' was left out",
    ),
    (
        "a comment among rows led by #",
        "#,id,name\n#1,10,apple\n# checked by the night run\n#2,11,pear\n",
        "#,id,name\n#1,10,apple\n#2,11,pear\n",
        "1 line starting with '#'",
    ),
    ("a title line", "Sales report 2024\n" + TABLE, TABLE, "1 line before the table was left out"),
    ("a title and a blank line", "Sales report 2024\n\n" + TABLE, TABLE, "2 lines before the table"),
    (
        "eleven intro lines",
        "".join(f"Intro line {i}: some words here\n" for i in range(11)) + TABLE,
        TABLE,
        "11 lines before the table",
    ),
    ("a title padded to the width", "PREAMBLE,,,\n" + TABLE, None, "--preamble-lines 1"),
    ("cells wrapped in single quotes", "'id'|'name'|'qty'\n'1'|'apple'|'3'\n'2'|'pear'|'4'\n", None, "single quotes"),
    (
        "single quotes around delimiters",
        "'id','name'\n'1','apple, red'\n'2','pear'\n'3','plum, ripe'\n",
        'id,name\n1,"apple, red"\n2,pear\n3,"plum, ripe"\n',
        "the quote character",
    ),
    ("space-separated, read at '/'", "date name qty\n2024/01/02 apple 3\n2024/01/03 pear 4\n", None, "--delimiter ' '"),
    ("a second table", "id,name\n1,a\n2,b\nid,name\n3,c\n", None, "line 4 repeats the header"),
    (
        "a row written with ';'",
        "id,name,qty\n1,apple,3\n2;pear;4\n3,plum,5\n",
        "id,name,qty\n1,apple,3\n2;pear;4,,\n3,plum,5\n",
        "line 3 split into 3 fields at ';'",
    ),
]


@pytest.mark.parametrize(
    ("text", "clean", "warning"), [case[1:] for case in MISFIRES], ids=[case[0] for case in MISFIRES]
)
def test_sound_files_read_as_a_strict_reader_reads_them_and_guesses_warn(
    tmp_path: Path, text: str, clean: str | None, warning: str | None
) -> None:
    (tmp_path / "in.csv").write_text(text)
    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "out.csv")
    out = (tmp_path / "out.csv").read_text()
    if clean is None:
        strict = list(
            csv.reader(
                io.StringIO(text),
                delimiter=report.detected_delimiter,
                strict=True,
                skipinitialspace=bool(report.skip_blanks),
            )
        )
        assert list(csv.reader(io.StringIO(out), delimiter=report.detected_delimiter)) == strict
        assert report.repaired_rows == report.quarantined_rows == 0
    else:
        assert out == clean
    warnings = " ".join(report.warnings)
    assert (warning or "") in warnings and bool(warning) == bool(warnings)
    # Lines left out keep their text in the repair log.
    log = list(csv.reader(io.StringIO((tmp_path / "out.repairs.csv").read_text())))[1:]
    for line_start, _, action, detail in log:
        if action in ("comment", "preamble"):
            assert detail.endswith(": " + text.splitlines()[int(line_start) - 1])


SALVAGED = [
    # Comment lines and backslash escapes: left out and resolved; standard CSV comes out.
    (
        "# exported by a tool\nname;title\nKubrick;Dr. Seltsam\\; oder\n# end\nLang;Metropolis\n",
        'name;title\nKubrick;"Dr. Seltsam; oder"\nLang;Metropolis\n',
        ["1,1,comment", "4,4,comment"],
        ('"', False, 1),
    ),
    (
        "Sales report\n\nid,name\n1,'a, b'\n2,c\n3,d\n",
        'id,name\n1,"a, b"\n2,c\n3,d\n',
        ["1,1,preamble", "2,2,preamble"],
        ("'", False, 1),
    ),
    (
        'day,a,b,city\n2011-01-03, , "6,000,000",Galway\n2011-01-04, 5, "7,000",Cork\n2011-01-05, 7, 8,Cork\n',
        'day,a,b,city\n2011-01-03,,"6,000,000",Galway\n2011-01-04,5,"7,000",Cork\n2011-01-05,7,8,Cork\n',
        [],
        ('"', True, 1),
    ),
    # A blank after every delimiter is the writer's: no cell keeps it.
    (
        'name, qty, note\nAnn, 3, a b\nBob, 4, plain\nCy, 5, "x, y"\n',
        'name,qty,note\nAnn,3,a b\nBob,4,plain\nCy,5,"x, y"\n',
        [],
        ('"', True, 1),
    ),
    # Inch marks and a lone quote opening a cell, no field quoted: the quotes are text.
    (
        'id,item,qty\n1,"5 pipe,3\n2,12" ruler,4\n3,plain,5\n4,27" screen,6\n',
        'id,item,qty\n1,"""5 pipe",3\n2,"12"" ruler",4\n3,plain,5\n4,"27"" screen",6\n',
        [],
        (None, False, 1),
    ),
    # A unit row under the names: a second header row, kept as it is.
    (
        "name,height,weight\n,cm,kg\nAnn,170,60\nBob,180,75\nCy,165,58\nDee,172,66\nEd,190,88\n",
        "name,height,weight\n,cm,kg\nAnn,170,60\nBob,180,75\nCy,165,58\nDee,172,66\nEd,190,88\n",
        [],
        ('"', False, 2),
    ),
]


@pytest.mark.parametrize(
    ("text", "clean", "logged", "dialect"),
    SALVAGED,
    ids=["comments-escapes", "preamble-single-quotes", "blanks", "comma-space", "no-quote", "unit-row"],
)
def test_default_rules_read_the_dialect_and_log_what_they_leave_out(
    tmp_path: Path, text: str, clean: str, logged: list[str], dialect: tuple[str | None, bool, int]
) -> None:
    (tmp_path / "in.csv").write_text(text)
    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "out.csv")

    assert (tmp_path / "out.csv").read_text() == clean
    assert (report.quote_char, report.skip_blanks, report.header_rows) == dialect
    log = (tmp_path / "out.repairs.csv").read_text().splitlines()[1:]
    assert [line.rsplit(",", 1)[0] for line in log] == logged
    assert (report.comment_lines, report.preamble_lines) == (
        sum("comment" in line for line in logged),
        sum("preamble" in line for line in logged),
    )
    assert report.output_quote_char == '"'
    assert (
        not (tmp_path / "out.quarantine.csv").exists() or "comment" not in (tmp_path / "out.quarantine.csv").read_text()
    )


COLON = "a:b:c\n1:2:3\n4,5:6:7\nx:y:z\n"  # the commas split no table
QUOTED_PREAMBLE = "Sales report\n\nid,name\n1,'a, b'\n2,c\n3,d\n"
COMMENTED = "# exported\nid;name\n1;a\n2;b\n"
QUOTE_WARNING = 'the quote character "\'" was guessed; --quote-char "\'" pins it'


@pytest.mark.parametrize(
    ("text", "options", "warnings"),
    [
        (COLON, {}, ["the delimiter ':' was guessed (confidence 0.75); --delimiter ':' pins it"]),
        (COLON, {"delimiter": ":"}, []),
        (COLON, {"classic": True}, []),
        (
            "a,b,c\n1,2\n3\n4,5,6,7\n",
            {},
            [
                "the delimiter ',' was guessed with low confidence (0.21); --delimiter ',' pins it, "
                "or names the right one"
            ],
        ),
        (
            QUOTED_PREAMBLE,
            {},
            [QUOTE_WARNING, "2 lines before the table were left out as a preamble; --preamble-lines 0 keeps them"],
        ),
        (QUOTED_PREAMBLE, {"preamble_lines": 0}, [QUOTE_WARNING]),  # the rest is still guessed
        (COMMENTED, {}, ["1 line starting with '#' was left out as a comment; --delimiter ';' reads it as a row"]),
        (COMMENTED, {"comment_prefix": "#"}, []),
        (
            'id,item,qty\n1,"5 pipe,3\n2,12" ruler,4\n3,plain,5\n4,27" screen,6\n',
            {},
            [
                "quotes were read as text, no field being quoted properly; --quote-char none pins that, "
                "--delimiter ',' reads them as quotes"
            ],
        ),
        ("\n\n", {}, []),  # no table, nothing to doubt
        ("id,name\n1,Ann\n2,Bob\n", {}, []),
    ],
    ids=[
        "odd-delimiter",
        "given",
        "classic",
        "low-confidence",
        "quote-and-preamble",
        "some-options-given",
        "comment",
        "comment-given",
        "no-quote",
        "blank",
        "plain",
    ],
)
def test_guesses_warn_with_the_option_that_pins_them(
    tmp_path: Path, text: str, options: dict[str, object], warnings: list[str]
) -> None:
    (tmp_path / "in.csv").write_text(text)
    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "out.csv", **options)  # type: ignore[arg-type]
    assert list(report.warnings) == warnings
    assert (report.confidence is None) == ("delimiter" in options or "classic" in options)


def test_given_options_override_what_is_detected_and_classic_refuses_them(tmp_path: Path) -> None:
    (tmp_path / "in.csv").write_text('a;b\n"x;y";2\n//c\n3;4\n')
    report = tidewrack.salvage(tmp_path / "in.csv", tmp_path / "out.csv", quote_char=None, comment_prefix="//")
    assert (report.detected_delimiter, report.quote_char, report.comment_lines) == (";", None, 1)
    assert (tmp_path / "out.csv").read_text() == 'a;b\n"""x";"y"";2"\n3;4\n'  # the quote is text: 3 fields, merged
    with pytest.raises(ValueError, match="classic"):
        tidewrack.salvage(tmp_path / "in.csv", tmp_path / "c.csv", classic=True, escape_char="\\")


def test_detect_takes_a_path_or_a_text_and_sniff_prints_it(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    text = "# note\nid|name\n1|a\n2|b\n"
    (tmp_path / "f.csv").write_text(text)
    found = tidewrack.detect(tmp_path / "f.csv")
    assert found == tidewrack.detect(text=text) == tidewrack.detect(text=text.encode())
    with pytest.warns(DeprecationWarning, match="detect\\(text=...\\)"):
        assert tidewrack.detect(text) == found  # as it was, before text=
    with pytest.raises(TypeError, match="a path or text="):
        tidewrack.detect(tmp_path / "f.csv", text=text)
    assert found.to_dict()["comment_prefix"] == "#"

    assert main(["sniff", "--json", str(tmp_path / "f.csv")]) == 0
    assert json.loads(capsys.readouterr().out) == {"file": str(tmp_path / "f.csv"), **found.to_dict(), "notes": []}
    assert main(["sniff", str(tmp_path / "f.csv")]) == 0
    assert capsys.readouterr().out.startswith(f"{tmp_path / 'f.csv'}: delimiter vertical bar '|', 2 columns; ")
    (tmp_path / "g.csv").write_text("id,name\n1,a\nid,name\n2,b\n")
    assert main(["sniff", str(tmp_path / "g.csv")]) == 0
    assert (
        capsys.readouterr().err
        == f"warning: {tmp_path / 'g.csv'}: line 3 repeats the header of line 1: a second table may start there\n"
    )
