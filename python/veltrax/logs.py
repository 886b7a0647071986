"""Logging for the shell: everything to a rotating file, warnings and errors on the terminal."""

from __future__ import annotations

import logging
import re
import sys
import threading
import warnings
from pathlib import Path
from typing import Any, TextIO

from loguru import logger

LOG_FILE = "veltrax.log"
FILE_FORMAT = "{time:YYYY-MM-DD HH:mm:ss.SSS} | {level: <7} | {message}"


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


def ours(record: dict) -> bool:
    """Lines of the shell and its commands; the libraries' own chatter stays in the file."""
    return "library" not in record["extra"]


def configure_logging(directory: Path, console: TextIO | None = None) -> Path | None:
    """Send info and above to <directory>/veltrax.log and warnings and above to the console.

    Returns the log file, or None when the directory cannot take one (the console still gets
    warnings, and one line says why the file is missing).
    """
    console = console if console is not None else sys.stderr
    logger.remove()
    logger.configure(patcher=redact_secrets)
    route_warnings_to_log()
    logger.add(console, level="WARNING", format="<level>{level}</level>: {message}", colorize=console.isatty(),
               filter=ours)
    logging.basicConfig(handlers=[ToLoguru()], level=logging.INFO, force=True)
    path = directory / LOG_FILE
    try:
        directory.mkdir(parents=True, exist_ok=True)
        logger.add(path, level="INFO", format=FILE_FORMAT, rotation="5 MB", retention=3, encoding="utf-8")
    except OSError as error:
        logger.warning("no log file in {}: {}", directory, error)
        return None
    return path
