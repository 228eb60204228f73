"""Type checkers see the real types of the public names of the installed package."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is installed by the host stage")

# Every expression of type Any is an error under --disallow-any-expr, so a
# name whose type did not reach mypy fails the run.
USES = """\
import _tidewrack_backend
import tidewrack
import tidewrack.dask

summary: tidewrack.SalvageSummary = tidewrack.salvage_file("in.csv", "out.csv", "q.csv", delimiter=";")
counts: list[int] = [
    summary.total_rows, summary.salvaged_rows, summary.repaired_rows,
    summary.quarantined_rows, summary.inferred_columns,
]
delimiter: str = summary.detected_delimiter
as_dict: dict[str, int | str] = summary.to_dict()
native: _tidewrack_backend.SalvageSummary = _tidewrack_backend.salvage_file("in.csv", "out.csv")
with tidewrack.open("in.csv", expected_columns=3) as reader:
    size: int = len(reader)
    for row in reader:
        first: str = row[0]
    again: tidewrack.SalvageSummary = reader.summary
sniffed: str = tidewrack.sniff("a;b\\nc;d\\n")
report: tidewrack.Report = tidewrack.salvage("in.csv", quarantine=None, classic=False, expected_columns=3)
repairs: str | None = report.repairs
padded: int | None = report.padded_rows
warned: tuple[str, ...] = report.warnings
try:
    tidewrack.salvage("in.csv", strict=True, max_repaired=10, max_quarantined="0.5%")
except tidewrack.ThresholdExceeded as refused:
    refused_report: tidewrack.Report = refused.report
as_json: dict[str, object] = report.to_dict()
version: str = tidewrack.__version__
reports: list[tidewrack.Report] = tidewrack.dask.salvage("exports/*.csv", "clean", repairs=None, threads=1)
files: list[str] = tidewrack.dask.files(["a.csv", "exports"])
scanned: tidewrack.Scan = tidewrack.scan("in.csv", batch_rows=1000, threads=2, encoding="cp1252")
scan_report: tidewrack.Report | None = scanned.report
"""


def test_public_names_have_real_types(tmp_path: Path) -> None:
    script = tmp_path / "uses.py"
    script.write_text(USES)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--disallow-any-expr", "--no-incremental", str(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
