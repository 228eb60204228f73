"""scan / read_arrow / read_csv / read_polars: the clean rows of a salvage as Arrow string columns."""

from __future__ import annotations

import csv
import gc
import gzip
import random
import sys
from pathlib import Path

import pytest

import tidewrack

pa = pytest.importorskip("pyarrow")

REPO = Path(__file__).resolve().parents[2]
CORPUS = sorted(
    {path.read_bytes(): path for path in [*REPO.glob("fuzz/corpus/*/*"), *REPO.glob("examples/*.csv")]}.values()
)
DAMAGED = 'id,,name,name\n1,x,Ana,Lisbon\n2,y,"Ben\n"Bo" Li"\n3,z,Cleo,Paris,France\n4,w,"open,quote\n5,v,Dee,Oslo\n'


def clean_rows(source: Path, tmp_path: Path, **options: object) -> list[list[str]]:
    """The rows of the clean file salvage() writes, read back by the csv module."""
    report = tidewrack.salvage(source, tmp_path / "clean.csv", quarantine=None, repairs=None, **options)
    with open(tmp_path / "clean.csv", newline="", encoding="utf-8") as clean:
        rows = list(csv.reader(clean, delimiter=report.detected_delimiter, strict=True))
    return rows


def scanned_rows(source: Path, **options: object) -> tuple[list[str], list[list[str]]]:
    table = pa.table(tidewrack.scan(source, **options))
    assert set(table.schema.types) <= {pa.string_view() if options.get("string_view") else pa.string()}
    return table.column_names, [list(row.values()) for row in table.to_pylist()]


def damaged(seed: int) -> bytes:
    """About 200 kB of rows, a few of them short, long, badly quoted or not UTF-8."""
    rng = random.Random(seed)
    cells = [
        "a",
        "Zoë",
        "x y",
        '"q"',
        "12.5",
        "",
        '"a,b"',
        '"line\nbreak"',
        'st"ray',
        "\xff\xfe",
        '"a cell past twelve bytes"',
    ]
    lines = [b"k,l,m,n"]
    for _ in range(6000):
        width = rng.choice([4, 4, 4, 4, 4, 3, 5])
        lines.append(",".join(rng.choice(cells) for _ in range(width)).encode("utf-8", "surrogateescape"))
    return b"\n".join(lines) + b"\n"


@pytest.mark.parametrize(
    ("threads", "batch_rows", "string_view"),
    [(1, 1, False), (1, 65536, False), (2, 3, False), (2, 65536, False), (1, 2, True), (2, 65536, True)],
)
def test_rows_are_the_clean_files_rows(tmp_path: Path, threads: int, batch_rows: int, string_view: bool) -> None:
    sources = list(CORPUS)
    for seed in range(2):
        sources.append(tmp_path / f"damaged-{seed}.csv")
        sources[-1].write_bytes(damaged(seed))
    for source in sources:
        # Fuzz inputs of every byte are read as text too.
        expected = clean_rows(source, tmp_path, force_text=True)
        try:
            names, body = scanned_rows(
                source, force_text=True, threads=threads, batch_rows=batch_rows, string_view=string_view
            )
        except ValueError as err:  # no width inferred: the rows must indeed differ
            assert "expected_columns" in str(err) and len(set(map(len, expected))) > 1, source
            continue
        assert body == expected[1:], source
        assert len(names) == len(set(names)) == (len(expected[0]) if expected else 0), source


def pandas_rows(source: Path, **options: object) -> tuple[list[str], list[list[str]]]:
    pd = pytest.importorskip("pandas")
    frame = tidewrack.read_csv(source, **options)
    wanted = pd.ArrowDtype(pa.string()) if options else None
    assert all(dtype == wanted if wanted else pd.api.types.is_string_dtype(dtype) for dtype in frame.dtypes)
    return list(frame.columns), frame.values.tolist()


def polars_rows(source: Path) -> tuple[list[str], list[list[str]]]:
    pl = pytest.importorskip("polars")
    frame = tidewrack.read_polars(source)
    assert pl.DataFrame(tidewrack.scan(source)).equals(frame)
    return frame.columns, [list(row) for row in frame.rows()]


def duckdb_rows(source: Path) -> tuple[list[str], list[list[str]]]:
    duckdb = pytest.importorskip("duckdb")
    rows = tidewrack.scan(source)  # noqa: F841 - DuckDB finds it by name, and asks for two streams
    relation = duckdb.sql('SELECT * FROM rows ORDER BY "id"')
    return relation.columns, [list(row) for row in relation.fetchall()]


@pytest.mark.parametrize(
    "consume",
    [scanned_rows, pandas_rows, lambda p: pandas_rows(p, dtype_backend="pyarrow"), polars_rows, duckdb_rows],
    ids=["pyarrow", "pandas", "pandas-arrow", "polars", "duckdb"],
)
def test_consumers_get_unique_names_and_the_clean_rows(tmp_path: Path, consume) -> None:
    source = tmp_path / "damaged.csv"
    source.write_text(DAMAGED)
    assert consume(source) == (["id", "Unnamed: 1", "name", "name.1"], clean_rows(source, tmp_path)[1:])


def test_report_comes_with_the_end_of_the_stream(tmp_path: Path) -> None:
    source = tmp_path / "damaged.csv.gz"
    source.write_bytes(gzip.compress(DAMAGED.encode()))
    scan = tidewrack.scan(source)
    assert scan.report is None
    table = pa.table(scan)

    report = scan.report
    assert report is not None and report.compression == "gzip" and report.output == ""
    assert report.salvaged_rows == table.num_rows + 1  # the header is a clean row too
    assert (report.padded_rows, report.merged_rows, report.unclosed_quotes) == (1, 1, 1)


@pytest.mark.parametrize("string_view", [False, True])
def test_a_stream_dropped_half_way_frees_everything(tmp_path: Path, string_view: bool) -> None:
    source = tmp_path / "big.csv"
    source.write_bytes(damaged(7) * 20)
    reader = pa.RecordBatchReader.from_stream(tidewrack.scan(source, batch_rows=100, string_view=string_view))
    first = reader.read_next_batch()
    del reader
    gc.collect()
    assert first.num_rows == 100 and first.column(0)[0].as_py() is not None
    tidewrack.scan(source, string_view=string_view).__arrow_c_stream__()  # never consumed: releases its stream


@pytest.mark.parametrize("options", [{}, {"fill_ragged_rows": False, "merge_overflow": False}])
@pytest.mark.parametrize("threads", [1, 2])
def test_quarantine_and_repair_log_are_those_salvage_writes(tmp_path: Path, threads: int, options: dict) -> None:
    sources = [tmp_path / "damaged.csv", tmp_path / "damaged-3.csv"]
    sources[0].write_text(DAMAGED)
    sources[1].write_bytes(damaged(3))
    written = {"quarantine": tmp_path / "q.csv", "repairs": tmp_path / "r.csv"}
    scanned = {"quarantine": tmp_path / "scan-q.csv", "repairs": tmp_path / "scan-r.csv"}
    for source in sources:
        tidewrack.salvage(source, tmp_path / "clean.csv", threads=threads, **written, **options)
        scan = tidewrack.scan(source, threads=threads, batch_rows=7, **scanned, **options)
        pa.table(scan)
        for kind in written:
            assert scanned[kind].read_bytes() == written[kind].read_bytes(), (source, kind)
        assert (scan.report.quarantine, scan.report.repairs) == (str(scanned["quarantine"]), str(scanned["repairs"]))
        if options:
            assert scan.report.quarantined_rows > 0 and written["quarantine"].read_text().count("\n") > 1


def test_quarantine_and_repair_log_are_put_in_place_at_the_end_of_a_stream(tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_text(DAMAGED)
    (tmp_path / "kept.csv").write_text("kept\n")
    quarantine, repairs = tmp_path / "q.csv", tmp_path / "r.csv"
    quarantine.symlink_to(tmp_path / "kept.csv")  # replaced, never written through
    left = tidewrack.scan(source, quarantine=quarantine, repairs=repairs)
    pa.RecordBatchReader.from_stream(left).read_next_batch()  # a stream left half-way
    del left
    gc.collect()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "kept.csv", "q.csv"]
    pa.table(tidewrack.scan(source, quarantine=quarantine, repairs=repairs))
    assert not quarantine.is_symlink() and quarantine.read_text().startswith("line,reason,raw_content\n")
    assert (tmp_path / "kept.csv").read_text() == "kept\n" and repairs.read_text().count("\n") > 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "kept.csv", "q.csv", "r.csv"]


ROWS = b"a,b,c\n" + b"1,two,three\n" * 2_400_000  # 28 MB: reported as the stream reads it


@pytest.mark.parametrize("packed", [False, True], ids=["engine", "gzip"])
def test_progress_counts_the_input_as_given_up_to_its_size(tmp_path: Path, packed: bool) -> None:
    content = gzip.compress(ROWS, compresslevel=1) if packed else ROWS  # gzip: the compressed bytes read
    (tmp_path / "in.csv").write_bytes(content)
    calls: list[tuple[int, int]] = []
    tidewrack.read_arrow(tmp_path / "in.csv", progress=lambda *call: calls.append(call))
    assert {size for _, size in calls} == {len(content)} and (packed or len({done for done, _ in calls}) > 1)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls) and calls[-1][0] == len(content)


@pytest.mark.parametrize("read", ["read_arrow", "read_polars"])
def test_an_exception_from_progress_stops_the_scan_and_propagates(tmp_path: Path, read: str) -> None:
    if read == "read_polars":
        pytest.importorskip("polars")
    (tmp_path / "in.csv").write_bytes(ROWS)
    calls = []

    def refuse(done: int, size: int) -> None:
        calls.append(done)
        raise LookupError(done)

    with pytest.raises(LookupError):
        getattr(tidewrack, read)(tmp_path / "in.csv", progress=refuse)
    assert len(calls) == 1 and calls[0] < len(ROWS)  # the first report, from inside the stream: no more read


def test_an_exception_from_the_last_report_puts_nothing_in_place(tmp_path: Path) -> None:
    # The last report used to come after the rows: its exception was lost and the files put in place.
    (tmp_path / "in.csv").write_text(DAMAGED)

    def refuse_the_end(done: int, size: int) -> None:
        if done == size:
            raise LookupError(done)

    with pytest.raises(LookupError):
        tidewrack.read_arrow(tmp_path / "in.csv", quarantine=tmp_path / "q.csv", progress=refuse_the_end)
    assert not (tmp_path / "q.csv").exists()


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda p: tidewrack.scan(p.parent / "missing.csv"), FileNotFoundError, "missing.csv"),
        (lambda p: tidewrack.scan(p, quarantine=p.parent / "none" / "q.csv"), FileNotFoundError, "q.csv"),
        (lambda p: tidewrack.scan(p, repairs=p), ValueError, "repairs is the input file"),
        (
            lambda p: tidewrack.scan(p, quarantine=p.parent / "x.csv", repairs=p.parent / "x.csv"),
            ValueError,
            "same file",
        ),
        (lambda p: pa.table(tidewrack.scan(p, repairs="/dev/full")), OSError, "/dev/full"),
        (lambda p: tidewrack.scan(p, expected_columns=0), ValueError, "expected_columns=0"),
        (
            lambda p: tidewrack.scan(p, expected_columns=1_000_001),
            ValueError,
            "the column count must be from 0 to 1000000, got 1000001",
        ),
        (lambda p: p.write_text("," * 1_000_000) and tidewrack.scan(p), ValueError, "the rows hold 1000001 fields"),
        (
            lambda p: p.write_text(f'a,"{"x" * (16 << 20)}x"\n1,2\n') and tidewrack.scan(p),
            ValueError,
            "the header holds a field of 16777217 bytes: a column name may be at most 16777216 bytes",
        ),
        (lambda p: tidewrack.scan(p, batch_rows=0), ValueError, "batch_rows"),
        (lambda p: tidewrack.scan(p, expected_columns="2"), TypeError, "expected_columns must be an int or None"),
        (lambda p: tidewrack.read_csv(p, dtype_backend="numpy"), ValueError, "dtype_backend"),
    ],
)
def test_refusals(tmp_path: Path, call, error: type[Exception], match: str) -> None:
    source = tmp_path / "in.csv"
    source.write_text(DAMAGED)
    with pytest.raises(error, match=match):
        call(source)


@pytest.mark.parametrize(
    ("function", "module", "extra"),
    [("read_arrow", "pyarrow", "arrow"), ("read_csv", "pandas", "pandas"), ("read_polars", "polars", "polars")],
)
def test_missing_dependency_names_the_extra(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, function: str, module: str, extra: str
) -> None:
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    with pytest.raises(ImportError, match=rf"pip install 'tidewrack\[{extra}\]'"):
        getattr(tidewrack, function)(tmp_path / "in.csv")


TYPED = (
    "id,code,price,ok,day,at,note,gap,wide,hex,huge,signed\n"
    "1,007,1.5,true,2024-02-02,2024-02-02 10:00:00,a,,12345678901234567890,0x10,1e309,+1\n"
    "-2,010,,False,,2024-02-03T11:30:00,1,,1,10,1e-400,+2\n"
    "30,2,1e3,,2024-02-04,,,,2,0xFF,3,-3\n"
)


def test_infer_types_types_only_columns_whose_every_cell_reads_exactly(tmp_path: Path) -> None:
    source = tmp_path / "typed.csv"
    source.write_text(TYPED)
    table = tidewrack.read_arrow(source, infer_types=True)
    types = [
        "int64",
        "string",
        "double",
        "bool",
        "date32[day]",
        "timestamp[us]",
        "string",
        "string",
        "string",
        "string",
        "string",
        "int64",
    ]  # hex, and floats out of range, stay text
    assert [str(field.type) for field in table.schema] == types
    assert table.column("price").to_pylist() == [1.5, None, 1000.0]  # empty cells null, text cells stay ""
    assert table.column("note").to_pylist() == ["a", "1", ""] and table.column("gap").null_count == 0
    assert table.column("signed").to_pylist() == [1, 2, -3]
    assert tidewrack.read_arrow(source).schema.types == [pa.string()] * 12  # off by default
    views = tidewrack.read_arrow(source, infer_types=True, string_view=True)
    assert [str(field.type) for field in views.schema] == [t.replace("string", "string_view") for t in types]

    pytest.importorskip("pandas")
    frame = tidewrack.read_csv(source, infer_types=True)
    assert [str(dtype) for dtype in frame.dtypes[:6]] == [
        "Int64",
        frame.dtypes["code"].name,
        "float64",
        "boolean",
        "datetime64[ms]",
        "datetime64[us]",
    ]
    assert frame["ok"].isna().tolist() == [False, False, True]
    pl = pytest.importorskip("polars")
    assert tidewrack.read_polars(source, infer_types=True).dtypes[:2] == [pl.Int64, pl.String]
    # The options salvage() takes, as it takes them.
    assert tidewrack.read_polars(source, string_view=True, recover_unclosed_quotes=None).dtypes[0] == pl.String
