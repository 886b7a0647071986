"""The client side of tests against the double: a real ib_async IB, connected and cleaned up."""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator
from typing import Any

from ib_async import IB


@contextlib.asynccontextmanager
async def connected_ib(port: int, client_id: int = 1, host: str = "127.0.0.1") -> AsyncIterator[IB]:
    """An IB connected to the double; startup requests must all be answered (raiseSyncErrors)."""
    ib = IB()
    await ib.connectAsync(host, port, clientId=client_id, timeout=5, raiseSyncErrors=True)
    try:
        yield ib
    finally:
        ib.disconnect()


def shorten_history_timeout(ib: IB, seconds: float) -> list[tuple[tuple, list[tuple[str, Any]]]]:
    """Replace this client's reqHistoricalDataAsync time-out by `seconds`; returns the calls as made.

    Only the number changes: ib_async's own time-out handling (cancel the request, answer
    an empty list) still runs. Each call is recorded as (positional args, keyword items in
    the caller's order), the time-out the caller asked for included.
    """
    calls: list[tuple[tuple, list[tuple[str, Any]]]] = []
    original = ib.reqHistoricalDataAsync

    async def request(*args: Any, **keywords: Any):
        calls.append((args, list(keywords.items())))
        return await original(*args, **{**keywords, "timeout": seconds})

    ib.reqHistoricalDataAsync = request
    return calls
