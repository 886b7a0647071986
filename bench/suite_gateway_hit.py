"""A cache hit of `kline AAPL day 5` with the real ib_async client on the gateway double (loopback),
with the shell's contract lookups remembered and without: the difference is the round trip."""

from __future__ import annotations

import asyncio
import io
import sys
import tempfile
from pathlib import Path

from corbel.frame import printFrame
from veltrax.cmds.quotes import kline
from veltrax.gateway.candle_store import KlineCache
from veltrax.state import ShellState

# The gateway double lives with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))


def run(report) -> None:
    from gateway_double import running_gateway
    from ib_async import IB

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    saved_printer, saved_store = kline.printFrame, kline._candle_store
    kline.printFrame = lambda table, title: printFrame(table, title, file=io.StringIO())
    ib = IB()
    try:
        with running_gateway() as gateway, tempfile.TemporaryDirectory() as directory:
            kline._candle_store = KlineCache(directory)
            loop.run_until_complete(ib.connectAsync("127.0.0.1", gateway.port, clientId=7, timeout=5))

            def hit(state: ShellState):
                def one_request():
                    op = kline.IOpKline(state=state, ib=ib)
                    op.symbol, op.rest = "AAPL", ["day", "5"]
                    return loop.run_until_complete(op.run())

                return one_request

            remembered, forgetful = ShellState(ib), ShellState(ib, remember_contracts=False)
            hit(remembered)()  # the one fetch; every later request is a cache hit
            report.compare("gateway-double cache hit, kline AAPL day 5", "contract looked up each time",
                           hit(forgetful), hit(remembered))
    finally:
        ib.disconnect()
        kline.printFrame, kline._candle_store = saved_printer, saved_store
        loop.close()
