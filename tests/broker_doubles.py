"""Stand-ins for the broker side of a kline request: a recording client and crafted bars."""

from __future__ import annotations

import asyncio
import datetime as dt
from zoneinfo import ZoneInfo

from ib_async import BarData, Stock

NEW_YORK = ZoneInfo("America/New_York")


def daily_bars(n, first=dt.date(2024, 1, 2)):
    return [
        BarData(date=first + dt.timedelta(days=i), open=100.0 + i, high=101.5 + i, low=99.25 + i,
                close=100.5 + i, volume=1000.0 + i, average=100.2 + i, barCount=7 + i)
        for i in range(n)
    ]


def minute_bars(n, first=dt.datetime(2025, 1, 2, 9, 30, tzinfo=NEW_YORK)):
    return [
        BarData(date=first + dt.timedelta(minutes=i), open=100.0 + i, high=101.5 + i, low=99.25 + i,
                close=100.5 + i, volume=500.0, average=100.2 + i, barCount=3)
        for i in range(n)
    ]


class RecordingIB:
    """Answers reqHistoricalDataAsync with prepared bars and records every call."""

    def __init__(self, bars=(), error=None):
        self.bars = list(bars)
        self.error = error
        self.calls: list[tuple[tuple, list[tuple[str, object]]]] = []

    async def reqHistoricalDataAsync(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        await asyncio.sleep(0)
        if self.error is not None:
            raise self.error
        return list(self.bars)

    def keywords(self, call=-1):
        return dict(self.calls[call][1])


class ConnectedState:
    connected = True

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, Stock(symbol, "SMART", "USD")


def command(symbol="AAPL", rest=(), ib=None):
    from veltrax.cmds.quotes import kline

    op = kline.IOpKline(state=ConnectedState(), ib=ib if ib is not None else RecordingIB())
    op.symbol = symbol
    op.rest = list(rest)
    return op


class MemoryCache:
    """The bar cache's interface over a dict, for tests that are not about storage."""

    def __init__(self):
        self.entries = {}

    def get(self, key):
        return self.entries.get(key)

    def set(self, key, bars):
        self.entries[key] = bars

    def try_larger_count(self, symbol, period, adjust, count):
        return None
