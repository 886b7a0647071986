"""The kline command's fresh path and cache-hit path against the straightforward pandas way.

run() is timed whole (routing, contract lookup, the broker mode) with a broker that answers at
once with bars the simulated feed made beforehand, so only the command's own work is measured.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import io
import tempfile
import time
from zoneinfo import ZoneInfo

import pandas as pd
from loguru import logger
from ib_async import BarData, Stock

from corbel.frame import printFrame
from veltrax.cmds.quotes import kline

NEW_YORK = ZoneInfo("America/New_York")


class SimulatedFeed:
    """The simulated feed's bars for a broker request, its clock fixed, as many sessions as n bars need.
    The simulated broker itself refuses what the real one does, 30,000 one-minute bars in one request
    among them (the real one would take 32 requests), so its bar generator is asked directly."""

    def __init__(self, n: int, intraday: bool) -> None:
        sessions = -(-n // 960) if intraday else n * 7 // 5 + 30
        self.duration = f"{sessions} D" if intraday or sessions <= 365 else f"{-(-sessions // 250)} Y"

    async def reqHistoricalDataAsync(self, contract, endDateTime, barSizeSetting, whatToShow, useRTH, **duration):
        from veltrax.simfeed.bars import generate_bars

        series = generate_bars(contract.symbol, barSizeSetting, endDateTime, self.duration, whatToShow, useRTH,
                               now=dt.datetime(2025, 6, 4, 21, 0, tzinfo=NEW_YORK))
        return [BarData(*row) for row in series.rows()]


def broker_bars(n: int, intraday: bool) -> list:
    """n bars from the simulated feed, generated once so that only the command is timed."""
    bars = asyncio.run(SimulatedFeed(n, intraday).reqHistoricalDataAsync(
        Stock("AAPL", "SMART", "USD"), endDateTime="", barSizeSetting="1 min" if intraday else "1 day",
        whatToShow="TRADES", useRTH=not intraday))
    assert len(bars) >= n, (len(bars), n)
    return list(bars)[-n:]


class ConnectedState:
    """The shell state of a connected broker whose contract lookup answers at once."""

    connected = True

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, Stock(symbol, "SMART", "USD")


class InstantIB:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, contract, **keywords):
        return self.bars


class NoCache:
    """Misses every time, so each run takes the fresh path; storage has a suite of its own."""

    def get(self, key):
        return None

    def try_larger_count(self, *args):
        return None

    def set(self, key, bars):
        pass


def quiet_print(table, title):
    printFrame(table, title, file=io.StringIO())


def pandas_way(bars, title):
    table = pd.DataFrame(bars).convert_dtypes()
    try:
        table["date"] = table["date"].dt.tz_localize(None)
    except Exception:
        pass
    quiet_print(table, title)
    return table.to_dict(orient="records")


def command(bars, rest):
    op = kline.IOpKline(state=ConnectedState(), ib=InstantIB(bars))
    op.symbol, op.rest = "AAPL", rest
    return op


def run(report) -> None:
    loop = asyncio.new_event_loop()
    kline.printFrame = quiet_print
    kline._candle_store = NoCache()
    for n in (1_000, 30_000):
        for intraday in (False, True):
            bars = broker_bars(n, intraday)
            rest = ["1m" if intraday else "day", str(n)]
            op = command(bars, rest)
            report.compare(f"fresh {n:,} {'1-minute' if intraday else 'daily'} bars", "DataFrame+to_dict",
                           lambda: pandas_way(bars, "title"), lambda: loop.run_until_complete(op.run()))

    # Cache hits: the stored list comes back through KlineCache over the memory level.
    with tempfile.TemporaryDirectory() as directory:
        from veltrax.gateway.candle_store import KlineCache

        cache = KlineCache(directory)
        kline._candle_store = cache
        cached = pandas_way(broker_bars(30_000, False), "")
        cache.set("AAPL:day:none:count_30000", cached)
        store = {"AAPL:day:none:count_30000": {"bars": cached, "cached_at": time.time()}}
        op = command([], ["day", "30000"])

        async def python_hit(rest=("day", "30000")):
            # The same steps written plainly: lookup, words, key, store lookup, age check, log, result.
            await ConnectedState().positionalQuoteRepopulate("AAPL")
            period = rest[0] if rest and rest[0] in kline.PERIOD_MAP else "day"
            count = int(rest[1])
            key = f"AAPL:{period}:none:count_{count}"
            entry = store.get(key)
            if entry is None or time.time() - entry.get("cached_at", 0) > 86400:
                return None
            logger.info("[{}] kline exact cache hit: {} {} {}", "AAPL", period, count, "none")
            bars = entry["bars"]
            return {"symbol": "AAPL", "period": period, "count": len(bars), "adjust": "none", "bars": bars,
                    "cached": True}

        report.compare("cache hit, 30,000 bars", "plain Python coroutine",
                       lambda: loop.run_until_complete(python_hit()),
                       lambda: loop.run_until_complete(op.run()))
    loop.close()
