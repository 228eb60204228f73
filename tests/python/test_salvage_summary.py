"""SalvageSummary: an immutable snapshot of the counters of one salvage."""

import pytest

import _tidewrack_backend as backend

FIELDS = [
    "total_rows",
    "salvaged_rows",
    "repaired_rows",
    "quarantined_rows",
    "detected_delimiter",
    "inferred_columns",
]

DAMAGED_INPUTS = [
    b"",
    b"\xef\xbb\xbf",
    b"a,b,c\n1,2\n3,4,5,6\n\n7,8,9\n",
    b'a;b\n"open;quote\nx;y\n',
    b"x\n\n\ny\n",
    b'"a""b",c\r\n"he said "hi" ok",d\r\n',
    b"\xff\xfe\x00,\x01\n" * 20,
]
OPTION_SETS = [
    {},
    {"fill_ragged_rows": False, "merge_overflow": False},
    {"expected_columns": 0},
    {"expected_columns": 2, "delimiter": ","},
    {"repair_quotes": False, "quote_char": "'"},
]


@pytest.mark.parametrize("options", OPTION_SETS)
@pytest.mark.parametrize("content", DAMAGED_INPUTS)
def test_counters_are_consistent(write_input, content, options):
    summary = backend.open(write_input(content), **options).summary
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
    assert len(summary.detected_delimiter) == 1


def test_summary_of_an_empty_input(write_input):
    summary = backend.open(write_input(b"")).summary
    assert summary.to_dict() == {
        "total_rows": 0,
        "salvaged_rows": 0,
        "repaired_rows": 0,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 0,
    }
    assert repr(summary) == (
        "<SalvageSummary total_rows=0 salvaged_rows=0 repaired_rows=0 quarantined_rows=0 "
        "delimiter=',' inferred_columns=0>"
    )


def test_repr_inserts_the_delimiter_verbatim(write_input):
    summary = backend.open(write_input(b"a\tb\tc\n1\t2\n3\t4\t5\n")).summary
    assert repr(summary) == (
        "<SalvageSummary total_rows=3 salvaged_rows=3 repaired_rows=1 quarantined_rows=0 "
        "delimiter='\t' inferred_columns=3>"
    )
    assert str(summary) == repr(summary)


@pytest.mark.parametrize(
    ("delimiter", "detected"),
    [
        (";;", ";"),
        ("\x00", "\x00"),
        # A non-ASCII delimiter contributes its first UTF-8 byte, reported as that code point.
        ("§", "\u00c2"),
        ("é", "\u00c3"),
    ],
)
def test_detected_delimiter_text(write_input, delimiter, detected):
    summary = backend.open(write_input(b"a,b\n"), delimiter=delimiter).summary
    assert summary.detected_delimiter == detected
    assert f"delimiter='{detected}'" in repr(summary)


def test_largest_count_comes_back_exactly(write_input):
    summary = backend.open(write_input(b"a,b\n"), expected_columns=2**64 - 1).summary
    assert summary.inferred_columns == 2**64 - 1
    assert repr(summary).endswith(f"inferred_columns={2**64 - 1}>")


@pytest.mark.parametrize("field", FIELDS)
def test_attributes_are_read_only(sample_path, field):
    summary = backend.open(sample_path).summary
    before = getattr(summary, field)
    with pytest.raises(AttributeError):
        setattr(summary, field, before)
    with pytest.raises(AttributeError):
        delattr(summary, field)
    assert getattr(summary, field) == before


def test_to_dict_keys_values_and_order(sample_path):
    summary = backend.open(sample_path).summary
    result = summary.to_dict()
    assert list(result) == FIELDS
    assert result == {field: getattr(summary, field) for field in FIELDS}
    assert result == {
        "total_rows": 4,
        "salvaged_rows": 4,
        "repaired_rows": 2,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }


def test_to_dict_returns_fresh_independent_dicts(sample_path):
    summary = backend.open(sample_path).summary
    first, second = summary.to_dict(), summary.to_dict()
    assert first == second
    assert first is not second
    first["total_rows"] = -1
    first.clear()
    assert summary.total_rows == 4
    assert summary.to_dict() == second


def test_repeated_reads_agree(sample_path):
    summary = backend.open(sample_path).summary
    for field in FIELDS:
        assert getattr(summary, field) == getattr(summary, field)


def test_summary_outlives_its_reader(sample_path):
    reader = backend.open(sample_path)
    summary = reader.summary
    expected = summary.to_dict()
    del reader
    assert summary.to_dict() == expected


def test_identity_based_equality(sample_path):
    reader = backend.open(sample_path)
    first, second = reader.summary, reader.summary
    assert first != second
    assert first == first
