"""Printing tables for people: a title, aligned and formatted columns that fit the terminal, head
and tail of long tables, and, when asked for, a candlestick chart of the bars under them."""

from __future__ import annotations

import contextvars
import datetime as dt
import math
import numbers
import os
import shutil
import sys
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Callable, Optional, Sequence, TextIO, Union

from wcwidth import wcswidth

from corbel.chart import candlestick_lines

# Longer tables show this many rows from each end, then the row count.
EDGE_ROWS = 10
MAX_FULL_ROWS = 2 * EDGE_ROWS + 5
MAX_DECIMALS = 4
GAP = "  "
# The chart: "on", "off", or "auto" (on when printing to a terminal at least this wide).
CHART_MIN_WIDTH = 100
# The chart's width where the output is no terminal (a pipe or a file) and the chart is on.
UNSIZED_CHART_WIDTH = 80
chart_mode = "auto"

# What the shell knows of the bars a request prints, set around each request: the zone their
# times are in, and the contract they come from (a future's month). Each is text, or a function
# that gives it when the table is printed (what a request learns as it runs, such as the source
# that answered); a table names them once, above its columns, the zone only where its times carry
# a time of day.
BarFact = Union[str, Callable[[], Optional[str]], None]
bar_time_zone: contextvars.ContextVar[BarFact] = contextvars.ContextVar("bar_time_zone", default=None)
bar_contract: contextvars.ContextVar[BarFact] = contextvars.ContextVar("bar_contract", default=None)

# What a terminal too narrow for the whole table gives up, in this order: the bar columns read
# least (a download's average is its close and its count is 1), then any other column from the
# right, then the price and volume columns. The first column, the bar time, always stays; the
# volume is abbreviated (12.3M) before it goes.
FIRST_GIVEN_UP = ("barCount", "average")
BAR_COLUMNS_LAST_GIVEN_UP = ("volume", "open", "low", "high", "close")
BAR_COLUMNS = frozenset(("date", *FIRST_GIVEN_UP, *BAR_COLUMNS_LAST_GIVEN_UP))
COMPACTED_COLUMN = "volume"
COMPACT_UNITS = ((1e12, "T"), (1e9, "B"), (1e6, "M"), (1e3, "K"))


def set_chart_mode(mode: str) -> None:
    global chart_mode
    if mode not in ("on", "off", "auto"):
        raise ValueError(f"chart mode must be on, off or auto (got {mode!r})")
    chart_mode = mode


@dataclass(eq=False)  # a column is itself, whatever its values (pd.NA refuses comparison)
class Column:
    """One column as printed: its name, the shown values and their texts."""

    name: str
    values: list[Any]
    texts: list[str]
    numeric: bool  # right-aligned
    time_of_day: bool = False  # date-times that carry a time of day

    @cached_property
    def width(self) -> int:
        return max(display_width(self.name), *(display_width(text) for text in self.texts))


def printFrame(table: Any, title: str | None = None, *, file: TextIO | None = None,
               width: int | None = None) -> None:
    """Print `title` and then `table` (a pandas DataFrame) readably.

    On a terminal no line is wider than it (or than `width`, when given): columns are left out
    rather than wrapped, and one line says which. Into a pipe or a file every column is written.
    """
    out = file if file is not None else sys.stdout
    limit = width if width is not None else terminal_width(out)

    def emit(text: str) -> None:
        print(text if limit is None else clipped(text, limit), file=out)

    if title:
        emit(title)
    rows = len(table)
    if rows == 0 or len(table.columns) == 0:
        emit("(no rows)")
        return
    shown = list(range(rows)) if rows <= MAX_FULL_ROWS else [*range(EDGE_ROWS), *range(rows - EDGE_ROWS, rows)]
    rows_shown = table.iloc[shown]  # whole columns at once: pandas is slow cell by cell
    columns = [format_column(str(name), rows_shown.iloc[:, position].tolist(),
                             integer_like=str(dtype).lower().startswith(("int", "uint")))
               for position, (name, dtype) in enumerate(zip(table.columns, table.dtypes))]
    contract, zone = known(bar_contract), known(bar_time_zone)
    caption = [contract] if contract else []
    if zone and any(column.time_of_day for column in columns):
        caption.append(f"times in {zone}")
    if caption:
        emit(" · ".join(caption))
    columns, left_out = fitted(columns, limit) if limit is not None else (columns, [])
    emit(line_of(columns, [column.name for column in columns]))
    for index in range(len(shown)):
        if rows > MAX_FULL_ROWS and index == EDGE_ROWS:
            emit(line_of(columns, ["⋮"] * len(columns)))
        emit(line_of(columns, [column.texts[index] for column in columns]))
    if rows > MAX_FULL_ROWS:
        emit(f"({rows:,} rows)")
    if left_out:
        emit(f"(left out to fit {limit} columns: {', '.join(left_out)})")
    if wants_chart(out, limit):
        for chart_line in chart_of(table, limit or UNSIZED_CHART_WIDTH, color=out.isatty()):
            print(chart_line, file=out)


def known(fact: contextvars.ContextVar[BarFact]) -> str | None:
    value = fact.get()
    return value() if callable(value) else value


def format_column(name: str, values: list[Any], integer_like: bool) -> Column:
    """The texts for the values of one column, and how they align."""
    present = [v for v in values if not is_missing(v)]
    if present and all(isinstance(v, dt.datetime) for v in present):
        with_time = any((v.hour, v.minute, v.second, v.microsecond) != (0, 0, 0, 0) for v in present)
        with_seconds = any(v.second or v.microsecond for v in present)
        pattern = "%Y-%m-%d %H:%M:%S" if with_seconds else "%Y-%m-%d %H:%M" if with_time else "%Y-%m-%d"
        return Column(name, values, [blank_or(v, lambda x: x.strftime(pattern)) for v in values], False, with_time)
    if present and all(isinstance(v, numbers.Real) and not is_boolean(v) for v in present):
        if integer_like or all(float(v).is_integer() and abs(v) < 1e15 for v in present):
            return Column(name, values, [blank_or(v, lambda x: f"{int(x):,}") for v in values], True)
        decimals = max(2, min(MAX_DECIMALS, max(decimals_of(v) for v in present)))
        return Column(name, values, [blank_or(v, lambda x: f"{x:,.{decimals}f}") for v in values], True)
    return Column(name, values, [blank_or(v, str) for v in values], False)


def fitted(columns: list[Column], limit: int) -> tuple[list[Column], list[str]]:
    """The columns that fit in `limit` terminal columns, in table order, and the names left out."""
    kept = list(columns)
    left_out: list[str] = []
    for name in giving_up_order([column.name for column in columns]):
        if table_width(kept) <= limit:
            break
        column = next(c for c in kept if c.name == name)
        if name == COMPACTED_COLUMN and column.numeric:
            kept[kept.index(column)] = column = compacted(column)
            if table_width(kept) <= limit:
                break
        kept.remove(column)
        left_out.append(name)
    return kept, [name for name in (c.name for c in columns) if name in left_out]


def giving_up_order(names: list[str]) -> list[str]:
    """The names of the columns that may be left out, the first to go first."""
    rest = names[1:]
    others = [name for name in rest if name not in BAR_COLUMNS]
    return ([name for name in FIRST_GIVEN_UP if name in rest] + others[::-1]
            + [name for name in BAR_COLUMNS_LAST_GIVEN_UP if name in rest])


def table_width(columns: list[Column]) -> int:
    return sum(column.width for column in columns) + len(GAP) * (len(columns) - 1)


def compacted(column: Column) -> Column:
    """The column with its large numbers abbreviated (12,345,678 as 12.3M)."""
    texts = [compact_number(value) or text for value, text in zip(column.values, column.texts)]
    return Column(column.name, column.values, texts, column.numeric)


def compact_number(value: Any) -> str | None:
    """Three significant digits and a unit (1.23K, 45.6M, 789B); None for a number under a thousand."""
    if is_missing(value) or not math.isfinite(value):
        return None
    rounded = float(f"{float(value):.3g}")  # rounded first, so 999,999 becomes 1.00M, not 1000K
    for scale, unit in COMPACT_UNITS:
        if abs(rounded) >= scale:
            scaled = rounded / scale
            decimals = max(0, 3 - len(str(int(abs(scaled)))))
            return f"{scaled:.{decimals}f}{unit}"
    return None


def line_of(columns: list[Column], items: Sequence[str]) -> str:
    return GAP.join(padded(text, column.width, column.numeric) for text, column in zip(items, columns)).rstrip()


def display_width(text: str) -> int:
    """Terminal columns the text takes (wide characters count twice)."""
    width = wcswidth(text)
    return width if width >= 0 else len(text)  # control characters: counted as one each


def padded(text: str, width: int, right: bool) -> str:
    fill = " " * max(0, width - display_width(text))
    return fill + text if right else text + fill


def clipped(text: str, limit: int) -> str:
    """The text cut to `limit` terminal columns, an ellipsis marking the cut."""
    if display_width(text) <= limit:
        return text
    while text and display_width(text) > limit - 1:
        text = text[:-1]
    return text + "…"


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


def terminal_width(out: TextIO) -> int | None:
    """Columns of the terminal `out` writes to; None when it writes to a pipe or a file."""
    try:
        if not out.isatty():
            return None
        columns = os.get_terminal_size(out.fileno()).columns
    except (AttributeError, OSError, ValueError):  # no file behind it, or closed
        return None
    # A terminal that reports no size (some serial consoles) gets the usual fallback.
    return columns if columns > 0 else shutil.get_terminal_size().columns


def wants_chart(out: TextIO, width: int | None) -> bool:
    if chart_mode == "off":
        return False
    if chart_mode == "on":
        return True
    return width is not None and out.isatty() and width >= CHART_MIN_WIDTH


def chart_of(table: Any, width: int, color: bool = False) -> list[str]:
    """The candlestick chart of a bar table, `width` columns wide, or nothing when it has no OHLC columns."""
    if not {"open", "high", "low", "close"} <= set(map(str, table.columns)) or len(table) < 2:
        return []
    columns = [[float(v) if not is_missing(v) else math.nan for v in table[name]] for name in ("open", "high", "low", "close")]
    return candlestick_lines(*columns, width=width, color=color)
