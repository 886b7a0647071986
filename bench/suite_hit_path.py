"""A cache hit of `kline AAPL day 250` through run(), beside a plain-Python coroutine doing the same steps.

Both are driven by send(None) (a hit never suspends), use the same KlineCache over the same store and
the same logger, so the ratio is the command's own work: routing, the contract check, the words,
the key, the lookup, the log line and the result.
"""

from __future__ import annotations

import copy
import math
import re
import tempfile

from ib_async import Future, Stock
from loguru import logger

from veltrax.cmds.quotes import kline
from veltrax.gateway.candle_store import KlineCache

WORDS = ["day", "250"]
KEY = "AAPL:day:none:count_250"


class ConnectedState:
    """A connected broker whose contract lookup is remembered (no contract is built per request)."""

    connected = True
    contract = Stock("AAPL", "SMART", "USD")

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, self.contract


_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
_candle_store = None


def _get_cache():
    return _candle_store


def _is_date(word):
    return word in ("today", "yesterday") or _DATE.fullmatch(word) is not None


def _calc_duration(back_days):
    return f"{back_days} D" if back_days <= 365 else f"{math.ceil(back_days / 365)} Y"


class PlainKline:
    """run() and _kline() as the straightforward Python of the same steps."""

    def __init__(self, state, ib):
        self.state, self.ib = state, ib

    async def run(self):
        symbol = getattr(self, "symbol", None)
        if not symbol:
            logger.error("No symbol provided")
            return {"error": "No symbol provided"}
        rest = getattr(self, "rest", None) or []
        if not self.state.connected:
            logger.info("[{}] No gateway, using yfinance fallback", symbol)
            return await self._run_yfinance(rest)
        try:
            found, contract = await self.state.positionalQuoteRepopulate(symbol)
            if not found:
                logger.error("Symbol not found: {}", symbol)
                return await self._run_yfinance(rest)
            self.symbol = found
            if contract is None:
                raise ValueError("the contract lookup gave no contract")
            if isinstance(contract, Future):
                contract = copy.copy(contract)
                contract.secType = "CONTFUT"
            if rest and rest[0] == "intraday":
                result = await self._intraday(contract)
            elif rest and _is_date(rest[0]):
                result = await self._history(contract, rest)
            else:
                result = await self._kline(contract, rest)
            if result and "error" not in result:
                result["source"] = "ibkr"
                return result
            logger.warning("[{}] IBKR returned error ({}), falling back to yfinance", self.symbol,
                           result.get("error") if result else None)
        except Exception as error:
            logger.warning("[{}] IBKR failed ({}), falling back to yfinance", self.symbol, error)
        return await self._run_yfinance(rest)

    async def _kline(self, contract, rest):
        period, count, adjust = "day", kline.PERIOD_DEFAULT_COUNT.get("day", 100), "none"
        idx = 0
        if idx < len(rest) and rest[idx] in kline.PERIOD_MAP:
            period = rest[idx]
            count = kline.PERIOD_DEFAULT_COUNT.get(period, 100)
            idx += 1
        if idx < len(rest):
            try:
                count = int(rest[idx])
                idx += 1
            except ValueError:
                pass
        if idx < len(rest):
            adjust = rest[idx]
        what = "ADJUSTED_LAST" if adjust in kline.ADJUST_KEYWORDS else "TRADES"
        ib_period = kline.PERIOD_MAP[period]
        bar_sec = kline.BAR_SECONDS.get(ib_period, 86400)
        factor = kline.DURATION_FACTOR.get(period, 1.0)
        duration = _calc_duration(math.ceil(count * bar_sec * factor / 86400))
        cache = _get_cache()
        key = KlineCache.count_key(self.symbol, period, adjust, count)
        cached = cache.get(key)
        if cached is not None:
            logger.info("[{}] kline exact cache hit: {} {} {}", self.symbol, period, count, adjust)
            return {"symbol": self.symbol, "period": period, "count": len(cached), "adjust": adjust,
                    "bars": cached, "cached": True}
        raise AssertionError(f"the benchmark expects a hit ({what}, {duration})")


def finished(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("a cache hit suspended")


def command(cls):
    op = cls(state=ConnectedState(), ib=None)
    op.symbol, op.rest = "AAPL", list(WORDS)
    return op


def run(report) -> None:
    global _candle_store
    with tempfile.TemporaryDirectory() as directory:
        cache = KlineCache(directory)
        cache.set(KEY, [{"date": i, "close": float(i)} for i in range(250)])
        _candle_store = cache
        kline._candle_store = cache
        ours, plain = command(kline.IOpKline), command(PlainKline)
        assert finished(ours.run())["cached"] and finished(plain.run())["cached"]
        report.compare("cache hit of run(), 250 daily bars", "plain Python coroutine",
                       lambda: finished(plain.run()), lambda: finished(ours.run()), repeat=15)
        kline._candle_store = None
