"""salvage_file: a damaged file in, a clean file and a quarantine file out."""

import os

import pytest

import _tidewrack_backend as backend
from _tidewrack_backend import SalvageSummary, salvage_file

DAMAGED = b'id,name,score\r\n1,"Smith, J",90\r\n2,Lee\r\n3,Kim,88,extra\r\n4,"say ""hi""",70\r\n'
QUARANTINE_HEADER = b"line,reason,raw_content\n"


@pytest.fixture
def damaged_path(write_input):
    return write_input(DAMAGED)


def test_repairs_rows_and_writes_clean_csv(damaged_path, tmp_path):
    output, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
    summary = salvage_file(damaged_path, str(output), str(quarantine))
    assert type(summary) is SalvageSummary
    assert summary.to_dict() == {
        "total_rows": 5,
        "salvaged_rows": 5,
        "repaired_rows": 2,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }
    assert output.read_bytes() == (b'id,name,score\n1,"Smith, J",90\n2,Lee,\n3,Kim,"88,extra"\n4,"say ""hi""",70\n')
    assert quarantine.read_bytes() == QUARANTINE_HEADER


def test_quarantines_rows_it_may_not_repair(damaged_path, tmp_path):
    output, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
    summary = salvage_file(damaged_path, str(output), str(quarantine), fill_ragged_rows=False, merge_overflow=False)
    assert (summary.total_rows, summary.salvaged_rows, summary.quarantined_rows) == (5, 3, 2)
    assert summary.repaired_rows == 0
    assert output.read_bytes() == b'id,name,score\n1,"Smith, J",90\n4,"say ""hi""",70\n'
    assert quarantine.read_bytes() == (
        QUARANTINE_HEADER + b'3,"Row has too few columns (expected 3)","2,Lee"\n'
        b'4,"Row has extra columns (expected 3)","3,Kim,88,extra"\n'
    )


def test_without_quarantine_path_rejected_rows_are_only_counted(damaged_path, tmp_path):
    summary = salvage_file(damaged_path, str(tmp_path / "clean.csv"), fill_ragged_rows=False)
    assert summary.quarantined_rows == 1
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(damaged_path), "clean.csv"])


def test_empty_input(write_input, tmp_path):
    output, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
    summary = salvage_file(write_input(b""), str(output), str(quarantine), delimiter=";", expected_columns=5)
    assert repr(summary) == (
        "<SalvageSummary total_rows=0 salvaged_rows=0 repaired_rows=0 quarantined_rows=0 "
        "delimiter=',' inferred_columns=0>"
    )
    assert output.read_bytes() == b""
    assert quarantine.read_bytes() == QUARANTINE_HEADER


def test_semicolon_input_gives_semicolon_output(write_input, tmp_path):
    output = tmp_path / "clean.csv"
    summary = salvage_file(write_input(b"a;b;c\r\n1;2\r\n"), str(output))
    assert summary.detected_delimiter == ";"
    assert output.read_bytes() == b"a;b;c\n1;2;\n"


def test_existing_output_is_truncated(damaged_path, tmp_path):
    output = tmp_path / "clean.csv"
    output.write_bytes(b"x" * 10_000)
    salvage_file(damaged_path, str(output))
    assert output.read_bytes().startswith(b"id,name,score\n")
    assert len(output.read_bytes()) < 200


# The option texts are reduced to single bytes: (options, expected clean bytes, expected delimiter).
OPTION_REDUCTIONS = [
    ({"delimiter": ";;"}, b"a,b;c;\n1,2;3;\n", ";"),
    ({"delimiter": ";"}, b"a,b;c;\n1,2;3;\n", ";"),
    ({"delimiter": ""}, b"a,b;c,\n1,2;3,\n", ","),
    ({"delimiter": None}, b"a,b;c,\n1,2;3,\n", ","),
]


@pytest.mark.parametrize(("options", "clean", "delimiter"), OPTION_REDUCTIONS)
def test_delimiter_text_reduces_to_its_first_byte(write_input, tmp_path, options, clean, delimiter):
    output = tmp_path / "clean.csv"
    summary = salvage_file(write_input(b"a,b;c\n1,2;3\n"), str(output), expected_columns=3, **options)
    assert summary.detected_delimiter == delimiter
    assert output.read_bytes() == clean


@pytest.mark.parametrize(
    ("quote_char", "clean"),
    [
        ('"', b'"\'a""b\'",c\n'),
        ("", b'"\'a""b\'",c\n'),
        ("'", b'a"b,c\n'),
        ("'x", b'a"b,c\n'),
    ],
)
def test_quote_char_text_reduces_to_its_first_byte(write_input, tmp_path, quote_char, clean):
    output = tmp_path / "clean.csv"
    salvage_file(write_input(b"'a\"b',c\n"), str(output), quote_char=quote_char)
    assert output.read_bytes() == clean


# Regression: sniffing and inference read '"' whatever quote_char said, so quoted
# commas padded every row with a phantom column or won the delimiter.
@pytest.mark.parametrize(
    ("content", "delimiter", "rows"),
    [
        (b"id,name,x\n1,'Smith, John',x\n", ",", [["id", "name", "x"], ["1", "Smith, John", "x"]]),
        (
            b"'Smith, John, Jr';1\n'Doe, Jane, Sr';2\n",
            ";",
            [["Smith, John, Jr", "1"], ["Doe, Jane, Sr", "2"]],
        ),
    ],
)
def test_quote_char_reaches_sniffing_and_inference(write_input, tmp_path, content, delimiter, rows):
    source = write_input(content)
    summary = salvage_file(source, str(tmp_path / "clean.csv"), quote_char="'")
    assert (summary.detected_delimiter, summary.inferred_columns, summary.repaired_rows) == (
        delimiter,
        len(rows[0]),
        0,
    )
    assert list(backend.open(source, quote_char="'")) == rows


@pytest.mark.parametrize(
    ("expected_columns", "clean", "counts"),
    [
        (None, b'a,b\n1,"2,3"\n4,\n5,6\n', (4, 2, 2)),
        (0, b"a,b\n1,2,3\n4\n5,6\n", (4, 0, 0)),
        (1, b'"a,b"\n"1,2,3"\n4\n"5,6"\n', (4, 3, 1)),
    ],
)
def test_expected_columns_zero_disables_reconciling(write_input, tmp_path, expected_columns, clean, counts):
    output = tmp_path / "clean.csv"
    summary = salvage_file(write_input(b"a,b\n1,2,3\n4\n5,6\n"), str(output), expected_columns=expected_columns)
    assert (summary.total_rows, summary.repaired_rows, summary.inferred_columns) == counts
    assert output.read_bytes() == clean


def assert_plain_os_error(error, text_end):
    assert type(error) is OSError
    assert error.errno is None
    assert error.strerror is None
    assert error.filename is None
    assert len(error.args) == 1
    assert str(error).endswith(text_end)


def test_missing_input_is_plain_os_error_and_touches_nothing(tmp_path):
    output, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
    output.write_bytes(b"keep me\n")
    with pytest.raises(OSError) as caught:
        salvage_file(str(tmp_path / "missing.csv"), str(output), str(quarantine))
    assert_plain_os_error(caught.value, " (os error 2)")
    assert output.read_bytes() == b"keep me\n"
    assert not quarantine.exists()


def test_missing_output_directory_writes_no_quarantine(damaged_path, tmp_path):
    quarantine = tmp_path / "quarantine.csv"
    with pytest.raises(OSError) as caught:
        salvage_file(damaged_path, str(tmp_path / "nowhere" / "clean.csv"), str(quarantine))
    assert_plain_os_error(caught.value, " (os error 2)")
    assert not quarantine.exists()


@pytest.mark.parametrize("quarantine_name", ["nowhere/quarantine.csv", ""])
def test_quarantine_failure_leaves_output_complete(damaged_path, tmp_path, quarantine_name):
    output = tmp_path / "clean.csv"
    quarantine = str(tmp_path / quarantine_name) if quarantine_name else ""
    with pytest.raises(OSError) as caught:
        salvage_file(damaged_path, str(output), quarantine, fill_ragged_rows=False)
    assert_plain_os_error(caught.value, " (os error 2)")
    assert output.read_bytes() == (b'id,name,score\n1,"Smith, J",90\n3,Kim,"88,extra"\n4,"say ""hi""",70\n')


def test_directory_as_input_is_plain_os_error(tmp_path):
    with pytest.raises(OSError) as caught:
        salvage_file(str(tmp_path), str(tmp_path / "clean.csv"))
    assert_plain_os_error(caught.value, " (os error 21)")


@pytest.mark.parametrize("position", ["input", "output", "quarantine"])
def test_nul_in_a_path(damaged_path, tmp_path, position):
    paths = {
        "input": damaged_path,
        "output": str(tmp_path / "clean.csv"),
        "quarantine": str(tmp_path / "q.csv"),
    }
    paths[position] += "\0tail"
    with pytest.raises(OSError) as caught:
        salvage_file(paths["input"], paths["output"], paths["quarantine"])
    assert type(caught.value) is OSError
    assert caught.value.errno is None
    assert str(caught.value) == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize(
    "content",
    [
        b"\x00\x01\x02\xff\xfe",
        b'"""""""',
        b"\r\r\n\n\r",
        b'"never closed,\nstill open\n',
        b"\xef\xbb\xbf",
        b",,,,\n,,\n",
    ],
)
def test_any_readable_input_gives_a_summary(write_input, tmp_path, content):
    summary = salvage_file(write_input(content), str(tmp_path / "clean.csv"), str(tmp_path / "q.csv"))
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows


@pytest.mark.parametrize(
    ("quarantine_name", "output_exists"),
    [
        ("clean.csv", True),
        ("sub/../clean.csv", True),
        ("sub/../clean.csv", False),
        ("link-to-clean", True),
        ("link-to-clean", False),  # a symlink that leads to the output-to-be
        ("hard-link", True),
        ("relative", True),
    ],
)
def test_quarantine_onto_the_output_is_refused_before_anything_is_written(
    damaged_path, tmp_path, monkeypatch, quarantine_name, output_exists
):
    """The fault: the quarantine file overwrote the clean rows just written."""
    output = tmp_path / "clean.csv"
    if output_exists:
        output.write_bytes(b"older output\n")
    (tmp_path / "sub").mkdir()
    os.symlink("clean.csv", tmp_path / "link-to-clean")
    if output_exists:
        os.link(output, tmp_path / "hard-link")
    monkeypatch.chdir(tmp_path / "sub")
    quarantine = "../clean.csv" if quarantine_name == "relative" else str(tmp_path / quarantine_name)
    with pytest.raises(ValueError, match=r"^output_path and quarantine_path are the same file$"):
        salvage_file(damaged_path, str(output), quarantine)
    if output_exists:
        assert output.read_bytes() == b"older output\n"
    else:
        assert not output.exists()


def test_devices_take_output_and_quarantine_alike(damaged_path):
    summary = salvage_file(damaged_path, os.devnull, os.devnull, merge_overflow=False)
    assert summary.quarantined_rows == 1
