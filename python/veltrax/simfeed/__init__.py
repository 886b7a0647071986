"""A simulated broker feed: computed bars and a broker client stand-in, for the demo shell and the tests."""

from veltrax.simfeed.bars import BarSeries, RequestRefused, generate_bars

__all__ = ["BarSeries", "RequestRefused", "generate_bars"]
