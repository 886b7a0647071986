"""
Command: kline

Category: Live Market Quotes
"""

import collections.abc
from collections.abc import Coroutine as _Coroutine
import datetime
import typing
from typing import Any

import corbel.dispatch

import veltrax.cmds.base
import veltrax.gateway.candle_store


PERIOD_MAP: collections.abc.Mapping[str, str]

ADJUST_KEYWORDS: frozenset[str]

BAR_SECONDS: collections.abc.Mapping[str, int]

PERIOD_DEFAULT_COUNT: collections.abc.Mapping[str, int]

DURATION_FACTOR: collections.abc.Mapping[str, float]

YF_PERIOD: collections.abc.Mapping[str, str]

YF_INTERVAL: collections.abc.Mapping[str, str]

_INTRADAY_PERIODS: frozenset[str]

def _use_rth(period: str) -> bool:
    """True unless the period's bars are shorter than a day."""

def _is_period(s: str) -> bool:
    """True when the word is a period word (canonical or alias)."""

def _is_date(s: str) -> bool:
    """True for today, yesterday and YYYY-MM-DD text."""

def _parse_date(s: str) -> datetime.date:
    """The calendar date a date word names; ValueError if it is no real date."""

def _calc_duration(back_days: int) -> str:
    """The broker duration text for a look-back of so many days."""

def _strip_tz(df: object) -> object:
    """
    Remove the time zone of the date column in place (wall-clock time kept).
    """

def _normalize_yfinance_df(hist: object) -> object:
    """
    Convert yfinance OHLCV DataFrame to unified bar format matching IBKR Bar schema.
    """

def _get_cache() -> veltrax.gateway.candle_store.KlineCache:
    """The process-wide KlineCache, created on first use."""

_candle_store: veltrax.gateway.candle_store.KlineCache | None

class Coroutine(collections.abc.Coroutine[typing.Any, typing.Any, typing.Any]):
    """A coroutine implemented in C++; asyncio drives it like any other."""
    def send(self, value: typing.Any, /) -> typing.Any: ...
    def throw(self, typ: typing.Any, val: typing.Any = None, tb: typing.Any = None, /) -> typing.Any: ...
    def close(self) -> None: ...
    def __await__(self) -> collections.abc.Generator[typing.Any, None, typing.Any]: ...
    def __next__(self) -> typing.Any: ...

class IOpKline(veltrax.cmds.base.IOp):
    """
    Fetch candlestick / OHLCV data via IBKR.

        Modes:
          kline <symbol> [period] [count] [adj]           # Latest N candles
          kline <symbol> <start> [end] [period] [adj]     # History by date range
          kline <symbol> intraday                          # Today's per-minute curve

        Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year
        Aliases: minute, hour, d, w, m, y, 1d, 1mo
        Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)
        Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)
                omitted = TRADES (split-adjusted only)
        Start / End: YYYY-MM-DD (end defaults to today)

        Examples:
          kline AAPL day 100
          kline AAPL 5m 200 adj
          kline AAPL 2025-01-01 day
          kline AAPL 2025-01-01 2025-06-01 day
          kline AAPL intraday
    """

    symbol: str
    rest: list[str]

    requires_gateway: typing.ClassVar[bool] = False

    def argmap(self) -> list[corbel.dispatch.DArg]:
        """The words of the command line: the symbol, then the rest."""

    def run(self) -> _Coroutine[Any, Any, dict[str, Any]]:
        """Route the request to a broker mode, or to the yfinance fallback."""

    def _kline(self, contract: object, rest: list[str]) -> _Coroutine[Any, Any, dict[str, Any]]:
        """The latest N bars from the broker (or the cache)."""

    def _history(self, contract: object, rest: list[str]) -> _Coroutine[Any, Any, dict[str, Any]]:
        """All bars of a date range from the broker (or the cache)."""

    def _intraday(self, contract: object) -> _Coroutine[Any, Any, dict[str, Any]]:
        """Today's one-minute curve from the broker (or the cache)."""

    def _yf_history(self, **kwargs: Any) -> _Coroutine[Any, Any, Any]:
        """
        Download bars with yfinance on a worker thread; None when the download failed.
        """

    def _run_yfinance(self, rest: list[str]) -> _Coroutine[Any, Any, dict[str, Any]]:
        """Dispatch kline query to yfinance based on arg pattern."""

    def _kline_yfinance(self, rest: list[str]) -> _Coroutine[Any, Any, dict[str, Any]]:
        """The latest N bars from yfinance (or the cache)."""

    def _history_yfinance(self, rest: list[str]) -> _Coroutine[Any, Any, dict[str, Any]]:
        """All bars of a date range from yfinance (or the cache)."""

    def _intraday_yfinance(self) -> _Coroutine[Any, Any, dict[str, Any]]:
        """Today's one-minute curve from yfinance (or the cache)."""

    def __init__(self, state: Any, ib: Any) -> None: ...
