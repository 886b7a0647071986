"""The simulated feed: generated bars behind a stand-in broker client, for the demo and the tests.

Nothing here is market data; the shell says so wherever it shows these bars.
"""

from __future__ import annotations

import os

from veltrax.simfeed.broker import Faults, SimulatedIB

LABEL = "simulated feed"

__all__ = ["LABEL", "Faults", "SimulatedIB", "faults_from", "demo_broker"]


def faults_from(text: str | None) -> Faults:
    """VELTRAX_DEMO_FAULT for demonstrations: "slow:SECONDS", "empty", "error" or "down"."""
    faults = Faults()
    if not text:
        return faults
    kind, _, value = text.partition(":")
    if kind == "slow":
        faults.delay = float(value or 5)
    elif kind == "empty":
        faults.empty = True
    elif kind == "error":
        faults.error = ConnectionResetError(value or "simulated gateway failure")
    elif kind != "down":
        raise ValueError(f"VELTRAX_DEMO_FAULT must be slow:SECONDS, empty, error or down (got {text!r})")
    return faults


def demo_broker() -> SimulatedIB:
    text = os.environ.get("VELTRAX_DEMO_FAULT")
    return SimulatedIB(faults=faults_from(text), connected=text != "down")
