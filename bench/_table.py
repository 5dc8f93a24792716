"""Markdown tables, as every benchmark script prints them."""

from __future__ import annotations

from collections.abc import Iterable, Sequence


def print_table(header: Sequence[str], align: str, rows: Iterable[Sequence[str]]) -> None:
    """One row a line; `align` holds "l" or "r" per column."""
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if a == "l" else "---:" for a in align) + "|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
