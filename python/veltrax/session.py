"""The library face: the kline command for notebooks and scripts, answering with pandas DataFrames.

A Session runs the shell's command, bar cache and sources; it prints nothing, logs to the shell's
log file, tells its notes as Python warnings (KlineWarning) and a failed request as one exception
(KlineError). Its requests run on an event loop of its own, on a thread of its own, so a plain call
works inside a running loop (a notebook cell), `kline_async` awaits on the caller's loop, and
threads may share a session.
"""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures
import datetime as dt
import numbers
import os
import sys
import threading
import warnings
import weakref
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Coroutine

import pandas as pd

from corbel.dispatch import fill_arguments
from veltrax import answers, paths
from veltrax import demo as simulated_feed
from veltrax.cmds.quotes import kline as command
from veltrax.dataframes import bar_frame
from veltrax.downloader import CACHE_FOLDER, LIBRARY, configure_on_first_import
from veltrax.reading import read_kline_words
from veltrax.session_scope import Scope, close_log, current, open_log, routing, unwritten_log
from veltrax.shell import input_problem
from veltrax.state import ShellState

GATEWAY_VARIABLE = "VELTRAX_GATEWAY"
CACHE_URL_VARIABLE = "VELTRAX_CACHE_URL"
CACHE_NAMESPACE_VARIABLE = "VELTRAX_CACHE_NAMESPACE"


class KlineError(Exception):
    """A kline request that failed.

    The message is the shell's: what failed, and on a second line why, where the sources told it
    (`kline ZZAA: No data returned` / `the broker does not list ZZAA; yfinance has no data for it`).
    `result` is the command's answer (a dict with "error"), or None where the request raised
    instead of answering; the whole chain of events is in the log file.
    """

    def __init__(self, message: str, result: dict[str, Any] | None = None) -> None:
        super().__init__(message)
        self.result = result

    __module__ = "veltrax"  # its public name, in tracebacks and help()


class KlineWarning(UserWarning):
    """A note on a kline request: words the command reads otherwise than they look (`5min` is no
    period word), the broker's failure that yfinance then answered, the gateway or the bar cache
    going away. The request still ran; `warnings.simplefilter("ignore", KlineWarning)` silences them."""

    __module__ = "veltrax"


class Session:
    """The kline command of the veltrax shell, for notebooks and scripts.

        with veltrax.Session(demo=True) as s:
            df = s.kline("AAPL", "5m", 200, "adj")       # the latest 200 five-minute bars, adjusted
            df = s.kline("AAPL", date(2025, 1, 1), date(2025, 6, 1), "day")   # a date range
            df = s.kline("AAPL", "intraday")             # today's one-minute bars
            df = await s.kline_async("AAPL", "day", 5)  # awaited on your running loop

    Each answer is a DataFrame, one row per bar, indexed by `date` (intraday bar times are aware of
    the exchange's zone where the broker names it), with the columns open, high, low, close, volume,
    average and barCount. Its `attrs` say what it is: symbol, period, adjust, source ("ibkr",
    "yfinance", or "cache" for a cache hit), cached, count (the count asked for, where there was
    one), start and end (of a date range), simulated.

    Arguments (each optional; without them the session is the shell's, with its environment):
      demo        the simulated market on both paths, offline; generated bars, never market data,
                  kept apart in <data_dir>/simulated and never shared.
      demo_fault  with demo: make the simulated broker fail: "empty", "error[=MESSAGE]" or
                  "slow=SECONDS" (to see the fallback, or a request cancelled).
      gateway     "HOST:PORT" of an IB Gateway or TWS (default $VELTRAX_GATEWAY; "" for none:
                  every request is answered by yfinance). A gateway that does not answer within a
                  few seconds is a KlineWarning, and the session answers from yfinance while it
                  keeps reconnecting.
      client_id   the API client id at the gateway (one the shell on the same gateway does not use).
      data_dir    where the bar cache and the log live (default $VELTRAX_DATA_DIR, else ~/.veltrax),
                  the shell's too: what one fetched, the other answers from the cache.
      cache_url   the desk's shared bar cache, redis://[user:password@]host:port/db (default
                  $VELTRAX_CACHE_URL; "" for none).

    Nothing is printed: the log goes to <data_dir>/veltrax.log; notes are KlineWarnings; a failed
    request raises KlineError. Cancelling the task that awaits `kline_async` (or interrupting a
    plain call) cancels the request. yfinance keeps one session per process, so a demo session and
    a session on the market cannot share a process (the second says so); while a session is open,
    yfinance keeps its caches in the data directory and raises its failures.

    `close()`, or leaving the `with`, disconnects the gateway and closes the bar cache.
    `data_dir` is where the session's bar cache lives (<data_dir>/simulated for a demo).
    """

    __module__ = "veltrax"

    def __init__(self, *, demo: bool = False, gateway: str | None = None, client_id: int = 1,
                 data_dir: str | os.PathLike[str] | None = None, cache_url: str | None = None,
                 demo_fault: str | None = None) -> None:
        base = (Path(data_dir).expanduser() if data_dir is not None else paths.data_dir()).absolute()
        address = _gateway_address(demo, gateway, client_id, cache_url, demo_fault)
        # A bad fault word fails here, before anything opens.
        state = simulated_feed.simulated_state(demo_fault) if demo else None
        self.demo = demo
        self.data_dir = simulated_feed.simulated_data_dir(base) if demo else base
        self._closed = True  # until everything below is open
        self._closing = threading.Lock()
        _claim_downloader(demo, self.data_dir / CACHE_FOLDER)
        self._pending: list[str] = []  # notes of the session's background work, told with the next call
        self._requests: set[asyncio.Task[Any]] = set()
        routing.enter()
        self._log_file: Path | None = None
        self._store_key: tuple[Any, ...] | None = None
        self._loop: _LoopThread | None = None
        try:
            self._log_file, log = _open_log(base, self._pending)
            store = _store_key(self.data_dir, demo, cache_url)
            # Without cache_url the store reads the environment's (one that cannot be used is a note).
            self._scope = Scope(None, log, self._pending, shared_url="" if demo else cache_url)
            self._scope.cache = _stores.acquire(store, self._scope)
            self._store_key = store
            self._loop = _LoopThread(f"veltrax-session-{id(self):x}")
            self._gateway = self._loop.run(self._in_scope(_connect(address))) if address is not None else None
            self._state = state or ShellState(self._gateway.ib if self._gateway is not None else None,
                                              gateway=self._gateway)
        except BaseException:
            self._release()
            raise
        self._closed = False
        _open_sessions.add(self)
        self._tell(self._take_pending(), stacklevel=2)

    # -- requests ---------------------------------------------------------------------------------

    def kline(self, symbol: str, *words: str | int | dt.date) -> pd.DataFrame:
        """The bars of `kline SYMBOL WORDS...` as a DataFrame: the command's words after the symbol,
        as the shell takes them (ints and dates welcome). Works inside a running event loop too.

            s.kline("AAPL")                          # the latest 250 daily bars
            s.kline("AAPL", "5m", 200, "adj")        # period, count, adjustment
            s.kline("AAPL", date(2025, 1, 1), "day") # from a date to today
            s.kline("AAPL", "intraday")              # today's one-minute bars

        Raises KlineError when the request fails; notes are KlineWarnings.
        """
        return self._fetch(symbol, words)

    async def kline_async(self, symbol: str, *words: str | int | dt.date) -> pd.DataFrame:
        """`kline` awaited on the caller's running loop, which goes on meanwhile (the request runs
        on the session's loop, where its gateway connection lives). Cancelling the awaiting task
        cancels the request."""
        return await self._fetch_async(symbol, words)

    # Warnings name the line that called kline or kline_async (here or at module level): from
    # _prepare and _answer, it is four frames up.
    def _fetch(self, symbol: Any, words: tuple[Any, ...]) -> pd.DataFrame:
        request = self._prepare(symbol, words)
        if threading.current_thread() is self._loop.thread:
            raise RuntimeError("kline() was called on the session's own loop: await kline_async() there")
        future = self._loop.submit(self._run(request))
        try:
            outcome = future.result()
        except BaseException:  # an interrupt (Ctrl-C, the notebook's stop button): the request goes too
            future.cancel()
            raise
        return self._answer(request, outcome)

    async def _fetch_async(self, symbol: Any, words: tuple[Any, ...]) -> pd.DataFrame:
        request = self._prepare(symbol, words)
        outcome = await asyncio.wrap_future(self._loop.submit(self._run(request)))
        return self._answer(request, outcome)

    def _prepare(self, symbol: Any, words: tuple[Any, ...]) -> _Request:
        if self._closed:
            raise RuntimeError("this veltrax session is closed: open a new one")
        typed = command_words(symbol, words)
        if not typed:
            raise ValueError(f"kline needs a symbol, as in kline(\"AAPL\", \"day\", 5) (got {symbol!r})")
        reading = read_kline_words(typed[1:], command)
        self._tell([*self._take_pending(), *reading.notices], stacklevel=4)
        return _Request(typed, reading.form, reading.requested, reading)

    async def _run(self, request: _Request) -> _Outcome:
        scope = self._scope.for_request()
        current.set(scope)  # this task's own context: its work, and only its, answers for this session
        task = asyncio.current_task()
        self._requests.add(task)
        try:
            op = command.IOpKline(state=self._state, ib=self._state.ib)
            fill_arguments(op, "kline", request.words)
            try:
                return _Outcome(await op.run(), None, scope)
            except Exception as error:  # told as the shell tells it, never as a traceback of the command
                return _Outcome(None, error, scope)
        finally:
            self._requests.discard(task)

    def _answer(self, request: _Request, outcome: _Outcome) -> pd.DataFrame:
        scope, result = outcome.scope, outcome.result
        what = f"kline {request.symbol}"
        away = [why] if (why := self._state.broker_away()) else []
        if outcome.error is not None:
            error = str(outcome.error) or type(outcome.error).__name__
            raise KlineError("\n".join(answers.failure_lines(what, error, scope.lines, known_causes=away)),
                             None) from None
        # What yfinance's bars lack is in the frame's attrs ("source"), not a warning on every answer.
        notes = answers.answer_notes(result, request.reading, request.symbol, caveats=False)
        if "error" in result:
            self._tell(notes, stacklevel=4)
            raise KlineError("\n".join(answers.error_result_lines(what, result, scope.lines, away)), result)
        source = answers.source_of(result, fresh=scope.tables > 0)
        notes = [*scope.notes, *self._take_pending(), *notes]
        if source == "yfinance" and (note := answers.fallback_note(scope.lines)):
            notes.append(note.removeprefix("note: "))
        self._tell(notes, stacklevel=4)
        intraday = request.form == "intraday" or result.get("period") in command._INTRADAY_PERIODS
        # yfinance's bars are in yfinance's zone for its ticker, which may not be the broker's (a future's).
        downloaded_as = result.get("symbol") if answers.downloaded(result["bars"]) else None
        table = bar_frame(result["bars"], self._state.zone_of(request.symbol, downloaded_as) if intraday else None)
        table.attrs.update(_attributes(result, request, source, self.demo))
        return table

    # -- life ---------------------------------------------------------------------------------------

    def close(self) -> None:
        """Cancel what still runs, disconnect the gateway, close the bar cache. Idempotent."""
        with self._closing:
            if self._closed:
                return
            self._closed = True
        _open_sessions.discard(self)
        self._loop.run(self._in_scope(self._shut_down()))
        self._release()

    async def _shut_down(self) -> None:
        for task in list(self._requests):
            task.cancel()
        await asyncio.gather(*self._requests, return_exceptions=True)
        if self._gateway is not None:
            await self._gateway.close()

    def _release(self) -> None:
        if self._loop is not None:
            self._loop.stop()
        if self._store_key is not None:
            _stores.release(self._store_key)
        if self._log_file is not None:
            close_log(self._log_file)
        routing.leave()

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        """True once the session is closed (its requests then raise RuntimeError)."""
        return self._closed

    def __repr__(self) -> str:
        feed = "simulated feed" if self.demo else f"gateway {self._gateway.address}" if self._gateway else "yfinance"
        return f"<veltrax.Session {feed}, data in {self.data_dir}{', closed' if self._closed else ''}>"

    # -- helpers ------------------------------------------------------------------------------------

    async def _in_scope(self, work: Coroutine[Any, Any, Any]) -> Any:
        current.set(self._scope)  # the session's background work (the gateway's lines) is its own too
        return await work

    def _take_pending(self) -> list[str]:
        taken = self._pending[:]
        del self._pending[: len(taken)]
        return taken

    @staticmethod
    def _tell(notes: list[str], stacklevel: int) -> None:
        """Each note once, as a KlineWarning naming the line `stacklevel` frames up from the caller."""
        for note in dict.fromkeys(notes):
            warnings.warn(note, KlineWarning, stacklevel=stacklevel + 1)


def command_words(symbol: Any, words: tuple[Any, ...]) -> list[str]:
    """The words of `kline SYMBOL WORDS...`: texts as typed (split at blanks, as the shell splits
    a line), whole numbers in decimal, dates as YYYY-MM-DD."""
    typed: list[str] = []
    for value in (symbol, *words):
        if isinstance(value, dt.datetime):
            raise TypeError(f"kline takes dates, not date-times: it reads whole days (got {value!r}); pass .date()")
        if isinstance(value, dt.date):
            text = value.isoformat()
        elif isinstance(value, numbers.Integral) and not isinstance(value, bool):
            text = str(int(value))
        elif isinstance(value, str):
            text = value
        else:
            raise TypeError(f"kline takes words, whole numbers and dates (got {type(value).__name__} {value!r})")
        if (problem := input_problem(text)) is not None:
            raise ValueError(f"{problem} in {text!r}; nothing was run")
        typed.extend(text.split())
    return typed


@dataclass(frozen=True)
class _Request:
    words: list[str]
    form: str
    requested: int | None
    reading: Any  # the words as the command reads them (veltrax.reading.Reading)

    @property
    def symbol(self) -> str:
        return self.words[0].upper()


@dataclass(frozen=True)
class _Outcome:
    result: Any
    error: Exception | None
    scope: Scope


def _attributes(result: dict[str, Any], request: _Request, source: str, simulated: bool) -> dict[str, Any]:
    attributes = {"symbol": result["symbol"], "period": result.get("period", "intraday"),
                  "adjust": result.get("adjust", "none"), "source": source, "cached": source == answers.CACHE}
    if request.requested is not None:
        attributes["count"] = request.requested
    if "start" in result:
        attributes["start"], attributes["end"] = result["start"], result["end"]
    attributes["simulated"] = simulated
    return attributes


class _LoopThread:
    """An event loop running on a daemon thread of its own."""

    def __init__(self, name: str) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name=name, daemon=True)
        self.thread.start()

    def submit(self, work: Coroutine[Any, Any, Any]) -> concurrent.futures.Future[Any]:
        return asyncio.run_coroutine_threadsafe(work, self.loop)

    def run(self, work: Coroutine[Any, Any, Any]) -> Any:
        future = self.submit(work)
        try:
            return future.result()
        except BaseException:
            future.cancel()
            raise

    def stop(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


# -- what sessions of one process share ---------------------------------------------------------


class _Stores:
    """The bar caches of open sessions: one per store (directory, shared level, namespace), which
    the sessions naming it share; closed with the last of them."""

    def __init__(self) -> None:
        self._held: dict[tuple[Any, ...], list[Any]] = {}  # key -> [KlineCache, sessions]
        self._lock = threading.Lock()

    def acquire(self, key: tuple[Any, ...], scope: Scope) -> Any:
        from veltrax.gateway.candle_store import KlineCache

        with self._lock:
            if key not in self._held:
                token = current.set(scope)  # the store is made with the session's shared level
                try:
                    self._held[key] = [KlineCache(key[0]), 0]
                finally:
                    current.reset(token)
            self._held[key][1] += 1
            return self._held[key][0]

    def release(self, key: tuple[Any, ...]) -> None:
        with self._lock:
            held = self._held[key]
            held[1] -= 1
            if held[1] == 0:
                del self._held[key]
                held[0].cache.close()


_stores = _Stores()
_open_sessions: weakref.WeakSet[Session] = weakref.WeakSet()
_downloader_feed: str | None = None  # what yfinance talks to in this process, once a session set it up
_downloader_lock = threading.Lock()


def _store_key(directory: Path, demo: bool, cache_url: str | None) -> tuple[Any, ...]:
    """(directory, sharedUrl, namespace) of a session's store. The demo's bars are never shared:
    a shared level keeps them apart only by a namespace the store reads from the environment."""
    if demo:
        return str(directory), "", ""
    url = cache_url if cache_url is not None else os.environ.get(CACHE_URL_VARIABLE, "")
    return str(directory), url, os.environ.get(CACHE_NAMESPACE_VARIABLE, "")


def _gateway_address(demo: bool, gateway: str | None, client_id: int, cache_url: str | None,
                     demo_fault: str | None) -> Any:
    if demo:
        if gateway:
            raise ValueError("a demo session has its simulated broker: gateway= is for sessions on the market")
        if cache_url:
            raise ValueError("a demo session keeps its simulated bars on this machine: cache_url= is for "
                             "sessions on the market")
        return None
    if demo_fault is not None:
        raise ValueError("demo_fault= needs demo=True")
    text = os.environ.get(GATEWAY_VARIABLE, "") if gateway is None else gateway
    if not text:
        return None
    from veltrax.gateway.connection import GatewayAddress

    return GatewayAddress.parse(text, client_id)


def _claim_downloader(simulated: bool, cache_dir: Path) -> None:
    """Set this process's yfinance up for the session's feed; RuntimeError when an earlier session
    set it up for the other (yfinance keeps one session per process)."""
    global _downloader_feed
    feed = "the simulated chart service" if simulated else "Yahoo"
    with _downloader_lock:
        if _downloader_feed is None:
            in_use = LIBRARY in sys.modules
            configure_on_first_import(simulated_feed.simulated_downloader_session if simulated else None, cache_dir)
            _downloader_feed = feed
            if simulated and in_use:
                warnings.warn("yfinance in this process now talks to the simulated chart service (it keeps one "
                              "session per process): your own yfinance calls here get simulated bars too",
                              KlineWarning, stacklevel=3)
        elif _downloader_feed != feed:
            raise RuntimeError(f"yfinance keeps one session per process, and in this one it talks to "
                               f"{_downloader_feed} for an earlier session: open this session in another "
                               f"process (in a notebook, restart the kernel)")


def _open_log(directory: Path, notes: list[str]) -> tuple[Path | None, Any]:
    try:
        return open_log(directory)
    except OSError as error:
        notes.append(f"no log file in {directory}: {error}")
        return None, unwritten_log()


async def _connect(address: Any) -> Any:
    from veltrax.gateway.connection import GatewayConnection

    connection = GatewayConnection(address, client_id_option="client_id={}")
    if not await connection.connect():
        connection.start_reconnecting()
    return connection


# -- the module's own session ---------------------------------------------------------------------

_default: list[Session] = []
_default_lock = threading.Lock()


def default_session() -> Session:
    """The session of `veltrax.kline`: Session() made on first use, closed as the process exits."""
    with _default_lock:
        if not _default or _default[0].closed:
            _default[:] = [Session()]
        return _default[0]


def kline(symbol: str, *words: str | int | dt.date) -> pd.DataFrame:
    """Session.kline on the default session (the shell's data directory, gateway and cache)."""
    return default_session()._fetch(symbol, words)


async def kline_async(symbol: str, *words: str | int | dt.date) -> pd.DataFrame:
    """Session.kline_async on the default session."""
    return await default_session()._fetch_async(symbol, words)


@atexit.register
def _close_open_sessions() -> None:
    for session in list(_open_sessions):
        session.close()
