"""tidewrack.dask on a real two-process local cluster."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import tidewrack
import tidewrack.dask as twd

DAMAGED = [
    'id,name,qty\n1,a,2\n2,"b,c\n3,d,4,5\n4\n',
    "id,name,qty\n5,e\n6,f,7,8\n\n9,g,1\n",
    'id,name,qty\n10,"h ""x"" i",3\n11,j,4,extra\n',
]


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("worker processes under the sanitizer take minutes to start")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as connected,
    ):
        yield connected


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    for index, text in enumerate(DAMAGED):
        (tmp_path / f"part{index}.csv").write_text(text, encoding="utf-8")
    (tmp_path / "notes.txt").write_text("not a table\n")
    return tmp_path


def test_files_expands_folders_and_patterns(folder: Path) -> None:
    for earlier_output in ("part0.clean.csv", "part0.quarantine.csv", "part0.repairs.csv"):
        (folder / earlier_output).write_text("id\n")
    parts = [str(folder / f"part{index}.csv") for index in range(3)]
    assert twd.files(folder) == parts
    assert twd.files(str(folder / "*.csv")) == parts
    assert twd.files(str(folder / "part[02].csv")) == [parts[0], parts[2]]
    assert twd.files([parts[2], folder / "notes.txt"]) == [parts[2], str(folder / "notes.txt")]


@pytest.mark.parametrize(
    ("entry", "message"),
    [("*.tsv", "no files match"), ("missing.csv", "No such file"), ("empty", "holds no CSV files")],
)
def test_files_refuses_an_entry_that_names_no_file(folder: Path, entry: str, message: str) -> None:
    (folder / "empty").mkdir()
    with pytest.raises(FileNotFoundError, match=message) as raised:
        twd.files([folder / "part0.csv", folder / entry])
    assert entry in str(raised.value)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda f: twd.salvage([f / "part0.csv", f / "sub" / "part0.csv"], f / "out"), ValueError, "would both write"),
        (lambda f: twd.salvage([f / "part0.csv", f / "part0.clean.csv"], f), ValueError, "is the input"),
        (lambda f: twd.salvage([f / "part1.repairs.csv", f / "part1.csv"], f), ValueError, "is the input"),
        (lambda f: twd.salvage(f / "part2.csv", f), ValueError, "the quarantine .* is the input"),
        (lambda f: twd.salvage(f / "part0.csv", f / "out", quarantine=f / "q.csv"), ValueError, "quarantine can only"),
        (lambda f: twd.salvage(f / "part0.csv", f / "out", repairs=f / "r.csv"), ValueError, "repairs can only"),
        (lambda f: twd.salvage([f / "part0.csv", f / "gone.csv"], f / "out"), FileNotFoundError, "gone.csv"),
        (lambda f: twd.salvage(f / "part0.csv", f / "out", bogus=1), TypeError, "bogus"),
        (lambda f: twd.read_csv(f / "part0.csv", quarantine=f / "q.csv"), ValueError, "writes no quarantine"),
        (lambda f: twd.read_csv(f / "part0.csv", repairs=f / "r.csv"), ValueError, "writes no repairs"),
    ],
    ids=[
        "shared output",
        "output is an input",
        "repair log is an input",
        "own quarantine",
        "one quarantine",
        "one repair log",
        "missing input",
        "unknown option",
        "read_csv quarantine",
        "read_csv repair log",
    ],
)
def test_refused_before_anything_is_written(folder: Path, call, error: type[Exception], message: str) -> None:
    pytest.importorskip("dask.dataframe")
    (folder / "sub").mkdir()
    (folder / "sub" / "part0.csv").write_text("a\n")
    (folder / "part0.clean.csv").write_text("the user's\n")
    (folder / "part1.repairs.csv").write_text("the user's\n")
    (folder / "part2.quarantine.csv").symlink_to(folder / "part2.csv")  # its own quarantine
    before = {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}
    with pytest.raises(error, match=message):
        call(folder)
    assert {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()} == before
    assert not (folder / "out").exists()


def test_salvage_on_the_cluster_writes_what_a_local_salvage_writes(client, folder: Path, tmp_path_factory) -> None:
    reports = twd.salvage(str(folder / "*.csv"), folder / "out", repairs=None)
    local = tmp_path_factory.mktemp("local")
    for index, report in enumerate(reports):
        source = folder / f"part{index}.csv"
        expected = tidewrack.salvage(source, local / f"part{index}.clean.csv", repairs=None)
        assert report.input == str(source)
        assert report.output == str(folder / "out" / f"part{index}.clean.csv")
        assert report.repairs is None and not (folder / "out" / f"part{index}.repairs.csv").exists()
        assert Path(report.output).read_bytes() == Path(expected.output).read_bytes()
        assert Path(report.quarantine).read_bytes() == Path(expected.quarantine).read_bytes()
        assert report.total_rows == expected.total_rows and report.repaired_rows == expected.repaired_rows


def test_read_csv_has_one_partition_per_file(client, folder: Path) -> None:
    frame = twd.read_csv(folder)
    assert frame.npartitions == len(DAMAGED)
    computed = frame.compute()
    expected = [tidewrack.read_csv(folder / f"part{index}.csv") for index in range(len(DAMAGED))]
    assert list(computed.columns) == ["id", "name", "qty"]
    assert computed.astype(object).values.tolist() == [
        row for part in expected for row in part.astype(object).values.tolist()
    ]


@pytest.mark.parametrize("dtype_backend", [None, "pyarrow"])
def test_read_csv_casts_partitions_to_the_first_files_types(client, tmp_path: Path, dtype_backend) -> None:
    (tmp_path / "a.csv").write_text("id,price,day,code\n1,1.5,2024-01-02,x\n")
    (tmp_path / "b.csv").write_text("id,price,day,code\n2,3,,+3\n")  # integer prices, no days, a number code
    frame = twd.read_csv(tmp_path, infer_types=True, dtype_backend=dtype_backend)
    computed = frame.compute()
    assert dict(computed.dtypes) == dict(frame.dtypes)
    assert computed["price"].tolist() == [1.5, 3.0]
    assert computed["day"].isna().tolist() == [False, True]
    assert computed["code"].tolist() == ["x", "+3"]  # text stays as written


@pytest.mark.parametrize(
    ("second", "message"),
    [
        pytest.param("id,cost,day\n2,3,x\n", r"b\.csv' has the columns \['id', 'cost', 'day'\]", id="header"),
        pytest.param("id,price,day\n2.5,3,x\n", r"column 'id' of '.*b\.csv' holds float64", id="inexact type"),
        pytest.param("id,price,day\ntrue,3,x\n", r"column 'id' of '.*b\.csv' holds bool", id="another kind"),
    ],
)
def test_read_csv_refuses_partitions_that_contradict_the_first(client, tmp_path: Path, second, message) -> None:
    (tmp_path / "a.csv").write_text("id,price,day\n1,1.5,x\n")
    (tmp_path / "b.csv").write_text(second)
    with pytest.raises(ValueError, match=message):
        twd.read_csv(tmp_path, infer_types=True).compute()
