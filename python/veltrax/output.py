"""Where the shell's output goes: a closed pipe ends it quietly, a running request shows that it
runs, and bars leave the shell as CSV or JSON."""

from __future__ import annotations

import asyncio
import contextlib
import io
import os
import sys
import textwrap
import time
from pathlib import Path
from typing import Any, Iterator, TextIO

from corbel.frame import clipped, display_width, terminal_width

# Exit status when the reader of our output went away: what a shell reports for a tool that
# SIGPIPE ended (128 + 13), as `yes | head -1` does.
EXIT_OUTPUT_CLOSED = 141
# Bar formats the shell writes, by name and file suffix. Parquet is left out on purpose: it would
# need pyarrow, over a hundred megabytes, for what CSV and JSON already carry.
BAR_FORMATS = ("csv", "json")
# The fields of a bar record, the header of a CSV without bars.
BAR_FIELDS = ("date", "open", "high", "low", "close", "volume", "average", "barCount")
SPINNER_AFTER = 0.5
SPINNER_FRAMES = "⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏"
SPINNER_TICK = 0.1
SEPARATOR = " · "
CONTINUATION = "  "


class OutputClosed(BaseException):
    """The reader of our output went away (`veltrax ... | head`).

    A BaseException on purpose: commands absorb ordinary exceptions as failures of the source
    they asked (and then ask another), while this one must end the run at once.
    """


class CommandOutput(io.TextIOBase):
    """Standard output while a command runs: counts what the command writes, erases the spinner
    line before the first of it, and turns a closed pipe into `OutputClosed`."""

    def __init__(self, target: TextIO, spinner: Spinner | None = None) -> None:
        self.target = target
        self.spinner = spinner
        self.written = 0

    def write(self, text: str) -> int:
        if self.spinner is not None:
            self.spinner.erase()
        self.written += len(text)
        with closed_pipe_ends_output():
            self.target.write(text)
            # Written through at once, so a closed pipe shows up here and not at some later flush.
            self.target.flush()
        return len(text)

    def flush(self) -> None:
        with closed_pipe_ends_output():
            self.target.flush()

    def isatty(self) -> bool:
        return self.target.isatty()

    def fileno(self) -> int:
        return self.target.fileno()

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self.target, "encoding", "utf-8")

    def writable(self) -> bool:
        return True


@contextlib.contextmanager
def closed_pipe_ends_output() -> Iterator[None]:
    try:
        yield
    except BrokenPipeError:
        raise OutputClosed from None


@contextlib.contextmanager
def command_output(target: TextIO, spinner: Spinner | None = None) -> Iterator[CommandOutput]:
    """`sys.stdout` is a `CommandOutput` over `target` for the duration."""
    output = CommandOutput(target, spinner)
    saved, sys.stdout = sys.stdout, output
    try:
        yield output
    finally:
        sys.stdout = saved


def silence_closed_stdout() -> None:
    """After `OutputClosed`: point standard output at /dev/null, so the interpreter's last flush at
    exit meets no closed pipe either."""
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.__stdout__.fileno())


class Spinner:
    """A transient line on the terminal while a request runs longer than `SPINNER_AFTER` seconds:
    what runs and for how long. Erased before any other output (see `CommandOutput`)."""

    def __init__(self, terminal: TextIO, what: str) -> None:
        self.terminal = terminal
        self.what = what
        self.started = time.monotonic()
        self.showing = False
        self._task: asyncio.Task | None = None

    def show(self, frame: int) -> None:
        elapsed = time.monotonic() - self.started
        text = f"{SPINNER_FRAMES[frame % len(SPINNER_FRAMES)]} {self.what} · {elapsed:.1f} s (Ctrl-C cancels)"
        # Kept within one terminal line: a line that wraps could not be erased with a carriage return.
        text = clipped(text, (terminal_width(self.terminal) or 80) - 1)
        with contextlib.suppress(OSError, ValueError):
            self.terminal.write(f"\r{text}\x1b[K")
            self.terminal.flush()
            self.showing = True

    def erase(self) -> None:
        if self.showing:
            self.showing = False
            with contextlib.suppress(OSError, ValueError):
                self.terminal.write("\r\x1b[K")
                self.terminal.flush()

    async def _spin(self) -> None:
        await asyncio.sleep(SPINNER_AFTER)
        frame = 0
        while True:
            self.show(frame)
            frame += 1
            await asyncio.sleep(SPINNER_TICK)

    async def __aenter__(self) -> Spinner:
        self._task = asyncio.ensure_future(self._spin())
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        self._task.cancel()
        await asyncio.wait([self._task])  # gone before the loop may close
        self.erase()


def fit_lines(text: str, width: int | None) -> str:
    """`text` with every line no wider than a terminal of `width` columns (None: a pipe, as is).

    A status line breaks between its " · " parts, other text between words; continuation lines
    are indented, so a reader sees where a line goes on.
    """
    if width is None:
        return text
    return "\n".join(fit_line(line, width) for line in text.split("\n"))


def fit_line(line: str, width: int, separator: str = SEPARATOR) -> str:
    """One line broken to `width`: between its `separator` parts where it has them, else between
    words; continuation lines indented by two more columns than the line itself."""
    if display_width(line) <= width:
        return line
    indent = line[:len(line) - len(line.lstrip(" "))]
    continuation = indent + CONTINUATION
    if separator not in line:
        return textwrap.fill(line, width, subsequent_indent=continuation, break_long_words=False,
                             break_on_hyphens=False)
    parts = line.split(separator)
    lines = [parts[0]]
    for part in parts[1:]:
        joined = lines[-1] + separator + part
        if display_width(joined) > width:
            lines.append(continuation + part)
        else:
            lines[-1] = joined
    return "\n".join(lines)


def bars_text(bars: list[dict], fmt: str, zone: str | None = None, intraday: bool = False) -> str:
    """The bars as CSV (a header, then one row a bar) or JSON (an array of records).

    Bar times are ISO 8601: dates alone for daily and longer bars; intraday times with their UTC
    offset where `zone` (the zone they are in) is known, as they are otherwise. `intraday` says
    the bars are intraday even where every time is a midnight.
    """
    import pandas as pd

    if fmt not in BAR_FORMATS:
        raise ValueError(f"unknown bar format {fmt!r}: use {' or '.join(BAR_FORMATS)}")
    table = pd.DataFrame(bars) if bars else pd.DataFrame(columns=BAR_FIELDS)
    if "date" in table.columns and len(table):
        table["date"] = iso_times(table["date"], zone, intraday)
    if fmt == "csv":
        return table.to_csv(index=False)
    return table.to_json(orient="records", date_format="iso", date_unit="s") + "\n"


def iso_times(column: Any, zone: str | None, intraday: bool) -> Any:
    """Bar times as ISO 8601 text (see `bars_text`); a column that holds no times stays as it is."""
    import pandas as pd

    try:
        times = pd.to_datetime(column)
    except (TypeError, ValueError):
        return column
    if times.dt.tz is not None:
        return times.map(lambda moment: moment.isoformat())
    if not intraday and (times == times.dt.normalize()).all():
        return times.dt.strftime("%Y-%m-%d")
    if zone:
        from veltrax.dataframes import wall_clock_in

        return pd.Series(wall_clock_in(pd.DatetimeIndex(times), zone).map(lambda moment: moment.isoformat()),
                         index=column.index)
    return times.dt.strftime("%Y-%m-%dT%H:%M:%S")


def export_format(path: Path) -> str:
    """The bar format a file name asks for, or ValueError that says what to write instead."""
    suffix = path.suffix.lower().lstrip(".")
    if suffix in BAR_FORMATS:
        return suffix
    if suffix == "parquet":
        raise ValueError("parquet is not supported (it would need pyarrow); write .csv or .json")
    names = " or ".join(f"{path.stem or 'bars'}.{fmt}" for fmt in BAR_FORMATS)
    raise ValueError(f"the file name says the format: {names}")


def export_bars(bars: list[dict], path: Path, zone: str | None = None, intraday: bool = False) -> bool:
    """Write the bars to `path` (its suffix names the format; times as `bars_text` writes them);
    True when it replaced a file.

    Written to a new file beside it and renamed over it, so a failed export leaves any earlier
    file as it was.
    """
    text = bars_text(bars, export_format(path), zone, intraday)
    replaced = path.exists()
    temporary = path.with_name(f".{path.name}.{os.getpid()}.partial")
    try:
        with open(temporary, "x", encoding="utf-8", newline="") as file:
            file.write(text)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return replaced
