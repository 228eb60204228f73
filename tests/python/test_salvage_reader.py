"""SalvageReader and open: iterate over the salvaged rows of a file in memory."""

import os

import pytest

import _tidewrack_backend as backend
from _tidewrack_backend import SalvageReader

SAMPLE_ROWS = [
    ["id", "name", "score"],
    ["1", "Smith, J", "90"],
    ["2", "Lee", ""],
    ["3", "Kim", "88,extra"],
]


@pytest.mark.parametrize("make", [SalvageReader, backend.open], ids=["class", "open"])
def test_rows_are_lists_of_exactly_n_str(sample_path, make):
    reader = make(sample_path)
    assert type(reader) is SalvageReader
    rows = list(reader)
    assert rows == SAMPLE_ROWS
    for row in rows:
        assert type(row) is list
        assert len(row) == 3
        assert all(type(field) is str for field in row)


def test_one_pass_then_exhausted_with_constant_length(sample_path):
    reader = SalvageReader(sample_path)
    assert len(reader) == 4
    assert list(reader) == SAMPLE_ROWS
    assert len(reader) == 4
    assert list(reader) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert len(reader) == reader.summary.salvaged_rows == 4


def test_rows_are_new_objects_on_every_step(write_input):
    reader = SalvageReader(write_input(b"a,b\na,b\n"))
    first, second = next(reader), next(reader)
    assert first == second
    assert first is not second
    first.append("changed")
    assert len(reader) == 2


def test_empty_file(write_input):
    reader = SalvageReader(write_input(b""))
    assert len(reader) == 0
    assert not reader
    with pytest.raises(StopIteration):
        next(reader)
    assert reader.summary.to_dict() == {
        "total_rows": 0,
        "salvaged_rows": 0,
        "repaired_rows": 0,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 0,
    }


def test_truth_follows_the_row_count_not_the_position(sample_path):
    reader = SalvageReader(sample_path)
    list(reader)
    assert reader


def test_iter_is_self_and_does_not_rewind(sample_path):
    reader = SalvageReader(sample_path)
    assert iter(reader) is reader
    next(reader)
    assert iter(reader) is reader
    assert list(iter(reader)) == SAMPLE_ROWS[1:]


def test_context_manager_neither_rewinds_nor_releases(sample_path):
    reader = SalvageReader(sample_path)
    with reader as bound:
        assert bound is reader
        assert next(bound) == SAMPLE_ROWS[0]
    assert next(reader) == SAMPLE_ROWS[1]
    with reader:
        pass
    assert list(reader) == SAMPLE_ROWS[2:]
    assert reader.summary.total_rows == 4


def test_exception_in_with_block_propagates(sample_path):
    reader = SalvageReader(sample_path)
    with pytest.raises(KeyError, match="inside"):
        with reader:
            next(reader)
            raise KeyError("inside")
    assert list(reader) == SAMPLE_ROWS[1:]


def test_summary_is_a_fresh_read_only_snapshot(sample_path):
    reader = SalvageReader(sample_path)
    first, second = reader.summary, reader.summary
    assert type(first) is backend.SalvageSummary
    assert first is not second
    assert first.to_dict() == second.to_dict()
    with pytest.raises(AttributeError):
        reader.summary = first
    with pytest.raises(AttributeError):
        del reader.summary


def test_open_equals_the_constructor(sample_path):
    by_open, by_class = (
        backend.open(sample_path, ";", "'", False, False, 2, False),
        SalvageReader(sample_path, ";", "'", False, False, 2, False),
    )
    assert by_open.summary.to_dict() == by_class.summary.to_dict()
    assert list(by_open) == list(by_class)


def test_new_called_directly_works_like_the_class(sample_path):
    reader = SalvageReader.__new__(SalvageReader, sample_path)
    assert type(reader) is SalvageReader
    assert list(reader) == SAMPLE_ROWS


def test_new_refuses_other_types(sample_path):
    with pytest.raises(TypeError):
        SalvageReader.__new__(backend.SalvageSummary, sample_path)


@pytest.mark.parametrize(
    ("content", "rows"),
    [
        # Multi-byte text, undecodable bytes, NUL bytes, empty fields.
        (b"caf\xc3\xa9,\xff\xfe,ok\n", [["café", "\ufffd\ufffd", "ok"]]),
        (b"a\x00b,,\xe2\x82\xac\n", [["a\x00b", "", "€"]]),
        (b"\xf0\x9f\x90\x8d,x\n", [["\U0001f40d", "x"]]),
        (b'"multi\r\nline",x\n', [["multi\r\nline", "x"]]),
        (b"\xef\xbb\xbfa,b\n", [["a", "b"]]),
        (b"\n\n", [[""], [""]]),
        # Blanks after a closing quote stay before text (they used to glue words).
        (
            b'"Whose Line Is It Anyway?" Episode #2.7,1999\n"a"  ,b\n',
            [["Whose Line Is It Anyway? Episode #2.7", "1999"], ["a", "b"]],
        ),
    ],
)
def test_field_texts(write_input, content, rows):
    assert list(SalvageReader(write_input(content))) == rows


def test_reconciled_width(write_input):
    reader = SalvageReader(write_input(b"a,b,c,d\n1\n1,2,3,4,5,6\n\n"), expected_columns=4)
    rows = list(reader)
    assert rows == [
        ["a", "b", "c", "d"],
        ["1", "", "", ""],
        ["1", "2", "3", "4,5,6"],
        ["", "", "", ""],
    ]
    assert reader.summary.repaired_rows == 3


def test_rows_wider_than_memory_raise_memory_error(write_input):
    # Regression: a padded row wider than any list used to be cast to a negative list size.
    reader = SalvageReader(write_input(b"a\n"), expected_columns=2**64 - 1)
    assert len(reader) == 1
    with pytest.raises(MemoryError):
        next(reader)


def assert_kind(error, cls, text_end):
    assert type(error) is cls
    assert error.errno is None
    assert error.strerror is None
    assert error.filename is None
    assert str(error).endswith(text_end)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        SalvageReader(str(tmp_path / "missing.csv"))
    assert_kind(caught.value, FileNotFoundError, " (os error 2)")


def test_directory(tmp_path):
    with pytest.raises(IsADirectoryError) as caught:
        backend.open(str(tmp_path))
    assert_kind(caught.value, IsADirectoryError, " (os error 21)")


def test_component_not_a_directory(sample_path):
    with pytest.raises(NotADirectoryError) as caught:
        SalvageReader(os.path.join(sample_path, "inside.csv"))
    assert_kind(caught.value, NotADirectoryError, " (os error 20)")


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(sample_path):
    os.chmod(sample_path, 0)
    with pytest.raises(PermissionError) as caught:
        SalvageReader(sample_path)
    assert_kind(caught.value, PermissionError, " (os error 13)")


def test_nul_in_path(sample_path):
    with pytest.raises(OSError) as caught:
        backend.open(sample_path + "\0")
    assert type(caught.value) is OSError
    assert caught.value.errno is None
    assert str(caught.value) == "file name contained an unexpected NUL byte"


def test_quote_char_none_is_refused_with_note(sample_path):
    with pytest.raises(TypeError) as caught:
        SalvageReader(sample_path, quote_char=None)
    assert str(caught.value) == "'None' is not an instance of 'str'"
    assert caught.value.__notes__ == ["while processing 'quote_char'"]


def test_reader_keeps_no_file_handle(sample_path):
    reader = SalvageReader(sample_path)
    os.remove(sample_path)
    assert list(reader) == SAMPLE_ROWS


def test_many_readers_come_and_go(sample_path):
    for _ in range(200):
        reader = SalvageReader(sample_path)
        next(reader)
        del reader
