"""The tidewrack package: what it re-exports and what it adds to the extension."""

from __future__ import annotations

import errno
import importlib.metadata
import os
from collections.abc import Callable
from pathlib import Path

import pytest

import _tidewrack_backend
import tidewrack

RAGGED = "id,name,city\n1,Ana,Lisbon\n2,Ben\n3,Cleo,Paris,France\n"


@pytest.fixture
def ragged(tmp_path: Path) -> Path:
    path = tmp_path / "ragged.csv"
    path.write_text(RAGGED)
    return path


class TestSurface:
    def test_reexports_are_the_extensions_own_objects(self) -> None:
        for name in ("sniff", "SalvageReader", "SalvageSummary", "__version__"):
            assert getattr(tidewrack, name) is getattr(_tidewrack_backend, name), name
        assert tidewrack.__version__ == "0.2.0"
        # One version, written in pyproject.toml, reaches the metadata and the extension.
        assert importlib.metadata.version("tidewrack") == _tidewrack_backend.__version__
        assert set(tidewrack.__all__) == {
            "salvage",
            "Report",
            "BinaryInputError",
            "CompressedDataError",
            "salvage_file",
            "sniff",
            "open",
            "SalvageReader",
            "SalvageSummary",
            "read_csv",
            "__version__",
            "Scan",
            "scan",
            "read_arrow",
            "read_polars",
            "Dialect",
            "detect",
            "ThresholdExceeded",
            "InputChangedError",
        }

    def test_path_like_and_str_paths_give_the_same_salvage(self, tmp_path: Path, ragged: Path) -> None:
        by_path = tidewrack.salvage_file(ragged, tmp_path / "a.csv", tmp_path / "a.q.csv", merge_overflow=False)
        by_str = tidewrack.salvage_file(
            str(ragged), str(tmp_path / "b.csv"), str(tmp_path / "b.q.csv"), merge_overflow=False
        )

        assert type(by_path) is _tidewrack_backend.SalvageSummary
        assert by_path.to_dict() == by_str.to_dict()
        assert (tmp_path / "a.csv").read_bytes() == (tmp_path / "b.csv").read_bytes()
        assert (tmp_path / "a.q.csv").read_text().splitlines()[1].startswith("4,")

        with tidewrack.open(ragged, expected_columns=3) as reader:
            assert type(reader) is _tidewrack_backend.SalvageReader
            assert list(reader) == list(_tidewrack_backend.SalvageReader(str(ragged)))

    @pytest.mark.parametrize(
        "call",
        [
            lambda p, out: tidewrack.salvage_file(bytes(p), out),
            lambda p, out: tidewrack.salvage_file(p, out, quarantine_path=bytes(out)),
            lambda p, out: tidewrack.open(bytes(p)),
            lambda p, out: tidewrack.read_csv(bytes(p)),
        ],
        ids=["salvage_file-input", "salvage_file-quarantine", "open", "read_csv"],
    )
    def test_bytes_paths_are_refused_by_name(
        self, tmp_path: Path, ragged: Path, call: Callable[[Path, Path], object]
    ) -> None:
        with pytest.raises(TypeError, match=r"(input_path|quarantine_path|file_path|path) must be str or os\.PathLike"):
            call(ragged, tmp_path / "out.csv")
        assert not (tmp_path / "out.csv").exists()

    def test_other_wrong_types_still_get_the_extensions_message(self, tmp_path: Path) -> None:
        with pytest.raises(TypeError) as caught:
            tidewrack.salvage_file(42, str(tmp_path / "out.csv"))  # type: ignore[arg-type]
        assert "while processing 'input_path'" in "".join(getattr(caught.value, "__notes__", []))

    @pytest.mark.parametrize(
        ("call", "error", "number", "culprit"),
        [
            (
                lambda d: tidewrack.salvage_file(d / "missing.csv", d / "out.csv"),
                FileNotFoundError,
                errno.ENOENT,
                "missing.csv",
            ),
            (lambda d: tidewrack.salvage_file(d, d / "out.csv"), IsADirectoryError, errno.EISDIR, ""),
            (
                lambda d: tidewrack.salvage_file(d / "ragged.csv", d / "no" / "out.csv"),
                FileNotFoundError,
                errno.ENOENT,
                "no/out.csv",
            ),
            (
                lambda d: tidewrack.salvage_file(d / "ragged.csv", d / "out.csv", d / "no" / "q.csv"),
                FileNotFoundError,
                errno.ENOENT,
                "no/q.csv",
            ),
            (
                lambda d: tidewrack.salvage_file(d / "ragged.csv", d / "out.csv", "/dev/full"),
                OSError,
                errno.ENOSPC,
                "/dev/full",
            ),
            (lambda d: tidewrack.open(d / "missing.csv"), FileNotFoundError, errno.ENOENT, "missing.csv"),
            (lambda d: tidewrack.open(d), IsADirectoryError, errno.EISDIR, ""),
        ],
        ids=[
            "missing-input",
            "input-is-dir",
            "output-dir-missing",
            "quarantine-dir-missing",
            "quarantine-full",
            "open-missing",
            "open-dir",
        ],
    )
    def test_file_errors_name_the_file_and_leave_the_outputs(
        self,
        tmp_path: Path,
        ragged: Path,
        call: Callable[[Path], object],
        error: type[OSError],
        number: int,
        culprit: str,
    ) -> None:
        (tmp_path / "out.csv").write_bytes(b"previous\n")
        with pytest.raises(OSError) as caught:
            call(tmp_path)
        assert (type(caught.value), caught.value.errno, caught.value.filename) == (
            error,
            number,
            str(tmp_path / culprit),
        )
        assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv", "ragged.csv"]
        assert (tmp_path / "out.csv").read_bytes() == b"previous\n"

    def test_any_file_name_and_one_file_for_both_outputs(self, tmp_path: Path, ragged: Path) -> None:
        odd = os.fsdecode(b"caf\xe9")  # not UTF-8: the native module alone cannot take it
        tidewrack.salvage_file(ragged, tmp_path / f"{odd}.csv", tmp_path / f"{odd}.q.csv", merge_overflow=False)
        assert list(tidewrack.open(tmp_path / f"{odd}.csv")) == [
            ["id", "name", "city"],
            ["1", "Ana", "Lisbon"],
            ["2", "Ben", ""],
        ]
        with pytest.raises(ValueError, match="same file"):
            tidewrack.salvage_file(ragged, tmp_path / "x.csv", tmp_path / "sub" / ".." / "x.csv")


class TestReadCsv:
    def test_header_becomes_columns_and_every_cell_is_str(self, ragged: Path) -> None:
        pd = pytest.importorskip("pandas")
        df = tidewrack.read_csv(ragged)

        assert list(df.columns) == ["id", "name", "city"]
        assert df.values.tolist() == [["1", "Ana", "Lisbon"], ["2", "Ben", ""], ["3", "Cleo", "Paris,France"]]
        assert all(isinstance(cell, str) for column in df.columns for cell in df[column])
        assert all(pd.api.types.is_string_dtype(df[column]) for column in df.columns)

    def test_empty_file_gives_an_empty_frame(self, tmp_path: Path) -> None:
        pytest.importorskip("pandas")
        (tmp_path / "empty.csv").write_bytes(b"")
        assert tidewrack.read_csv(tmp_path / "empty.csv").shape == (0, 0)
