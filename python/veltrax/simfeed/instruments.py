"""What the simulated market knows about an instrument: price level, volatility, volume, dividends.

Everything is derived from the symbol text alone, through a digest that is the
same in every process (Python's hash() is salted per process), so a symbol has
the same history on every run and every machine.
"""

from __future__ import annotations

import datetime as dt
import hashlib
import math
import random
import re
from dataclasses import dataclass
from functools import lru_cache
from zoneinfo import ZoneInfo


@dataclass(frozen=True)
class FutureSpec:
    exchange: str
    multiplier: str
    price_level: float
    # Contract months; the simulated contracts expire on the third Friday.
    months: tuple[int, ...]


QUARTERLY = (3, 6, 9, 12)
MONTHLY = tuple(range(1, 13))
BIMONTHLY = (2, 4, 6, 8, 10, 12)

# The futures the simulated broker lists, by root.
FUTURES: dict[str, FutureSpec] = {
    "ES": FutureSpec("CME", "50", 5000.0, QUARTERLY),
    "MES": FutureSpec("CME", "5", 5000.0, QUARTERLY),
    "NQ": FutureSpec("CME", "20", 18000.0, QUARTERLY),
    "MNQ": FutureSpec("CME", "2", 18000.0, QUARTERLY),
    "YM": FutureSpec("CBOT", "5", 38000.0, QUARTERLY),
    "MYM": FutureSpec("CBOT", "0.5", 38000.0, QUARTERLY),
    "RTY": FutureSpec("CME", "50", 2000.0, QUARTERLY),
    "M2K": FutureSpec("CME", "5", 2000.0, QUARTERLY),
    "CL": FutureSpec("NYMEX", "1000", 75.0, MONTHLY),
    "MCL": FutureSpec("NYMEX", "100", 75.0, MONTHLY),
    "GC": FutureSpec("COMEX", "100", 2000.0, BIMONTHLY),
    "MGC": FutureSpec("COMEX", "10", 2000.0, BIMONTHLY),
    "SI": FutureSpec("COMEX", "5000", 25.0, (3, 5, 7, 9, 12)),
    "ZB": FutureSpec("CBOT", "1000", 120.0, QUARTERLY),
    "ZN": FutureSpec("CBOT", "1000", 110.0, QUARTERLY),
    "ZF": FutureSpec("CBOT", "1000", 107.0, QUARTERLY),
    "ZT": FutureSpec("CBOT", "2000", 102.0, QUARTERLY),
    "6E": FutureSpec("CME", "125000", 1.08, QUARTERLY),
    "6J": FutureSpec("CME", "12500000", 0.0068, QUARTERLY),
    "VX": FutureSpec("CFE", "1000", 16.0, MONTHLY),
}


# The zones bar times are given in, by the names the broker's contract details use (timeZoneId):
# every listed future trades on a CME Group exchange or CFE, which the broker places in Chicago.
STOCK_ZONE = "US/Eastern"
FUTURES_ZONE = "US/Central"


def zone_name(symbol: str) -> str:
    return FUTURES_ZONE if symbol in FUTURES else STOCK_ZONE


# Symbols the simulated market does not list, by prefix.
DEFAULT_UNKNOWN_PREFIXES = ("ZZ",)
_STOCK_SYMBOL = re.compile(r"[A-Z][A-Z0-9]{0,5}(?:[.][A-Z])?")


def lists_stock(symbol: str, unknown_prefixes: tuple[str, ...] = DEFAULT_UNKNOWN_PREFIXES) -> bool:
    """Whether the simulated market lists a stock under this symbol."""
    return bool(symbol) and not symbol.startswith(unknown_prefixes) and _STOCK_SYMBOL.fullmatch(symbol) is not None


@dataclass(frozen=True)
class Split:
    day: dt.date  # takes effect on the first session from this day
    numerator: int
    denominator: int


@dataclass(frozen=True)
class Instrument:
    symbol: str
    seed: int
    price_level: float  # typical price in 2025
    annual_vol: float
    daily_volume: float  # regular-session volume of an ordinary day
    trade_size: float  # average size of one trade, for bar trade counts
    dividend_yield: float  # annual; paid quarterly as a share of the price
    dividend_month: int  # first ex-dividend month of the year (1 to 3), then every 3 months
    dividend_day: int  # ex-dates fall on the first trading day from this day of the month
    decimals: int  # prices are quoted to this many decimals
    # Stock splits; prices and volumes are split-adjusted (as both the broker and
    # the downloader give them), so a split shows only as an event.
    splits: tuple[Split, ...] = ()

    @property
    def zone(self) -> ZoneInfo:
        """The zone of intraday bar times: New York's for stocks, the exchange's for futures."""
        return ZoneInfo(FUTURES_ZONE) if self.symbol in FUTURES else ZoneInfo("America/New_York")

    @property
    def daily_vol(self) -> float:
        return self.annual_vol / math.sqrt(252.0)


def symbol_seed(symbol: str) -> int:
    return int.from_bytes(hashlib.blake2b(symbol.encode(), digest_size=8).digest(), "little")


def _decimals(price: float) -> int:
    return 2 if price >= 10 else 4 if price >= 0.1 else 6


@lru_cache(maxsize=1024)
def instrument(symbol: str) -> Instrument:
    seed = symbol_seed(symbol)
    draw = random.Random(seed)
    future = FUTURES.get(symbol)
    if future is not None:
        level = future.price_level
        vol = draw.uniform(0.12, 0.35)
        volume = math.exp(draw.uniform(math.log(2e4), math.log(1.5e6)))
        trade_size, dividend = draw.uniform(1.5, 4.0), 0.0
    else:
        level = math.exp(draw.uniform(math.log(15.0), math.log(600.0)))
        vol = draw.uniform(0.18, 0.55)
        volume = math.exp(draw.uniform(math.log(3e5), math.log(6e7)))
        trade_size, dividend = draw.uniform(60.0, 200.0), draw.uniform(0.004, 0.03)
    dividend_month, dividend_day = draw.randint(1, 3), draw.randint(5, 25)
    splits = () if future is not None else _draw_splits(draw)
    return Instrument(
        symbol=symbol,
        seed=seed,
        price_level=level,
        annual_vol=vol,
        daily_volume=volume,
        trade_size=trade_size,
        dividend_yield=dividend,
        dividend_month=dividend_month,
        dividend_day=dividend_day,
        decimals=_decimals(level),
        splits=splits,
    )


_SPLIT_RATIOS = ((2, 1), (3, 1), (4, 1), (3, 2), (5, 4))


def _draw_splits(draw: random.Random) -> tuple[Split, ...]:
    """Up to three splits since 1985 (each takes effect on the first session from its day)."""
    days = sorted(dt.date(1985, 1, 1) + dt.timedelta(days=draw.randrange(14600)) for _ in range(draw.randint(0, 3)))
    return tuple(Split(day, *draw.choice(_SPLIT_RATIOS)) for day in days)
