"""The shell's connection to the broker gateway: a bounded first connect, reconnects after a drop,
and every way a gateway refuses or goes away told in one line a trader can act on."""

from __future__ import annotations

import asyncio
import datetime as dt
from dataclasses import dataclass
from typing import Any

from loguru import logger

from veltrax.logs import terminal

CONNECT_TIMEOUT = 5.0
# Waits between reconnect attempts after the gateway went away.
RECONNECT_DELAYS = (1.0, 2.0, 5.0, 10.0, 30.0)
# The gateway's error for a client id another API client of it already uses.
CLIENT_ID_IN_USE = 326
# Client ids tried, from the first, when the shell may pick a free one.
CLIENT_IDS_TRIED = 8


@dataclass(frozen=True)
class GatewayAddress:
    host: str
    port: int
    client_id: int = 1

    @classmethod
    def parse(cls, text: str, client_id: int = 1) -> GatewayAddress:
        """HOST:PORT (or :PORT for the local machine)."""
        host, separator, port = text.rpartition(":")
        if not separator or not port.isdigit() or not 0 < int(port) < 65536:
            raise ValueError(f"gateway address must be HOST:PORT, e.g. 127.0.0.1:4002 (got {text!r})")
        return cls(host or "127.0.0.1", int(port), client_id)

    def __str__(self) -> str:
        return f"{self.host}:{self.port}"


class ClientIdInUse(ConnectionError):
    def __init__(self, client_id: int) -> None:
        super().__init__(f"client id {client_id} is in use")
        self.client_id = client_id


def unreachable(address: GatewayAddress, error: BaseException, timeout: float) -> str:
    """Why a connect failed, in words that say what to check."""
    if isinstance(error, ConnectionRefusedError):
        return f"nothing listens on port {address.port} (is IB Gateway or TWS running there, with its API enabled?)"
    if isinstance(error, (TimeoutError, asyncio.TimeoutError)):
        return f"no answer within {timeout:g} s"
    return str(error) or type(error).__name__


class GatewayConnection:
    """Keeps an ib_async IB connected to one gateway for the life of the shell.

    A gateway that does not answer, or drops later, leaves the shell working on the fallback;
    a background task keeps trying and the broker comes back by itself once the gateway does.
    With `fixed_client_id` false, a client id the gateway says is in use is followed by the next
    free one (up to CLIENT_IDS_TRIED of them); with it true, the shell says how to choose another
    (`client_id_option` is how the host's user sets one: "--client-id {}" on the command line).
    """

    def __init__(self, address: GatewayAddress, ib: Any = None, connect_timeout: float = CONNECT_TIMEOUT,
                 reconnect_delays: tuple[float, ...] = RECONNECT_DELAYS, fixed_client_id: bool = True,
                 client_id_option: str = "--client-id {}") -> None:
        if ib is None:
            from ib_async import IB

            ib = IB()
        self.address = address
        self.ib = ib
        self.client_id = address.client_id
        self.connect_timeout = connect_timeout
        self.reconnect_delays = reconnect_delays
        self.fixed_client_id = fixed_client_id
        self.client_id_option = client_id_option
        self._reconnecting: asyncio.Task | None = None
        self._closing = False
        self._up = False
        # Since when the gateway is away, and why; None while connected.
        self.away_since: dt.datetime | None = None
        self.away_reason = ""
        ib.disconnectedEvent += self._on_disconnected

    @property
    def connected(self) -> bool:
        return bool(self.ib.isConnected())

    def away(self) -> str | None:
        """ "gateway 127.0.0.1:4002 away since 14:02 (it disconnected)"; None while connected."""
        if self.connected or self.away_since is None:
            return None
        return f"gateway {self.address} away since {self.away_since:%H:%M} ({self.away_reason})"

    async def connect(self) -> bool:
        """One bounded attempt; False (and one warning line) when the gateway does not answer."""
        try:
            await self._connect_with_a_free_id()
        except ClientIdInUse as error:
            terminal.warning("gateway {}: {}; using yfinance meanwhile", self.address, self._in_use(error))
            return False
        except Exception as error:  # every other way a connect fails means the same to the user
            reason = unreachable(self.address, error, self.connect_timeout)
            self._went_away(f"did not answer: {reason}")
            terminal.warning("gateway {} did not answer: {}; using yfinance until it does", self.address, reason)
            return False
        logger.info("connected to gateway {} as client id {}", self.address, self.client_id)
        return True

    def _in_use(self, error: ClientIdInUse) -> str:
        if self.fixed_client_id:
            option = self.client_id_option
            advice = f"choose another with {option.format('N')}, e.g. {option.format(error.client_id + 1)}"
            self._went_away(f"client id {error.client_id} in use")
            return f"client id {error.client_id} is in use there (by another program or shell); {advice}"
        last = self.address.client_id + CLIENT_IDS_TRIED - 1
        self._went_away(f"client ids {self.address.client_id} to {last} in use")
        return (f"client ids {self.address.client_id} to {last} are all in use there; "
                f"choose a free one with {self.client_id_option.format('N')}")

    async def _connect_with_a_free_id(self) -> None:
        """Connect as `client_id`, or, where the shell may pick, as the next id the gateway has free."""
        tried = 1 if self.fixed_client_id else CLIENT_IDS_TRIED
        for client_id in range(self.address.client_id, self.address.client_id + tried):
            try:
                await self._attempt(client_id)
            except ClientIdInUse:
                if client_id == self.address.client_id + tried - 1:
                    raise
                continue
            if client_id not in (self.address.client_id, self.client_id):  # a new id of the shell's choosing
                terminal.warning("gateway {}: client id {} is in use there; connected as client id {} "
                                 "({} chooses one)", self.address, self.address.client_id, client_id,
                                 self.client_id_option.format("N"))
            self.client_id = client_id
            return

    async def _attempt(self, client_id: int) -> None:
        """Connect once as `client_id`; ClientIdInUse as soon as the gateway says so (it then
        hangs up, and ib_async alone would wait out its time-out)."""
        in_use = asyncio.get_running_loop().create_future()

        def on_error(req_id: int, code: int, *details: Any) -> None:
            if code == CLIENT_ID_IN_USE and not in_use.done():
                in_use.set_result(None)

        self.ib.errorEvent += on_error
        connecting = asyncio.ensure_future(asyncio.wait_for(
            self.ib.connectAsync(self.address.host, self.address.port, clientId=client_id,
                                 timeout=self.connect_timeout),
            self.connect_timeout + 1))
        try:
            await asyncio.wait({connecting, in_use}, return_when=asyncio.FIRST_COMPLETED)
            if in_use.done():
                connecting.cancel()
                await asyncio.gather(connecting, return_exceptions=True)
                raise ClientIdInUse(client_id)
            connecting.result()
        except BaseException:
            self.ib.disconnect()
            raise
        finally:
            self.ib.errorEvent -= on_error
            in_use.cancel()
            connecting.cancel()  # a no-op once it is done; else (Ctrl-C at start-up) it goes too
        self._up = True
        self.away_since = None

    def _went_away(self, reason: str) -> None:
        if self.away_since is None:
            self.away_since = dt.datetime.now()
        self.away_reason = reason

    def start_reconnecting(self) -> None:
        if self._reconnecting is None or self._reconnecting.done():
            self._reconnecting = asyncio.ensure_future(self._reconnect())

    async def _reconnect(self) -> None:
        attempt = 0
        while not self._closing and not self.connected:
            await asyncio.sleep(self.reconnect_delays[min(attempt, len(self.reconnect_delays) - 1)])
            attempt += 1
            try:
                await self._connect_with_a_free_id()
            except Exception as error:
                reason = unreachable(self.address, error, self.connect_timeout)
                logger.info("gateway {} still away ({})", self.address, reason)
                continue
            terminal.warning("gateway {} is back", self.address)

    def _on_disconnected(self) -> None:
        if self._closing or not self._up:
            return  # a connect that did not get through is told by connect() itself
        self._up = False
        self._went_away("it disconnected")
        terminal.warning("gateway {} disconnected; using yfinance until it is back", self.address)
        try:
            self.start_reconnecting()
        except RuntimeError:  # no running loop: the shell is shutting down
            pass

    async def close(self) -> None:
        self._closing = True
        if self._reconnecting is not None:
            self._reconnecting.cancel()
            await asyncio.gather(self._reconnecting, return_exceptions=True)
        self.ib.disconnect()
