"""The interactive prompt: history and its suggestions, completion, Ctrl-C to cancel a command, Ctrl-D to leave."""

from __future__ import annotations

import asyncio
import signal
from pathlib import Path
from typing import Iterable

from prompt_toolkit import PromptSession
from prompt_toolkit.auto_suggest import AutoSuggestFromHistory
from prompt_toolkit.completion import CompleteEvent, Completer, Completion
from prompt_toolkit.document import Document
from prompt_toolkit.history import FileHistory, InMemoryHistory
from prompt_toolkit.patch_stdout import patch_stdout

from veltrax.paths import bar_cache_dir
from veltrax.shell import BUILTINS, PROMPT, Shell

HISTORY_FILE = "history"
CACHE_ACTIONS = ("drop", "prune", "stats")


def kline_words() -> list[str]:
    """Words that may follow `kline SYMBOL`: the period words, intraday, date words, adjustment words."""
    from veltrax.cmds.quotes import kline

    return [*kline.PERIOD_MAP, "intraday", "today", "yesterday", *sorted(kline.ADJUST_KEYWORDS)]


class CachedSymbols:
    """The symbols this machine's bar cache holds, read from its keys at most once between two commands.

    Only the local levels are read: completing runs on a keystroke, and never waits for (or reports on)
    a shared cache on the network."""

    def __init__(self) -> None:
        self._symbols: list[str] | None = None

    def forget(self) -> None:
        """A command may have added or dropped entries: read them again when next asked."""
        self._symbols = None

    def get(self) -> list[str]:
        if self._symbols is None:
            self._symbols = self._read()
        return self._symbols

    @staticmethod
    def _read() -> list[str]:
        from veltrax.cmds.quotes import kline

        try:
            cache = kline._candle_store
            if cache is None:
                if not bar_cache_dir().is_dir():
                    return []  # nothing cached yet, and completing never creates the store
                cache = kline._get_cache()
            # A key is SYMBOL:period:... ; the symbols come out once each, in order.
            return sorted({key.partition(":")[0] for key in cache.cache.local_keys() if ":" in key})
        except Exception as error:  # a store that cannot be read leaves only this completion out
            from loguru import logger  # not at import: the first prompt does without it

            logger.info("symbol completion: the bar cache cannot be read ({})", error)
            return []


def completes_a_symbol(words: list[str]) -> bool:
    """Whether the last word is where a symbol goes: `kline SYMBOL`, `cache drop SYMBOL`."""
    return (words[0] == "kline" and len(words) == 2) or (words[:2] == ["cache", "drop"] and len(words) == 3)


class ShellCompleter(Completer):
    """Command words first; then what the command takes at that position."""

    def __init__(self, shell: Shell, symbols: CachedSymbols | None = None) -> None:
        self.shell = shell
        self.symbols = symbols if symbols is not None else CachedSymbols()

    def candidates(self, words: list[str]) -> Iterable[str]:
        commands = sorted(self.shell.commands())  # waits for the command modules on a Tab pressed at once
        if len(words) <= 1:
            return [*commands, *BUILTINS]
        if completes_a_symbol(words):
            return self.symbols.get()
        if words[0] == "help" and len(words) == 2:
            return commands
        if words[0] == "chart" and len(words) == 2:
            return ["on", "off", "auto"]
        if words[0] == "cache" and len(words) == 2:
            return CACHE_ACTIONS
        if words[0] == "kline" and len(words) >= 3:
            return kline_words()
        return []

    def get_completions(self, document: Document, complete_event: CompleteEvent) -> Iterable[Completion]:
        text = document.text_before_cursor
        words = text.split()
        if not words or text.endswith(" "):
            words.append("")
        prefix = words[-1]
        # Symbols are upper-cased by the commands, so `aa` finds AAPL; other words are taken as typed.
        wanted = prefix.upper() if completes_a_symbol(words) else prefix
        for candidate in self.candidates(words):
            if candidate.startswith(wanted) and candidate != prefix:
                # A completed word is followed by a blank, as in a POSIX shell, ready for the next.
                yield Completion(candidate + " ", start_position=-len(prefix), display=candidate)


def prompt_session(shell: Shell, directory: Path) -> PromptSession[str]:
    """The prompt: history in `directory`, suggestions from it as you type (→ takes one), Tab completion."""
    completer = ShellCompleter(shell)
    session: PromptSession[str] = PromptSession(history=history_of(directory), completer=completer,
                                                auto_suggest=AutoSuggestFromHistory())
    # Each prompt follows a command, which may have changed what the cache holds.
    session.app.on_reset += lambda _app: completer.symbols.forget()
    return session


async def run_cancellable(shell: Shell, line: str) -> None:
    """Run one line; Ctrl-C cancels it (the shell stays)."""
    loop = asyncio.get_running_loop()
    task = asyncio.ensure_future(shell.execute(line))
    loop.add_signal_handler(signal.SIGINT, task.cancel)
    try:
        await task
    except asyncio.CancelledError:
        if not task.cancelled():
            raise
        shell.warn("cancelled")
    finally:
        loop.remove_signal_handler(signal.SIGINT)


def history_of(directory: Path):
    try:
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / HISTORY_FILE
        path.touch(exist_ok=True)
        return FileHistory(str(path))
    except OSError:
        return InMemoryHistory()


async def run_interactive(shell: Shell, directory: Path) -> int:
    session = prompt_session(shell, directory)
    if shell.loader is not None:
        # The command modules load once the first prompt is on the screen, not before it.
        def load_commands(_app: object) -> None:
            session.app.after_render -= load_commands
            shell.loader.start()

        session.app.after_render += load_commands
    while not shell.exit_requested:
        try:
            # What is written meanwhile (a gateway that drops or comes back) goes above the prompt,
            # not over the line being typed.
            with patch_stdout(raw=True):
                line = await session.prompt_async(PROMPT)
        except KeyboardInterrupt:
            continue
        except EOFError:
            break
        await run_cancellable(shell, line)
    return 0
