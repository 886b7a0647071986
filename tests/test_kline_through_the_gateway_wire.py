"""The kline command with the real ib_async client, against the gateway double over loopback."""

import asyncio
import datetime as dt

import pytest
from gateway_double import Fault
from gateway_double.client import connected_ib, shorten_history_timeout
from ib_async import Future

from veltrax.cmds.quotes import kline
from veltrax.state import ShellState

# Long enough for any answer over loopback, short enough that no test waits a minute.
TIMEOUT = 2.0
KEYWORDS = ["endDateTime", "durationStr", "barSizeSetting", "whatToShow", "useRTH", "keepUpToDate", "timeout"]


@pytest.fixture
def printed(monkeypatch, data_dir):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append((title, len(table))))
    return titles


def command(ib, symbol, words):
    op = kline.IOpKline(state=ShellState(ib), ib=ib)
    op.symbol = symbol
    op.rest = list(words)
    return op


def kline_line(gateway, line, timeout=TIMEOUT):
    """Run `kline <line>` on a fresh connection: (result, the client calls the command made)."""
    symbol, *words = line.split()

    async def scenario():
        async with connected_ib(gateway.port) as ib:
            calls = shorten_history_timeout(ib, timeout)
            return await command(ib, symbol, words).run(), calls

    return asyncio.run(scenario())


def bar_tuple(bar):
    if isinstance(bar, dict):
        return tuple(bar[name] for name in ("date", "open", "high", "low", "close", "volume", "average", "barCount"))
    date = bar.date.replace(tzinfo=None) if isinstance(bar.date, dt.datetime) else bar.date
    return date, bar.open, bar.high, bar.low, bar.close, bar.volume, bar.average, bar.barCount


class TestBrokerPath:
    def test_latest_bars_reach_the_gateway_as_the_command_sends_them(self, gateway, printed, log_lines):
        result, calls = kline_line(gateway, "AAPL 5m 20 adj")
        ((contract,), keywords) = calls[0]
        assert keywords == list(zip(KEYWORDS, ["", "1 D", "5 mins", "ADJUSTED_LAST", False, False, 60]))
        (request,) = gateway.historical
        assert (request.contract.conId, request.contract.symbol, request.contract.secType) == (
            contract.conId, "AAPL", "STK")
        assert (request.endDateTime, request.durationStr, request.barSizeSetting, request.whatToShow,
                request.useRTH, request.keepUpToDate, request.formatDate) == (
            "", "1 D", "5 mins", "ADJUSTED_LAST", False, False, 1)
        assert (result["source"], result["count"], result["adjust"]) == ("ibkr", 20, "adj")
        sent = gateway.source("AAPL", "5 mins", None, "1 D", "ADJUSTED_LAST", False)[-20:]
        # The exchange's wall-clock times, zone removed.
        assert [bar_tuple(b) for b in result["bars"]] == [bar_tuple(b) for b in sent]
        assert printed == [("AAPL 5m (20 bars) (adjusted)", 20)]
        assert not [line for line in log_lines if line[0] != "INFO"]

    @pytest.mark.parametrize("period, bar_size, duration, rth", [
        ("1m", "1 min", "1 D", False), ("5m", "5 mins", "1 D", False), ("15m", "15 mins", "2 D", False),
        ("30m", "30 mins", "3 D", False), ("1h", "1 hour", "6 D", False), ("day", "1 day", "350 D", True),
        ("week", "1 week", "4 Y", True), ("month", "1 month", "5 Y", True), ("year", "1 month", "10 Y", True),
    ])
    def test_each_period_is_asked_with_its_bar_size_and_trading_hours(self, gateway, printed, period, bar_size,
                                                                        duration, rth):
        result, _ = kline_line(gateway, f"AAPL {period}")
        (request,) = gateway.historical
        assert (request.barSizeSetting, request.durationStr, request.useRTH, request.whatToShow) == (
            bar_size, duration, rth, "TRADES")
        sent = gateway.source("AAPL", bar_size, None, duration, "TRADES", rth)
        assert result["source"] == "ibkr" and result["count"] == min(len(sent), kline.PERIOD_DEFAULT_COUNT[period])
        assert bar_tuple(result["bars"][-1]) == bar_tuple(sent[-1])

    def test_a_date_range_sends_its_end_date_and_is_answered_by_the_broker(self, gateway, printed):
        result, calls = kline_line(gateway, "AAPL 2025-01-01 2025-06-01 day")
        assert calls[0][1][:2] == [("endDateTime", dt.date(2025, 6, 1)), ("durationStr", "151 D")]
        (request,) = gateway.historical
        # ib_async sends a date as 23:59:59 of that day in the machine's time zone.
        assert request.end == dt.datetime(2025, 6, 1, 23, 59, 59).astimezone()
        assert (request.barSizeSetting, request.whatToShow, request.useRTH) == ("1 day", "TRADES", True)
        assert (result["source"], result["start"], result["end"]) == ("ibkr", "2025-01-01", "2025-06-01")
        assert all(type(bar["date"]) is dt.date for bar in result["bars"])
        assert result["bars"][-1]["date"] == dt.date(2025, 5, 30)  # the Friday before
        assert printed == [("AAPL day 2025-01-01 ~ 2025-06-01", len(result["bars"]))]

    def test_intraday_asks_for_the_whole_day_of_minutes(self, gateway, printed):
        result, _ = kline_line(gateway, "AAPL intraday")
        (request,) = gateway.historical
        assert (request.endDateTime, request.durationStr, request.barSizeSetting, request.whatToShow,
                request.useRTH) == ("", "1 D", "1 min", "TRADES", False)
        assert (result["type"], result["source"], len(result["bars"])) == ("intraday", "ibkr", 16 * 60)
        assert printed == [("AAPL Intraday", 960)]

    def test_a_futures_symbol_is_qualified_and_requested_as_a_continuous_future(self, gateway, printed):
        result, calls = kline_line(gateway, "/ES 1h 10")
        (lookup,) = gateway.requests("contract details")
        assert (lookup.contract.symbol, lookup.contract.secType) == ("ES", "FUT")
        (request,) = gateway.historical
        assert (request.contract.symbol, request.contract.secType, request.contract.exchange) == (
            "ES", "CONTFUT", "CME")
        ((contract,), _) = calls[0]
        assert isinstance(contract, Future) and contract.secType == "CONTFUT"
        assert (result["symbol"], result["source"], result["count"]) == ("ES", "ibkr", 10)

    def test_an_unknown_symbol_is_answered_by_the_fallback_without_a_bar_request(self, gateway, yf, printed,
                                                                                   log_lines):
        result, calls = kline_line(gateway, "ZZZZ day 5")
        assert calls == [] and gateway.historical == []
        assert [d["symbol"] for d in yf.downloads] == ["ZZZZ"] and result["source"] == "yfinance"
        assert ("ERROR", "Symbol not found: ZZZZ") in log_lines


class TestRefusedByTheGateway:
    """Requests the real gateway refuses: the broker answers empty and the fallback answers."""

    @pytest.mark.parametrize("line, error", [
        # An end date with adjusted prices (error 321: ib_async waits out its time-out).
        ("AAPL 2025-01-01 2025-06-01 day adj", "No data in range"),
        # Adjusted prices in bars longer than a day (error 321 as well).
        ("AAPL week 10 adj", "No data returned"),
        # An end date on a continuous future (error 10339).
        ("/ES 2025-01-01 2025-06-01 day", "No data in range"),
    ])
    def test_the_refusal_is_logged_and_answered_by_the_fallback(self, gateway, yf, printed, log_lines, line, error):
        symbol = line.split()[0].lstrip("/")
        result, _ = kline_line(gateway, line, timeout=0.3)
        assert len(gateway.historical) == 1 and len(yf.downloads) == 1
        assert result["source"] == "yfinance"
        assert ("WARNING", f"[{symbol}] IBKR returned error ({error}), falling back to yfinance") in log_lines


class TestFaults:
    @pytest.mark.parametrize("fault", [Fault.NO_DATA, Fault.PACING, Fault.SILENCE])
    def test_an_empty_answer_logs_the_warning_and_falls_back(self, gateway, yf, printed, log_lines, fault):
        gateway.fail_next(fault)
        result, calls = kline_line(gateway, "AAPL 5m 20", timeout=0.2)
        assert dict(calls[0][1])["timeout"] == 60
        assert result["source"] == "yfinance" and len(yf.downloads) == 1
        assert ("WARNING", "[AAPL] IBKR returned error (No data returned), falling back to yfinance") in log_lines
        if fault is Fault.SILENCE:
            (request,) = gateway.historical
            # ib_async's own time-out cancels the request at the gateway.
            assert [c.reqId for c in gateway.requests("cancel historical data")] == [request.reqId]

    def test_a_dropped_connection_logs_the_failure_and_falls_back(self, gateway, yf, printed, log_lines):
        gateway.fail_next(Fault.DROP)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                result = await command(ib, "AAPL", ["5m", "20"]).run()
                return result, ib.isConnected()

        result, connected = asyncio.run(scenario())
        assert result["source"] == "yfinance" and not connected
        assert ("WARNING", "[AAPL] IBKR failed (Socket disconnect), falling back to yfinance") in log_lines

    def test_after_the_gateway_restarts_the_next_command_uses_the_broker_again(self, gateway, yf, printed,
                                                                                log_lines):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                first = await command(ib, "AAPL", ["5m", "20"]).run()
                gateway.restart()
                await asyncio.wait_for(ib.disconnectedEvent, 2)
                meanwhile = await command(ib, "AAPL", ["1h", "10"]).run()
                await ib.connectAsync("127.0.0.1", gateway.port, clientId=1, timeout=2)
                again = await command(ib, "AAPL", ["5m", "30"]).run()
                return first, meanwhile, again

        first, meanwhile, again = asyncio.run(scenario())
        assert [first["source"], meanwhile["source"], again["source"]] == ["ibkr", "yfinance", "ibkr"]
        assert ("INFO", "[AAPL] No gateway, using yfinance fallback") in log_lines
        assert [r.barSizeSetting for r in gateway.historical] == ["5 mins", "5 mins"]
        assert again["count"] == 30
