"""
DualCache: an in-memory level in front of an SQLite database of entries, shared safely
by processes that use the same directory.
"""

from collections.abc import Callable, Iterator
import types
from typing import Any


class StoreError(OSError):
    pass

class DualCache:
    """
    A persistent store of Python values under text keys.

    Entries live in an SQLite database in the directory cachePrefix + name (created on
    first use), whose files take up to diskLimit bytes (least recently used entries go
    first), and, up to memoryLimit bytes, in memory: a memory hit returns the stored
    object itself, so treat what you get as read-only. When the disk cannot be used
    (read-only, full, failing, something in the way) the store keeps entries in memory,
    says so once, and tries the disk again every retryAfter seconds, writing back what
    memory kept; close() makes a last attempt.

    sharedUrl (redis://[user:password@]host:port/db; by default $VELTRAX_CACHE_URL, ""
    for none) adds a level behind the disk that many stores share: a miss of the local
    levels is read from it and kept locally, every write and removal goes to it too, and
    a local copy is answered only while the shared level holds the same value (or none).
    When it is away the store goes on with its local levels, says so once, tries it again
    after a back-off of up to retryAfter seconds, and then sends it what it missed (kept
    in the disk's database meanwhile, for any later store on the directory to send).
    """

    def __init__(self, name: str, cachePrefix: str = '', memoryLimit: object | None = None, diskLimit: object | None = None, retryAfter: object | None = None, sharedUrl: object | None = None) -> None: ...

    def __getitem__(self, key, /):
        """Return self[key]."""

    get: types.MethodDescriptorType = ...

    @property
    def directory(self) -> object:
        """The store's directory (a pathlib.Path)."""

    def __setitem__(self, key: object | None, value: object | None) -> None:
        """Store the value under the key, in every level."""

    def __delitem__(self, key: object | None) -> None:
        """Remove the key from every level; KeyError when none had it."""

    def __contains__(self, key: object | None) -> bool: ...

    def __len__(self) -> int: ...

    def __iter__(self) -> Iterator: ...

    def keys(self) -> list:
        """Every stored key, in key order (a list)."""

    def keys_with_prefix(self, prefix: object | None) -> list:
        """
        The stored keys that begin with prefix, in key order (a list).
        Its cost grows with the keys it returns, not with the whole store.
        """

    def local_keys(self) -> list:
        """
        The keys this machine's levels hold, in key order (a list); never asks the
        shared level, so it costs no round trip (for completion as a user types).
        """

    def prune(self, stale: Callable[[str, Any], object]) -> int:
        """
        Remove every entry for which stale(key, value) is true, from every level;
        entries only the shared level holds are read without being kept here.
        Returns how many went.
        """

    def stats(self) -> dict:
        """
        directory, entries, disk_bytes (what its files take: disk_data_bytes of the
        database, disk_log_bytes of its write-ahead log), disk_limit and disk (ok,
        read-only or unavailable) of the store; memory_entries, memory_bytes,
        memory_limit and memory_only (entries the disk has not got yet) of its memory
        level; shared (see the shared property).
        """

    @property
    def shared(self) -> object:
        """
        None without a shared level; else url (without credentials), state (ok
        or unavailable), unsent (writes and removals it is still to get),
        unsent_bytes (their values) and set_aside (changes it refused, kept on
        this machine only).
        """

    @property
    def memoryLimit(self) -> int:
        """
        Bytes the memory level may hold; the least recently used entries leave
        it first (they stay on disk). It bounds what one read makes too (at least
        256 MiB): a stored value that would make more is a miss, removed.
        """

    @memoryLimit.setter
    def memoryLimit(self, arg: int, /) -> None: ...

    @property
    def diskLimit(self) -> int:
        """
        Bytes the store's files may take, its write-ahead log included; past it,
        the least recently used entries are removed as the next entry is written.
        """

    @diskLimit.setter
    def diskLimit(self, arg: int, /) -> None: ...

    def close(self) -> None:
        """
        Write what only memory holds to the disk (one log line says what it could not),
        and release the database; later calls raise StoreError. Stores still open are
        closed as the interpreter exits.
        """

def check_cache_url(url: str) -> str:
    """
    The shared cache's address without credentials (redis://host:port/db); ValueError,
    saying what is wrong, when the URL cannot be used. The message never repeats the URL.
    """
