"""The real ib_async client against the gateway double: connect, qualify, bars, refusals, faults, restarts."""

import asyncio
import datetime as dt
import logging
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from gateway_double import Fault, GatewayDouble, calendar_end, from_generator, running_gateway
from gateway_double.client import connected_ib, shorten_history_timeout
from gateway_double import wire
from gateway_double.server import FARM_NOTICES
from gateway_double.wire import parse_end
from ib_async import IB, BarData, ContFuture, Future, Stock

from veltrax.contracts import look_up

STARTUP = ["start api", "positions", "open orders", "completed orders", "account updates",
           "account updates multi", "executions"]


def history(ib, contract, end="", duration="1 D", bar_size="5 mins", what="TRADES", rth=False, **keywords):
    return ib.reqHistoricalDataAsync(contract, endDateTime=end, durationStr=duration, barSizeSetting=bar_size,
                                     whatToShow=what, useRTH=rth, **keywords)


async def qualified(ib, symbol="AAPL"):
    (contract,) = await ib.qualifyContractsAsync(Stock(symbol, "SMART", "USD"))
    return contract


def client_errors(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "ib_async.wrapper" and r.levelno >= logging.ERROR]


def client_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "ib_async.wrapper"]


class TestConnecting:
    def test_connect_completes_with_every_startup_request_answered(self, gateway, run):
        async def scenario():
            async with connected_ib(gateway.port) as ib:  # raiseSyncErrors: a missing answer fails here
                return ib.isConnected(), ib.managedAccounts()

        assert run(scenario()) == (True, ["DU1234567"])
        assert sorted(r.name for r in gateway.received) == sorted(STARTUP)
        assert {r.client_id for r in gateway.received if r.name != "start api"} == {1}

    def test_a_client_id_in_use_is_refused_and_another_is_accepted(self, gateway, run, caplog):
        async def scenario():
            async with connected_ib(gateway.port, client_id=7):
                with pytest.raises(asyncio.TimeoutError):
                    await IB().connectAsync("127.0.0.1", gateway.port, clientId=7, timeout=0.3)
                async with connected_ib(gateway.port, client_id=8) as other:
                    return other.isConnected()

        assert run(scenario())
        assert any("Error 326" in message for message in client_errors(caplog))

    def test_after_a_restart_on_the_same_port_the_client_reconnects(self, gateway, run):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                port = gateway.port
                gateway.stop()
                await asyncio.wait_for(ib.disconnectedEvent, 2)
                with pytest.raises(ConnectionRefusedError):
                    await IB().connectAsync("127.0.0.1", port, clientId=2, timeout=1)
                gateway.start()
                await ib.connectAsync("127.0.0.1", gateway.port, clientId=1, timeout=2)
                bars = await history(ib, await qualified(ib))
                return port, ib.isConnected(), len(bars)

        port, connected, count = run(scenario())
        assert (gateway.port, connected) == (port, True) and count > 0

    def test_the_module_entry_serves_from_a_subprocess(self, run):
        tests = Path(__file__).parent
        with subprocess.Popen([sys.executable, "-m", "gateway_double"], cwd=tests, stdout=subprocess.PIPE,
                              text=True) as process:
            try:
                line = process.stdout.readline()
                port = int(line.rsplit(":", 1)[1])

                async def scenario():
                    async with connected_ib(port) as ib:
                        return len(await history(ib, await qualified(ib)))

                assert run(scenario()) > 0
            finally:
                process.terminate()
        assert process.returncode == 0

    def test_a_garbled_request_is_answered_with_an_error_and_the_session_goes_on(self, gateway, run):
        async def scenario():
            reader, writer = await asyncio.open_connection("127.0.0.1", gateway.port)
            writer.write(b"API\0" + struct.pack(">I", 9) + b"v157..178")
            version = await asyncio.wait_for(wire.read_message(reader), 2)
            for fields in ((71, 2, 5, ""), (20, 9), (49, 1)):
                writer.write(wire.encode(*fields))
            answers = [await asyncio.wait_for(wire.read_message(reader), 2)
                       for _ in range(2 + len(FARM_NOTICES) + 2)]
            writer.close()
            await writer.wait_closed()
            return version, answers

        version, answers = run(scenario())
        assert version[0] == "178"
        assert [a[0] for a in answers] == ["9", "15"] + ["4"] * len(FARM_NOTICES) + ["4", "49"]
        assert answers[-2][3] == "320"


class TestContracts:
    def test_stocks_qualify_through_smart_and_unknown_symbols_come_back_empty(self, gateway, run, caplog):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                return await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"), Stock("ZZZZ", "SMART", "USD"))

        aapl, unknown = run(scenario())
        assert (aapl.symbol, aapl.exchange, aapl.primaryExchange, aapl.currency) == ("AAPL", "SMART", "NASDAQ", "USD")
        assert aapl.conId > 0 and unknown is None
        assert any("Error 200" in message and "ZZZZ" in message for message in client_errors(caplog))

    def test_futures_list_their_months_and_resolve_to_the_front_month_as_a_future(self, gateway, run):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                details = await ib.reqContractDetailsAsync(Future(symbol="ES"))
                return details, await look_up(ib, "/ES"), await look_up(ib, "AAPL"), await look_up(ib, "/ZZ")

        details, es, aapl, missing = run(scenario())
        months = [d.contract.lastTradeDateOrContractMonth for d in details]
        assert len(months) == 4 and months == sorted(months)
        assert {d.contract.secType for d in details} == {"FUT"} and {d.contract.exchange for d in details} == {"CME"}
        assert es.symbol == "ES" and isinstance(es.contract, Future) and es.contract.lastTradeDateOrContractMonth == months[0]
        assert (es.zone, str(es.expires)) == ("US/Central", f"{months[0][:4]}-{months[0][4:6]}-{months[0][6:]}")
        assert aapl.symbol == "AAPL" and isinstance(aapl.contract, Stock) and aapl.contract.conId
        assert (aapl.contract.exchange, aapl.zone) == ("SMART", "US/Eastern")
        assert missing is None


# Bar sizes with the durations the command asks for them.
REQUESTS = [("1 min", "1 D"), ("5 mins", "1 D"), ("15 mins", "2 D"), ("30 mins", "3 D"), ("1 hour", "6 D"),
            ("1 day", "350 D"), ("1 week", "4 Y"), ("1 month", "10 Y")]


class TestHistoricalData:
    @pytest.mark.parametrize("bar_size, duration", REQUESTS)
    @pytest.mark.parametrize("rth", [False, True])
    def test_every_bar_size_arrives_as_the_source_made_it(self, gateway, run, bar_size, duration, rth):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                return await history(ib, await qualified(ib), duration=duration, bar_size=bar_size, rth=rth)

        bars = run(scenario())
        expected = gateway.source("AAPL", bar_size, None, duration, "TRADES", rth)
        assert len(bars) == len(expected) > 0
        assert [(b.date, b.open, b.high, b.low, b.close, b.volume, b.average, b.barCount) for b in bars] == [
            (e.date, e.open, e.high, e.low, e.close, e.volume, e.average, e.barCount) for e in expected]
        if bar_size in ("1 day", "1 week", "1 month"):
            assert all(type(b.date) is dt.date for b in bars)
        else:
            assert all(isinstance(b.date, dt.datetime) and b.date.tzinfo is not None for b in bars)
        (request,) = gateway.historical
        assert (request.barSizeSetting, request.durationStr, request.useRTH, request.whatToShow,
                request.endDateTime, request.formatDate) == (bar_size, duration, rth, "TRADES", "", 1)

    def test_the_source_receives_what_the_client_asked_for(self, run):
        asked = []

        def source(*arguments):
            asked.append(arguments)
            return []

        async def scenario(port):
            async with connected_ib(port) as ib:
                contract = await qualified(ib)
                await history(ib, contract, end=dt.date(2025, 6, 1), duration="151 D", bar_size="1 day",
                              rth=True)
                await history(ib, contract, what="ADJUSTED_LAST")

        with running_gateway(source=source) as gateway:
            run(scenario(gateway.port))
            dated, latest = gateway.historical
        local_end = dt.datetime(2025, 6, 1, 23, 59, 59).astimezone()
        assert asked == [("AAPL", "1 day", local_end, "151 D", "TRADES", True),
                         ("AAPL", "5 mins", None, "1 D", "ADJUSTED_LAST", False)]
        assert dated.end == local_end and dated.endDateTime.endswith(" UTC") and latest.end is None
        assert calendar_end(local_end) == dt.date(2025, 6, 1)

    def test_a_generator_taking_dates_plugs_in_through_from_generator(self, run):
        asked = []
        source = from_generator(lambda *arguments: asked.append(arguments) or [])
        source("AAPL", "1 day", dt.datetime(2025, 6, 1, 23, 59, 59).astimezone(), "5 D", "TRADES", True)
        source("AAPL", "1 min", None, "1 D", "TRADES", False)
        assert [a[2] for a in asked] == [dt.date(2025, 6, 1), None]

    @pytest.mark.parametrize("bad_source", [
        lambda *arguments: 1 / 0,
        lambda *arguments: [BarData(date=dt.datetime(2025, 6, 6, 10, 0), open=1, high=1, low=1, close=1)],
    ], ids=["raises", "naive intraday time"])
    def test_a_faulty_source_is_reported_to_the_client(self, run, caplog, bad_source):
        async def scenario(port):
            async with connected_ib(port) as ib:
                return await history(ib, await qualified(ib))

        with running_gateway(source=bad_source) as gateway:
            assert len(run(scenario(gateway.port))) == 0
        assert any("bar source failed" in message for message in client_errors(caplog))

    @pytest.mark.parametrize("text, instant", [
        ("20250601 23:59:59 UTC", dt.datetime(2025, 6, 1, 23, 59, 59, tzinfo=dt.timezone.utc)),
        ("20250601-23:59:59", dt.datetime(2025, 6, 1, 23, 59, 59, tzinfo=dt.timezone.utc)),
        ("20250601 16:00:00 US/Eastern", dt.datetime(2025, 6, 1, 20, 0, tzinfo=dt.timezone.utc)),
        ("", None),
    ])
    def test_end_date_forms_the_gateway_accepts(self, text, instant):
        assert parse_end(text) == instant

    @pytest.mark.parametrize("text", ["2025-06-01", "20250601 25:00:00 UTC", "20250601 10:00:00 Mars/Olympus"])
    def test_an_unreadable_end_date_is_refused(self, gateway, run, caplog, text):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                return await history(ib, await qualified(ib), end=text)

        assert len(run(scenario())) == 0
        assert any("Error 10314" in message for message in client_errors(caplog))

    @pytest.mark.parametrize("keywords, code", [
        ({"contract": ContFuture("ES", "CME"), "end": dt.date(2025, 6, 1)}, 10339),
        ({"what": "ADJUSTED_LAST", "end": dt.date(2025, 6, 1)}, 321),
        ({"what": "ADJUSTED_LAST", "bar_size": "1 week", "duration": "4 Y"}, 321),
        ({"what": "MIDPOINT"}, 321),
        ({"bar_size": "7 mins"}, 321),
        ({"duration": "0 D"}, 321),
        ({"duration": "1 Q"}, 321),
        ({"bar_size": "1 min", "duration": "2 D"}, 162),
        ({"contract": Stock("ZZZZ", "SMART", "USD")}, 200),
    ])
    def test_what_the_real_gateway_refuses_comes_back_empty(self, gateway, run, caplog, keywords, code):
        caplog.set_level(logging.INFO, "ib_async")
        keywords = dict(keywords)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                # A refusal with error 321 is a mere warning to ib_async: the request stays
                # open until the client's time-out, shortened here.
                shorten_history_timeout(ib, 0.3)
                contract = keywords.pop("contract", None) or await qualified(ib)
                return await history(ib, contract, **keywords)

        assert len(run(scenario())) == 0
        assert any(f" {code}, reqId" in message for message in client_messages(caplog))

    def test_a_continuous_future_is_served_without_an_end_date(self, gateway, run):
        async def scenario():
            async with connected_ib(gateway.port) as ib:
                return await history(ib, ContFuture("ES", "CME"), bar_size="1 hour")

        assert len(run(scenario())) > 0
        (request,) = gateway.historical
        assert (request.contract.secType, request.contract.symbol) == ("CONTFUT", "ES")


class TestFaults:
    @pytest.mark.parametrize("fault, text", [
        (Fault.NO_DATA, "HMDS query returned no data: AAPL@SMART Trades"),
        (Fault.PACING, "Historical data request pacing violation"),
    ])
    def test_error_162_answers_an_empty_list(self, gateway, run, caplog, fault, text):
        gateway.fail_next(fault)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                contract = await qualified(ib)
                return await history(ib, contract), await history(ib, contract)

        failed, served = run(scenario())
        assert len(failed) == 0 and len(served) > 0
        assert any(message.startswith("Error 162") and text in message for message in client_errors(caplog))

    def test_silence_lets_the_client_time_out_and_cancel(self, gateway, run, caplog):
        gateway.fail_next(Fault.SILENCE)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                calls = shorten_history_timeout(ib, 0.2)
                bars = await history(ib, await qualified(ib), keepUpToDate=False, timeout=60)
                await asyncio.sleep(0.05)  # the cancel's acknowledgement
                return bars, calls

        bars, calls = run(scenario())
        assert len(bars) == 0 and dict(calls[0][1])["timeout"] == 60
        (request,) = gateway.historical
        assert [c.reqId for c in gateway.requests("cancel historical data")] == [request.reqId]
        assert any("API historical data query cancelled" in message for message in client_errors(caplog))

    def test_a_socket_closed_mid_answer_raises_and_disconnects(self, gateway, run):
        gateway.fail_next(Fault.DROP)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                contract = await qualified(ib)
                with pytest.raises(ConnectionError, match="Socket disconnect"):
                    await history(ib, contract)
                return ib.isConnected()

        assert run(scenario()) is False

    def test_faults_apply_as_often_and_to_what_they_were_set_for(self, gateway, run):
        gateway.fail_always(Fault.NO_DATA, match=lambda request: request.barSizeSetting == "1 day")
        gateway.fail_next(Fault.PACING, times=2)

        async def scenario():
            async with connected_ib(gateway.port) as ib:
                contract = await qualified(ib)
                counts = [len(await history(ib, contract, bar_size=size))
                          for size in ("1 day", "5 mins", "5 mins", "1 day", "5 mins")]
                gateway.clear_faults()
                return counts + [len(await history(ib, contract, bar_size="1 day"))]

        counts = run(scenario())
        # The first matching injection wins: "1 day" meets NO_DATA, the two next others PACING.
        assert [c > 0 for c in counts] == [False, False, False, False, True, True]


def test_a_stopped_double_can_be_closed_and_ports_are_not_shared():
    first, second = GatewayDouble(), GatewayDouble()

    async def scenario():
        ports = (await first.start(), await second.start())
        await first.stop()
        await first.stop()  # stopping twice is harmless
        await second.stop()
        return ports

    a, b = asyncio.run(scenario())
    assert a != b and not first.serving and not second.serving
