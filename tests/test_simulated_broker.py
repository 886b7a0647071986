"""The simulated broker client, the shell state on it, and the demo shell."""

from __future__ import annotations

import asyncio
import datetime as dt
import io
import os

import pandas as pd
import pytest
from ib_async import BarData, BarDataList, ContFuture, Future, RequestError, Stock

from veltrax.contracts import FUTURES_ROOTS
from veltrax.cli import parse_args, simulated_state
from veltrax.shell import Shell
from veltrax.simfeed import FeedFaults, SimulatedIB
from veltrax.state import ShellState

FRIDAY_EVENING = dt.datetime(2025, 6, 13, 22, 0, tzinfo=dt.timezone.utc)
AAPL = Stock("AAPL", "SMART", "USD")

# What the command asks for, per broker bar size of its period table.
PERIOD_REQUESTS = [
    ("1 min", "1 D", False),
    ("5 mins", "2 D", False),
    ("15 mins", "5 D", False),
    ("30 mins", "10 D", False),
    ("1 hour", "30 D", False),
    ("1 day", "350 D", True),
    ("1 week", "4 Y", True),
    ("1 month", "5 Y", True),
]


def run(coroutine):
    return asyncio.run(coroutine)


@pytest.fixture
def ib():
    return SimulatedIB(clock=lambda: FRIDAY_EVENING)


def history(ib, contract=AAPL, end="", duration="5 D", bar_size="1 day", what="TRADES", rth=True, **extra):
    return run(
        ib.reqHistoricalDataAsync(
            contract, endDateTime=end, durationStr=duration, barSizeSetting=bar_size,
            whatToShow=what, useRTH=rth, keepUpToDate=False, timeout=60, **extra,
        )
    )


class TestHistoricalData:
    @pytest.mark.parametrize("bar_size, duration, rth", PERIOD_REQUESTS)
    def test_every_bar_size_of_the_command_is_served(self, ib, bar_size, duration, rth):
        bars = history(ib, bar_size=bar_size, duration=duration, rth=rth)
        assert len(bars) > 0 and all(type(bar) is BarData for bar in bars)
        assert [bar.date for bar in bars] == sorted(bar.date for bar in bars)

    def test_bar_fields_have_the_client_library_types(self, ib):
        daily = history(ib)[-1]
        assert type(daily.date) is dt.date
        intraday = history(ib, bar_size="5 mins", duration="1 D", rth=False)[-1]
        assert type(intraday.date) is dt.datetime and intraday.date.utcoffset() is not None
        assert intraday.date.tzinfo.key == "America/New_York"
        for bar in (daily, intraday):
            for name in ("open", "high", "low", "close", "volume", "average"):
                assert type(getattr(bar, name)) is float, name
            assert type(bar.barCount) is int and bar.barCount > 0

    def test_format_date_2_gives_utc_times(self, ib):
        bar = history(ib, bar_size="1 hour", duration="1 D", formatDate=2)[0]
        assert bar.date == dt.datetime(2025, 6, 13, 13, 30, tzinfo=dt.timezone.utc)

    def test_the_answer_is_a_bar_list_that_remembers_its_request(self, ib):
        bars = history(ib, duration="3 D")
        assert isinstance(bars, BarDataList)
        assert (bars.durationStr, bars.barSizeSetting, bars.whatToShow, bars.useRTH) == ("3 D", "1 day", "TRADES", True)
        assert bars.contract is AAPL

    def test_tables_strip_to_new_york_wall_clock(self, ib):
        frame = pd.DataFrame(history(ib, bar_size="1 min", duration="1 D")).convert_dtypes()
        frame["date"] = frame["date"].dt.tz_localize(None)
        assert frame["date"].iloc[0] == pd.Timestamp("2025-06-13 09:30")
        assert list(frame.columns) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
        daily = pd.DataFrame(history(ib)).convert_dtypes()
        assert daily["date"].iloc[-1] == dt.date(2025, 6, 13)

    def test_every_call_is_recorded_as_made(self, ib):
        history(ib, duration="2 D")
        (call,) = ib.calls_to("reqHistoricalDataAsync")
        assert call.args == (AAPL,)
        assert list(call.kwargs) == [
            "endDateTime", "durationStr", "barSizeSetting", "whatToShow", "useRTH", "keepUpToDate", "timeout"
        ]
        assert call.arguments["formatDate"] == 1 and call.arguments["durationStr"] == "2 D"

    def test_a_continuous_future_refuses_an_end_date(self, ib):
        front = ContFuture("ES", exchange="CME")
        assert len(history(ib, contract=front, end=dt.date(2025, 6, 1))) == 0
        assert ib.errors[-1][1] == 10339
        assert len(history(ib, contract=front, end="")) == 5
        future = Future("ES", "20250620", "CME")
        assert len(history(ib, contract=future, end=dt.date(2025, 6, 1))) == 5

    def test_refused_requests_come_back_empty_or_raise_on_request(self, ib):
        assert len(history(ib, duration="400 D")) == 0
        assert len(history(ib, contract=Stock("ZZTOP", "SMART", "USD"))) == 0
        assert [code for _, code, _, _ in ib.errors] == [321, 200]
        ib.RaiseRequestErrors = True
        with pytest.raises(RequestError):
            history(ib, duration="400 D")

    @pytest.mark.parametrize("bar_size, duration, what, end, code", [
        # Step sizes: the longest duration each bar size is served for, and one step beyond.
        ("1 min", "1 D", "TRADES", "", None),
        ("1 min", "2 D", "TRADES", "", 162),
        ("2 mins", "2 D", "TRADES", "", None),
        ("5 mins", "7 D", "TRADES", "", None),
        ("5 mins", "8 D", "TRADES", "", 162),
        ("1 hour", "31 D", "TRADES", "", None),
        ("30 mins", "32 D", "TRADES", "", 162),
        ("1 hour", "58 Y", "TRADES", "", 162),
        ("1 day", "99 Y", "TRADES", "", None),
        # Adjusted prices only up to now, and not for bars longer than a day.
        ("1 day", "5 D", "ADJUSTED_LAST", dt.date(2025, 6, 1), 321),
        ("1 week", "2 Y", "ADJUSTED_LAST", "", 321),
    ])
    def test_what_the_gateway_refuses(self, ib, bar_size, duration, what, end, code):
        bars = history(ib, bar_size=bar_size, duration=duration, what=what, end=end)
        assert (len(bars) == 0) == (code is not None)
        assert [c for _, c, _, _ in ib.errors] == ([code] if code else [])
        if code == 162:
            assert ib.errors[0][2] == "Historical Market Data Service error message:Time length exceed max."

    def test_a_refusal_is_answered_by_the_fallback(self, yf, data_dir, log_lines, monkeypatch):
        from veltrax.cmds.quotes import kline

        monkeypatch.setattr(kline, "printFrame", lambda table, title: None)
        ib = SimulatedIB(clock=lambda: FRIDAY_EVENING)
        op = kline.IOpKline(state=ShellState(ib), ib=ib)
        op.symbol, op.rest = "AAPL", ["30m", "1000000"]
        assert run(op.run())["source"] == "yfinance"
        assert ib.errors[0][1:3] == (162, "Historical Market Data Service error message:Time length exceed max.")
        assert ("WARNING", "[AAPL] IBKR returned error (No data returned), falling back to yfinance") in log_lines


class TestFaults:
    def test_empty_answers(self, ib):
        ib.faults = FeedFaults(empty=True)
        assert len(history(ib)) == 0

    def test_raised_error(self, ib):
        ib.faults = FeedFaults(error=TimeoutError("gateway gone"))
        with pytest.raises(TimeoutError, match="gateway gone"):
            history(ib)

    def test_a_slow_answer_still_comes(self, ib):
        ib.faults = FeedFaults(delay=0.05)
        assert len(history(ib)) == 5

    def test_a_slower_answer_than_the_timeout_is_empty(self, ib):
        ib.faults = FeedFaults(delay=5)
        bars = run(ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True, timeout=0.05))
        assert len(bars) == 0

    def test_a_slow_request_can_be_cancelled(self, ib):
        ib.faults = FeedFaults(delay=30)

        async def cancel_midway():
            task = asyncio.ensure_future(ib.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(cancel_midway())

    def test_disconnected(self, ib):
        ib.disconnect()
        assert not ib.isConnected()
        with pytest.raises(ConnectionError):
            history(ib)

    @pytest.mark.parametrize(
        "text, expected",
        [("empty", FeedFaults(empty=True)), ("slow=2.5", FeedFaults(delay=2.5))],
    )
    def test_demo_words(self, text, expected):
        assert FeedFaults.parse(text) == expected

    def test_demo_error_words(self):
        assert str(FeedFaults.parse("error=pacing violation").error) == "pacing violation"
        for bad in ("slow=soon", "empty=1", "boom"):
            with pytest.raises(ValueError):
                FeedFaults.parse(bad)


class TestSymbolLookup:
    def lookup(self, state, symbol):
        return run(state.positionalQuoteRepopulate(symbol))

    def test_stock(self, ib):
        symbol, contract = self.lookup(ShellState(ib), "AAPL")
        assert symbol == "AAPL" and isinstance(contract, Stock) and contract.conId > 0
        assert self.lookup(ShellState(ib), "AAPL")[1].conId == contract.conId

    @pytest.mark.parametrize("typed", ["/ES", "ES"])
    def test_future_is_the_front_month_future(self, ib, typed):
        symbol, contract = self.lookup(ShellState(ib), typed)
        assert symbol == "ES" and isinstance(contract, Future) and contract.secType == "FUT"
        assert contract.lastTradeDateOrContractMonth == "20250620"

    def test_every_futures_root_the_shell_knows_is_listed(self, ib):
        state = ShellState(ib)
        for root in FUTURES_ROOTS:
            assert self.lookup(state, root)[0] == root

    @pytest.mark.parametrize("typed", ["ZZTOP", "ZZ", "/FOO", "/ZZ", "NOT A SYMBOL"])
    def test_unknown_symbols(self, ib, typed):
        assert self.lookup(ShellState(ib), typed) == ("", None)

    def test_the_unknown_prefixes_are_configurable(self):
        state = ShellState(SimulatedIB(unknown_prefixes=("XX", "QQ")))
        assert self.lookup(state, "QQQ") == ("", None)
        assert self.lookup(state, "ZZTOP")[0] == "ZZTOP"

    def test_disconnected_finds_nothing(self, ib):
        ib.disconnect()
        state = ShellState(ib)
        assert not state.connected and self.lookup(state, "AAPL") == ("", None)


class TestDemoShell:
    def test_results_say_the_feed_is_simulated(self, ib):
        out = io.StringIO()
        shell = Shell(ShellState(ib, feed_label="simulated feed"), out=out)
        assert shell.show_result("kline", {"symbol": "AAPL", "bars": [], "source": "ibkr"})
        assert out.getvalue() == "source: ibkr (simulated) · 0 bars · fresh · simulated feed, not market data\n"
        real = io.StringIO()
        Shell(ShellState(object()), out=real).show_result("kline", {"bars": [], "source": "ibkr"})
        assert "simulated" not in real.getvalue()

    def test_demo_flags(self):
        assert parse_args(["--demo", "--demo-fault", "empty"]).demo_fault == "empty"
        with pytest.raises(SystemExit):
            parse_args(["--demo-fault", "empty"])

    def test_simulated_bars_get_a_cache_of_their_own(self, monkeypatch, tmp_path):
        import veltrax.cli
        from veltrax.simfeed.transport import ChartTransport, transport_of

        factories = []
        monkeypatch.setattr(veltrax.cli, "configure_on_first_import", lambda session_factory: factories.append(
            session_factory))
        monkeypatch.setenv("VELTRAX_DATA_DIR", str(tmp_path))
        state = simulated_state(parse_args(["--demo", "--demo-fault", "slow=2"]))
        assert os.environ["VELTRAX_DATA_DIR"] == str(tmp_path / "simulated")
        assert state.feed_label == "simulated feed" and state.ib.faults.delay == 2
        # The downloader gets the simulated chart service, whenever yfinance is first imported.
        (factory,) = factories
        assert isinstance(transport_of(factory()), ChartTransport)
