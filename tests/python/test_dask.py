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
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as connected:
        yield connected


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    for index, text in enumerate(DAMAGED):
        (tmp_path / f"part{index}.csv").write_text(text, encoding="utf-8")
    (tmp_path / "notes.txt").write_text("not a table\n")
    return tmp_path


def test_files_expands_folders_and_patterns(folder: Path) -> None:
    parts = [str(folder / f"part{index}.csv") for index in range(3)]
    assert twd.files(folder) == parts
    assert twd.files(str(folder / "part[02].csv")) == [parts[0], parts[2]]
    assert twd.files([parts[2], folder / "notes.txt"]) == [parts[2], str(folder / "notes.txt")]
    with pytest.raises(FileNotFoundError, match="no files match"):
        twd.files(str(folder / "*.tsv"))


def test_salvage_refuses_inputs_that_would_share_an_output(folder: Path) -> None:
    pytest.importorskip("dask")
    (folder / "sub").mkdir()
    (folder / "sub" / "part0.csv").write_text("a\n")
    with pytest.raises(ValueError, match="would both write"):
        twd.salvage([folder / "part0.csv", folder / "sub" / "part0.csv"], folder / "out")
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
