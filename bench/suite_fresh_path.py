"""The kline command's fresh path and cache-hit path against the straightforward pandas way."""

from __future__ import annotations

import asyncio
import datetime as dt
import io
import random
import tempfile
import time
from zoneinfo import ZoneInfo

import pandas as pd
from loguru import logger
from ib_async import BarData

from corbel.frame import printFrame
from veltrax.cmds.quotes import kline

NEW_YORK = ZoneInfo("America/New_York")


def broker_bars(n: int, intraday: bool) -> list[BarData]:
    rng = random.Random(n)
    first = dt.datetime(2024, 1, 2, 4, 0, tzinfo=NEW_YORK) if intraday else dt.date(1990, 1, 2)
    step = dt.timedelta(minutes=1) if intraday else dt.timedelta(days=1)
    price, bars = 100.0, []
    for i in range(n):
        price = max(1.0, price + rng.gauss(0, 0.5))
        high, low = price + rng.random(), price - rng.random()
        bars.append(BarData(date=first + i * step, open=round(price, 2), high=round(high, 2), low=round(low, 2),
                            close=round((high + low) / 2, 2), volume=float(rng.randint(100, 100_000)),
                            average=round((high + low + price) / 3, 4), barCount=rng.randint(1, 500)))
    return bars


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
    op = kline.IOpKline(state=None, ib=InstantIB(bars))
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
                           lambda: pandas_way(bars, "title"), lambda: loop.run_until_complete(op._kline(None, rest)))

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
            # The same steps written plainly: words, key, store lookup, age check, log, result.
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
                       lambda: loop.run_until_complete(op._kline(None, op.rest)))
    loop.close()
