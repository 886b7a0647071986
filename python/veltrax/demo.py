"""The simulated feed as the shell's demo and a library session both run it.

The broker is a simulated client, built on first use (a session that never asks for bars never
loads it); the downloader is the real yfinance talking to the simulated chart service in-process,
so the demo never opens a network connection. Its bars are generated, never market data, and
live apart: in FOLDER of the data directory, and under CACHE_NAMESPACE in a shared cache.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from veltrax.state import ShellState

FOLDER = "simulated"
CACHE_NAMESPACE = "simulated"
FEED_LABEL = "simulated feed"


def simulated_data_dir(data_dir: Path) -> Path:
    """Where the demo keeps its bar cache, so no session on the market is ever answered with its bars."""
    return data_dir / FOLDER


def simulated_state(fault: str | None = None) -> ShellState:
    """The shell state of the simulated broker; `fault` makes it misbehave: empty, error[=MESSAGE]
    or slow=SECONDS (ValueError for any other word, at once rather than at the first request)."""
    faults = None
    if fault:
        from veltrax.simfeed import FeedFaults

        faults = FeedFaults.parse(fault)

    def make_ib() -> Any:
        from veltrax.simfeed import SimulatedIB

        return SimulatedIB(faults=faults)

    return ShellState(make_ib=make_ib, feed_label=FEED_LABEL)


def simulated_downloader_session() -> Any:
    """yfinance's session for the demo: every request answered by the simulated chart service."""
    from veltrax.simfeed.transport import simulated_session

    return simulated_session()
