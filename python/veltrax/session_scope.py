"""The work of library sessions, told apart from everything else in their process.

The kline command and the modules around it look their helpers up by name at each use: the bar
cache (`kline._get_cache`), the table printer (`kline.printFrame`), the logger (`kline.logger`, the
store's, the gateway connection's) and the store class (`candle_store.DualCache`). The shell owns
its process and sets those up once for all. Library sessions share a process with a notebook and
with each other, so while any is open each of those names holds a router: inside a session's
work (the context variable `current` holds its Scope, and asyncio tasks and worker threads inherit
it) the router answers for that session; everywhere else it is what it was. Lines that ib_async,
yfinance and the simulated feed log, and Python warnings, raised in a session's work go to the
session's log too, never to the notebook's screen. When the last session closes, every name is
given back.
"""

from __future__ import annotations

import contextvars
import importlib
import logging
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

from veltrax.answers import LoggedLine
from veltrax.logs import LOG_FILE, add_log_file, independent_logger

# The standard-library loggers of the libraries a session drives.
LIBRARY_LOGGERS = ("ib_async", "yfinance", "veltrax.simfeed")


@dataclass(eq=False)
class Scope:
    """What a session's work reaches: its bar cache and its log; for a request, the lines it logged
    (a failure's causes are read from them) and how many tables the command printed (a fetch prints
    one, a cache hit none). `notes` gathers the lines meant for the user."""

    cache: Any
    log: Any
    notes: list[str]
    lines: list[LoggedLine] | None = None
    tables: int = 0
    # The store's sharedUrl while the session's bar cache is made (None: the store's own default).
    shared_url: str | None = None

    def for_request(self) -> Scope:
        return Scope(self.cache, self.log, notes=[], lines=[])


current: contextvars.ContextVar[Scope | None] = contextvars.ContextVar("veltrax_session_scope", default=None)


# -- the sessions' log ---------------------------------------------------------------------------

# One logger for every session of the process; one file handler per log file, however many use it.
_log = independent_logger()
_log_files: dict[Path, list[int]] = {}  # path -> [handler id, sessions writing to it]
_lock = threading.Lock()


def _keep(message: Any) -> None:
    """Gathers a request's lines for its failure's causes, and the lines meant for the user."""
    scope = current.get()
    if scope is None:
        return
    record = message.record
    if scope.lines is not None:
        scope.lines.append(LoggedLine(record["level"].name, record["message"], record["extra"].get("library")))
    if record["extra"].get("terminal") and record["level"].no >= logging.WARNING:
        scope.notes.append(record["message"])


_log.add(_keep, level="INFO", format="{message}", catch=True)


def open_log(directory: Path) -> tuple[Path, Any]:
    """The log file <directory>/veltrax.log and a logger writing to it; OSError when it cannot be written."""
    path = (directory / LOG_FILE).absolute()
    with _lock:
        if path not in _log_files:
            handler = add_log_file(_log, directory, filter=lambda record: record["extra"].get("log_file") == path)
            _log_files[path] = [handler, 0]
        _log_files[path][1] += 1
    return path, _log.bind(log_file=path)


def close_log(path: Path) -> None:
    with _lock:
        held = _log_files[path]
        held[1] -= 1
        if held[1] == 0:
            del _log_files[path]
            _log.remove(held[0])


def unwritten_log() -> Any:
    """The sessions' logger without a file: lines still gathered for failures, written nowhere."""
    return _log


# -- routers -------------------------------------------------------------------------------------


class RoutedLogger:
    """Stands for a logger (`fallback`) in a module a session runs: inside a session's work its
    lines go to the session's log; `terminal` marks them as meant for the user, as the shell's
    terminal logger does."""

    def __init__(self, fallback: Any, terminal: bool = False) -> None:
        self._fallback = fallback
        self._terminal = terminal

    def __getattr__(self, name: str) -> Any:
        scope = current.get()
        if scope is None:
            return getattr(self._fallback, name)
        return getattr(scope.log.bind(terminal=True) if self._terminal else scope.log, name)


def _routed_cache(original: Callable[[], Any]) -> Callable[[], Any]:
    def _get_cache() -> Any:
        scope = current.get()
        return scope.cache if scope is not None and scope.cache is not None else original()

    return _get_cache


def _routed_printer(original: Callable[..., None]) -> Callable[..., None]:
    def printFrame(table: Any, title: str | None = None, **options: Any) -> None:  # noqa: N802 (the host's name)
        scope = current.get()
        if scope is None:
            original(table, title, **options)
        else:
            scope.tables += 1  # a session prints nothing; that the command printed tells a fetch from a hit

    return printFrame


def _routed_store(original: Callable[..., Any]) -> Callable[..., Any]:
    def DualCache(name: str, cachePrefix: str = "", **options: Any) -> Any:  # noqa: N802,N803 (the store's names)
        scope = current.get()
        if scope is not None and scope.shared_url is not None:
            options.setdefault("sharedUrl", scope.shared_url)
        return original(name, cachePrefix=cachePrefix, **options)

    return DualCache


def _show_warning(shown: Callable[..., None]) -> Callable[..., None]:
    """warnings.showwarning: a warning raised in a session's work goes to its log."""

    def showwarning(message: Any, category: type[Warning], filename: str, lineno: int, file: Any = None,
                    line: str | None = None) -> None:
        scope = current.get()
        if scope is None:
            shown(message, category, filename, lineno, file, line)
        else:
            scope.log.bind(library="warnings").warning("{}: {} ({}:{})", category.__name__, message, filename, lineno)

    return showwarning


# (module, name, the router made from what the name held)
ROUTES: tuple[tuple[str, str, Callable[[Any], Any]], ...] = (
    ("veltrax.cmds.quotes.kline", "_get_cache", _routed_cache),
    ("veltrax.cmds.quotes.kline", "printFrame", _routed_printer),
    ("veltrax.cmds.quotes.kline", "logger", RoutedLogger),
    ("veltrax.gateway.candle_store", "DualCache", _routed_store),
    # The store's warnings (a disk it cannot use) are for the user, as in the shell.
    ("corbel.dualcache", "logger", lambda original: RoutedLogger(original, terminal=True)),
    ("veltrax.gateway.connection", "logger", RoutedLogger),
    ("veltrax.gateway.connection", "terminal", lambda original: RoutedLogger(original, terminal=True)),
    ("warnings", "showwarning", _show_warning),
)


class LibraryLines(logging.Handler):
    """On the loggers of the libraries a session drives: their lines from a session's work go to
    its log. Lines from elsewhere go where they went before this handler was added: where no other
    handler takes them, to logging's last resort (standard error)."""

    def emit(self, record: logging.LogRecord) -> None:
        scope = current.get()
        if scope is not None:
            scope.log.bind(library=record.name).log(record.levelname, "{}: {}", record.name, record.getMessage())
        elif not self._taken_elsewhere(record) and logging.lastResort and record.levelno >= logging.lastResort.level:
            logging.lastResort.handle(record)

    def _taken_elsewhere(self, record: logging.LogRecord) -> bool:
        source: logging.Logger | None = logging.getLogger(record.name)
        while source is not None:
            if any(handler is not self for handler in source.handlers):
                return True
            source = source.parent if source.propagate else None
        return False


class _Routing:
    """The routers, in place while any session is open."""

    def __init__(self) -> None:
        self.sessions = 0
        self.placed: list[tuple[Any, str, Any, Any]] = []  # (module, name, original, router)
        self.handler = LibraryLines()

    def enter(self) -> None:
        with _lock:
            self.sessions += 1
            if self.sessions > 1:
                return
            for module_name, name, make in ROUTES:
                module = importlib.import_module(module_name)
                original = getattr(module, name)
                router = make(original)
                setattr(module, name, router)
                self.placed.append((module, name, original, router))
            for name in LIBRARY_LOGGERS:
                logging.getLogger(name).addHandler(self.handler)

    def leave(self) -> None:
        with _lock:
            self.sessions -= 1
            if self.sessions > 0:
                return
            for module, name, original, router in self.placed:
                if getattr(module, name) is router:  # else someone has put their own there since
                    setattr(module, name, original)
            self.placed.clear()
            for name in LIBRARY_LOGGERS:
                logging.getLogger(name).removeHandler(self.handler)


routing = _Routing()
