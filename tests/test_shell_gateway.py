"""The shell's broker connection: failing gateways cost one line, and the broker comes back."""

import asyncio
import io
import logging
import re
import socket
import threading
import time

import pytest

from gateway_double import Fault
from gateway_double.client import connected_ib, shorten_history_timeout
from shell_process import veltrax
from veltrax.gateway.connection import GatewayAddress, GatewayConnection
from veltrax.logs import ToLoguru
from veltrax.shell import Shell
from veltrax.state import ShellState


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class HangingUpServer:
    """Accepts connections and closes them at once, as a gateway that refuses the API does."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            connection.close()

    def close(self):
        self.listener.close()


def test_address_parsing():
    assert GatewayAddress.parse("10.0.0.5:4002") == GatewayAddress("10.0.0.5", 4002, 1)
    assert GatewayAddress.parse(":7497", client_id=9) == GatewayAddress("127.0.0.1", 7497, 9)
    for bad in ("localhost", "host:port", "host:0", "host:70000", ""):
        with pytest.raises(ValueError, match="HOST:PORT"):
            GatewayAddress.parse(bad)


@pytest.mark.parametrize("gateway, why", [
    ("nothing listening", "nothing listens on port {port} (is IB Gateway or TWS running there, with its API enabled?)"),
    ("hangs up", "no answer within 5 s"),
])
def test_a_gateway_that_does_not_answer_costs_one_line_and_the_fallback_answers(gateway, why, tmp_path):
    server = HangingUpServer() if gateway == "hangs up" else None
    port = server.port if server else free_port()
    try:
        done = veltrax("--gateway", f"127.0.0.1:{port}", "-c", "kline AAPL day 5", data_dir=tmp_path, timeout=30)
    finally:
        if server:
            server.close()
    warnings = [line for line in done.stderr.splitlines() if line]
    assert warnings == [f"WARNING: gateway 127.0.0.1:{port} did not answer: {why.format(port=port)}; "
                        f"using yfinance until it does"]
    assert done.returncode == 0, done.stdout + done.stderr
    assert "AAPL day (5 bars) [yfinance]" in done.stdout
    assert done.stdout.splitlines()[-1].startswith("source: yfinance · 5 bars · ")


def test_a_bad_gateway_address_is_a_usage_error(tmp_path):
    done = veltrax("--gateway", "nowhere", "-c", "help", data_dir=tmp_path)
    assert done.returncode == 2 and "gateway address must be HOST:PORT" in done.stderr


def test_the_environment_names_the_gateway(tmp_path):
    port = free_port()
    done = veltrax("-c", "help", data_dir=tmp_path, VELTRAX_GATEWAY=f"127.0.0.1:{port}")
    assert f"gateway 127.0.0.1:{port} did not answer" in done.stderr and done.returncode == 0


class FlakyIB:
    """Connects only while `up` is set; tells its listeners when it drops."""

    def __init__(self):
        from eventkit import Event

        self.up = False
        self.connects = 0
        self._connected = False
        self.disconnectedEvent = Event("disconnectedEvent")
        self.errorEvent = Event("errorEvent")

    async def connectAsync(self, host, port, clientId, timeout):
        self.connects += 1
        await asyncio.sleep(0)
        if not self.up:
            raise ConnectionRefusedError(111, "Connect call failed")
        self._connected = True

    def isConnected(self):
        return self._connected

    def disconnect(self):
        self._connected = False

    def drop(self):
        self._connected = False
        self.disconnectedEvent.emit()


def test_a_dropped_gateway_is_reconnected_in_the_background(log_lines):
    async def scenario():
        ib = FlakyIB()
        connection = GatewayConnection(GatewayAddress("127.0.0.1", 4002), ib=ib, reconnect_delays=(0.01,))
        assert await connection.connect() is False
        connection.start_reconnecting()
        await asyncio.sleep(0.05)
        assert not connection.connected and ib.connects > 2
        ib.up = True
        for _ in range(100):
            if connection.connected:
                break
            await asyncio.sleep(0.01)
        assert connection.connected
        assert connection.away() is None
        ib.drop()
        assert not connection.connected
        assert re.fullmatch(r"gateway 127.0.0.1:4002 away since \d\d:\d\d \(it disconnected\)", connection.away())
        for _ in range(100):
            if connection.connected:
                break
            await asyncio.sleep(0.01)
        assert connection.connected
        await connection.close()

    asyncio.run(scenario())
    messages = [m for level, m in log_lines if level == "WARNING"]
    assert messages[0].startswith("gateway 127.0.0.1:4002 did not answer")
    assert messages[1:] == ["gateway 127.0.0.1:4002 is back",
                            "gateway 127.0.0.1:4002 disconnected; using yfinance until it is back",
                            "gateway 127.0.0.1:4002 is back"]


@pytest.mark.parametrize("chosen, connected_as, said", [
    (False, 2, "gateway {address}: client id 1 is in use there; connected as client id 2 (--client-id N chooses one)"),
    (True, None, "gateway {address}: client id 1 is in use there (by another program or shell); choose another "
                 "with --client-id N, e.g. --client-id 2; using yfinance meanwhile"),
])
def test_a_client_id_in_use_is_said_at_once(gateway, log_lines, chosen, connected_as, said):
    async def scenario():
        async with connected_ib(gateway.port, client_id=1):
            connection = GatewayConnection(GatewayAddress("127.0.0.1", gateway.port), fixed_client_id=chosen)
            started = time.monotonic()
            connected = await connection.connect()
            waited = time.monotonic() - started
            await connection.close()
            return connected, connection.client_id, waited

    connected, client_id, waited = asyncio.run(scenario())
    assert (connected, client_id if connected else None) == (connected_as is not None, connected_as)
    assert waited < 2  # the gateway says so at once: no waiting out the connect time-out
    assert [m for level, m in log_lines if level == "WARNING"] == [said.format(address=gateway.address)]


def test_a_gateway_that_never_answers_is_named_with_the_time_waited(gateway, yf, data_dir, monkeypatch):
    gateway.fail_always(Fault.SILENCE)
    # ib_async logs through the standard library; the shell's log carries its lines, as it does in the shell.
    monkeypatch.setattr(logging.getLogger("ib_async"), "handlers", [ToLoguru()])
    out = io.StringIO()

    async def scenario():
        async with connected_ib(gateway.port) as ib:
            shorten_history_timeout(ib, 1)
            return await Shell(ShellState(ib), out=out).execute("kline AAPL day 5")

    assert asyncio.run(scenario()) is True
    assert "note: the gateway did not answer within 1 s; bars from yfinance" in out.getvalue().splitlines()


def test_failures_while_the_gateway_is_away_name_it(yf, data_dir):
    yf.frame = yf.frame.iloc[:0]

    async def scenario():
        connection = GatewayConnection(GatewayAddress("127.0.0.1", 4002), ib=FlakyIB())
        await connection.connect()
        out = io.StringIO()
        ok = await Shell(ShellState(connection.ib, gateway=connection), out=out).execute("kline ZZZZ day 5")
        return ok, out.getvalue().splitlines()

    ok, said = asyncio.run(scenario())
    assert not ok and re.fullmatch(r"  gateway 127.0.0.1:4002 away since \d\d:\d\d \(did not answer: nothing "
                                   r"listens on port 4002 .*\); yfinance has no data for it", said[1])
