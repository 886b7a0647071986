"""Printing tables for people: a title, aligned and formatted columns, head and tail of long tables,
and, when asked for, a candlestick chart of the bars under them."""

from __future__ import annotations

import datetime as dt
import math
import numbers
import shutil
import sys
from contextvars import ContextVar
from typing import Any, Sequence, TextIO

from corbel.chart import candlestick_lines

# Longer tables show this many rows from each end, then the row count.
EDGE_ROWS = 10
MAX_FULL_ROWS = 2 * EDGE_ROWS + 5
MAX_DECIMALS = 4
# The chart: "on", "off", or "auto" (on when printing to a terminal at least this wide).
CHART_MIN_WIDTH = 100
chart_mode = "auto"
# The zone the times of intraday bars are in, shown once over their table; set by the shell
# around each request ("US/Eastern", or "exchange time" where the zone is not known).
bar_time_zone: ContextVar[str | None] = ContextVar("bar_time_zone", default=None)


def set_chart_mode(mode: str) -> None:
    global chart_mode
    if mode not in ("on", "off", "auto"):
        raise ValueError(f"chart mode must be on, off or auto (got {mode!r})")
    chart_mode = mode


def printFrame(table: Any, title: str | None = None, *, file: TextIO | None = None) -> None:
    """Print `title` and then `table` (a pandas DataFrame) readably."""
    out = file if file is not None else sys.stdout
    if title:
        print(title, file=out)
    rows = len(table)
    if rows == 0 or len(table.columns) == 0:
        print("(no rows)", file=out)
        return
    shown = list(range(rows)) if rows <= MAX_FULL_ROWS else [*range(EDGE_ROWS), *range(rows - EDGE_ROWS, rows)]
    names = [str(name) for name in table.columns]
    cells, numeric = [], []
    for position in range(len(names)):
        column = table.iloc[:, position]
        values = [column.iloc[i] for i in shown]
        texts, is_number = format_column(values, integer_like=str(column.dtype).lower().startswith(("int", "uint")))
        cells.append(texts)
        numeric.append(is_number)
    widths = [max(len(name), *(len(text) for text in texts)) for name, texts in zip(names, cells)]

    def line(items: Sequence[str]) -> str:
        return "  ".join(text.rjust(w) if number else text.ljust(w)
                         for text, w, number in zip(items, widths, numeric)).rstrip()

    print(line(names), file=out)
    for index in range(len(shown)):
        if rows > MAX_FULL_ROWS and index == EDGE_ROWS:
            print(line(["⋮" for _ in names]), file=out)
        print(line([texts[index] for texts in cells]), file=out)
    if rows > MAX_FULL_ROWS:
        print(f"({rows:,} rows)", file=out)
    if wants_chart(out):
        for chart_line in chart_of(table, terminal_width(), color=out.isatty()):
            print(chart_line, file=out)


def format_column(values: list[Any], integer_like: bool) -> tuple[list[str], bool]:
    """Texts for the values of one column, and whether it is a numeric (right-aligned) column."""
    present = [v for v in values if not is_missing(v)]
    if present and all(isinstance(v, dt.datetime) for v in present):
        with_time = any((v.hour, v.minute, v.second, v.microsecond) != (0, 0, 0, 0) for v in present)
        with_seconds = any(v.second or v.microsecond for v in present)
        pattern = "%Y-%m-%d %H:%M:%S" if with_seconds else "%Y-%m-%d %H:%M" if with_time else "%Y-%m-%d"
        return [blank_or(v, lambda x: x.strftime(pattern)) for v in values], False
    if present and all(isinstance(v, numbers.Real) and not is_boolean(v) for v in present):
        if integer_like or all(float(v).is_integer() and abs(v) < 1e15 for v in present):
            return [blank_or(v, lambda x: f"{int(x):,}") for v in values], True
        decimals = max(2, min(MAX_DECIMALS, max(decimals_of(v) for v in present)))
        return [blank_or(v, lambda x: f"{x:,.{decimals}f}") for v in values], True
    return [blank_or(v, str) for v in values], False


def is_boolean(value: Any) -> bool:
    return isinstance(value, bool) or type(value).__name__ == "bool_"


def is_missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN, NaT and pd.NA are not equal to themselves
    except TypeError:  # pd.NA refuses to be a bool
        return True


def blank_or(value: Any, show) -> str:
    return "" if is_missing(value) else show(value)


def decimals_of(value: float) -> int:
    if not math.isfinite(value):
        return 0
    text = f"{value:.{MAX_DECIMALS}f}".rstrip("0")
    return len(text.split(".")[1]) if "." in text else 0


def terminal_width() -> int:
    return shutil.get_terminal_size((80, 24)).columns


def wants_chart(out: TextIO) -> bool:
    if chart_mode == "off":
        return False
    if chart_mode == "on":
        return True
    return out.isatty() and terminal_width() >= CHART_MIN_WIDTH


def chart_of(table: Any, width: int, color: bool = False) -> list[str]:
    """The candlestick chart of a bar table, or nothing when it has no OHLC columns."""
    if not {"open", "high", "low", "close"} <= set(map(str, table.columns)) or len(table) < 2:
        return []
    columns = [[float(v) if not is_missing(v) else math.nan for v in table[name]] for name in ("open", "high", "low", "close")]
    return candlestick_lines(*columns, width=max(20, width - 12), color=color)
