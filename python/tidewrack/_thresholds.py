"""Limits a salvage must keep to before its outputs are put in place."""

from __future__ import annotations

import operator
import re
from collections.abc import Callable

from ._report import Report

_SHARE = re.compile(r"(\d+(?:\.\d+)?)%")


class ThresholdExceeded(Exception):
    """A salvage refused before any output went in place: more rows repaired or set aside than
    allowed, or a warning under ``strict``. ``report`` is what the salvage found."""

    def __init__(self, message: str, report: Report) -> None:
        super().__init__(message)
        self.report = report


class Share:
    """P percent of the rows read, held exactly as the ratio P = numerator / scale."""

    def __init__(self, percent: str) -> None:
        whole, _, fraction = percent.partition(".")
        self.numerator = int(whole + fraction)
        self.scale: int = 10 ** len(fraction)

    def exceeded_by(self, count: int, total: int) -> bool:
        return count * 100 * self.scale > self.numerator * total


def limit(value: object, name: str) -> int | Share | None:
    """A row limit: an int count, or a ``"P%"`` str share of the rows read.

    TypeError for other types (bool included), ValueError for a negative count
    or a share that is not a number from 0 to 100 followed by ``%``.
    """
    if value is None:
        return None
    if isinstance(value, str):
        found = _SHARE.fullmatch(value)
        share = None if found is None else Share(found[1])
        if share is None or share.numerator > 100 * share.scale:
            raise ValueError(
                f"{name} must be an int count, or a str share of the rows read from '0%' to '100%', not {value!r}"
            )
        return share
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int count or a str share such as '2.5%', not bool")
    try:
        count = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{name} must be an int count or a str share such as '2.5%', not {type(value).__name__}"
        ) from None
    if count < 0:
        raise ValueError(f"{name} must not be negative, got {count}")
    return count


def refusal(strict: bool, max_repaired: object, max_quarantined: object) -> Callable[[Report], None]:
    """Checks the limits now; returns what raises ThresholdExceeded for a report that passes one."""
    limits = [
        ("repaired", "repaired_rows", limit(max_repaired, "max_repaired"), max_repaired),
        ("quarantined", "quarantined_rows", limit(max_quarantined, "max_quarantined"), max_quarantined),
    ]

    def check(report: Report) -> None:
        reasons = []
        for done, field, allowed, given in limits:
            count = getattr(report, field)
            if isinstance(allowed, Share) and allowed.exceeded_by(count, report.total_rows):
                reasons.append(
                    f"{_rows(count, report.total_rows, done)} ({count * 100 / report.total_rows:.3g}%), "
                    f"over the limit of {given}"
                )
            elif isinstance(allowed, int) and count > allowed:
                reasons.append(f"{_rows(count, report.total_rows, done)}, over the limit of {given}")
        if strict and report.warnings:
            count = len(report.warnings)
            reasons.append(f"{count} {'warning' if count == 1 else 'warnings'}, and strict allows none")
        if reasons:
            raise ThresholdExceeded("; ".join(reasons), report)

    return check


def _rows(count: int, total: int, done: str) -> str:
    return f"{count} of {total} rows read {'was' if count == 1 else 'were'} {done}"
