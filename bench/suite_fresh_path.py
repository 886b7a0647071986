"""The kline command's fresh path and the read of a cached request after a restart.

run() is timed whole (routing, contract lookup, the broker mode) with a broker that answers at
once with bars the simulated feed made beforehand, so only the command's own work is measured.
Beside the straightforward pandas way (DataFrame of the bars, then to_dict), the 30,000-bar
scenarios have their floor: the pandas work the command cannot avoid (its table, built from
columns already typed, converted, zone removed) plus the record dicts, their dates boxed by pandas
itself (Timestamps for intraday bars) and their numbers by numpy. The restart read's floor is that
last part alone: every record dict, with its values, made anew.
"""

from __future__ import annotations

import asyncio
import dataclasses
import datetime as dt
import gc
import io
import tempfile
import time
from zoneinfo import ZoneInfo

import pandas as pd
from ib_async import BarData, Stock

from bench.timing import best_times
from corbel.frame import printFrame
from veltrax.cmds.quotes import kline
from veltrax.gateway.candle_store import KlineCache

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
    return bars[-n:]


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


def typed_columns(bars) -> dict[str, object]:
    """The bars' fields as the typed columns pandas keeps (read out before any timing)."""
    names = [field.name for field in dataclasses.fields(bars[0])]
    return pd.DataFrame([dataclasses.astuple(bar) for bar in bars], columns=names).to_dict(orient="series")


def floor_table(columns: dict[str, object]) -> pd.DataFrame:
    """The table the command must print, from typed columns: built, converted, zone removed."""
    table = pd.DataFrame(columns).convert_dtypes()
    if isinstance(table["date"].dtype, pd.DatetimeTZDtype):
        table["date"] = table["date"].dt.tz_localize(None)
    return table


def floor_records(table: pd.DataFrame) -> list[dict]:
    """Records of a table: dates boxed by pandas itself (Timestamps), numbers by numpy, then one
    dict per row."""
    names = table.columns.tolist()
    values = [list(table[name].array.astype(object)) if table[name].dtype.kind in "MO"
              else table[name].to_numpy(dtype="float64" if table[name].dtype.kind == "f" else "int64").tolist()
              for name in names]
    return [dict(zip(names, row)) for row in zip(*values)]


def command(bars, rest):
    op = kline.IOpKline(state=ConnectedState(), ib=InstantIB(bars))
    op.symbol, op.rest = "AAPL", rest
    return op


def restart_read(directory: str, key: str) -> float:
    """Seconds for a KlineCache opened afresh (nothing in memory) to return a stored request; best of 7."""
    best = float("inf")
    for _ in range(8):  # the first is a warm-up
        cache = KlineCache(directory)
        started = time.perf_counter()
        bars = cache.get(key)
        best = min(best, time.perf_counter() - started)
        assert bars is not None
        del bars, cache
        gc.collect()
    return best


def run(report) -> None:
    loop = asyncio.new_event_loop()
    kline._candle_store = NoCache()
    for n in (1_000, 30_000):
        for intraday in (False, True):
            bars = broker_bars(n, intraday)
            rest = ["1m" if intraday else "day", str(n)]
            op = command(bars, rest)
            kind = "1-minute" if intraday else "daily"
            kline.printFrame = quiet_print
            report.compare(f"fresh {n:,} {kind} bars", "DataFrame+to_dict",
                           lambda: pandas_way(bars, "title"), lambda: loop.run_until_complete(op.run()))
            if n < 30_000:
                continue
            kline.printFrame = lambda table, title: None
            columns = typed_columns(bars)
            report.compare(f"fresh {n:,} {kind} bars, not printed", "floor: table + dicts",
                           lambda: floor_records(floor_table(columns)), lambda: loop.run_until_complete(op.run()))

            # The same request read back by a new process: a new KlineCache over the stored entry.
            with tempfile.TemporaryDirectory() as directory:
                key = KlineCache.count_key("AAPL", rest[0], "none", n)
                stored = floor_records(floor_table(columns))
                KlineCache(directory).set(key, stored)
                table = floor_table(columns)
                floor, = best_times([lambda: floor_records(table)], rounds=7)
                report.add(f"restart read, {n:,} {kind} bars", "floor: records", floor, restart_read(directory, key))
    kline.printFrame = printFrame
    kline._candle_store = None
    loop.close()
