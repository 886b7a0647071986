"""Downloaded tables become unified bar tables; any bar table can lose its time zone."""

import datetime as dt

import pandas as pd
import pytest

from veltrax.cmds.quotes import kline


def downloaded(index, **extra):
    n = len(index)
    columns = {
        "Open": [10.5 + i for i in range(n)], "High": [11.0 + i for i in range(n)],
        "Low": [10.0 + i for i in range(n)], "Close": [10.75 + i for i in range(n)],
        "Volume": [1000 + i for i in range(n)], "Dividends": [0.0] * n, "Stock Splits": [0.0] * n,
    }
    columns.update(extra)
    return pd.DataFrame(columns, index=index)


def daily_index(n=3, name="Date"):
    return pd.DatetimeIndex([pd.Timestamp("2025-01-02", tz="America/New_York") + pd.Timedelta(days=i)
                             for i in range(n)], name=name)


def test_daily_table_becomes_unified_bars():
    hist = downloaded(daily_index())
    before = hist.copy()
    table = kline._normalize_yfinance_df(hist)
    pd.testing.assert_frame_equal(hist, before)
    assert list(table.columns) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
    assert str(table["date"].dtype).startswith("datetime64") and table["date"].dt.tz is None
    assert list(table["date"]) == [pd.Timestamp("2025-01-02"), pd.Timestamp("2025-01-03"), pd.Timestamp("2025-01-04")]
    assert (table["average"] == table["close"]).all() and (table["barCount"] == 1).all()
    assert str(table["volume"].dtype) == "Int64" and str(table["close"].dtype) == "Float64"
    records = table.to_dict(orient="records")
    assert records[0]["barCount"] == 1 and records[0]["average"] == 10.75


def test_intraday_times_keep_their_wall_clock():
    index = pd.DatetimeIndex([pd.Timestamp("2025-01-02 09:30", tz="America/New_York")], name="Datetime")
    table = kline._normalize_yfinance_df(downloaded(index))
    assert table["date"][0] == pd.Timestamp("2025-01-02 09:30")


def test_unnamed_index_other_columns_and_whole_numbers():
    hist = downloaded(daily_index(2, name=None), Extra=["a", "b"])
    hist = hist.drop(columns=["Stock Splits"])
    hist["Close"] = [11.0, 12.0]
    table = kline._normalize_yfinance_df(hist)
    assert list(table.columns) == ["date", "open", "high", "low", "close", "volume", "Extra", "average", "barCount"]
    assert str(table["close"].dtype) == "Int64" and str(table["average"].dtype) == "Int64"


def test_an_index_without_timestamps_stays_as_it_is():
    hist = downloaded(pd.Index(["x", "y"], name="label"))
    table = kline._normalize_yfinance_df(hist)
    assert list(table["date"]) == ["x", "y"]


def test_a_table_without_close_fails():
    with pytest.raises(KeyError):
        kline._normalize_yfinance_df(downloaded(daily_index()).drop(columns=["Close"]))


class TestStripTz:
    def test_in_place_and_returns_the_same_table(self):
        table = pd.DataFrame({"date": pd.to_datetime(["2025-01-02 09:30"]).tz_localize("America/New_York")})
        assert kline._strip_tz(table) is table
        assert table["date"][0] == pd.Timestamp("2025-01-02 09:30")

    @pytest.mark.parametrize("table", [
        pd.DataFrame({"open": [1.0]}),
        pd.DataFrame({"date": [dt.date(2025, 1, 2)]}),
        pd.DataFrame({"date": pd.to_datetime(["2025-01-02 09:30"])}),
        pd.DataFrame({"date": ["not a time"]}),
    ])
    def test_anything_else_is_left_as_it_was(self, table):
        before = table.copy()
        assert kline._strip_tz(table) is table
        pd.testing.assert_frame_equal(table, before)
