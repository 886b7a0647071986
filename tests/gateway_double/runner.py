"""Running the double beside the code under test: on a thread with its own event loop.

The client (ib_async, the shell, a subprocess) then talks to it over loopback exactly as it
would to a gateway in another process, and a test's own event loop stays its own.
"""

from __future__ import annotations

import asyncio
import contextlib
import threading
from collections.abc import Iterator
from typing import Any

from .server import GatewayDouble

# Starting and stopping are local socket work; anything slower is a hang.
CONTROL_TIMEOUT = 10


class ThreadedGateway:
    """A `GatewayDouble` served from a background thread; its other attributes pass through."""

    def __init__(self, double: GatewayDouble):
        self.double = double
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="gateway-double", daemon=True)
        self._thread.start()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.double, name)

    @property
    def address(self) -> str:
        return f"{self.double.host}:{self.double.port}"

    def _call(self, coroutine) -> Any:
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(CONTROL_TIMEOUT)

    def start(self) -> int:
        return self._call(self.double.start())

    def stop(self) -> None:
        self._call(self.double.stop())

    def restart(self) -> None:
        self.stop()
        self.start()

    def close(self) -> None:
        if self._thread.is_alive():
            self.stop()
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(CONTROL_TIMEOUT)
        self._loop.close()


@contextlib.contextmanager
def running_gateway(**options: Any) -> Iterator[ThreadedGateway]:
    """A started double on a free loopback port (options as for `GatewayDouble`), closed on exit."""
    gateway = ThreadedGateway(GatewayDouble(**options))
    try:
        gateway.start()
        yield gateway
    finally:
        gateway.close()
