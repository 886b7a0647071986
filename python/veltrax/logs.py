"""Logging for the shell: every line to a rotating file; on the terminal only the shell's own.

The commands log their whole chain of events (a broker failure, the fallback, a failed download);
that chain stays in the file, and the shell sums a failed request up on the terminal in its own
words (see `veltrax.answers`).
"""

from __future__ import annotations

import contextlib
import logging
import re
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Iterator, TextIO

from loguru import logger

from veltrax.answers import LoggedLine

LOG_FILE = "veltrax.log"
FILE_FORMAT = "{time:YYYY-MM-DD HH:mm:ss.SSS} | {level: <7} | {message}"
# Log lines that are also meant for the person at the terminal (warnings and above show there).
terminal = logger.bind(terminal=True)


class ToLoguru(logging.Handler):
    """Carries the standard-library logging of ib_async and yfinance into the log file."""

    def emit(self, record: logging.LogRecord) -> None:
        level = record.levelname if record.levelname in ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL") else "INFO"
        logger.bind(library=record.name).log(level, "{}: {}", record.name, record.getMessage())


# requests' HTTP errors end in the whole address, query (and yfinance's crumb) included.
_FOR_URL = re.compile(r" for url: \S+")
# The query of an address (absolute, or a path after "url: " as urllib3 writes it).
_QUERY = re.compile(r"((?:https?://|url: /)[^\s?#'\"<>]*)[?#][^\s'\"<>)]*")
# Yahoo's session crumb and cookies, wherever else they turn up.
_SESSION_SECRET = re.compile(r"\b(crumb=)[^&;,\s'\"<>]+|\b((?:A1|A1S|A3|GUC)=)[^;,\s'\"<>]+")


def redact(text: str) -> str:
    """The text without the address of a failed request, query strings, session crumbs or cookies."""
    text = _FOR_URL.sub("", text)
    text = _QUERY.sub(r"\1", text)
    return _SESSION_SECRET.sub(lambda match: (match[1] or match[2]) + "<redacted>", text)


def redact_secrets(record: dict) -> None:
    """Loguru patcher: every line, on the terminal and in the file, goes through `redact`."""
    record["message"] = redact(record["message"])


def route_warnings_to_log() -> None:
    """Python warnings (yfinance's, pandas' on its behalf ...) go to the log file, once per kind, never to the terminal."""
    seen: set[tuple[type, str]] = set()
    lock = threading.Lock()

    def show(message: Any, category: type[Warning], filename: str, lineno: int, file: Any = None,
             line: str | None = None) -> None:
        kind = (category, str(message))
        with lock:
            if kind in seen:
                return
            seen.add(kind)
        logger.bind(library="warnings").warning("{}: {} ({}:{})", category.__name__, message, filename, lineno)

    warnings.showwarning = show


def for_the_terminal(record: dict) -> bool:
    return record["extra"].get("terminal", False)


def configure_logging(directory: Path, console: TextIO | None = None) -> Path | None:
    """Send info and above to <directory>/veltrax.log, and the shell's warnings to the console.

    Returns the log file, or None when the directory cannot take one (one line on the console
    says why). Text that cannot be encoded is written escaped, so a log line never fails.
    """
    def to_console(message: str) -> None:
        # Standard error as it is at the moment: while the prompt is shown, that is prompt_toolkit's
        # proxy, which prints above the line being typed instead of over it.
        stream = console if console is not None else sys.stderr
        stream.write(message)
        stream.flush()

    logger.remove()
    logger.configure(patcher=redact_secrets)
    route_warnings_to_log()
    logger.add(to_console, level="WARNING", format="<level>{level}</level>: {message}",
               colorize=(console if console is not None else sys.stderr).isatty(), filter=for_the_terminal)
    logging.basicConfig(handlers=[ToLoguru()], level=logging.INFO, force=True)
    show_the_stores_warnings()
    try:
        add_log_file(logger, directory)
    except OSError as error:
        terminal.warning("no log file in {}: {}", directory, error)
        return None
    return directory / LOG_FILE


def add_log_file(log: Any, directory: Path, **options: Any) -> int:
    """Add <directory>/veltrax.log to `log`'s handlers (info and above, rotated); its handler id.
    OSError when the directory cannot take one."""
    directory.mkdir(parents=True, exist_ok=True)
    return log.add(directory / LOG_FILE, level="INFO", format=FILE_FORMAT, rotation="5 MB", retention=3,
                   encoding="utf-8", errors="backslashreplace", **options)


def independent_logger() -> Any:
    """A loguru logger with handlers of its own, its lines redacted as the shell's are.

    loguru has one set of handlers per process, the stderr one among them until someone removes
    it; a library in a notebook's process writes to none of them (and they to none of its own).
    loguru offers no public way to make such a logger, so this makes one as loguru makes its own.
    """
    from loguru._logger import Core, Logger

    log = Logger(core=Core(), exception=None, depth=0, record=False, lazy=False, colors=False, raw=False,
                 capture=True, patchers=[], extra={})
    log.configure(patcher=redact_secrets)
    return log


def show_the_stores_warnings() -> None:
    """The bar store's warnings (a disk it cannot use, a damaged file set aside) are for the person
    at the terminal too: the store logs through its module's `logger`, looked up at each use."""
    import corbel.dualcache

    corbel.dualcache.logger = terminal


@contextlib.contextmanager
def lines_logged() -> Iterator[list[LoggedLine]]:
    """The lines logged (from any thread) while the block runs, the libraries' included."""
    lines: list[LoggedLine] = []
    started = time.monotonic()

    def keep(message) -> None:
        record = message.record
        lines.append(LoggedLine(record["level"].name, record["message"], record["extra"].get("library"),
                                time.monotonic() - started))

    handler = logger.add(keep, level="INFO", format="{message}", catch=True)
    try:
        yield lines
    finally:
        logger.remove(handler)
