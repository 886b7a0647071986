"""One machine of a benchmarked desk: `kline AAPL 1m 5` through the real command, asked every few
seconds of a clock that runs faster than the wall clock, its broker fetches counted.

    python -m bench.desk_machine DATA_DIR START SPEED SECONDS ASK_EVERY

START is the wall-clock time the desk's shared clock starts from (the same for every machine),
SPEED how many of its seconds pass in one of the wall clock's; the machine asks from START until
SECONDS of the desk's clock have passed, and prints how many times it asked the broker. The shared
cache is whatever VELTRAX_CACHE_URL names.
"""

from __future__ import annotations

import asyncio
import sys
import time

from loguru import logger

from bench.suite_fresh_path import ConnectedState, broker_bars, quiet_print
from veltrax.cmds.quotes import kline


class CountingBroker:
    def __init__(self) -> None:
        self.bars = broker_bars(5, intraday=True)
        self.fetches = 0

    async def reqHistoricalDataAsync(self, contract, **keywords):
        self.fetches += 1
        return self.bars


def main(data_dir: str, start: float, speed: float, seconds: float, ask_every: float) -> None:
    import os

    os.environ["VELTRAX_DATA_DIR"] = data_dir
    logger.remove()
    wall = time.time
    desk_clock = lambda: start + (wall() - start) * speed  # noqa: E731 - the cache reads time.time
    time.time = desk_clock
    kline.printFrame = quiet_print
    broker = CountingBroker()
    loop = asyncio.new_event_loop()
    while wall() < start:
        time.sleep(0.001)
    while desk_clock() - start < seconds:
        op = kline.IOpKline(state=ConnectedState(), ib=broker)
        op.symbol, op.rest = "AAPL", ["1m", "5"]
        result = loop.run_until_complete(op.run())
        assert len(result["bars"]) == 5, result
        time.sleep(ask_every / speed)
    print(broker.fetches)


if __name__ == "__main__":
    main(sys.argv[1], *map(float, sys.argv[2:]))
