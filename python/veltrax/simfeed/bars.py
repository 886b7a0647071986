"""Simulated exchange bars: deterministic per symbol, on the exchange's calendar, cheap to make.

Prices are a function of time, not of the request: the log price is a sum of smooth noise at
scales from a minute to a year (each scale's amplitude grows with the square root of its length,
as a random walk's does), seeded by the symbol's text. A bar at a given time is therefore the same
bar whatever span was asked for, and a smaller request is a subset of a larger one.

Sessions are weekdays; regular hours 09:30-16:00 America/New_York, extended hours 04:00-20:00.
Daily and longer bars carry `datetime.date`, intraday bars zone-aware datetimes in New York time,
as ib_async gives them. "TRADES" prices are split-adjusted; "ADJUSTED_LAST" also takes simulated
quarterly dividends out of earlier prices.
"""

from __future__ import annotations

import datetime as dt
import hashlib
import re
from dataclasses import dataclass
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
from ib_async import BarData

EXCHANGE_ZONE = ZoneInfo("America/New_York")
REGULAR_HOURS = (dt.time(9, 30), dt.time(16, 0))
EXTENDED_HOURS = (dt.time(4, 0), dt.time(20, 0))

# Bar-size setting to bar length in minutes; longer bars are built from daily ones.
INTRADAY_MINUTES = {"1 min": 1, "5 mins": 5, "15 mins": 15, "30 mins": 30, "1 hour": 60}
LONGER_BARS = {"1 day", "1 week", "1 month"}

# Noise scales in seconds and the daily volatility the sum is tuned to.
SCALES = np.array([60, 900, 4 * 3600, 3 * 86400, 30 * 86400, 365 * 86400], dtype=np.float64)
DAILY_VOLATILITY = 0.015
QUARTERLY_DIVIDEND = 0.006
EPOCH = pd.Timestamp("1970-01-01", tz="UTC")


def seed_of(symbol: str) -> int:
    """A seed that is the same in every process (unlike hash())."""
    return int.from_bytes(hashlib.sha256(symbol.encode()).digest()[:8], "little")


def mix(values: np.ndarray) -> np.ndarray:
    """splitmix64 finaliser: well-spread 64-bit integers from consecutive ones."""
    with np.errstate(over="ignore"):
        z = values + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))


def uniform(seed: int, salt: int, index: np.ndarray) -> np.ndarray:
    """A deterministic value in [-1, 1) for each integer index."""
    with np.errstate(over="ignore"):
        key = index.astype(np.uint64) * np.uint64(0x100000001B3) + np.uint64((seed ^ (salt * 0x51ED27)) & (2**64 - 1))
    return (mix(key) >> np.uint64(11)).astype(np.float64) / float(1 << 52) - 1.0


def smooth_noise(seed: int, salt: int, seconds: np.ndarray, scale: float) -> np.ndarray:
    position = seconds / scale
    cell = np.floor(position)
    fraction = position - cell
    eased = fraction * fraction * (3.0 - 2.0 * fraction)
    left = uniform(seed, salt, cell.astype(np.int64))
    right = uniform(seed, salt, cell.astype(np.int64) + 1)
    return left + (right - left) * eased


@dataclass(frozen=True)
class Instrument:
    symbol: str

    @property
    def seed(self) -> int:
        return seed_of(self.symbol)

    @property
    def base_price(self) -> float:
        return 20.0 + (self.seed % 48_000) / 100.0

    @property
    def base_volume(self) -> float:
        return 2_000.0 + (self.seed >> 20) % 20_000

    def log_price(self, seconds: np.ndarray) -> np.ndarray:
        level = np.full(seconds.shape, np.log(self.base_price))
        amplitudes = DAILY_VOLATILITY * np.sqrt(SCALES / 86400.0)
        for salt, (scale, amplitude) in enumerate(zip(SCALES, amplitudes)):
            level += amplitude * smooth_noise(self.seed, salt, seconds, scale)
        return level

    def dividend_factor(self, day_numbers: np.ndarray, today: int) -> np.ndarray:
        """Product of the dividend adjustments of every ex-date after each day (quarterly, seeded)."""
        offset = self.seed % 91
        ex_dates_after = np.floor((today - offset) / 91.0) - np.floor((day_numbers - offset) / 91.0)
        return (1.0 - QUARTERLY_DIVIDEND) ** np.maximum(ex_dates_after, 0.0)


def parse_duration(text: str) -> tuple[int, str]:
    match = re.fullmatch(r"(\d+) ([DY])", text.strip())
    if not match:
        raise ValueError(f"duration must be 'N D' or 'N Y', not {text!r}")
    return int(match.group(1)), match.group(2)


def end_moment(end: object, now: dt.datetime) -> dt.datetime:
    """"" means now; a date means 23:59:59 of that day in the machine's local time, as ib_async sends it."""
    if end in ("", None):
        return now
    if isinstance(end, dt.datetime):
        return end if end.tzinfo else end.astimezone()
    if isinstance(end, dt.date):
        return dt.datetime.combine(end, dt.time(23, 59, 59)).astimezone()
    raise TypeError(f"endDateTime must be '' or a date, not {end!r}")


def sessions(last_day: dt.date, duration: str) -> list[dt.date]:
    """Trading days (weekdays) of the span: N D is the last N sessions, N Y the last N*365 days."""
    count, unit = parse_duration(duration)
    if count <= 0:
        return []
    if unit == "D":
        days = pd.bdate_range(end=last_day, periods=count)
    else:
        days = pd.bdate_range(start=last_day - dt.timedelta(days=365 * count - 1), end=last_day)
    return [d.date() for d in days]


def intraday_starts(days: list[dt.date], minutes: int, use_rth: bool) -> pd.DatetimeIndex:
    opens, closes = REGULAR_HOURS if use_rth else EXTENDED_HOURS
    session = (closes.hour * 60 + closes.minute) - (opens.hour * 60 + opens.minute)
    offsets = np.arange(0, session, minutes, dtype=np.int64)
    day_starts = pd.DatetimeIndex([dt.datetime.combine(d, opens) for d in days])
    wall = (day_starts.values[:, None] + offsets[None, :].astype("timedelta64[m]")).ravel()
    return pd.DatetimeIndex(wall).tz_localize(EXCHANGE_ZONE)


def generate_bars(symbol: str, bar_size: str, end: object, duration: str, what_to_show: str = "TRADES",
                  use_rth: bool = True, now: dt.datetime | None = None) -> list[BarData]:
    """The bars of `symbol` for one historical-data request, oldest first."""
    now = now or dt.datetime.now(dt.timezone.utc)
    last = end_moment(end, now).astimezone(EXCHANGE_ZONE)
    if bar_size in INTRADAY_MINUTES:
        return intraday_bars(Instrument(symbol), INTRADAY_MINUTES[bar_size], last, duration, what_to_show, use_rth)
    if bar_size in LONGER_BARS:
        return longer_bars(Instrument(symbol), bar_size, last, duration, what_to_show)
    raise ValueError(f"unsupported bar size {bar_size!r}")


def price_frame(instrument: Instrument, starts: pd.DatetimeIndex, length_seconds: np.ndarray,
                what_to_show: str, today: int) -> dict[str, np.ndarray]:
    """Open, high, low, close, volume, average and trade count of bars starting at `starts`."""
    begin = (starts - EPOCH).total_seconds().to_numpy()
    samples = begin[:, None] + length_seconds[:, None] * np.linspace(0.0, 1.0, 5)[None, :]
    prices = np.exp(instrument.log_price(samples))
    opens, closes = prices[:, 0], prices[:, -1]
    wiggle = 0.0015 * np.sqrt(length_seconds / 60.0)
    highs = prices.max(axis=1) * (1.0 + wiggle * (0.5 + 0.5 * uniform(instrument.seed, 101, begin.astype(np.int64))))
    lows = prices.min(axis=1) * (1.0 - wiggle * (0.5 + 0.5 * uniform(instrument.seed, 102, begin.astype(np.int64))))
    averages = np.clip(prices.mean(axis=1), lows, highs)
    scale = 1.0
    if what_to_show == "ADJUSTED_LAST":
        days = (begin // 86400).astype(np.int64)
        scale = instrument.dividend_factor(days, today)
    minutes = length_seconds / 60.0
    volumes = np.round(instrument.base_volume * minutes * np.exp(0.6 * uniform(instrument.seed, 103, begin.astype(np.int64))))
    # Prices in cents, with the high and low rounded outwards so every price stays inside them.
    opens, closes = np.round(opens * scale, 2), np.round(closes * scale, 2)
    highs = np.maximum(np.ceil(highs * scale * 100) / 100, np.maximum(opens, closes))
    lows = np.minimum(np.floor(lows * scale * 100) / 100, np.minimum(opens, closes))
    return {
        "open": opens, "high": highs, "low": lows, "close": closes,
        "average": np.clip(np.round(averages * scale, 4), lows, highs),
        "volume": volumes, "barCount": np.maximum(1, (volumes // 80)).astype(np.int64),
    }


def to_bars(dates: list, columns: dict[str, np.ndarray]) -> list[BarData]:
    rows = zip(dates, *(columns[k].tolist() for k in ("open", "high", "low", "close", "volume", "average", "barCount")))
    return [BarData(date=d, open=o, high=h, low=l, close=c, volume=v, average=a, barCount=n)
            for d, o, h, l, c, v, a, n in rows]


def intraday_bars(instrument: Instrument, minutes: int, last: dt.datetime, duration: str, what_to_show: str,
                  use_rth: bool) -> list[BarData]:
    days = sessions(last.date(), duration)
    if not days:
        return []
    starts = intraday_starts(days, minutes, use_rth)
    starts = starts[starts <= pd.Timestamp(last)]
    if len(starts) == 0:
        return []
    columns = price_frame(instrument, starts, np.full(len(starts), minutes * 60.0), what_to_show,
                          int((pd.Timestamp(last) - EPOCH).total_seconds() // 86400))
    return to_bars(list(starts.to_pydatetime()), columns)


def longer_bars(instrument: Instrument, bar_size: str, last: dt.datetime, duration: str,
                what_to_show: str) -> list[BarData]:
    days = [d for d in sessions(last.date(), duration)
            if dt.datetime.combine(d, REGULAR_HOURS[0], EXCHANGE_ZONE) <= last]
    if not days:
        return []
    opens = pd.DatetimeIndex([dt.datetime.combine(d, REGULAR_HOURS[0]) for d in days]).tz_localize(EXCHANGE_ZONE)
    columns = price_frame(instrument, opens, np.full(len(days), 6.5 * 3600.0), what_to_show,
                          int((pd.Timestamp(last) - EPOCH).total_seconds() // 86400))
    if bar_size == "1 day":
        return to_bars(days, columns)
    # Weeks and months: the first open, highest high, lowest low and last close of their days.
    keys = [(d.isocalendar()[0], d.isocalendar()[1]) if bar_size == "1 week" else (d.year, d.month) for d in days]
    groups: dict[tuple, list[int]] = {}
    for i, key in enumerate(keys):
        groups.setdefault(key, []).append(i)
    firsts = [rows[0] for rows in groups.values()]
    lasts = [rows[-1] for rows in groups.values()]
    merged = {
        "open": columns["open"][firsts], "close": columns["close"][lasts],
        "high": np.array([columns["high"][rows].max() for rows in groups.values()]),
        "low": np.array([columns["low"][rows].min() for rows in groups.values()]),
        "volume": np.array([columns["volume"][rows].sum() for rows in groups.values()]),
        "barCount": np.array([columns["barCount"][rows].sum() for rows in groups.values()]),
    }
    merged["average"] = np.round(np.array([
        np.clip(columns["average"][rows].mean(), merged["low"][i], merged["high"][i])
        for i, rows in enumerate(groups.values())]), 4)
    return to_bars([days[i] for i in firsts], merged)
