"""Logging for the shell: everything to a rotating file, warnings and errors on the terminal."""

from __future__ import annotations

import logging
import sys
from pathlib import Path
from typing import TextIO

from loguru import logger

LOG_FILE = "veltrax.log"
FILE_FORMAT = "{time:YYYY-MM-DD HH:mm:ss.SSS} | {level: <7} | {message}"


class ToLoguru(logging.Handler):
    """Carries the standard-library logging of ib_async and yfinance into the log file."""

    def emit(self, record: logging.LogRecord) -> None:
        level = record.levelname if record.levelname in ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL") else "INFO"
        logger.bind(library=record.name).log(level, "{}: {}", record.name, record.getMessage())


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
