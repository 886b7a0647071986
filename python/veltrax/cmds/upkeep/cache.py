"""The cache command: what the bar cache holds, and removing what is no longer wanted."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from corbel.dispatch import DArg
from corbel.frame import terminal_width
from veltrax.cmds.base import IOp, command
from veltrax.contracts import cache_symbols, typed_symbol
from veltrax.output import fit_line

USAGE = "usage: cache | cache drop <symbol> | cache prune"
# Symbols named in the overview; the rest are counted.
SHOWN_SYMBOLS = 12
HOLDINGS_SEPARATOR = "; "


def entries(count: int, kind: str = "") -> str:
    """ "1 entry", "3 stale entries" """
    return f"{count:,} {kind + ' ' if kind else ''}entr{'y' if count == 1 else 'ies'}"


def human_bytes(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:,.0f} {unit}" if unit == "B" else f"{size:,.1f} {unit}"
        size /= 1024
    return f"{size} B"


def holdings(keys: Iterable[str], period_order: Sequence[str]) -> dict[str, list[str]]:
    """Symbol to the periods it has entries of, from the cache's keys (symbol and period, or
    "intraday", are their first two fields): symbols sorted, periods in the vocabulary's order."""
    rank = {period: n for n, period in enumerate([*period_order, "intraday"])}
    held: dict[str, set[str]] = {}
    for key in keys:
        symbol, _, rest = key.partition(":")
        period = rest.partition(":")[0]
        if symbol and period:
            held.setdefault(symbol, set()).add(period)
    return {symbol: sorted(held[symbol], key=lambda period: (rank.get(period, len(rank)), period))
            for symbol in sorted(held)}


def holdings_line(held: dict[str, list[str]]) -> str:
    """ "AAPL: day, 5m; MSFT: 1h", the first SHOWN_SYMBOLS of them and a count of the rest """
    line = HOLDINGS_SEPARATOR.join(f"{symbol}: {', '.join(periods)}"
                                   for symbol, periods in list(held.items())[:SHOWN_SYMBOLS])
    more = len(held) - SHOWN_SYMBOLS
    return line + (f"; and {more:,} more symbols" if more > 0 else "")


def shared_line(shared: dict[str, Any]) -> str:
    """ "shared: redis://cache.desk:6379/0, ok"; what it is still to get, and what it refused """
    line = f"shared: {shared['url']}, {shared['state']}"
    unsent = f"{shared['unsent']:,} change{'' if shared['unsent'] == 1 else 's'} to send it" + (
        f" ({human_bytes(shared['unsent_bytes'])})" if shared["unsent_bytes"] else "")
    notes = []
    if shared["unsent"]:
        notes.append(unsent + (" when it is back" if shared["state"] != "ok" else ""))
    if shared["set_aside"]:
        notes.append(f"{shared['set_aside']:,} it refused, kept on this machine only (see the log)")
    if shared["state"] != "ok":
        notes.append("the counts above are this machine's")
    return line + (f" ({'; '.join(notes)})" if notes else "")


@command(names=["cache"])
@dataclass
class IOpCache(IOp):
    """Show or tidy the bar cache.

    cache                  what the bar cache holds, its bounds and their use
    cache drop <symbol>    remove every entry of one symbol
    cache prune            remove the entries that have gone stale
    """

    words: list[str] = field(init=False)
    requires_gateway = False

    def argmap(self) -> list[DArg]:
        return [DArg("*words")]

    async def run(self) -> dict[str, Any]:
        from veltrax.cmds.quotes import kline

        cache = kline._get_cache()
        words = self.words
        if not words or words == ["stats"]:
            return self.overview(cache, kline.PERIOD_MAP)
        if words[0] == "drop" and len(words) == 2:
            symbol = typed_symbol(words[1])
            # Every name the cache may hold the symbol's entries under (a future's root and "/ES").
            removed = sum(cache.invalidate(name) for name in cache_symbols(symbol))
            print(f"removed {entries(removed)} of {symbol}")
            shared = cache.cache.shared
            if shared is not None and shared["state"] != "ok":
                print(f"  the shared cache {shared['url']} cannot be reached: entries of {symbol} that only it holds stay")
            return {"symbol": symbol, "removed": removed}
        if words == ["prune"]:
            # Judged as a read would judge them; the desk's entries are read, not copied here.
            removed = cache.cache.prune(lambda key, entry: type(cache)._is_stale(entry, key))
            print(f"removed {entries(removed, 'stale')}")
            return {"removed": removed}
        return {"error": USAGE}

    @staticmethod
    def overview(cache: Any, period_order: Sequence[str]) -> dict[str, Any]:
        store = cache.cache
        figures = store.stats()
        figures["holdings"] = holdings(store.keys(), list(period_order))
        disk = f"disk {human_bytes(figures['disk_bytes'])} of {human_bytes(figures['disk_limit'])}"
        details = []
        if figures["disk_bytes"]:
            details.append(f"database {human_bytes(figures['disk_data_bytes'])}, "
                           f"log {human_bytes(figures['disk_log_bytes'])}")
        if figures["disk"] != "ok":
            details.append(f"{figures['disk']}: {entries(figures['memory_only'])} only in memory")
        if details:
            disk += f" ({'; '.join(details)})"
        say(f"bar cache: {entries(figures['entries'])} in {figures['directory']}")
        say(f"  {disk}; memory {human_bytes(figures['memory_bytes'])} of {human_bytes(figures['memory_limit'])}"
            f" ({entries(figures['memory_entries'])})")
        if figures["shared"] is not None:
            say(f"  {shared_line(figures['shared'])}")
        if figures["holdings"]:
            say(f"  {holdings_line(figures['holdings'])}", separator=HOLDINGS_SEPARATOR)
        return figures


def say(line: str, separator: str = " · ") -> None:
    """A line of the overview; on a terminal, broken between its parts rather than wrapped by it."""
    width = terminal_width(sys.stdout)
    print(line if width is None else fit_line(line, width, separator))
