"""The simulated feed behaves like the gateway as far as the command can tell."""

import asyncio
import datetime as dt
import subprocess
import sys
from zoneinfo import ZoneInfo

import pytest
from ib_async import BarData, Future, Stock

from veltrax import simfeed
from veltrax.contracts import resolve
from veltrax.simfeed import Faults, SimulatedIB
from veltrax.simfeed.bars import generate_bars

NEW_YORK = ZoneInfo("America/New_York")
# A Wednesday evening in New York, after the extended session.
NOW = dt.datetime(2025, 6, 4, 21, 0, tzinfo=NEW_YORK)


def bars(bar_size, duration, use_rth=True, end="", what="TRADES", symbol="AAPL", now=NOW):
    return generate_bars(symbol, bar_size, end, duration, what, use_rth, now=now)


class TestCalendar:
    def test_intraday_sessions(self):
        regular = bars("1 min", "1 D")
        assert len(regular) == 390
        assert (regular[0].date.time(), regular[-1].date.time()) == (dt.time(9, 30), dt.time(15, 59))
        extended = bars("1 min", "1 D", use_rth=False)
        assert len(extended) == 960
        assert (extended[0].date.time(), extended[-1].date.time()) == (dt.time(4, 0), dt.time(19, 59))
        assert {b.date.date() for b in extended} == {dt.date(2025, 6, 4)}

    def test_weekends_have_no_bars(self):
        week = bars("1 hour", "10 D")
        assert {b.date.weekday() for b in week} <= set(range(5))
        saturday_noon = dt.datetime(2025, 6, 7, 12, 0, tzinfo=NEW_YORK)
        last = bars("5 mins", "1 D", now=saturday_noon)
        assert last[-1].date.date() == dt.date(2025, 6, 6) and len(last) == 78

    @pytest.mark.parametrize("bar_size, minutes", [("5 mins", 5), ("15 mins", 15), ("30 mins", 30), ("1 hour", 60)])
    def test_bars_are_aligned_to_their_size(self, bar_size, minutes):
        day = bars(bar_size, "1 D")
        steps = {(b.date - a.date) for a, b in zip(day, day[1:])}
        assert steps == {dt.timedelta(minutes=minutes)} and day[0].date.time() == dt.time(9, 30)

    def test_no_bars_after_now(self):
        midday = dt.datetime(2025, 6, 4, 12, 0, 30, tzinfo=NEW_YORK)
        today = bars("1 min", "1 D", now=midday)
        assert today[-1].date == dt.datetime(2025, 6, 4, 12, 0, tzinfo=NEW_YORK) and len(today) == 151

    def test_daily_weekly_monthly_bars_are_dates(self):
        for bar_size in ("1 day", "1 week", "1 month"):
            got = bars(bar_size, "2 Y")
            assert all(type(b.date) is dt.date for b in got)
        assert len(bars("1 day", "350 D")) == 350
        weeks = bars("1 week", "2 Y")
        assert all(b.date.weekday() == 0 or a.date.isocalendar()[1] != b.date.isocalendar()[1]
                   for a, b in zip(weeks, weeks[1:]))
        months = bars("1 month", "3 Y")
        assert len({(b.date.year, b.date.month) for b in months}) == len(months) >= 36

    def test_end_date_means_the_end_of_that_day(self):
        got = bars("1 day", "5 D", end=dt.date(2025, 1, 10))
        assert [b.date for b in got] == [dt.date(2025, 1, d) for d in (6, 7, 8, 9, 10)]


class TestPrices:
    def test_bars_are_plausible_and_typed_like_the_gateway(self):
        for bar in bars("1 min", "2 D", use_rth=False) + bars("1 day", "1 Y"):
            assert isinstance(bar, BarData)
            assert bar.low <= min(bar.open, bar.close) <= max(bar.open, bar.close) <= bar.high
            assert bar.low <= bar.average <= bar.high and bar.volume > 0 and bar.barCount > 0
            assert type(bar.volume) is float and type(bar.barCount) is int and type(bar.average) is float

    def test_a_bar_is_the_same_whatever_span_is_asked(self):
        small, large = bars("5 mins", "1 D"), bars("5 mins", "3 D")
        assert large[-len(small):] == small
        assert bars("1 day", "30 D")[-5:] == bars("1 day", "5 D")

    def test_symbols_differ_and_runs_repeat_across_processes(self):
        assert bars("1 day", "5 D", symbol="AAPL") != bars("1 day", "5 D", symbol="MSFT")
        code = ("import datetime as dt; from zoneinfo import ZoneInfo; from veltrax.simfeed.bars import generate_bars;"
                "b = generate_bars('AAPL', '1 day', '', '5 D', now=dt.datetime(2025, 6, 4, 21, tzinfo=ZoneInfo('America/New_York')));"
                "print([(x.date.isoformat(), x.close) for x in b])")
        other = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        assert other.strip() == str([(b.date.isoformat(), b.close) for b in bars("1 day", "5 D")])

    def test_adjusted_prices_take_dividends_out_of_earlier_bars(self):
        trades, adjusted = bars("1 day", "2 Y"), bars("1 day", "2 Y", what="ADJUSTED_LAST")
        assert [b.date for b in trades] == [b.date for b in adjusted]
        ratios = [a.close / t.close for a, t in zip(adjusted, trades)]
        assert ratios[0] < 0.97 and abs(ratios[-1] - 1) < 0.002
        assert all(x <= y + 0.002 for x, y in zip(ratios, ratios[1:]))

    def test_thirty_thousand_bars_come_at_once(self):
        assert len(bars("1 min", "80 D")) == 80 * 390


class TestBrokerClient:
    def test_requests_are_recorded_in_order(self):
        ib = SimulatedIB(now=NOW)
        got = asyncio.run(ib.reqHistoricalDataAsync(Stock("AAPL", "SMART", "USD"), endDateTime="", durationStr="1 D",
                                                     barSizeSetting="5 mins", whatToShow="TRADES", useRTH=False,
                                                     keepUpToDate=False, timeout=60))
        assert len(got) == 192
        assert list(ib.requests[0].keywords) == [
            "endDateTime", "durationStr", "barSizeSetting", "whatToShow", "useRTH", "keepUpToDate", "timeout"]

    def test_continuous_futures_refuse_an_end_date(self):
        ib = SimulatedIB(now=NOW)
        future = Future("ES")
        future.secType = "CONTFUT"
        request = dict(durationStr="5 D", barSizeSetting="1 day", whatToShow="TRADES", useRTH=True)
        assert asyncio.run(ib.reqHistoricalDataAsync(future, endDateTime=dt.date(2025, 1, 2), **request)) == []
        assert len(asyncio.run(ib.reqHistoricalDataAsync(future, endDateTime="", **request))) == 5

    @pytest.mark.parametrize("faults, outcome", [
        (Faults(empty=True), []), (Faults(error=ConnectionResetError("reset")), ConnectionResetError)])
    def test_faults(self, faults, outcome):
        ib = SimulatedIB(faults=faults, now=NOW)
        request = ib.reqHistoricalDataAsync(Stock("AAPL"), "", "1 D", "1 day", "TRADES", True)
        if outcome == []:
            assert asyncio.run(request) == []
        else:
            with pytest.raises(outcome):
                asyncio.run(request)

    def test_a_slow_answer_can_be_cancelled(self):
        async def scenario():
            ib = SimulatedIB(faults=Faults(delay=30), now=NOW)
            task = asyncio.ensure_future(ib.reqHistoricalDataAsync(Stock("AAPL"), "", "1 D", "1 day", "TRADES", True))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(scenario())

    def test_symbol_resolution(self):
        ib = SimulatedIB(now=NOW)
        symbol, stock = asyncio.run(resolve(ib, "AAPL"))
        assert symbol == "AAPL" and stock.secType == "STK" and stock.conId
        for typed in ("/ES", "ES"):
            symbol, front = asyncio.run(resolve(ib, typed))
            assert symbol == "ES" and isinstance(front, Future) and front.lastTradeDateOrContractMonth == "202506"
        assert asyncio.run(resolve(ib, "ZZZZ")) == ("", None)
        assert asyncio.run(resolve(ib, "/ZZ")) == ("", None)

    def test_demo_faults_from_the_environment(self):
        assert simfeed.faults_from("slow:2.5").delay == 2.5
        assert simfeed.faults_from("empty").empty
        assert isinstance(simfeed.faults_from("error").error, ConnectionResetError)
        with pytest.raises(ValueError, match="VELTRAX_DEMO_FAULT"):
            simfeed.faults_from("sideways")
