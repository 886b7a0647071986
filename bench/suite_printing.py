"""Printing a bar table: printFrame fitted to an 80-column terminal and into a pipe, beside
pandas' own to_string of the same rows."""

from __future__ import annotations

import io

import pandas as pd

from corbel.frame import EDGE_ROWS, printFrame


def five_minute_bars(rows: int) -> pd.DataFrame:
    return pd.DataFrame({
        "date": pd.date_range("2025-06-02 04:00", periods=rows, freq="5min"),
        "open": [1234.5 + i % 50 for i in range(rows)], "high": [1240.25 + i % 50 for i in range(rows)],
        "low": [1230.75 + i % 50 for i in range(rows)], "close": [1235.5 + i % 50 for i in range(rows)],
        "volume": [12_345_678 + i for i in range(rows)], "average": [1235.1234] * rows,
        "barCount": [12_345] * rows}).convert_dtypes()


def run(report) -> None:
    table = five_minute_bars(2_000)

    def pandas_way():
        return table.to_string(max_rows=2 * EDGE_ROWS, line_width=80)

    report.compare("bar table on an 80-column terminal", "DataFrame.to_string", pandas_way,
                   lambda: printFrame(table, "AAPL 5m (2000 bars)", file=io.StringIO(), width=80))
    report.compare("bar table into a pipe", "DataFrame.to_string", pandas_way,
                   lambda: printFrame(table, "AAPL 5m (2000 bars)", file=io.StringIO()))
