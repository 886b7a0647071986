"""The bar table and records the command builds are exactly what pandas builds from the same bars."""

import asyncio
import datetime as dt
import math
from decimal import Decimal
import sys
from unittest import mock
from dataclasses import dataclass
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from ib_async import BarData

from broker_doubles import MemoryCache, RecordingIB, command
from downloader_doubles import FakeYFinance
from veltrax.cmds.quotes import kline


def pandas_way(bars):
    table = pd.DataFrame(bars).convert_dtypes()
    try:
        table["date"] = table["date"].dt.tz_localize(None)
    except Exception:
        pass
    return table, table.to_dict(orient="records")


def fetched(bars, monkeypatch_tables):
    """Run the latest-N mode on `bars`; the printed table and the result's records."""
    op = command(rest=["day", "0"], ib=RecordingIB(bars))
    kline._candle_store = MemoryCache()
    result = asyncio.run(op._kline(None, op.rest))
    return monkeypatch_tables[-1], result["bars"]


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and (a is b or a == b)


def assert_same(ours, theirs):
    (our_table, our_records), (their_table, their_records) = ours, theirs
    pd.testing.assert_frame_equal(our_table, their_table)
    assert len(our_records) == len(their_records)
    for mine, expected in zip(our_records, their_records):
        assert list(mine) == list(expected)
        for key in expected:
            assert same_value(mine[key], expected[key]), (key, mine[key], expected[key])


@pytest.fixture
def printed(monkeypatch, data_dir):
    tables = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: tables.append(table))
    return tables


ZONES = [ZoneInfo("America/New_York"), ZoneInfo("Europe/London"), dt.timezone.utc]
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.floats(min_value=-1e6, max_value=1e6).map(round).map(float),
    st.integers(min_value=-(2**53), max_value=2**53),
    st.none(),
)


@st.composite
def bar_lists(draw):
    n = draw(st.integers(min_value=1, max_value=12))
    kind = draw(st.sampled_from(["date", "aware", "naive", "mixed"]))
    zone = draw(st.sampled_from(ZONES))
    start = dt.datetime(2020, 3, 8, 1, 0) + dt.timedelta(minutes=draw(st.integers(0, 10**6)))
    folds = draw(st.lists(st.integers(0, 1), min_size=n, max_size=n))

    def when(i):
        moment = start + dt.timedelta(minutes=37 * i)
        if kind == "date" or (kind == "mixed" and i % 2):
            return moment.date()
        return moment.replace(tzinfo=zone, fold=folds[i]) if kind == "aware" else moment

    columns = {name: draw(st.lists(numbers, min_size=n, max_size=n)) for name in
               ("open", "high", "low", "close", "volume", "average", "barCount")}
    return [BarData(date=when(i), **{name: values[i] for name, values in columns.items()}) for i in range(n)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(bars=bar_lists())
def test_any_broker_bars(bars, printed):
    assert_same(fetched(bars, printed), pandas_way(bars))


@pytest.mark.parametrize("wall_times", [
    [dt.datetime(2025, 11, 2, 1, 30), dt.datetime(2025, 11, 2, 1, 30, fold=1), dt.datetime(2025, 11, 2, 1, 45)],
    [dt.datetime(2025, 3, 9, 1, 59), dt.datetime(2025, 3, 9, 2, 30), dt.datetime(2025, 3, 9, 3, 0)],
])
def test_daylight_saving_transitions(wall_times, printed):
    zone = ZoneInfo("America/New_York")
    bars = [BarData(date=t.replace(tzinfo=zone), open=1.0, high=1.0, low=1.0, close=1.0, volume=1.0,
                    average=1.0, barCount=1) for t in wall_times]
    assert_same(fetched(bars, printed), pandas_way(bars))


def test_typical_daily_and_intraday_bars(printed):
    from broker_doubles import daily_bars, minute_bars

    for bars in (daily_bars(300), minute_bars(300)):
        assert_same(fetched(bars, printed), pandas_way(bars))


@dataclass
class OddBar:
    date: object
    open: object


def test_bars_pandas_must_handle_itself(printed):
    odd = [
        [OddBar(dt.date(2025, 1, 2), [1, 2]), OddBar(dt.date(2025, 1, 3), [3])],
        [OddBar(dt.date(2025, 1, 2), True), OddBar(dt.date(2025, 1, 3), 2)],
        [OddBar(dt.date(2025, 1, 2), "x"), OddBar(dt.date(2025, 1, 3), None)],
        [OddBar(pd.Timestamp("2025-01-02 10:00", tz="UTC"), 1.5), OddBar(pd.Timestamp("2025-01-02 11:00", tz="UTC"), 2.5)],
        [{"date": dt.date(2025, 1, 2), "open": 1.0}],
        # Object columns of numpy and pandas scalars: to_dict boxes them to native values.
        [OddBar(dt.date(2025, 1, 2), np.int64(3)), OddBar(dt.date(2025, 1, 3), "x")],
        [OddBar(dt.date(2025, 1, 2), np.float32(1.5)), OddBar(dt.date(2025, 1, 3), pd.NA)],
        [OddBar(dt.date(2025, 1, 2), np.bool_(True)), OddBar(dt.date(2025, 1, 3), np.uint64(2**63))],
        [OddBar(dt.date(2025, 1, 2), np.datetime64("2025-01-02T10:00")), OddBar(dt.date(2025, 1, 3), 1)],
        [OddBar(dt.date(2025, 1, 2), np.timedelta64(90, "s")), OddBar(dt.date(2025, 1, 3), Decimal("1.5"))],
    ]
    for bars in odd:
        assert_same(fetched(bars, printed), pandas_way(bars))


def pandas_normalization(hist):
    table = hist.reset_index()
    first = str(table.columns[0])
    table = table.rename(columns={first: "date", "Open": "open", "High": "high", "Low": "low", "Close": "close",
                                  "Volume": "volume"})
    for name in ("Dividends", "Stock Splits"):
        if name in table.columns:
            table = table.drop(columns=[name])
    table["average"] = table["close"].astype(float)
    table["barCount"] = 1
    try:
        table["date"] = table["date"].dt.tz_localize(None)
    except (AttributeError, TypeError):
        pass
    return table.convert_dtypes()


@st.composite
def downloaded_frames(draw):
    n = draw(st.integers(min_value=1, max_value=10))
    prices = st.one_of(st.floats(allow_infinity=False, width=64), st.integers(-10**6, 10**6).map(float))
    columns = {name: draw(st.lists(prices, min_size=n, max_size=n)) for name in ("Open", "High", "Low", "Close")}
    columns["Volume"] = draw(st.lists(st.integers(0, 10**9), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["Dividends"] = [0.0] * n
    if draw(st.booleans()):
        columns["Note"] = draw(st.lists(st.one_of(st.none(), st.text(max_size=3)), min_size=n, max_size=n))
    zone = draw(st.sampled_from(["America/New_York", "Asia/Tokyo", None]))
    index = pd.date_range("2024-03-08", periods=n, freq=draw(st.sampled_from(["D", "h", "min"])), tz=zone,
                          name=draw(st.sampled_from(["Date", "Datetime", None])))
    return pd.DataFrame(columns, index=index)


@settings(max_examples=100, deadline=None)
@given(hist=downloaded_frames())
def test_downloaded_tables_normalize_and_turn_into_records_as_pandas_does(hist):
    before = hist.copy()
    ours = kline._normalize_yfinance_df(hist)
    theirs = pandas_normalization(hist)
    pd.testing.assert_frame_equal(hist, before)
    pd.testing.assert_frame_equal(ours, theirs)

    with mock.patch.dict(sys.modules, {"yfinance": FakeYFinance(frame=hist)}), \
            mock.patch.object(kline, "_candle_store", MemoryCache()), \
            mock.patch.object(kline, "printFrame", lambda table, title: None):
        op = command(rest=["2024-01-01", "2024-02-01"])
        result = asyncio.run(op._history_yfinance(op.rest))
    assert_same((theirs, result["bars"]), (theirs, theirs.to_dict(orient="records")))
