"""The shell's connection to the broker gateway: a bounded first connect, reconnects after a drop."""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import Any

from loguru import logger

from veltrax.logs import terminal

CONNECT_TIMEOUT = 5.0
# Waits between reconnect attempts after the gateway went away.
RECONNECT_DELAYS = (1.0, 2.0, 5.0, 10.0, 30.0)


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


class GatewayConnection:
    """Keeps an ib_async IB connected to one gateway for the life of the shell.

    A gateway that does not answer, or drops later, leaves the shell working on the fallback;
    a background task keeps trying and the broker comes back by itself once the gateway does.
    """

    def __init__(self, address: GatewayAddress, ib: Any = None, connect_timeout: float = CONNECT_TIMEOUT,
                 reconnect_delays: tuple[float, ...] = RECONNECT_DELAYS) -> None:
        if ib is None:
            from ib_async import IB

            ib = IB()
        self.address = address
        self.ib = ib
        self.connect_timeout = connect_timeout
        self.reconnect_delays = reconnect_delays
        self._reconnecting: asyncio.Task | None = None
        self._closing = False
        ib.disconnectedEvent += self._on_disconnected

    @property
    def connected(self) -> bool:
        return bool(self.ib.isConnected())

    async def connect(self) -> bool:
        """One bounded attempt; False (and one warning line) when the gateway does not answer."""
        try:
            await asyncio.wait_for(
                self.ib.connectAsync(self.address.host, self.address.port, clientId=self.address.client_id,
                                     timeout=self.connect_timeout),
                self.connect_timeout + 1,
            )
        except Exception as error:  # every way a connect fails means the same to the user
            self.ib.disconnect()
            reason = str(error) or type(error).__name__
            terminal.warning("gateway {} did not answer ({}); using yfinance until it does", self.address, reason)
            return False
        logger.info("connected to gateway {}", self.address)
        return True

    def start_reconnecting(self) -> None:
        if self._reconnecting is None or self._reconnecting.done():
            self._reconnecting = asyncio.ensure_future(self._reconnect())

    async def _reconnect(self) -> None:
        attempt = 0
        while not self._closing and not self.connected:
            await asyncio.sleep(self.reconnect_delays[min(attempt, len(self.reconnect_delays) - 1)])
            attempt += 1
            try:
                await asyncio.wait_for(
                    self.ib.connectAsync(self.address.host, self.address.port, clientId=self.address.client_id,
                                         timeout=self.connect_timeout),
                    self.connect_timeout + 1,
                )
            except Exception as error:
                self.ib.disconnect()
                logger.info("gateway {} still away ({})", self.address, str(error) or type(error).__name__)
                continue
            terminal.warning("gateway {} is back", self.address)

    def _on_disconnected(self) -> None:
        if self._closing:
            return
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
