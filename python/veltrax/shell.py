"""The veltrax shell: reads command lines, runs the registered commands, shows the outcome."""

from __future__ import annotations

import asyncio
import importlib
import sys
import threading
from typing import Any, TextIO

from corbel import frame
from corbel.dispatch import UsageError, fill_arguments
from veltrax.cmds.base import COMMANDS
from veltrax.state import ShellState

# The command modules the shell loads; each registers its words when imported.
COMMAND_MODULES = ("veltrax.cmds.quotes.kline", "veltrax.cmds.upkeep.cache")
BUILTINS = ("help", "chart", "exit", "quit")
PROMPT = "veltrax> "


class CommandLoader:
    """Imports the command modules on a background thread, so the prompt is up at once."""

    def __init__(self, modules: tuple[str, ...] = COMMAND_MODULES) -> None:
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._load, args=(modules,), name="command-loader", daemon=True)
        self._thread.start()

    def _load(self, modules: tuple[str, ...]) -> None:
        try:
            for name in modules:
                importlib.import_module(name)
        except BaseException as error:  # re-raised on the thread that needs the commands
            self._error = error

    def wait(self) -> None:
        self._thread.join()
        if self._error is not None:
            raise self._error


class Shell:
    """Runs one command line at a time against a shell state."""

    def __init__(self, state: ShellState, out: TextIO | None = None, loader: CommandLoader | None = None) -> None:
        self.state = state
        self.out = out if out is not None else sys.stdout
        self.loader = loader

    def say(self, text: str) -> None:
        print(text, file=self.out, flush=True)

    def commands(self) -> dict[str, type]:
        if self.loader is not None:
            self.loader.wait()
        return COMMANDS

    async def execute(self, line: str) -> bool:
        """Run one line; False when it failed (unknown command, bad words, error result)."""
        words = line.split()
        if not words:
            return True
        word, args = words[0], words[1:]
        if word == "help":
            return self.show_help(args)
        if word == "chart":
            return self.set_chart(args)
        cls = self.commands().get(word)
        if cls is None:
            self.say(f"unknown command: {word} (try 'help')")
            return False
        op = cls(state=self.state, ib=self.state.ib)
        try:
            fill_arguments(op, word, args)
        except UsageError as error:
            self.say(str(error))
            return False
        try:
            result = await op.run()
        except Exception as error:  # one line per failure; the shell carries on
            self.say(f"{word} failed: {error}")
            return False
        return self.show_result(word, result)

    def show_result(self, word: str, result: Any) -> bool:
        if isinstance(result, dict) and "error" in result:
            self.say(f"{word}: {result['error']}")
            return False
        if isinstance(result, dict) and "bars" in result:
            self.say(self.status_line(result))
        return True

    def status_line(self, result: dict) -> str:
        """One short line after a bar request: where the bars came from, how many, cached or fresh."""
        source = result.get("source") or "cache"
        cached = result.get("cached") is True or source == "cache"
        parts = [f"source: {source}", f"{len(result['bars']):,} bars", "cached" if cached else "fresh"]
        if self.state.feed_label:
            parts.append(f"{self.state.feed_label}, not market data")
        return " · ".join(parts)

    def show_help(self, args: list[str]) -> bool:
        commands = self.commands()
        if args and args[0] in commands:
            self.say((commands[args[0]].__doc__ or "").rstrip())
            return True
        if args:
            self.say(f"no help for {args[0]}: unknown command (try 'help')")
            return False
        self.say("commands: " + ", ".join(sorted(commands)) + "  (help <command> for details)")
        self.say("shell: chart on|off|auto (candlestick chart under tables), exit (or Ctrl-D)")
        return True

    def set_chart(self, args: list[str]) -> bool:
        if not args:
            self.say(f"chart: {frame.chart_mode}")
            return True
        try:
            frame.set_chart_mode(args[0])
        except ValueError as error:
            self.say(str(error))
            return False
        self.say(f"chart: {frame.chart_mode}")
        return True


async def run_piped(shell: Shell, stream: TextIO) -> int:
    """Lines from a pipe or file: each is run in turn; the exit status is 0.

    Lines are read off the event loop, so between them it keeps serving the gateway connection
    (reconnects, the client's own traffic).
    """
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, stream.readline):
        if line.strip() in ("exit", "quit"):
            break
        await shell.execute(line)
    return 0
