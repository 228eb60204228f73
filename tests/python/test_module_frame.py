"""What the module looks like after import: attributes, names, docstrings, types."""

import importlib.util
import inspect
import weakref

import pytest

import _tidewrack_backend as backend

PUBLIC_NAMES = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]

PACKAGE_DESCRIPTION = (
    "High-performance, fault-tolerant tidewrack and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

SALVAGE_FILE_SIGNATURE = (
    '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
READER_SIGNATURE = (
    '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
    "merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
SALVAGE_FILE_DOC = "\n".join(
    [
        "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.",
        "",
        "Args:",
        "    input_path: Path to the corrupted CSV file.",
        "    output_path: Path where the repaired CSV file will be written.",
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
        '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.',
        "    quote_char: Optional single-character quote enclosure (default '\"').",
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
        "    expected_columns: Optional explicit column count. If None, inferred automatically.",
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
    ]
)


def test_module_attributes():
    assert backend.__version__ == "0.2.0"
    assert backend.__doc__ == PACKAGE_DESCRIPTION
    assert backend.__all__ == PUBLIC_NAMES
    assert type(backend.__all__) is list
    for name in PUBLIC_NAMES:
        assert hasattr(backend, name)


def test_star_import_binds_exactly_the_public_names():
    namespace = {}
    exec("from _tidewrack_backend import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(PUBLIC_NAMES)
    # The module's open shadows the builtin one in the importing namespace only.
    assert namespace["open"] is backend.open
    assert open is not backend.open


@pytest.mark.parametrize("name", ["salvage_file", "sniff", "open"])
def test_functions_belong_to_the_module(name):
    function = getattr(backend, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "_tidewrack_backend"
    assert function.__self__ is backend


@pytest.mark.parametrize("cls", [backend.SalvageSummary, backend.SalvageReader])
def test_classes_declare_no_home_module(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__name__ in ("SalvageSummary", "SalvageReader")


@pytest.mark.parametrize(
    ("obj", "text_signature", "doc"),
    [
        (backend.sniff, "(sample)", "Detects the most likely delimiter from a CSV string sample."),
        (backend.salvage_file, SALVAGE_FILE_SIGNATURE, SALVAGE_FILE_DOC),
        (
            backend.open,
            READER_SIGNATURE,
            "Convenience function to open and stream a salvaged CSV file.",
        ),
        (
            backend.SalvageReader,
            READER_SIGNATURE,
            "In-memory streaming reader iterating over salvaged rows.",
        ),
        (backend.SalvageReader.__enter__, "($self)", None),
        (
            backend.SalvageReader.__exit__,
            "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
            None,
        ),
        (
            backend.SalvageSummary.to_dict,
            "($self)",
            "Converts the summary into a native Python dictionary.",
        ),
        (backend.SalvageSummary, None, "Python-exposed summary of a salvage operation."),
    ],
    ids=lambda value: getattr(value, "__qualname__", None),
)
def test_docstrings_and_text_signatures(obj, text_signature, doc):
    assert obj.__text_signature__ == text_signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize(
    ("cls", "attribute"),
    [(backend.SalvageReader, "summary")]
    + [
        (backend.SalvageSummary, name)
        for name in (
            "total_rows",
            "salvaged_rows",
            "repaired_rows",
            "quarantined_rows",
            "detected_delimiter",
            "inferred_columns",
        )
    ],
)
def test_attributes_are_getters_without_docstrings(cls, attribute):
    descriptor = cls.__dict__[attribute]
    assert type(descriptor).__name__ == "getset_descriptor"
    assert descriptor.__doc__ is None


def test_signatures_parse_with_their_defaults():
    parameters = inspect.signature(backend.salvage_file).parameters
    assert list(parameters) == [
        "input_path",
        "output_path",
        "quarantine_path",
        "delimiter",
        "quote_char",
        "fill_ragged_rows",
        "merge_overflow",
        "expected_columns",
        "repair_quotes",
    ]
    assert parameters["quote_char"].default == '"'
    assert parameters["expected_columns"].default is None
    for function in (backend.open, backend.SalvageReader):
        parameters = inspect.signature(function).parameters
        assert list(parameters)[0] == "file_path"
        assert parameters["quote_char"].default == '"'
        assert parameters["repair_quotes"].default is True


@pytest.mark.parametrize("cls", [backend.SalvageSummary, backend.SalvageReader])
def test_subclassing_is_refused(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_summary_cannot_be_instantiated_from_python():
    with pytest.raises(TypeError):
        backend.SalvageSummary()
    with pytest.raises(TypeError):
        backend.SalvageSummary.__new__(backend.SalvageSummary)


def test_instances_have_no_dict_and_no_weak_references(sample_path):
    reader = backend.SalvageReader(sample_path)
    for instance in (reader, reader.summary):
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)


def test_each_execution_of_the_module_makes_its_own_types(sample_path, tmp_path):
    spec = importlib.util.spec_from_file_location(backend.__name__, backend.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not backend
    assert again.SalvageSummary is not backend.SalvageSummary
    assert again.SalvageReader is not backend.SalvageReader
    assert again.SalvageReader.__qualname__ == "SalvageReader"
    assert type(again.salvage_file(sample_path, str(tmp_path / "out.csv"))) is again.SalvageSummary
    reader = again.open(sample_path)
    assert type(reader) is again.SalvageReader
    assert type(reader.summary) is again.SalvageSummary
    assert again.sniff is not backend.sniff
    assert again.sniff.__self__ is again
    assert again.__all__ == PUBLIC_NAMES
    assert again.__all__ is not backend.__all__
