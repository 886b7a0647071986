"""DualCache: an in-memory dict in front of an SQLite table of pickled entries."""

from __future__ import annotations

import pickle
import sqlite3
from pathlib import Path
from typing import Any, Iterator

_ABSENT = object()


class DualCache:
    """A persistent key-value store with a memory level.

    Entries live in `cachePrefix + name`/cache.db (created on first use) and
    in a dict that answers repeated reads; a memory hit returns the stored
    object itself.
    """

    def __init__(self, name: str, cachePrefix: str = "") -> None:
        self.directory = Path(cachePrefix + name)
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
            self._db = sqlite3.connect(self.directory / "cache.db", isolation_level=None)
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA busy_timeout=5000")
            self._db.execute(
                "CREATE TABLE IF NOT EXISTS entries (key TEXT PRIMARY KEY, value BLOB NOT NULL)"
            )
        except (OSError, sqlite3.Error) as error:
            raise OSError(f"cannot open the cache in {self.directory}: {error}") from error
        self._memory: dict[str, Any] = {}

    def get(self, key: str, default: Any = None) -> Any:
        if key in self._memory:
            return self._memory[key]
        row = self._db.execute("SELECT value FROM entries WHERE key = ?", (key,)).fetchone()
        if row is None:
            return default
        value = pickle.loads(row[0])
        self._memory[key] = value
        return value

    def __setitem__(self, key: str, value: Any) -> None:
        blob = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
        self._db.execute("INSERT OR REPLACE INTO entries (key, value) VALUES (?, ?)", (key, blob))
        self._memory[key] = value

    def __delitem__(self, key: str) -> None:
        in_memory = self._memory.pop(key, _ABSENT) is not _ABSENT
        deleted = self._db.execute("DELETE FROM entries WHERE key = ?", (key,)).rowcount
        if not deleted and not in_memory:
            raise KeyError(key)

    def __contains__(self, key: str) -> bool:
        return self.get(key) is not None

    def keys(self) -> list[str]:
        return [row[0] for row in self._db.execute("SELECT key FROM entries")]

    def __iter__(self) -> Iterator[str]:
        return iter(self.keys())

    def __len__(self) -> int:
        return self._db.execute("SELECT COUNT(*) FROM entries").fetchone()[0]
