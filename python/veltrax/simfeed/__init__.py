"""A simulated broker feed: computed bars and a broker client stand-in, for the demo shell and the tests."""

from veltrax.simfeed.bars import BarSeries, RequestRefused, generate_bars
from veltrax.simfeed.client import Call, FeedFaults, SimulatedIB

__all__ = ["BarSeries", "Call", "FeedFaults", "RequestRefused", "SimulatedIB", "generate_bars"]
