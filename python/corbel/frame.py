"""Printing tables for people: a title, aligned columns, head and tail of long tables."""

from __future__ import annotations

import sys
from typing import Any, TextIO

# Longer tables show this many rows from each end, then the row count.
EDGE_ROWS = 10
MAX_FULL_ROWS = 2 * EDGE_ROWS + 5


def printFrame(table: Any, title: str | None = None, *, file: TextIO | None = None) -> None:
    """Print `title` and then `table` (a pandas DataFrame) readably."""
    out = file if file is not None else sys.stdout
    if title:
        print(title, file=out)
    rows = len(table)
    if rows == 0:
        print("(no rows)", file=out)
        return
    print(table.to_string(index=False, max_rows=MAX_FULL_ROWS, min_rows=2 * EDGE_ROWS), file=out)
    if rows > MAX_FULL_ROWS:
        print(f"[{rows} rows]", file=out)
