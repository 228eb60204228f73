"""Binding and conversion of arguments, as a table over every entry point."""

import os
import pathlib

import pytest

import _tidewrack_backend as backend


def entry_point(name, path):
    """The callable behind one entry point, with `path` as a readable input file."""
    return {
        "sniff": backend.sniff,
        "salvage_file": backend.salvage_file,
        "open": backend.open,
        "SalvageReader": backend.SalvageReader,
        "SalvageReader.__new__": lambda *args, **kwargs: backend.SalvageReader.__new__(
            backend.SalvageReader, *args, **kwargs
        ),
        "__exit__": backend.SalvageReader(path).__exit__,
    }[name]


@pytest.mark.parametrize(
    ("name", "count", "message"),
    [
        ("sniff", 2, "sniff() takes 1 positional arguments but 2 were given"),
        (
            "salvage_file",
            10,
            "salvage_file() takes from 2 to 9 positional arguments but 10 were given",
        ),
        ("open", 8, "open() takes from 1 to 7 positional arguments but 8 were given"),
        (
            "SalvageReader",
            8,
            "SalvageReader.__new__() takes from 1 to 7 positional arguments but 8 were given",
        ),
        (
            "SalvageReader.__new__",
            9,
            "SalvageReader.__new__() takes from 1 to 7 positional arguments but 9 were given",
        ),
        (
            "__exit__",
            4,
            "SalvageReader.__exit__() takes from 0 to 3 positional arguments but 4 were given",
        ),
    ],
)
def test_too_many_positional_arguments(sample_path, name, count, message):
    with pytest.raises(TypeError) as caught:
        entry_point(name, sample_path)(*[sample_path] * count)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "message"),
    [
        ("sniff", ("a;b",), {"delim": ","}, "sniff() got an unexpected keyword argument 'delim'"),
        ("sniff", (), {"Sample": "a"}, "sniff() got an unexpected keyword argument 'Sample'"),
        (
            "salvage_file",
            ("i", "o"),
            {"quarantine": "q"},
            "salvage_file() got an unexpected keyword argument 'quarantine'",
        ),
        ("open", (), {"path": "p"}, "open() got an unexpected keyword argument 'path'"),
        (
            "SalvageReader",
            ("p",),
            {"delimeter": ","},
            "SalvageReader.__new__() got an unexpected keyword argument 'delimeter'",
        ),
        (
            "__exit__",
            (),
            {"exc_type": None},
            "SalvageReader.__exit__() got an unexpected keyword argument 'exc_type'",
        ),
        # The unknown keyword is reported before anything is converted.
        ("sniff", (b"bytes",), {"bogus": 1}, "sniff() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_unexpected_keyword(sample_path, name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        entry_point(name, sample_path)(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "message"),
    [
        ("sniff", ("a;b",), {"sample": "a|b"}, "sniff() got multiple values for argument 'sample'"),
        (
            "salvage_file",
            ("i", "o"),
            {"input_path": "x"},
            "salvage_file() got multiple values for argument 'input_path'",
        ),
        (
            "salvage_file",
            ("i", "o", None, ";"),
            {"delimiter": ","},
            "salvage_file() got multiple values for argument 'delimiter'",
        ),
        ("open", ("p",), {"file_path": "p"}, "open() got multiple values for argument 'file_path'"),
        (
            "SalvageReader",
            ("p", ","),
            {"delimiter": ";"},
            "SalvageReader.__new__() got multiple values for argument 'delimiter'",
        ),
        (
            "__exit__",
            (None,),
            {"_exc_type": None},
            "SalvageReader.__exit__() got multiple values for argument '_exc_type'",
        ),
    ],
)
def test_multiple_values_for_one_parameter(sample_path, name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        entry_point(name, sample_path)(*args, **kwargs)
    assert str(caught.value) == message


def test_keyword_never_silently_overrides_a_positional(sample_path, tmp_path):
    # Guards the classic binder fault: the later keyword replacing the positional value.
    output = tmp_path / "out.csv"
    with pytest.raises(TypeError, match="multiple values for argument 'output_path'"):
        backend.salvage_file(sample_path, str(output), output_path=str(tmp_path / "other.csv"))
    assert sorted(os.listdir(tmp_path)) == [os.path.basename(sample_path)]


def test_keyword_names_made_at_run_time_match_by_value(sample_path):
    # Keyword names built at run time are not the interned parameter names.
    name = "".join(["sam", "ple"])
    assert backend.sniff(**{name: "a;b\nc;d"}) == ";"
    reader = backend.open(**{"".join(["file", "_path"]): sample_path})
    assert len(reader) == 4


@pytest.mark.parametrize(
    ("name", "args", "kwargs", "message"),
    [
        ("sniff", (), {}, "sniff() missing 1 required positional argument: 'sample'"),
        (
            "salvage_file",
            (),
            {},
            "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'",
        ),
        (
            "salvage_file",
            ("i",),
            {},
            "salvage_file() missing 1 required positional argument: 'output_path'",
        ),
        (
            "salvage_file",
            (),
            {"output_path": "o"},
            "salvage_file() missing 1 required positional argument: 'input_path'",
        ),
        (
            "salvage_file",
            (),
            {"delimiter": ";"},
            "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'",
        ),
        ("open", (), {}, "open() missing 1 required positional argument: 'file_path'"),
        (
            "SalvageReader",
            (),
            {},
            "SalvageReader.__new__() missing 1 required positional argument: 'file_path'",
        ),
        (
            "SalvageReader.__new__",
            (),
            {"delimiter": ";"},
            "SalvageReader.__new__() missing 1 required positional argument: 'file_path'",
        ),
        # Missing arguments are reported before the given ones are converted.
        (
            "salvage_file",
            (1,),
            {},
            "salvage_file() missing 1 required positional argument: 'output_path'",
        ),
    ],
)
def test_missing_required_arguments(sample_path, name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        entry_point(name, sample_path)(*args, **kwargs)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


class Holder:
    class Inner:
        pass


def required_arguments(name, path, tmp_path):
    return {
        "sniff": {"sample": "a;b"},
        "salvage_file": {"input_path": path, "output_path": str(tmp_path / "out.csv")},
        "open": {"file_path": path},
        "SalvageReader": {"file_path": path},
    }[name]


REFUSED = [
    # (entry points, parameter, value, exception, message)
    ("sniff", "sample", b"a;b", TypeError, "'bytes' object is not an instance of 'str'"),
    ("sniff", "sample", None, TypeError, "'None' is not an instance of 'str'"),
    ("sniff", "sample", 7, TypeError, "'int' object is not an instance of 'str'"),
    (
        "sniff",
        "sample",
        Holder.Inner(),
        TypeError,
        "'Holder.Inner' object is not an instance of 'str'",
    ),
    ("sniff", "sample", "\ud800", UnicodeEncodeError, None),
    (
        "salvage_file",
        "input_path",
        pathlib.PurePosixPath("in.csv"),
        TypeError,
        "'PurePosixPath' object is not an instance of 'str'",
    ),
    ("salvage_file", "input_path", "in\udcff.csv", UnicodeEncodeError, None),
    (
        "salvage_file",
        "output_path",
        b"out.csv",
        TypeError,
        "'bytes' object is not an instance of 'str'",
    ),
    ("salvage_file", "output_path", None, TypeError, "'None' is not an instance of 'str'"),
    (
        "salvage_file",
        "quarantine_path",
        b"q.csv",
        TypeError,
        "'bytes' object is not an instance of 'str'",
    ),
    ("salvage_file", "quarantine_path", "q\ud800", UnicodeEncodeError, None),
    ("open", "file_path", None, TypeError, "'None' is not an instance of 'str'"),
    (
        "open",
        "file_path",
        pathlib.PurePosixPath("in.csv"),
        TypeError,
        "'PurePosixPath' object is not an instance of 'str'",
    ),
    ("SalvageReader", "file_path", 3.5, TypeError, "'float' object is not an instance of 'str'"),
]
for entry in ("salvage_file", "open", "SalvageReader"):
    REFUSED += [
        (entry, "delimiter", b",", TypeError, "'bytes' object is not an instance of 'str'"),
        (entry, "delimiter", 44, TypeError, "'int' object is not an instance of 'str'"),
        (entry, "quote_char", None, TypeError, "'None' is not an instance of 'str'"),
        (entry, "quote_char", "\udc80", UnicodeEncodeError, None),
        (entry, "fill_ragged_rows", 1, TypeError, "'int' object is not an instance of 'bool'"),
        (entry, "fill_ragged_rows", None, TypeError, "'None' is not an instance of 'bool'"),
        (entry, "merge_overflow", 0, TypeError, "'int' object is not an instance of 'bool'"),
        (entry, "repair_quotes", "yes", TypeError, "'str' object is not an instance of 'bool'"),
        (entry, "expected_columns", -1, OverflowError, None),
        (entry, "expected_columns", 2**64, OverflowError, None),
        (entry, "expected_columns", 3.0, TypeError, None),
        (entry, "expected_columns", "3", TypeError, None),
    ]


@pytest.mark.parametrize(("name", "parameter", "value", "exception", "message"), REFUSED)
def test_refused_values_carry_the_parameter_note(sample_path, tmp_path, name, parameter, value, exception, message):
    kwargs = required_arguments(name, sample_path, tmp_path)
    kwargs[parameter] = value
    with pytest.raises(exception) as caught:
        entry_point(name, sample_path)(**kwargs)
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]
    # A call refused while converting has touched no file.
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    ("args", "kwargs", "parameter"),
    [
        ((1, 2), {}, "input_path"),
        (("in", 2), {"quote_char": None}, "output_path"),
        (("in", "out"), {"quote_char": None, "expected_columns": -1}, "quote_char"),
        (("in", "out"), {"expected_columns": -1, "repair_quotes": 1}, "expected_columns"),
        # Converting comes before judging the option bytes together.
        (("in", "out"), {"delimiter": '"', "repair_quotes": 1}, "repair_quotes"),
    ],
)
def test_conversion_stops_at_the_first_failing_parameter(args, kwargs, parameter):
    with pytest.raises((TypeError, OverflowError)) as caught:
        backend.salvage_file(*args, **kwargs)
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("name", ["salvage_file", "open", "SalvageReader"])
@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"delimiter": '"'}, "delimiter and quote_char must differ"),
        ({"delimiter": ";x", "quote_char": ";"}, "delimiter and quote_char must differ"),
        ({"delimiter": "é", "quote_char": "è"}, "delimiter and quote_char must differ"),  # byte C3
        ({"delimiter": "\n"}, "delimiter must not be a line break"),
        ({"delimiter": "\r\n", "quote_char": "\n"}, "delimiter must not be a line break"),
        ({"quote_char": "\r"}, "quote_char must not be a line break"),
    ],
)
def test_options_that_can_never_read_back_are_refused_before_any_file_is_opened(
    sample_path, tmp_path, name, options, message
):
    # A missing input shows that nothing was opened: ValueError, not FileNotFoundError.
    kwargs = required_arguments(name, str(tmp_path / "missing.csv"), tmp_path)
    with pytest.raises(ValueError) as caught:
        entry_point(name, sample_path)(**kwargs, **options)
    assert str(caught.value) == message
    assert not (tmp_path / "out.csv").exists()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("value", "columns"),
    [
        (0, 0),
        (2, 2),
        (True, 1),
        (Index(4), 4),
        (2**64 - 1, 2**64 - 1),
        (None, 3),
    ],
)
def test_accepted_column_counts(sample_path, value, columns):
    reader = backend.SalvageReader(sample_path, expected_columns=value)
    assert reader.summary.inferred_columns == columns


def test_failing_index_keeps_its_exception_and_gets_the_note(sample_path):
    class Broken:
        def __index__(self):
            raise LookupError("no index here")

    with pytest.raises(LookupError, match="no index here") as caught:
        backend.open(sample_path, expected_columns=Broken())
    assert caught.value.__notes__ == ["while processing 'expected_columns'"]


def test_text_subclass_is_accepted(sample_path):
    class Text(str):
        pass

    assert backend.sniff(Text("a|b\nc|d")) == "|"
    assert len(backend.open(Text(sample_path), delimiter=Text(","))) == 4


def test_none_means_absent_for_optional_parameters(sample_path, tmp_path):
    summary = backend.salvage_file(
        sample_path,
        str(tmp_path / "out.csv"),
        quarantine_path=None,
        delimiter=None,
        expected_columns=None,
    )
    assert summary.detected_delimiter == ","
    assert summary.inferred_columns == 3
    # No quarantine file was made.
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(sample_path), "out.csv"])


@pytest.mark.parametrize("entry", ["salvage_file", "open", "SalvageReader"])
def test_numpy_booleans_are_read_by_truth_value(numpy, sample_path, tmp_path, entry):
    kwargs = required_arguments(entry, sample_path, tmp_path)
    quarantining = entry_point(entry, sample_path)(
        **kwargs,
        fill_ragged_rows=numpy.False_,
        merge_overflow=numpy.bool_(False),
        repair_quotes=numpy.True_,
    )
    summary = quarantining if entry == "salvage_file" else quarantining.summary
    assert (summary.salvaged_rows, summary.quarantined_rows) == (2, 2)


def test_numpy_non_boolean_is_refused_as_flag(numpy, sample_path):
    with pytest.raises(TypeError) as caught:
        backend.open(sample_path, fill_ragged_rows=numpy.int64(1))
    assert str(caught.value) == "'int64' object is not an instance of 'bool'"
    assert caught.value.__notes__ == ["while processing 'fill_ragged_rows'"]


def test_numpy_integer_is_a_column_count(numpy, sample_path):
    assert backend.open(sample_path, expected_columns=numpy.int64(2)).summary.inferred_columns == 2


@pytest.mark.parametrize("type_name", ["bool_", "bool"])
def test_flag_types_named_like_numpy_booleans_use_their_truth_slot(sample_path, type_name):
    falsy = type(type_name, (), {"__module__": "numpy", "__bool__": lambda self: False})
    summary = backend.open(sample_path, fill_ragged_rows=falsy()).summary
    assert summary.quarantined_rows == 1

    without_truth = type(type_name, (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as caught:
        backend.open(sample_path, merge_overflow=without_truth())
    assert str(caught.value) == f"object of type '{type_name}' does not define a '__bool__' conversion"
    assert caught.value.__notes__ == ["while processing 'merge_overflow'"]

    def refuse(self):
        raise ValueError("ambiguous")

    failing = type(type_name, (), {"__module__": "numpy", "__bool__": refuse})
    with pytest.raises(ValueError, match="ambiguous") as caught:
        backend.open(sample_path, repair_quotes=failing())
    assert caught.value.__notes__ == ["while processing 'repair_quotes'"]


def test_flag_type_named_bool_outside_numpy_is_refused(sample_path):
    impostor = type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda self: True})
    with pytest.raises(TypeError) as caught:
        backend.open(sample_path, repair_quotes=impostor())
    assert str(caught.value) == "'bool_' object is not an instance of 'bool'"


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((None, None, None), {}),
        ((ValueError, ValueError("x"), None), {}),
        ((), {"_exc_type": 1, "_exc_val": "anything", "_exc_tb": object()}),
    ],
)
def test_exit_accepts_any_objects_and_returns_false(sample_path, args, kwargs):
    reader = backend.SalvageReader(sample_path)
    assert reader.__exit__(*args, **kwargs) is False
