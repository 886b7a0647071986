"""The simulated market's bars: calendar, spans, consistency, price types, determinism."""

from __future__ import annotations

import datetime as dt
import hashlib
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from veltrax.simfeed import RequestRefused, generate_bars
from veltrax.simfeed.instruments import instrument

UTC = dt.timezone.utc
# Wednesday 11 June 2025, 10:07 in New York: a session in progress.
MID_SESSION = dt.datetime(2025, 6, 11, 14, 7, tzinfo=UTC)
# Friday 13 June 2025, 18:00 in New York: the regular session is over, extended hours are not.
AFTER_CLOSE = dt.datetime(2025, 6, 13, 22, 0, tzinfo=UTC)
SATURDAY = dt.datetime(2025, 6, 14, 16, 0, tzinfo=UTC)

INTRADAY_SIZES = {"1 min": 1, "5 mins": 5, "15 mins": 15, "30 mins": 30, "1 hour": 60}


def bars(bar_size: str, duration: str, *, end="", what="TRADES", rth=True, now=AFTER_CLOSE, symbol="AAPL"):
    return generate_bars(symbol, bar_size, end, duration, what, rth, now=now)


def minutes_of(series) -> list[tuple[dt.date, int]]:
    return [(d.date(), d.hour * 60 + d.minute) for d in series.dates()]


@pytest.fixture
def local_zone(monkeypatch):
    """Run with the machine's local time zone set to `zone`."""

    def use(zone: str) -> None:
        monkeypatch.setenv("TZ", zone)
        time.tzset()

    yield use
    monkeypatch.undo()
    time.tzset()


class TestCalendar:
    def test_daily_bars_skip_weekends_and_holidays(self):
        dates = bars("1 day", "2 Y").dates()
        assert all(d.weekday() < 5 for d in dates)
        for holiday in (dt.date(2024, 12, 25), dt.date(2024, 7, 4), dt.date(2024, 3, 29), dt.date(2025, 1, 20)):
            assert holiday not in dates
        assert dt.date(2024, 12, 24) in dates and dt.date(2025, 6, 13) == dates[-1]

    def test_special_closures_have_no_session(self):
        dates = set(bars("1 day", "20 Y").dates())
        # A president's funeral, Hurricane Sandy (two days), another funeral, another.
        for closed in ("2007-01-02", "2012-10-29", "2012-10-30", "2018-12-05", "2025-01-09"):
            assert dt.date.fromisoformat(closed) not in dates
        assert {dt.date(2007, 1, 3), dt.date(2012, 10, 31), dt.date(2025, 1, 10)} <= dates

    @pytest.mark.parametrize("day", [dt.date(2024, 7, 3), dt.date(2024, 11, 29), dt.date(2024, 12, 24)])
    def test_early_closes_end_the_session_at_13_00(self, day):
        regular = bars("1 min", "1 D", end=day, now=SATURDAY)
        extended = minutes_of(bars("1 min", "1 D", end=day, rth=False, now=SATURDAY))
        assert {d for d, _ in minutes_of(regular)} == {day}
        assert [m for _, m in minutes_of(regular)] == list(range(9 * 60 + 30, 13 * 60))
        assert [m for _, m in extended] == list(range(4 * 60, 17 * 60))
        daily = bars("1 day", "1 D", end=day, now=SATURDAY)
        assert (daily.open[0], daily.high[0], daily.low[0], daily.close[0], daily.volume[0]) == (
            regular.open[0], regular.high.max(), regular.low.min(), regular.close[-1], regular.volume.sum())
        hourly = minutes_of(bars("1 hour", "1 D", end=day, now=SATURDAY))
        assert [m for _, m in hourly] == [9 * 60 + 30, 10 * 60, 11 * 60, 12 * 60]

    def test_regular_hours_only_when_asked(self):
        regular = minutes_of(bars("1 min", "1 D", rth=True, now=SATURDAY))
        extended = minutes_of(bars("1 min", "1 D", rth=False, now=SATURDAY))
        assert {m for _, m in regular} == set(range(9 * 60 + 30, 16 * 60))
        assert {m for _, m in extended} == set(range(4 * 60, 20 * 60))
        # 18:00 on Friday: the extended session so far, the whole regular one.
        assert minutes_of(bars("1 min", "1 D", rth=False))[-1] == (dt.date(2025, 6, 13), 18 * 60)
        assert minutes_of(bars("1 min", "1 D", rth=True))[-1] == (dt.date(2025, 6, 13), 16 * 60 - 1)

    def test_regular_hours_bars_are_the_same_bars_as_in_extended_hours(self):
        regular, extended = bars("5 mins", "2 D", rth=True), bars("5 mins", "2 D", rth=False)
        where = {key: i for i, key in enumerate(minutes_of(extended))}
        index = [where[key] for key in minutes_of(regular)]
        for column in ("open", "high", "low", "close", "volume", "average", "bar_count"):
            assert np.array_equal(getattr(regular, column), getattr(extended, column)[index]), column

    @pytest.mark.parametrize("bar_size", list(INTRADAY_SIZES))
    @pytest.mark.parametrize("rth", [True, False])
    def test_intraday_bars_start_on_the_clock_grid(self, bar_size, rth):
        size = INTRADAY_SIZES[bar_size]
        opens_at = 9 * 60 + 30 if rth else 4 * 60
        series = bars(bar_size, "3 D", rth=rth)
        starts = minutes_of(series)
        assert starts == sorted(set(starts)), "bars are unique and oldest first"
        for day, minute in starts:
            assert minute == opens_at or minute % size == 0, (day, minute)
        assert len({day for day, _ in starts}) == 3
        # Each session has the bars of its hours, the first at the session's open.
        first_of_day = {}
        for day, minute in starts:
            first_of_day.setdefault(day, minute)
        assert set(first_of_day.values()) == {opens_at}

    def test_hourly_bars_of_the_regular_session(self):
        day = [m for d, m in minutes_of(bars("1 hour", "1 D")) if d == dt.date(2025, 6, 13)]
        assert day == [9 * 60 + 30] + [h * 60 for h in range(10, 16)]

    def test_weekly_and_monthly_bars_are_dated_by_their_last_session(self):
        weeks = bars("1 week", "1 Y").dates()
        # Good Friday 2025 closes its week on Thursday.
        assert [d for d in weeks if d.weekday() != 4] == [dt.date(2025, 4, 17)]
        months = bars("1 month", "2 Y").dates()
        assert dt.date(2024, 8, 30) in months and dt.date(2025, 5, 30) in months
        assert months[-1] == dt.date(2025, 6, 13)  # the month so far

    def test_daylight_saving_keeps_new_york_hours(self):
        winter = bars("1 hour", "1 D", now=dt.datetime(2025, 1, 10, 22, tzinfo=UTC)).dates()
        summer = bars("1 hour", "1 D").dates()
        for stamps in (winter, summer):
            assert stamps[0].hour == 9 and stamps[0].minute == 30
            assert stamps[0].tzinfo.key == "America/New_York"
        assert winter[0].utcoffset() != summer[0].utcoffset()


class TestSpans:
    def test_days_count_sessions_back_from_the_last_one(self):
        assert bars("1 day", "10 D").dates()[0] == dt.date(2025, 6, 2)
        assert bars("1 day", "11 D").dates()[0] == dt.date(2025, 5, 30)
        assert len(bars("1 day", "250 D")) == 250

    def test_a_weekend_end_gives_the_last_sessions(self):
        assert bars("1 day", "1 D", now=SATURDAY).dates() == [dt.date(2025, 6, 13)]
        assert {d for d, _ in minutes_of(bars("1 min", "1 D", now=SATURDAY))} == {dt.date(2025, 6, 13)}

    def test_a_session_that_has_not_opened_is_not_counted(self):
        monday_early = dt.datetime(2025, 6, 16, 12, 0, tzinfo=UTC)  # 08:00 in New York
        assert {d for d, _ in minutes_of(bars("1 min", "1 D", rth=True, now=monday_early))} == {dt.date(2025, 6, 13)}
        extended = minutes_of(bars("1 min", "1 D", rth=False, now=monday_early))
        assert {d for d, _ in extended} == {dt.date(2025, 6, 16)}
        assert extended[-1] == (dt.date(2025, 6, 16), 8 * 60)

    def test_years_reach_back_by_the_calendar(self):
        dates = bars("1 day", "2 Y").dates()
        assert dates[0] == dt.date(2023, 6, 14) and 495 < len(dates) < 505

    def test_a_session_in_progress_ends_at_the_current_minute(self):
        minutes = bars("1 min", "1 D", rth=False, now=MID_SESSION)
        assert minutes_of(minutes)[-1] == (dt.date(2025, 6, 11), 10 * 60 + 7)
        day = bars("1 day", "1 D", now=MID_SESSION)
        regular = bars("1 min", "1 D", now=MID_SESSION)
        assert day.dates() == [dt.date(2025, 6, 11)]
        assert (day.open[0], day.high[0], day.low[0], day.close[0]) == (
            regular.open[0], regular.high.max(), regular.low.min(), regular.close[-1]
        )
        assert day.volume[0] == regular.volume.sum()

    def test_a_date_end_means_its_last_second_in_local_time(self, local_zone):
        end = dt.date(2025, 3, 14)
        local_zone("America/New_York")
        assert minutes_of(bars("1 min", "1 D", end=end, rth=False))[-1] == (end, 20 * 60 - 1)
        local_zone("Asia/Tokyo")  # 23:59:59 in Tokyo is 10:59:59 in New York
        assert minutes_of(bars("1 min", "1 D", end=end, rth=False))[-1] == (end, 10 * 60 + 59)
        assert bars("1 day", "5 D", end=end).dates()[-1] == end

    def test_the_broker_text_form_of_an_end(self):
        text = bars("1 min", "1 D", end="20250314 15:00:00 UTC", rth=False)
        assert minutes_of(text)[-1] == (dt.date(2025, 3, 14), 11 * 60)

    def test_an_end_in_the_future_means_now(self):
        assert bars("1 day", "5 D", end=dt.date(2030, 1, 1)).dates() == bars("1 day", "5 D").dates()

    @pytest.mark.parametrize(
        "bar_size, short, long",
        [
            ("1 min", "1 D", "3 D"),
            ("15 mins", "2 D", "10 D"),
            ("1 day", "20 D", "3 Y"),
            ("1 week", "30 D", "2 Y"),
            ("1 month", "1 Y", "5 Y"),
        ],
    )
    def test_a_shorter_span_is_a_suffix_of_a_longer_one(self, bar_size, short, long):
        for what in ("TRADES", "ADJUSTED_LAST"):
            small, large = bars(bar_size, short, what=what, rth=False), bars(bar_size, long, what=what, rth=False)
            n = len(small)
            assert 0 < n < len(large)
            assert small.rows() == large.rows()[-n:]

    def test_a_bar_stays_the_same_when_the_clock_moves_on(self):
        earlier = bars("1 day", "30 D", end=dt.date(2025, 5, 1))
        later = bars("1 day", "60 D")
        assert set(earlier.rows()) <= set(later.rows())

    @pytest.mark.parametrize(
        "bar_size, duration",
        [
            ("1 day", "366 D"),
            ("1 day", "0 D"),
            ("1 day", "-5 D"),
            ("1 day", "5 W"),
            ("1 day", "1D"),
            ("1 secs", "1 D"),
            ("1 minute", "1 D"),
        ],
    )
    def test_requests_the_broker_refuses(self, bar_size, duration):
        with pytest.raises(RequestRefused) as refused:
            bars(bar_size, duration)
        assert refused.value.code == 321

    def test_a_price_type_the_feed_does_not_offer(self):
        with pytest.raises(RequestRefused):
            bars("1 day", "5 D", what="MIDPOINT")


class TestPrices:
    @pytest.mark.parametrize("symbol", ["AAPL", "MSFT", "ES", "6J", "BRK.B"])
    def test_bars_are_plausible(self, symbol):
        for series in (bars("1 day", "30 Y", symbol=symbol), bars("1 min", "5 D", rth=False, symbol=symbol)):
            assert np.all(series.low <= np.minimum(series.open, series.close))
            assert np.all(series.high >= np.maximum(series.open, series.close))
            assert np.all((series.low <= series.average) & (series.average <= series.high))
            assert np.all(series.low > 0) and np.all(series.volume >= 1) and np.all(series.bar_count >= 1)
            assert np.all(series.volume == np.round(series.volume))
        daily = bars("1 day", "30 Y", symbol=symbol)
        moves = np.abs(np.diff(np.log(daily.close)))
        assert moves.max() < 0.25 and 0.05 < np.std(np.log(daily.close[1:] / daily.close[:-1])) * 252**0.5 < 0.8
        level = instrument(symbol).price_level
        assert level / 10 < daily.close[-1] < level * 10

    def test_longer_bars_are_made_of_shorter_ones(self):
        ones, fives = bars("1 min", "2 D", rth=False), bars("5 mins", "2 D", rth=False)
        key = np.array([(d - dt.date(2025, 1, 1)).days * 1000 + m // 5 for d, m in minutes_of(ones)])
        starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
        assert len(starts) == len(fives)
        assert np.array_equal(fives.open, ones.open[starts])
        assert np.array_equal(fives.high, np.maximum.reduceat(ones.high, starts))
        assert np.array_equal(fives.low, np.minimum.reduceat(ones.low, starts))
        assert np.array_equal(fives.close, ones.close[np.r_[starts[1:], len(ones)] - 1])
        assert np.array_equal(fives.volume, np.add.reduceat(ones.volume, starts))
        assert np.array_equal(fives.bar_count, np.add.reduceat(ones.bar_count, starts))

    def test_daily_bars_match_their_regular_hours_minutes(self):
        days, minutes = bars("1 day", "5 D"), bars("1 min", "5 D")
        for i, day in enumerate(days.day):
            of_day = minutes.day == day
            assert (days.open[i], days.close[i]) == (minutes.open[of_day][0], minutes.close[of_day][-1])
            assert (days.high[i], days.low[i]) == (minutes.high[of_day].max(), minutes.low[of_day].min())
            assert days.volume[i] == minutes.volume[of_day].sum()

    def test_weekly_bars_are_made_of_daily_ones(self):
        weeks, days = bars("1 week", "20 D"), bars("1 day", "40 D")
        last_week = days.day > days.day[-1] - 5
        assert weeks.open[-1] == days.open[last_week][0] and weeks.close[-1] == days.close[-1]
        assert weeks.volume[-1] == days.volume[last_week].sum()


class TestPriceTypes:
    def test_adjusted_prices_are_trades_scaled_for_later_dividends(self):
        trades = bars("1 day", "3 Y")
        adjusted = bars("1 day", "3 Y", what="ADJUSTED_LAST")
        assert adjusted.dates() == trades.dates()
        assert np.array_equal(adjusted.volume, trades.volume) and np.array_equal(adjusted.bar_count, trades.bar_count)
        ratio = adjusted.close / trades.close
        assert np.allclose(adjusted.open / trades.open, ratio, rtol=1e-5)
        assert ratio[-1] == pytest.approx(1.0) and ratio[0] < 0.99
        assert np.all(np.diff(ratio) >= -1e-6), "older bars are scaled at least as much"
        # One step per quarterly ex-dividend date: about 12 over three years.
        quarter = 1 - instrument("AAPL").dividend_yield / 4
        steps = np.round(np.log(ratio) / np.log(quarter))
        assert steps[0] in (11, 12, 13)
        assert np.allclose(ratio, quarter**steps, rtol=1e-5)

    def test_adjustment_is_relative_to_today_not_to_the_end_of_the_request(self):
        end = dt.date(2024, 1, 31)
        old = bars("1 day", "20 D", end=end, what="ADJUSTED_LAST")
        trades = bars("1 day", "20 D", end=end)
        assert np.all(old.close < trades.close)

    def test_futures_have_no_dividends(self):
        adjusted = bars("1 day", "2 Y", symbol="ES", what="ADJUSTED_LAST")
        assert adjusted.rows() == bars("1 day", "2 Y", symbol="ES").rows()


def _digest(series) -> str:
    return hashlib.sha256(repr(series.rows()).encode()).hexdigest()


DIGEST_SCRIPT = """
import datetime as dt, hashlib
from veltrax.simfeed import generate_bars
now = dt.datetime(2025, 6, 13, 22, 0, tzinfo=dt.timezone.utc)
for args in (("1 day", "", "2 Y", "ADJUSTED_LAST", True), ("1 min", "", "2 D", "TRADES", False)):
    print(hashlib.sha256(repr(generate_bars("AAPL", *args, now=now).rows()).encode()).hexdigest())
"""


def test_bars_are_the_same_in_every_process():
    expected = [_digest(bars("1 day", "2 Y", what="ADJUSTED_LAST")), _digest(bars("1 min", "2 D", rth=False))]
    for hash_seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=hash_seed)
        command = [sys.executable, "-c", DIGEST_SCRIPT]
        output = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
        assert output.stdout.split() == expected


def test_symbols_have_their_own_histories():
    closes = {symbol: tuple(bars("1 day", "5 D", symbol=symbol).close) for symbol in ("AAPL", "AAPM", "aapl", "MSFT")}
    assert len(set(closes.values())) == 4
