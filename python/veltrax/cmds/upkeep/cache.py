"""The cache command: what the bar cache holds, and removing what is no longer wanted."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from corbel.dispatch import DArg
from veltrax.cmds.base import IOp, command

USAGE = "usage: cache | cache drop <symbol> | cache prune"


def bytes_on_disk(directory: Path) -> int:
    return sum(p.stat().st_size for p in directory.rglob("*") if p.is_file())


def entries(count: int, kind: str = "") -> str:
    """ "1 entry", "3 stale entries" """
    return f"{count:,} {kind + ' ' if kind else ''}entr{'y' if count == 1 else 'ies'}"


def human_bytes(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:,.0f} {unit}" if unit == "B" else f"{size:,.1f} {unit}"
        size /= 1024
    return f"{size} B"


@command(names=["cache"])
@dataclass
class IOpCache(IOp):
    """Show or tidy the bar cache.

    cache                  entries and bytes the bar cache holds
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
            return self.stats(cache)
        if words[0] == "drop" and len(words) == 2:
            symbol = words[1].upper()
            removed = cache.invalidate(symbol)
            print(f"removed {entries(removed)} of {symbol}")
            return {"symbol": symbol, "removed": removed}
        if words == ["prune"]:
            before = set(cache.cache.keys())
            for key in before:
                cache.get(key)  # a stale entry is deleted as it is read
            removed = len(before - set(cache.cache.keys()))
            print(f"removed {entries(removed, 'stale')}")
            return {"removed": removed}
        return {"error": USAGE}

    @staticmethod
    def stats(cache: Any) -> dict[str, Any]:
        store = cache.cache
        if hasattr(store, "stats"):
            figures = store.stats()
        else:  # a store without figures of its own: count and measure its files
            directory = Path(store.directory)
            figures = {"directory": str(directory), "entries": len(list(store.keys())),
                       "disk_bytes": bytes_on_disk(directory) if directory.exists() else 0}
        line = (f"bar cache: {entries(figures['entries'])}, {human_bytes(figures['disk_bytes'])} on disk"
                f" in {figures['directory']}")
        if "memory_entries" in figures:
            line += (f"; {figures['memory_entries']:,} in memory ({human_bytes(figures['memory_bytes'])}"
                     f" of {human_bytes(figures['memory_limit'])})")
        print(line)
        return figures
