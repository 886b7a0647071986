"""Simulated historical bars: the answer to a broker historical-data request, computed.

`generate_bars` takes the request as the broker takes it (bar size setting, end,
duration text, price type, regular hours only or not) and returns the bars,
oldest first, as numpy columns (`BarSeries`).

Every random number is a hash of (symbol, quantity, day or minute), never a
position in a stream, so a bar does not depend on what else was asked for: a
shorter request for the same end is a suffix of a longer one, and the same
request gives the same bars in every process. Prices follow a random walk held
near a long-term level by yearly anchors (a Brownian bridge between them), so
no history drifts off to absurd prices. Daily bars are computed at the daily
level; minute bars follow a path pinned to the day's open, high, low and close,
so regular-hours minute bars add up to the daily bar. Longer bars are built from
shorter ones.

Conventions of the simulated exchange (a US stock exchange):
- the sessions of the New York Stock Exchange's calendar (holidays, special
  closures and early closes included); regular hours 09:30-16:00 New York time
  (13:00 on an early close), extended hours from 04:00 to four hours after the
  close when regular hours are not asked for;
- intraday bars are labelled by their start, zone-aware in the exchange's zone
  (New York for stocks; Chicago for futures, whose sessions are the same
  instants: 08:30-15:00 Central);
  bars are aligned to the clock (an hourly bar starts on the hour, the first one
  of the regular session at 09:30); the bar in progress holds the minutes so far;
- daily, weekly and monthly bars are regular-session bars dated with the date of
  their last session (weekly and monthly bars with the last session of the week
  or month so far);
- "N D" asks for the last N sessions, the one in progress included; "N Y" for
  the sessions of the last N calendar years;
- an end in the future means now: there are no bars beyond the feed's clock;
- "TRADES" prices are split-adjusted, as the broker's are; "ADJUSTED_LAST"
  prices are further adjusted for the dividends paid since each bar, so they lie
  below "TRADES" for every bar before the latest ex-dividend date.
"""

from __future__ import annotations

import datetime as dt
import math
import re
from dataclasses import dataclass, replace
from functools import lru_cache
from typing import Any
from zoneinfo import ZoneInfo

import numpy as np

from veltrax.simfeed import calendar as cal
from veltrax.simfeed.instruments import Instrument, instrument


class RequestRefused(ValueError):
    """A request the broker would refuse, with the broker's error code."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


# ---------------------------------------------------------------- request words

@dataclass(frozen=True)
class BarSize:
    kind: str  # "minutes", "day", "week" or "month"
    minutes: int = 0  # bar length, for "minutes"

    @property
    def seconds(self) -> int:
        """The bar's length as the broker counts it (a month is 30 days)."""
        return self.minutes * 60 if self.kind == "minutes" else {"day": 1, "week": 7, "month": 30}[self.kind] * 86400


_MINUTE_SIZES = {"1 min": 1, **{f"{n} mins": n for n in (2, 3, 5, 10, 15, 20, 30)}}
_HOUR_SIZES = {"1 hour": 60, **{f"{n} hours": 60 * n for n in (2, 3, 4, 8)}}
BAR_SIZES: dict[str, BarSize] = {
    **{text: BarSize("minutes", n) for text, n in (_MINUTE_SIZES | _HOUR_SIZES).items()},
    "1 day": BarSize("day"),
    "1 week": BarSize("week"),
    "1 month": BarSize("month"),
}


def parse_bar_size(text: str) -> BarSize:
    size = BAR_SIZES.get(text)
    if size is None:
        raise RequestRefused(321, f"Error validating request: bar size {text!r} is not offered")
    return size


_DURATION = re.compile(r"([0-9]+) ([A-Z])")


def parse_duration(text: str) -> tuple[int, str]:
    """("N D") -> (N, "D"); "N Y" likewise. Day counts above 365 are refused, as the broker does."""
    match = _DURATION.fullmatch(text) if isinstance(text, str) else None
    if match is None or match[2] not in "DY" or int(match[1]) < 1:
        raise RequestRefused(321, f"Error validating request: invalid duration {text!r}")
    count, unit = int(match[1]), match[2]
    if unit == "D" and count > 365:
        raise RequestRefused(
            321, "Historical data requests for durations longer than 365 days must be made in years."
        )
    return count, unit


_IB_END = re.compile(r"(\d{8})[ -](\d\d:\d\d:\d\d)(?: (\S+))?")


def _end_instant(end: Any, now: dt.datetime) -> dt.datetime:
    """The end of a request as an aware instant, the way the broker client reads it."""
    if end is None or end == "":
        return now
    if isinstance(end, dt.datetime):
        return end if end.tzinfo is not None else end.astimezone()  # naive: local time
    if isinstance(end, dt.date):
        # As the client library sends a date: 23:59:59 of that day, local time.
        return dt.datetime(end.year, end.month, end.day, 23, 59, 59).astimezone()
    match = _IB_END.fullmatch(end) if isinstance(end, str) else None
    if match is None:
        raise RequestRefused(321, f"Error validating request: invalid end date/time {end!r}")
    stamp = dt.datetime.strptime(match[1] + match[2], "%Y%m%d%H:%M:%S")
    zone = match[3] or ("UTC" if "-" in end else None)
    if zone is None:
        return stamp.astimezone()
    try:
        return stamp.replace(tzinfo=dt.timezone.utc if zone == "UTC" else cal.ZoneInfo(zone))
    except (KeyError, ValueError) as error:
        raise RequestRefused(321, f"Error validating request: unknown time zone {zone!r}") from error


def exchange_time(instant: dt.datetime) -> tuple[int, int]:
    """(day number, minute of the day) of an instant on the exchange's wall clock."""
    local = instant.astimezone(cal.EXCHANGE_TZ)
    return cal.day_number(local.date()), local.hour * 60 + local.minute


# ---------------------------------------------------------------- random numbers

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)
_MASK64 = (1 << 64) - 1


def _mix(x: np.ndarray) -> np.ndarray:
    """The splitmix64 finaliser: a bijection of uint64 that scatters every input bit."""
    with np.errstate(over="ignore"):
        x = x + _GOLDEN
        x = (x ^ (x >> np.uint64(30))) * _MIX1
        x = (x ^ (x >> np.uint64(27))) * _MIX2
    return x ^ (x >> np.uint64(31))


# One stream per simulated quantity.
(S_RETURN, S_ANCHOR, S_OPEN, S_RANGE, S_EXTREME_AT, S_HIGH_FIRST, S_VOLUME, S_PRE_MARKET,
 S_AFTER_HOURS, S_MINUTE_STEP, S_MINUTE_WIGGLE, S_MINUTE_VOLUME) = range(12)


def _hash(seed: int, stream: int, index: np.ndarray) -> np.ndarray:
    key = np.uint64((seed * 0x100000001B3 + (stream + 1) * 0x9E3779B97F4A7C15) & _MASK64)
    return _mix(np.asarray(index, dtype=np.int64).astype(np.uint64) ^ key)


def _uniform_pair(seed: int, stream: int, index: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Two independent uniforms in (0, 1) per index, from the two halves of one hash."""
    h = _hash(seed, stream, index)
    scale = 1.0 / 4294967296.0
    return ((h >> np.uint64(32)).astype(np.float64) + 0.5) * scale, (
        (h & np.uint64(0xFFFFFFFF)).astype(np.float64) + 0.5
    ) * scale


def _normal(seed: int, stream: int, index: np.ndarray) -> np.ndarray:
    u, v = _uniform_pair(seed, stream, index)
    return np.sqrt(-2.0 * np.log(u)) * np.cos(2.0 * np.pi * v)


# ---------------------------------------------------------------- daily level

_SESSION = cal.EXTENDED_CLOSE - cal.EXTENDED_OPEN  # minutes of an ordinary extended session
_PRE = cal.REGULAR_OPEN - cal.EXTENDED_OPEN  # minutes before the regular open
_REGULAR = cal.REGULAR_CLOSE - cal.REGULAR_OPEN  # minutes of an ordinary regular session


def _year_of(days: np.ndarray) -> np.ndarray:
    return (days.astype("datetime64[D]").astype("datetime64[Y]").astype(np.int64) + 1970)


def _anchor(ins: Instrument, years: np.ndarray) -> np.ndarray:
    """Log price at each year's start: a long-term trend (reaching the price level in 2025) plus a yearly draw."""
    trend = 2.1 * np.tanh((years - 2025) / 30.0)
    return math.log(ins.price_level) + trend + 0.22 * _normal(ins.seed, S_ANCHOR, years)


def _log_closes(ins: Instrument, days: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(log close, day's log return) for trading days `days` (sorted).

    Within a year the log close is a random walk pinned to the year's anchors
    (a Brownian bridge in trading time), so computing it needs that whole year.
    """
    years = _year_of(days[[0, -1]])
    edges = [cal.year_start(y) for y in range(int(years[0]), int(years[1]) + 2)]
    full = cal.trading_days(edges[0], edges[-1] - 1)
    sigma = ins.daily_vol
    steps = _normal(ins.seed, S_RETURN, full) * sigma
    walk = np.cumsum(steps)
    starts = np.searchsorted(full, edges[:-1])
    ends = np.append(starts[1:], len(full))
    year = np.searchsorted(edges, full, side="right") - 1
    before = np.where(starts > 0, walk[np.maximum(starts - 1, 0)], 0.0)
    walk -= before[year]
    total = walk[ends - 1]
    frac = (np.arange(len(full)) - starts[year] + 1) / (ends - starts)[year]
    anchors = _anchor(ins, np.arange(int(years[0]), int(years[1]) + 2))
    log_close = anchors[year] + frac * (anchors[year + 1] - anchors[year]) + walk - frac * total[year]
    where = np.searchsorted(full, days)
    return log_close[where], steps[where]


@dataclass
class _Days:
    """The daily model of some trading days, in log prices."""

    day: np.ndarray
    log_open: np.ndarray
    log_high: np.ndarray
    log_low: np.ndarray
    log_close: np.ndarray
    high_first: np.ndarray  # the high comes before the low
    regular_minutes: np.ndarray  # length of the regular session (shorter on an early close)
    first_extreme_at: np.ndarray  # minutes after the open
    second_extreme_at: np.ndarray
    volume: np.ndarray
    trade_size: np.ndarray
    pre_start: np.ndarray  # log price at 04:00
    post_end: np.ndarray  # log price at the end of extended hours


def _daily_model(ins: Instrument, days: np.ndarray) -> _Days:
    sigma = ins.daily_vol
    close, ret = _log_closes(ins, days)
    # Most of the day's move happens in the session, the rest overnight.
    open_ = close - (0.85 * ret + 0.35 * sigma * _normal(ins.seed, S_OPEN, days))
    up, down = _uniform_pair(ins.seed, S_RANGE, days)
    high = np.maximum(open_, close) + sigma * (0.1 - 0.4 * np.log(up))
    low = np.minimum(open_, close) - sigma * (0.1 - 0.4 * np.log(down))
    regular = cal.regular_close(days) - cal.REGULAR_OPEN
    # The day's high and low are reached at two distinct minutes strictly inside the session.
    at1, at2 = _uniform_pair(ins.seed, S_EXTREME_AT, days)
    first = 1 + np.floor(at1 * (regular - 2)).astype(np.int64)
    second = first + 1 + np.floor(at2 * (regular - 1 - first)).astype(np.int64)
    volume_noise, size_noise = _uniform_pair(ins.seed, S_VOLUME, days)
    volume = ins.daily_volume * np.exp(0.6 * (volume_noise - 0.5)) * (1.0 + 0.5 * np.abs(ret) / sigma)
    volume *= regular / _REGULAR  # a half day trades about half as much
    return _Days(
        day=days,
        log_open=open_,
        log_high=high,
        log_low=low,
        log_close=close,
        high_first=_uniform_pair(ins.seed, S_HIGH_FIRST, days)[0] < 0.5,
        regular_minutes=regular,
        first_extreme_at=first,
        second_extreme_at=second,
        volume=np.round(volume),
        trade_size=ins.trade_size * np.exp(0.3 * (size_noise - 0.5)),
        pre_start=open_ - 0.3 * sigma * _normal(ins.seed, S_PRE_MARKET, days),
        post_end=close + 0.2 * sigma * _normal(ins.seed, S_AFTER_HOURS, days),
    )


# ---------------------------------------------------------------- columns

@dataclass(frozen=True, eq=False)
class BarSeries:
    """Bars as columns, oldest first.

    `day` is the day number (days since 1970-01-01) of each bar's date; `minute`
    the minute of the day in New York time when each intraday bar starts (None
    for daily and longer bars). Prices and volumes are floats, trade counts ints.
    `zone` is the zone intraday bar times are given in: the instrument's exchange's.
    """

    day: np.ndarray
    minute: np.ndarray | None
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray
    average: np.ndarray
    bar_count: np.ndarray
    zone: ZoneInfo = cal.EXCHANGE_TZ

    @property
    def intraday(self) -> bool:
        return self.minute is not None

    def __len__(self) -> int:
        return len(self.day)

    def dates(self) -> list[dt.date] | list[dt.datetime]:
        """Bar dates as the broker client gives them: dates, or zone-aware datetimes in the exchange's zone."""
        if self.minute is None:
            return self.day.astype("datetime64[D]").tolist()
        epoch, delta = dt.datetime(1970, 1, 1, tzinfo=cal.EXCHANGE_TZ), dt.timedelta
        # Aware arithmetic is wall-clock arithmetic: 09:30 stays 09:30 across DST changes.
        minutes = (self.day * cal.MINUTES_PER_DAY + self.minute).tolist()
        if self.zone is cal.EXCHANGE_TZ:
            return [epoch + delta(0, 60 * m) for m in minutes]
        return [(epoch + delta(0, 60 * m)).astimezone(self.zone) for m in minutes]

    def rows(self) -> list[tuple[Any, float, float, float, float, float, float, int]]:
        """(date, open, high, low, close, volume, average, barCount) per bar, as Python values."""
        return list(
            zip(
                self.dates(),
                self.open.tolist(),
                self.high.tolist(),
                self.low.tolist(),
                self.close.tolist(),
                self.volume.tolist(),
                self.average.tolist(),
                self.bar_count.tolist(),
            )
        )

    def take(self, index: Any) -> BarSeries:
        return BarSeries(
            self.day[index],
            None if self.minute is None else self.minute[index],
            *(getattr(self, name)[index] for name in _PRICE_VOLUME),
            zone=self.zone,
        )


_PRICE_VOLUME = ("open", "high", "low", "close", "volume", "average", "bar_count")
_PRICES = ("open", "high", "low", "close", "average")


def _priced(ins: Instrument, days: _Days) -> BarSeries:
    """Daily bars from the daily model: prices rounded to the tick, like traded prices."""
    open_, high, low, close = (
        np.round(np.exp(x), ins.decimals) for x in (days.log_open, days.log_high, days.log_low, days.log_close)
    )
    return BarSeries(
        day=days.day,
        minute=None,
        open=open_,
        high=high,
        low=low,
        close=close,
        volume=days.volume,
        average=np.round((high + low + close) / 3.0, ins.decimals + 2),
        bar_count=np.maximum(1, np.round(days.volume / days.trade_size)).astype(np.int64),
    )


def aggregate(ins: Instrument, bars: BarSeries, keys: np.ndarray, labels: np.ndarray | None) -> BarSeries:
    """Runs of equal keys merged into one bar each.

    A merged bar is dated with the day of its last part (the last session of a
    week or month) and, intraday, starts at the label of its first part.
    """
    if len(keys) == 0:
        return bars
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
    last = np.r_[starts[1:], len(keys)] - 1
    volume = np.add.reduceat(bars.volume, starts)
    weighted = np.add.reduceat(bars.average * bars.volume, starts)
    high = np.maximum.reduceat(bars.high, starts)
    low = np.minimum.reduceat(bars.low, starts)
    close = bars.close[last]
    typical = (high + low + close) / 3.0
    average = np.where(volume > 0, weighted / np.where(volume > 0, volume, 1.0), typical)
    return BarSeries(
        day=bars.day[last],
        minute=None if labels is None else labels[starts],
        open=bars.open[starts],
        high=high,
        low=low,
        close=close,
        volume=volume,
        average=np.clip(np.round(average, ins.decimals + 2), low, high),
        bar_count=np.add.reduceat(bars.bar_count, starts),
    )


# ---------------------------------------------------------------- minute level


def _bridge(knots: np.ndarray, values: np.ndarray, noise: np.ndarray) -> np.ndarray:
    """Paths through `values` at the point indices `knots` (rows: one path each).

    `noise` holds the steps between points (shape rows x points-1); between two
    knots the path is their straight line plus the noise's walk, tied down at
    both knots.
    """
    rows, points = noise.shape[0], noise.shape[1] + 1
    walk = np.zeros((rows, points))
    np.cumsum(noise, axis=1, out=walk[:, 1:])
    j = np.arange(points)
    segment = np.minimum((j[None, :, None] >= knots[:, None, 1:]).sum(axis=2), knots.shape[1] - 2)
    left = np.take_along_axis(knots, segment, axis=1)
    right = np.take_along_axis(knots, segment + 1, axis=1)
    v_left = np.take_along_axis(values, segment, axis=1)
    v_right = np.take_along_axis(values, segment + 1, axis=1)
    w_left = np.take_along_axis(walk, left, axis=1)
    w_right = np.take_along_axis(walk, right, axis=1)
    frac = (j[None, :] - left) / (right - left)
    return v_left + frac * (v_right - v_left) + (walk - w_left) - frac * (w_right - w_left)


def _minute_bars(ins: Instrument, days: np.ndarray) -> BarSeries:
    """Every minute bar from 04:00 to 20:00 of the sessions `days` (rows: days).

    On an early-close day the minutes after its extended hours are computed
    too; the caller drops them.
    """
    model = _daily_model(ins, days)
    n = len(days)
    regular_minutes = model.regular_minutes[:, None]
    close_at = cal.REGULAR_OPEN + regular_minutes  # per day
    # The path passes 04:00, the open, the day's two extremes, the close and the end of extended hours.
    first_value = np.where(model.high_first, model.log_high, model.log_low)
    second_value = np.where(model.high_first, model.log_low, model.log_high)
    extremes = (_PRE + model.first_extreme_at, _PRE + model.second_extreme_at)
    close_knot = _PRE + model.regular_minutes
    knots = np.stack([np.zeros(n, np.int64), np.full(n, _PRE), *extremes, close_knot, close_knot + cal.AFTER_HOURS],
                     axis=1)
    values = np.stack(
        [model.pre_start, model.log_open, first_value, second_value, model.log_close, model.post_end], axis=1
    )

    minute_of_day = np.arange(cal.EXTENDED_OPEN, cal.EXTENDED_CLOSE)
    index = days[:, None] * cal.MINUTES_PER_DAY + minute_of_day[None, :]
    regular = (minute_of_day >= cal.REGULAR_OPEN) & (minute_of_day < close_at)
    step = ins.daily_vol * 0.8 / math.sqrt(_REGULAR) * np.where(regular, 1.0, 0.3)
    path = _bridge(knots, values, _normal(ins.seed, S_MINUTE_STEP, index) * step)
    low_bound, high_bound = model.log_low[:, None], model.log_high[:, None]
    # The regular session never leaves the day's range; its extremes are knots.
    inside = np.clip(path, low_bound, high_bound)
    point_time = np.arange(cal.EXTENDED_OPEN, cal.EXTENDED_CLOSE + 1)
    regular_points = (point_time >= cal.REGULAR_OPEN) & (point_time <= close_at)
    path = np.where(regular_points, inside, path)

    open_, close = path[:, :-1], path[:, 1:]
    up, down = _uniform_pair(ins.seed, S_MINUTE_WIGGLE, index)
    high = np.maximum(open_, close) - 0.3 * step * np.log(up)
    low = np.minimum(open_, close) + 0.3 * step * np.log(down)
    high = np.where(regular, np.minimum(high, high_bound), high)
    low = np.where(regular, np.maximum(low, low_bound), low)

    noise, _ = _uniform_pair(ins.seed, S_MINUTE_VOLUME, index)
    t = minute_of_day - cal.REGULAR_OPEN
    # Regular-hours volume: busy at the open and the close, quiet at midday,
    # split so that the minutes add up to the day's volume exactly.
    shape = 1.0 + 2.0 * np.exp(-t / 30.0) + 1.2 * np.exp(-np.maximum(regular_minutes - 1 - t, 0) / 25.0)
    weight = np.where(regular, shape, 0.0) * np.exp(1.2 * (noise - 0.5))
    share = np.cumsum(weight, axis=1) / weight.sum(axis=1, keepdims=True)
    volume = np.diff(np.round(share * model.volume[:, None]), axis=1, prepend=0.0)
    quiet = ins.daily_volume / _REGULAR * 0.03 * np.exp(3.0 * (noise - 0.5))
    volume = np.maximum(np.where(regular, volume, np.round(quiet)), 1.0)
    count = np.maximum(1, np.round(volume / model.trade_size[:, None])).astype(np.int64)

    prices = [np.round(np.exp(x), ins.decimals) for x in (open_, high, low, close)]
    average = np.round((prices[1] + prices[2] + prices[3]) / 3.0, ins.decimals + 2)
    return BarSeries(
        np.repeat(days, _SESSION).reshape(n, _SESSION),
        np.broadcast_to(minute_of_day, (n, _SESSION)),
        *prices,
        volume,
        average,
        count,
    )


def _session_minutes(ins: Instrument, days: np.ndarray, use_rth: bool, end: tuple[int, int]) -> BarSeries:
    """Minute bars of the sessions `days`, flattened, up to the end minute."""
    if len(days) == 0:
        return _empty(intraday=True)
    grid = _minute_bars(ins, days)
    end_day, end_minute = end
    stop = cal.session_close(days, use_rth)[:, None]
    keep = (grid.minute >= cal.session_open(use_rth)) & (grid.minute < stop)
    keep &= (grid.day < end_day) | (grid.minute <= end_minute)
    return BarSeries(grid.day[keep], grid.minute[keep], *(getattr(grid, name)[keep] for name in _PRICE_VOLUME))


def _empty(intraday: bool) -> BarSeries:
    none, no_ints = np.empty(0), np.empty(0, np.int64)
    return BarSeries(no_ints, no_ints if intraday else None, none, none, none, none, none, none, no_ints)


# ---------------------------------------------------------------- spans

def _sessions(end: tuple[int, int], opens_at: int, count: int, unit: str) -> np.ndarray:
    """The sessions a duration covers, oldest first, ending with the last one begun by `end`."""
    end_day, end_minute = end
    if unit == "D":
        candidates = cal.trading_days(end_day - (2 * count + 14), end_day)
    else:
        end_date = cal.to_date(end_day)
        year = max(end_date.year - count, cal.FIRST_YEAR - 1)
        try:
            boundary = end_date.replace(year=year)
        except ValueError:  # 29 February
            boundary = end_date.replace(year=year, day=28)
        candidates = cal.trading_days(cal.day_number(boundary) + 1, end_day)
    if len(candidates) and candidates[-1] == end_day and end_minute < opens_at:
        candidates = candidates[:-1]
    return candidates[-count:] if unit == "D" else candidates


@lru_cache(maxsize=4096)
def ex_dividend_days(symbol: str, year: int) -> tuple[int, ...]:
    ins = instrument(symbol)
    days = []
    for month in range(ins.dividend_month, 13, 3):
        first = cal.day_number(dt.date(year, month, ins.dividend_day))
        days.append(int(cal.trading_days(first, first + 10)[0]))
    return tuple(days)


def dividend_factor(ins: Instrument, days: np.ndarray, reference_day: int) -> np.ndarray:
    """Price factor per bar: (1 - quarterly yield) for each ex-date after its day, up to the reference day."""
    if ins.dividend_yield == 0 or len(days) == 0:
        return np.ones(len(days))
    first = int(_year_of(days[:1])[0])
    last = int(_year_of(np.array([reference_day]))[0])
    ex = np.array([d for y in range(first, last + 1) for d in ex_dividend_days(ins.symbol, y)], np.int64)
    ex = ex[ex <= reference_day]
    later = len(ex) - np.searchsorted(ex, days, side="right")
    return (1.0 - ins.dividend_yield / 4.0) ** later


def _adjusted(ins: Instrument, bars: BarSeries, reference_day: int) -> BarSeries:
    factor = dividend_factor(ins, bars.day, reference_day)
    digits = ins.decimals + 2
    scaled = {name: np.round(getattr(bars, name) * factor, digits) for name in _PRICES}
    return BarSeries(bars.day, bars.minute, volume=bars.volume, bar_count=bars.bar_count, **scaled)


def _daily_bars(ins: Instrument, days: np.ndarray, end: tuple[int, int]) -> BarSeries:
    """Daily bars of the sessions `days`; a session still open at `end` holds its minutes so far."""
    if len(days) == 0:
        return _empty(intraday=False)
    bars = _priced(ins, _daily_model(ins, days))
    end_day, end_minute = end
    if days[-1] == end_day and end_minute < cal.regular_close(days[-1:])[0] - 1:
        today = _session_minutes(ins, days[-1:], True, end)
        partial = aggregate(ins, today, np.zeros(len(today.day), np.int64), None)
        bars = BarSeries(
            bars.day,
            None,
            *(np.r_[getattr(bars, name)[:-1], getattr(partial, name)] for name in _PRICE_VOLUME),
        )
    return bars


def _calendar_bars(ins: Instrument, size: BarSize, sessions: np.ndarray, end: tuple[int, int]) -> BarSeries:
    """Weekly or monthly bars, dated by their last session, for the periods whose last session is in `sessions`."""
    if len(sessions) == 0:
        return _empty(intraday=False)
    first = cal.to_date(sessions[0])
    period_start = first - dt.timedelta(days=first.weekday()) if size.kind == "week" else first.replace(day=1)
    days = cal.trading_days(cal.day_number(period_start), int(sessions[-1]))
    daily = _daily_bars(ins, days, end)
    if size.kind == "week":
        keys = days - cal.weekday(days)
    else:
        keys = days.astype("datetime64[D]").astype("datetime64[M]").astype(np.int64)
    bars = aggregate(ins, daily, keys, None)
    return bars.take(bars.day >= sessions[0])


# ---------------------------------------------------------------- the request

def generate_bars(
    symbol: str,
    barSizeSetting: str,
    endDateTime: Any,
    durationStr: str,
    whatToShow: str = "TRADES",
    useRTH: bool = True,
    *,
    now: dt.datetime | None = None,
) -> BarSeries:
    """The bars a broker would answer for this request, oldest first.

    `endDateTime`: "" or None (up to now), a date (23:59:59 of that day, local
    time, as the broker client sends it), a datetime (naive: local time) or the
    broker's text form "YYYYmmdd HH:MM:SS [zone]". `now` is the feed's clock
    (default: the wall clock); it also fixes which dividends adjusted prices
    reflect. Raises RequestRefused for a request the broker would refuse.
    """
    now = now if now is not None else dt.datetime.now(dt.timezone.utc)
    if now.tzinfo is None:
        now = now.astimezone()
    size = parse_bar_size(barSizeSetting)
    count, unit = parse_duration(durationStr)
    if whatToShow not in ("TRADES", "ADJUSTED_LAST"):
        raise RequestRefused(321, f"Error validating request: whatToShow {whatToShow!r} is not offered")
    ins = instrument(symbol)
    end = exchange_time(min(_end_instant(endDateTime, now), now))
    if size.kind == "minutes":
        opens_at = cal.session_open(useRTH)
        sessions = _sessions(end, opens_at, count, unit)
        minutes = _session_minutes(ins, sessions, useRTH, end)
        # Bars start on the clock grid; the first of a session at the session's open.
        label = np.maximum(minutes.minute // size.minutes * size.minutes, opens_at)
        keys = minutes.day * cal.MINUTES_PER_DAY + label
        bars = aggregate(ins, minutes, keys, label) if size.minutes > 1 else minutes
    else:
        sessions = _sessions(end, cal.REGULAR_OPEN, count, unit)
        bars = _daily_bars(ins, sessions, end) if size.kind == "day" else _calendar_bars(ins, size, sessions, end)
    if whatToShow == "ADJUSTED_LAST":
        bars = _adjusted(ins, bars, exchange_time(now)[0])
    return replace(bars, zone=ins.zone)
