"""Column-aware repair: on by the package's default rules, off with classic=True and align_columns=False."""

from __future__ import annotations

from pathlib import Path

import pytest

import _tidewrack_backend
import tidewrack
from tidewrack import _native

ORDERS = (
    "id,date,customer,address,product,qty,price\n"
    '10231,2024-02-01,Northwind,"12 Harbour Rd, Leith",Espresso beans 1kg,4,18.50\n'
    '10232,2024-02-01,Contoso,"Unit 7, Park Ave",Paper cups 12oz,500,0.05\n'
    "10234,2024-02-02,Adventure Works,9 Bridge St,Grinder burr set,1,39.00\n"
    "10235,2024-02-03,Tailspin,5 Mill Lane,Cake stand,2,24.00\n"
    "10236,2024-02-03,Litware,3 Dock Rd,Napkins,2000,0.01\n"
    "10239,2024-02-05,Woodgrove,7 Elm Ct,Tea chai 500g,2,11.40\n"
)
DAMAGED = "10233,2024-02-02,Fabrikam,44 Market St, Suite 300,Oat milk 1l,24,1.95\n"


@pytest.mark.parametrize(
    ("classic", "row", "logged"),
    [
        (
            False,
            '10233,2024-02-02,Fabrikam,"44 Market St, Suite 300",Oat milk 1l,24,1.95',
            "8,8,merged,fields 4-5 joined into column 4",
        ),
        (True, '10233,2024-02-02,Fabrikam,44 Market St, Suite 300,Oat milk 1l,"24,1.95"', None),
    ],
    ids=["default", "classic"],
)
def test_a_stray_delimiter_is_joined_where_it_fell_unless_classic(
    tmp_path: Path, classic: bool, row: str, logged: str | None
) -> None:
    source = tmp_path / "orders.csv"
    source.write_text(ORDERS + DAMAGED)
    report = tidewrack.salvage(source, tmp_path / "out.csv", repairs=None if classic else ..., classic=classic)
    assert (tmp_path / "out.csv").read_text().splitlines()[-1] == row
    assert report.repaired_rows == 1
    if logged is not None:
        assert (tmp_path / "out.repairs.csv").read_text().splitlines()[-1] == logged


def test_align_columns_off_is_the_classic_output(tmp_path: Path) -> None:
    source = tmp_path / "orders.csv"
    source.write_text(ORDERS + DAMAGED + "10240,2024-02-06,Proseware,1 Dock Rd,Descaler\n")
    _native.salvage(str(source), str(tmp_path / "native.csv"), align_columns=False, recover_unclosed_quotes=False)
    _tidewrack_backend.salvage_file(str(source), str(tmp_path / "classic.csv"))
    assert (tmp_path / "native.csv").read_bytes() == (tmp_path / "classic.csv").read_bytes()


def test_rows_that_mostly_do_not_fit_are_not_aligned(tmp_path: Path) -> None:
    # Profiles from a head whose rows are mostly of other widths would guess (and cost a
    # search per row): the classic repairs stand.
    source = tmp_path / "orders.csv"
    others = (
        [DAMAGED] * 3
        + ["10240,2024-02-06,Proseware,1 Dock Rd,Descaler\n"] * 2
        + ['10241,2024-02-07,Wingtip,"2 Quay St",Filters, size 4,3,2.50,extra\n'] * 2
    )
    source.write_text(ORDERS + "".join(others))
    _native.salvage(str(source), str(tmp_path / "default.csv"))
    _native.salvage(str(source), str(tmp_path / "unaligned.csv"), align_columns=False)
    assert (tmp_path / "default.csv").read_bytes() == (tmp_path / "unaligned.csv").read_bytes()
