"""The kline bar cache: keys, staleness per period, larger-count reuse."""

import collections.abc
import os
from typing import Any

import corbel.dualcache


STALE_AFTER: collections.abc.Mapping[str, int]

class KlineCache:
    """
    Bar lists of kline requests, kept in a DualCache store under
    <data dir>/cache-kline and aged per period.
    """

    def __init__(self, data_dir: str | os.PathLike[str] | None = None) -> None: ...

    @property
    def cache(self, /) -> corbel.dualcache.DualCache:
        """The DualCache that holds the entries."""

    @staticmethod
    def count_key(symbol: str, period: str, adjust: str, count: int) -> str:
        """SYMBOL:period:adjust:count_N"""

    @staticmethod
    def intraday_key(symbol: str) -> str:
        """SYMBOL:intraday:full, the symbol upper-cased"""

    @staticmethod
    def range_key(symbol: str, period: str, adjust: str, start: str, end: str) -> str:
        """SYMBOL:period:adjust:START_END"""

    def get(self, key: str) -> list[Any] | None:
        """The bars stored under the key, or None (a stale entry is deleted)."""

    def set(self, key: str, bars: list[Any]) -> None:
        """Store the bars under the key with the current time."""

    @staticmethod
    def _is_stale(entry: dict, key: str) -> bool: ...

    def try_larger_count(self, symbol: str, period: str, adjust: str, count: int) -> list[Any] | None:
        """The last `count` bars of the smallest cached larger count, or None."""

    def invalidate(self, symbol: str) -> int:
        """Remove every entry of the symbol; returns how many went."""
