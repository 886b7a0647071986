"""yfinance as the shell runs it, configured when the library is first imported (never at shell start).

The kline command imports yfinance itself, on a worker thread, at its first
download; importing it earlier would cost every start of the shell. So the shell
registers `configure_yfinance` to run right after that import, and it sets:

- the library's cookie and time-zone caches into `$VELTRAX_DATA_DIR/yfinance`
  (by default they go under the user's home cache);
- `debug.hide_exceptions = False`: by default the library logs a failed
  download and returns an empty table, so a network error or an unknown symbol
  would be reported as "no data"; raised, the command logs the failure as one;
- in the demo, the session: the simulated chart service behind an in-process
  transport, so the demo never opens a network connection.
"""

from __future__ import annotations

import importlib.machinery
import sys
import threading
from collections.abc import Callable, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any

from veltrax.paths import data_dir

LIBRARY = "yfinance"
CACHE_FOLDER = "yfinance"


def configure_yfinance(yfinance: ModuleType, session: Any = None, cache_dir: Path | None = None) -> None:
    """Point the library's caches into `cache_dir` (by default the data directory's), make it raise
    its failures, and install `session`."""
    # The library makes the folder on first use, and does without its caches if it cannot.
    yfinance.cache.set_cache_location(str(cache_dir if cache_dir is not None else data_dir() / CACHE_FOLDER))
    yfinance.config.debug.hide_exceptions = False
    if session is not None:
        # The library keeps one process-wide data session; given one, every Ticker uses it.
        yfinance.data.YfData(session=session)


class _AfterImport:
    """A meta path finder that finds nothing itself: it wraps the real loader of one module so that
    `then(module)` runs once the module is executed. (Duck-typed: importlib.abc costs start-up time.)"""

    def __init__(self, name: str, then: Callable[[ModuleType], None]) -> None:
        self.name = name
        self.then = then
        self._loader: Any = None
        self._lock = threading.Lock()

    def find_spec(self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None) -> Any:
        if fullname != self.name or self._loader is not None:
            return None
        spec = importlib.machinery.PathFinder.find_spec(fullname, path)
        if spec is None or spec.loader is None:
            return None
        self._loader, spec.loader = spec.loader, self
        return spec

    def create_module(self, spec: importlib.machinery.ModuleSpec) -> ModuleType | None:
        return self._loader.create_module(spec)

    def exec_module(self, module: ModuleType) -> None:
        self._loader.exec_module(module)
        with self._lock:
            if self in sys.meta_path:
                sys.meta_path.remove(self)
        try:
            self.then(module)
        except Exception as error:  # the library still works, only not as configured
            from loguru import logger  # not at import: the shell registers this hook before its first prompt

            logger.warning("{} is not configured for the shell: {}", self.name, error)


def configure_on_first_import(session_factory: Callable[[], Any] | None = None, cache_dir: Path | None = None) -> None:
    """Run `configure_yfinance` when yfinance is imported (now, if it already is).

    `session_factory` makes the session to install, at that moment; None keeps the library's own.
    """

    def configure(yfinance: ModuleType) -> None:
        configure_yfinance(yfinance, session_factory() if session_factory is not None else None, cache_dir)

    loaded = sys.modules.get(LIBRARY)
    if loaded is not None:
        configure(loaded)
        return
    for finder in list(sys.meta_path):
        if isinstance(finder, _AfterImport) and finder.name == LIBRARY:
            sys.meta_path.remove(finder)
    sys.meta_path.insert(0, _AfterImport(LIBRARY, configure))


def exchange_zone(symbol: str) -> str | None:
    """The zone yfinance gives the symbol's bar times in, where this process's downloads told it
    (its time-zone cache); None before yfinance is loaded: a lookup never costs its import."""
    yfinance = sys.modules.get(LIBRARY)
    if yfinance is None:
        return None
    try:
        return yfinance.cache.get_tz_cache().lookup(symbol) or None
    except Exception:  # a stand-in without the cache, or a cache that cannot be read: not known
        return None
