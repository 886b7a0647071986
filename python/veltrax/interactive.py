"""The interactive prompt: history, completion, Ctrl-C to cancel a command, Ctrl-D to leave."""

from __future__ import annotations

import asyncio
import signal
from pathlib import Path
from typing import Iterable

from prompt_toolkit import PromptSession
from prompt_toolkit.completion import CompleteEvent, Completer, Completion
from prompt_toolkit.document import Document
from prompt_toolkit.history import FileHistory, InMemoryHistory

from veltrax.shell import BUILTINS, PROMPT, Shell

HISTORY_FILE = "history"
CACHE_ACTIONS = ("drop", "prune", "stats")


def kline_words() -> list[str]:
    """Words that may follow `kline SYMBOL`: the period words, intraday, date words, adjustment words."""
    from veltrax.cmds.quotes import kline

    return [*kline.PERIOD_MAP, "intraday", "today", "yesterday", *sorted(kline.ADJUST_KEYWORDS)]


class ShellCompleter(Completer):
    """Command words first; then what the command takes at that position."""

    def __init__(self, shell: Shell) -> None:
        self.shell = shell

    def candidates(self, words: list[str]) -> Iterable[str]:
        commands = sorted(self.shell.commands())  # waits for the command modules on a Tab pressed at once
        if len(words) <= 1:
            return [*commands, *BUILTINS]
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
        for candidate in self.candidates(words):
            if candidate.startswith(prefix) and candidate != prefix:
                yield Completion(candidate, start_position=-len(prefix))


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
    session: PromptSession[str] = PromptSession(history=history_of(directory), completer=ShellCompleter(shell))
    if shell.loader is not None:
        # The command modules load once the first prompt is on the screen, not before it.
        def load_commands(_app: object) -> None:
            session.app.after_render -= load_commands
            shell.loader.start()

        session.app.after_render += load_commands
    while not shell.exit_requested:
        try:
            line = await session.prompt_async(PROMPT)
        except KeyboardInterrupt:
            continue
        except EOFError:
            break
        await run_cancellable(shell, line)
    return 0
