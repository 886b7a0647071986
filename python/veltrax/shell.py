"""The veltrax shell: reads command lines, runs the registered commands, shows the outcome."""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import inspect
import os
import shlex
import sys
import threading
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any, AsyncIterator, Callable, TextIO

from corbel import frame
from corbel.dispatch import UsageError, fill_arguments
from veltrax import answers
from veltrax.cmds.base import COMMANDS
from veltrax.output import Spinner, closed_pipe_ends_output, command_output, export_bars, fit_lines
from veltrax.state import ShellState

# The command modules the shell loads; each registers its words when imported.
COMMAND_MODULES = ("veltrax.cmds.quotes.kline", "veltrax.cmds.upkeep.cache")
PROMPT = "veltrax> "
# Where the zone of bar times is not known, this is what they are in.
EXCHANGE_TIME = "exchange time"


class CommandLoader:
    """Imports the command modules on a background thread, so the prompt need not wait for them;
    `prepare` runs there first (setting up what the commands need, such as logging)."""

    def __init__(self, modules: tuple[str, ...] = COMMAND_MODULES, prepare: Callable[[], object] | None = None) -> None:
        self._error: BaseException | None = None
        self._prepare = prepare
        self._thread = threading.Thread(target=self._load, args=(modules,), name="command-loader", daemon=True)
        self._starting = threading.Lock()
        self._started = False

    def _load(self, modules: tuple[str, ...]) -> None:
        try:
            if self._prepare is not None:
                self._prepare()
            for name in modules:
                importlib.import_module(name)
        except BaseException as error:  # re-raised on the thread that needs the commands
            self._error = error

    def start(self) -> None:
        with self._starting:
            if not self._started:
                self._started = True
                self._thread.start()

    def wait(self) -> None:
        self.start()
        self._thread.join()
        if self._error is not None:
            raise self._error


@dataclass(frozen=True)
class ShellWord:
    """A word of the shell itself (not a command module's)."""

    usage: str
    summary: str
    details: str
    run: Callable[[Shell, list[str]], bool]


def input_problem(line: str) -> str | None:
    """What makes a line unfit to run: bytes that are no UTF-8 text (read with surrogateescape),
    lone surrogates, control or invisible characters. None when it is fine."""
    for column, char in enumerate(line, start=1):
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:
            return f"not UTF-8 text: byte 0x{code - 0xDC00:02x} at column {column}"
        category = unicodedata.category(char)
        if category == "Cs":
            return f"not valid text: lone surrogate U+{code:04X} at column {column}"
        if category == "Cc" and char != "\t":
            return f"control character U+{code:04X} at column {column}"
        if category == "Cf":
            return f"invisible character U+{code:04X} at column {column}"
    return None


def split_words(line: str) -> list[str]:
    """The words of a line as a POSIX shell splits them: quotes and backslashes escape blanks,
    and a # that begins a word starts a comment. ValueError for an unclosed quote."""
    return shlex.split(without_comment(line), posix=True)


def without_comment(line: str) -> str:
    """The line up to a # that begins a word outside quotes (a # inside a word is part of it)."""
    quote, escaped, word_starts = None, False, True
    for index, char in enumerate(line):
        literal = escaped
        if escaped:
            escaped = False
        elif quote is not None:
            quote = None if char == quote else quote
            escaped = quote == '"' and char == "\\"
        elif char == "\\":
            escaped = True
        elif char in "'\"":
            quote = char
        elif char == "#" and word_starts:
            return line[:index]
        word_starts = quote is None and not literal and char.isspace()
    return line


class Shell:
    """Runs one command line at a time against a shell state.

    `out` gets tables, status lines and help; `err` notices and failures (by default `out` when
    one is given, else standard error); `tables` the bar tables (by default `out`).
    """

    def __init__(self, state: ShellState, out: TextIO | None = None, loader: CommandLoader | None = None,
                 err: TextIO | None = None, tables: TextIO | None = None, progress: bool | None = None) -> None:
        self.state = state
        self.out = out if out is not None else sys.stdout
        self.err = err if err is not None else (out if out is not None else sys.stderr)
        self.tables = tables if tables is not None else self.out
        # A spinner while a request runs, where a person watches the output.
        self.progress = self.tables.isatty() if progress is None else progress
        self.loader = loader
        self.last_result: dict | None = None
        # The zone of the last result's bar times, where known, for what writes them out.
        self.last_zone: str | None = None
        self.exit_requested = False
        # The status `exit N` asked for; None: the status the lines earned.
        self.exit_status: int | None = None
        # Where the line that runs came from, for its failures and notes ("line 3" of a script).
        self.where: str | None = None
        # Notes given once a session (an alias's own rules), see `read_kline_words`.
        self.told: set[str] = set()

    def say(self, text: str) -> None:
        self.write_line(text, self.out)

    def warn(self, text: str) -> None:
        self.write_line(f"{self.where}: {text}" if self.where else text, self.err)

    @staticmethod
    def write_line(text: str, stream: TextIO) -> None:
        """One line of the shell's own; on a terminal, broken to its width rather than wrapped by it."""
        with closed_pipe_ends_output():
            print(fit_lines(text, frame.terminal_width(stream)), file=stream, flush=True)

    def commands(self) -> dict[str, type]:
        if self.loader is not None:
            self.loader.wait()
        return COMMANDS

    async def execute(self, line: str) -> bool:
        """Run one line; False when it failed (bad input, unknown command, bad words, error result)."""
        problem = input_problem(line)
        if problem is not None:
            self.warn(f"{problem}; nothing was run")
            return False
        try:
            words = split_words(line)
        except ValueError as error:  # shlex's only complaint: a quote left open
            self.warn(f"{str(error).lower()} mark: close the quote; nothing was run")
            return False
        if not words:  # a blank line, or a comment
            return True
        word, args = words[0], words[1:]
        if word in SHELL_WORDS:
            return SHELL_WORDS[word].run(self, args)
        cls = self.commands().get(word)
        if cls is None:
            self.warn(f"unknown command: {word} (try 'help')")
            return False
        op = cls(state=self.state, ib=self.state.ib)
        try:
            fill_arguments(op, word, args)
        except UsageError as error:
            self.warn(str(error))
            return False
        return await self.run_command(word, op, line)

    async def run_command(self, word: str, op: Any, line: str) -> bool:
        from veltrax.logs import lines_logged  # loaded with the commands, after the first prompt

        module = sys.modules[type(op).__module__]
        reading = self.read_back(op, module) if word == "kline" else None
        symbol = getattr(op, "symbol", None)
        what = f"{word} {symbol}" if symbol else word
        shown = BarsShown(self, op)
        facts = (frame.bar_time_zone.set(lambda: shown.zone() or EXCHANGE_TIME),
                 frame.bar_contract.set(shown.contract_caption))
        try:
            async with contextlib.AsyncExitStack() as stack:
                logged = shown.logged = stack.enter_context(lines_logged())
                spinner = None
                if self.progress:
                    spinner = await stack.enter_async_context(Spinner(self.tables, line.strip()))
                output = stack.enter_context(command_output(self.tables, spinner))
                try:
                    result = await op.run()
                except Exception as error:  # one or two lines per failure; the shell carries on
                    self.show_failure(what, str(error) or type(error).__name__, logged)
                    return False
                # Only a fetch prints its table; a cache hit prints nothing, so the shell shows its bars.
                fresh = output.written > 0
                if isinstance(result, dict) and "bars" in result and "error" not in result:
                    shown.downloaded = answers.downloaded(result["bars"])
                    self.last_zone = shown.zone()
                    if not fresh:
                        self.print_bars(result, output, getattr(module, "ADJUST_KEYWORDS", ()))
        finally:
            for fact, token in zip((frame.bar_time_zone, frame.bar_contract), facts):
                fact.reset(token)
        return self.show_result(what, result, fresh=fresh, reading=reading, logged=logged, symbol=symbol)

    def read_back(self, op: Any, kline: Any) -> Any:
        """Notices for the words kline will read otherwise than they look; the request as read."""
        from veltrax.reading import read_kline_words

        reading = read_kline_words(op.rest, kline, self.told)
        for notice in reading.notices:
            self.warn(f"note: {notice}")
        return reading

    def zone_of(self, symbol: str | None, downloaded_as: str | None = None) -> str | None:
        """The zone of the symbol's bar times as far as the state knows it (see ShellState.zone_of)."""
        zone_of = getattr(self.state, "zone_of", None)
        return zone_of(symbol, downloaded_as) if symbol and zone_of else None

    def contract_of(self, symbol: str | None) -> str | None:
        """A future's contract as the broker's lookup named it ("ESH7 (Mar 2027)"), else None."""
        instrument_of = getattr(self.state, "instrument_of", None)
        instrument = instrument_of(symbol) if symbol and instrument_of else None
        return instrument.label if instrument is not None else None

    def show_result(self, what: str, result: Any, fresh: bool = True, reading: Any = None,
                    logged: list[answers.LoggedLine] = (), symbol: str | None = None) -> bool:
        notes = answers.answer_notes(result, reading, symbol or "SYMBOL", caveats=False) if reading else []
        if isinstance(result, dict) and "error" in result:
            self.warn("\n".join(answers.error_result_lines(what, result, list(logged), self.broker_away())))
            self.show_notes(notes)
            return False
        if isinstance(result, dict) and "bars" in result:
            self.last_result = result
            source = answers.source_of(result, fresh)
            if source == "yfinance" and (note := answers.fallback_note(list(logged))):
                self.warn(note)
            self.show_notes(notes)
            contract = self.contract_of(symbol) if source != "yfinance" else None
            requested = reading.requested if reading is not None else None
            self.say(answers.status_line(result, source, requested, getattr(self.state, "feed_label", None),
                                         contract))
        return True

    def show_notes(self, notes: list[str]) -> None:
        for note in notes:
            self.warn(f"note: {note}")

    def broker_away(self) -> list[str]:
        """Why the broker cannot be asked, where the state knows (a gateway that went away)."""
        broker_away = getattr(self.state, "broker_away", None)
        away = broker_away() if broker_away else None
        return [away] if away else []

    def show_failure(self, what: str, error: str, logged: list[answers.LoggedLine]) -> None:
        self.warn("\n".join(answers.failure_lines(what, error, list(logged), known_causes=self.broker_away())))

    @staticmethod
    def print_bars(result: dict, output: TextIO, adjust_keywords: Any) -> None:
        """The table (and chart) of a result, as the command prints a fresh one."""
        import pandas as pd

        table = pd.DataFrame(result["bars"]).convert_dtypes()
        frame.printFrame(table, answers.title_of(result, answers.CACHE, adjust_keywords), file=output)


class BarsShown:
    """What the shell knows of the bars a request shows, as it runs: whether they are yfinance's
    (the command logs when it turns to yfinance; a result's bars tell for themselves), and so the
    zone of their times and the contract they come from."""

    def __init__(self, shell: Shell, op: Any) -> None:
        self.shell = shell
        self.op = op
        self.typed = getattr(op, "symbol", None)  # the command puts the broker's symbol there as it runs
        self.logged: list[answers.LoggedLine] = []
        self.downloaded: bool | None = None  # known once there is a result

    def from_yfinance(self) -> bool:
        return answers.answered_by_yfinance(self.logged) if self.downloaded is None else self.downloaded

    def zone(self) -> str | None:
        yfinance = self.from_yfinance()
        return self.shell.zone_of(self.typed, getattr(self.op, "symbol", None) if yfinance else None)

    def contract_caption(self) -> str | None:
        label = None if self.from_yfinance() else self.shell.contract_of(self.typed)
        return f"contract {label}" if label else None


# -- the shell's own words ---------------------------------------------------------------------


def show_help(shell: Shell, args: list[str]) -> bool:
    commands = shell.commands()
    if len(args) > 1:
        shell.warn("help takes one word: help [WORD]")
        return False
    if args and args[0] in commands:
        shell.say(inspect.cleandoc(commands[args[0]].__doc__ or ""))
        return True
    if args and args[0] in SHELL_WORDS:
        word = SHELL_WORDS[args[0]]
        shell.say(f"{word.usage}\n\n{word.details}")
        return True
    if args:
        shell.warn(f"no help for {args[0]}: not a command or shell word (try 'help')")
        return False
    shell.say("commands (help COMMAND for its words):")
    for name in sorted(commands):
        summary = (commands[name].__doc__ or "").strip().splitlines()
        shell.say(f"  {name:<10} {summary[0] if summary else ''}")
    shell.say("shell words:")
    for word in dict.fromkeys(SHELL_WORDS.values()):
        shell.say(f"  {word.usage:<28} {word.summary}")
    shell.say("Ctrl-C cancels a running command; Ctrl-D leaves.")
    return True


def set_chart(shell: Shell, args: list[str]) -> bool:
    if len(args) > 1:
        shell.warn("usage: chart [on|off|auto]")
        return False
    if args:
        try:
            frame.set_chart_mode(args[0])
        except ValueError as error:
            shell.warn(str(error))
            return False
    shell.say(f"chart: {frame.chart_mode}")
    return True


def export(shell: Shell, args: list[str]) -> bool:
    if len(args) != 1:
        shell.warn("usage: export PATH.csv | export PATH.json")
        return False
    if shell.last_result is None:
        shell.warn("export: no bars yet: run a kline command first")
        return False
    path = Path(args[0]).expanduser()
    bars = shell.last_result["bars"]
    try:
        replaced = export_bars(bars, path, shell.last_zone, shell.last_result.get("type") == "intraday")
    except ValueError as error:
        shell.warn(f"export: {error}")
        return False
    except OSError as error:
        shell.warn(f"export: cannot write {path}: {error.strerror or error}")
        return False
    replacing = " (replaced the file that was there)" if replaced else ""
    what = f"exported {answers.counted(len(bars), 'bar')} to {path}{replacing}"
    label = getattr(shell.state, "feed_label", None)
    shell.say(f"{what} · {answers.not_market_data(label)}" if label else what)
    return True


def leave(shell: Shell, args: list[str]) -> bool:
    if len(args) > 1 or (args and not (args[0].isascii() and args[0].isdigit() and int(args[0]) <= 255)):
        shell.warn("usage: exit [STATUS] (a status is a number from 0 to 255)")
        return False
    shell.exit_requested = True
    if args:
        shell.exit_status = int(args[0])
    return True


SHELL_WORDS: dict[str, ShellWord] = {
    "help": ShellWord("help [WORD]", "this list, or what a command or shell word does",
                      "With a command or shell word: its words and what it does.", show_help),
    "chart": ShellWord("chart [on|off|auto]", "candlestick chart under bar tables",
                       "on: always; off: never; auto (the default): on a terminal at least 100 columns wide.\n"
                       "Without a word: the current setting.", set_chart),
    "export": ShellWord("export PATH.csv|PATH.json", "write the last bars shown to a file",
                        "Writes every bar of the last bar result (not only the rows the table shows).\n"
                        "The suffix picks the format: .csv (a header, then one row a bar) or .json\n"
                        "(an array of bar records). An existing file is replaced.", export),
}
SHELL_WORDS["exit"] = SHELL_WORDS["quit"] = ShellWord(
    "exit | quit [STATUS]", "leave the shell (Ctrl-D too)",
    "Leaves the shell; in a script, ends it there. STATUS (0 to 255) is the exit status;\n"
    "without it, the status is 1 when a line of a -c or script failed, else 0.", leave)
BUILTINS = tuple(SHELL_WORDS)


# -- scripts -----------------------------------------------------------------------------------


async def lines_of(fd: int) -> AsyncIterator[str]:
    """The lines read from a file descriptor.

    Read on a daemon thread, so the event loop goes on meanwhile (the gateway connection, Ctrl-C)
    and a read that blocks never holds up the exit; read unbuffered (os.read), because a daemon
    thread stuck inside a buffered reader's lock aborts the interpreter as it shuts down. Bytes that
    are not UTF-8 come through as surrogate escapes, for `input_problem` to name.
    """
    loop = asyncio.get_running_loop()
    queue: asyncio.Queue[bytes | None] = asyncio.Queue()

    def hand_over(line: bytes | None) -> None:
        with contextlib.suppress(RuntimeError):  # the loop closed: the shell is leaving
            loop.call_soon_threadsafe(queue.put_nowait, line)

    def read() -> None:
        pending = b""
        try:
            while chunk := os.read(fd, 1 << 16):
                *lines, pending = (pending + chunk).split(b"\n")
                for line in lines:
                    hand_over(line)
            if pending:
                hand_over(pending)
        except OSError:  # an input that cannot be read any more ends like one that ended
            pass
        finally:
            hand_over(None)

    threading.Thread(target=read, name="script-reader", daemon=True).start()
    while (raw := await queue.get()) is not None:
        yield raw.decode("utf-8", "surrogateescape").removesuffix("\r")


async def run_script(shell: Shell, fd: int) -> bool:
    """Each line in turn, to the end or to `exit`; False when any line failed. What a line says
    on standard error is headed by its number."""
    ok = True
    number = 0
    async for line in lines_of(fd):
        number += 1
        shell.where = f"line {number}"
        try:
            ok = await shell.execute(line) and ok
        finally:
            shell.where = None
        if shell.exit_requested:
            break
    return ok
