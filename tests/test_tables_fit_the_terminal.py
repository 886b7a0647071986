"""Bar tables on a terminal never wrap: columns give way in a trader's order, one line says which;
into a pipe every column is written. Intraday times name their zone once."""

import contextlib
import fcntl
import io
import os
import re
import struct
import termios

import pandas as pd
import pytest

from corbel import frame
from corbel.chart import candlestick_lines
from corbel.frame import bar_time_zone, compact_number, printFrame, terminal_width
from wcwidth import wcswidth

BAR_COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


def bars(rows=30, extra=None, daily=False):
    """Bars whose columns print at fixed widths: date 16 (10 daily), prices 8, volume 10,
    average 10, barCount 8, so the whole table is 90 columns wide (84 daily)."""
    start = "2025-06-02" if daily else "2025-06-02 09:30"
    table = pd.DataFrame({
        "date": pd.date_range(start, periods=rows, freq="D" if daily else "5min"),
        "open": [1234.5 + i for i in range(rows)], "high": [1240.25 + i for i in range(rows)],
        "low": [1230.75 + i for i in range(rows)], "close": [1235.5 + i for i in range(rows)],
        "volume": [12_345_678 + i for i in range(rows)], "average": [1235.1234] * rows,
        "barCount": [12_345] * rows})
    if extra:
        table.insert(6, extra, [0.5] * rows)
    return table


def printed(table, title="AAPL 5m (30 bars)", **options):
    out = io.StringIO()
    printFrame(table, title, file=out, **options)
    return out.getvalue().splitlines()


def header_of(lines, title_lines=1):
    return re.split(r"\s{2,}", lines[title_lines].strip())


@pytest.fixture
def chart_on(monkeypatch):
    monkeypatch.setattr(frame, "chart_mode", "on")


@contextlib.contextmanager
def zone(name):
    token = bar_time_zone.set(name)
    try:
        yield
    finally:
        bar_time_zone.reset(token)


WIDTH_CASES = [
    # width, table, columns kept, the line naming what was left out
    (120, bars(), BAR_COLUMNS, None),
    # 90 wide in full; without barCount exactly 80
    (80, bars(), BAR_COLUMNS[:7], "(left out to fit 80 columns: barCount)"),
    # the volume abbreviated (12.3M) rather than left out
    (66, bars(), BAR_COLUMNS[:6], "(left out to fit 66 columns: average, barCount)"),
    (60, bars(), BAR_COLUMNS[:5], "(left out to fit 60 columns: volume, average, barCount)"),
    (40, bars(), ["date", "high", "close"], "(left out to fit 40 columns: open, low, volume, average, barCount)"),
    # a downloaded column shows where there is room, and goes after average and barCount
    (120, bars(extra="Capital Gains"), [*BAR_COLUMNS[:6], "Capital Gains", *BAR_COLUMNS[6:]], None),
    (80, bars(extra="Capital Gains"), BAR_COLUMNS[:6],
     "(left out to fit 80 columns: Capital Gains, average, barCount)"),
    (80, bars(daily=True), BAR_COLUMNS[:7], "(left out to fit 80 columns: barCount)"),
]


@pytest.mark.parametrize("width, table, kept, note", WIDTH_CASES)
def test_on_a_terminal_columns_give_way_in_order_and_no_line_is_wider(chart_on, width, table, kept, note):
    lines = printed(table, width=width)
    assert max(wcswidth(line) for line in lines) <= width
    assert header_of(lines) == kept
    notes = [line for line in lines if line.startswith("(left out")]
    if note is None:
        assert notes == []
    else:  # cut short on a narrow terminal, like every line
        assert len(notes) == 1 and note.startswith(notes[0].removesuffix("…"))
    first_row = re.split(r"\s{2,}", lines[2].strip())
    assert first_row[kept.index("close")] == "1,235.50"
    if "volume" in kept:
        assert first_row[kept.index("volume")] == ("12.3M" if width == 66 else "12,345,678")
    assert sum("┤" in line for line in lines) == 12  # the chart fits beside them


def test_into_a_pipe_every_column_is_written_in_full():
    lines = printed(bars(extra="Capital Gains"))
    assert header_of(lines) == [*BAR_COLUMNS[:6], "Capital Gains", *BAR_COLUMNS[6:]]
    assert "12,345,678" in lines[2] and not any("left out" in line for line in lines)


def test_the_width_is_the_terminal_s_and_none_for_a_pipe():
    leader, follower = os.openpty()
    reader, writer = os.pipe()
    try:
        with open(follower, "w", closefd=False) as terminal, open(writer, "w", closefd=False) as pipe:
            for columns in (80, 132):
                fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
                assert terminal_width(terminal) == columns
            assert terminal_width(pipe) is None
    finally:
        for fd in (leader, follower, reader, writer):
            os.close(fd)


@pytest.mark.parametrize("title, width", [
    ("AAPL 5m (30 bars) (adjusted)", 12),
    ("株式会社 7203 day (30 bars)", 16),  # wide characters take two columns each
])
def test_narrow_terminals_cut_lines_rather_than_wrap_them(chart_on, title, width):
    lines = printed(bars(), title, width=width)
    assert max(wcswidth(line) for line in lines) <= width
    assert lines[0].endswith("…") and header_of(lines) == ["date"]


@pytest.mark.parametrize("zone_name, table, expected", [
    ("America/New_York", bars(), "times in America/New_York"),
    ("America/New_York", bars(daily=True), None),  # daily dates carry no time of day
    (None, bars(), None),
])
def test_the_zone_of_intraday_times_is_named_once_above_the_columns(zone_name, table, expected):
    with zone(zone_name):
        lines = printed(table)
    zone_lines = [line for line in lines if line.startswith("times in")]
    if expected:
        assert zone_lines == [expected] and lines[1] == expected and header_of(lines, 2)[0] == "date"
        assert not any("America" in line for line in lines[2:])
    else:
        assert zone_lines == []


@pytest.mark.parametrize("value, text", [
    (999, None), (1_234, "1.23K"), (12_345, "12.3K"), (123_456, "123K"),
    (999_999, "1.00M"), (12_345_678, "12.3M"), (4_200_000_000, "4.20B"), (float("nan"), None),
])
def test_large_volumes_abbreviate_to_three_digits(value, text):
    assert compact_number(value) == text


@pytest.mark.parametrize("width, candles", [(80, 30), (40, 30), (13, 3), (10, 0)])
def test_the_chart_is_never_wider_than_asked(width, candles):
    table = bars()
    lines = candlestick_lines(table["open"], table["high"], table["low"], table["close"], width=width)
    assert all(len(line) <= width for line in lines)
    assert (len(lines[0].split("┤")[1]) if lines else 0) == min(candles, 30)
