"""The veltrax shell: reads command lines, runs the registered commands, shows the outcome."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import logging
import os
import sys
from pathlib import Path
from typing import Any, TextIO

from loguru import logger

from corbel.dispatch import UsageError, fill_arguments
from veltrax.cmds.base import COMMANDS
from veltrax.state import ShellState

# The command modules the shell loads; each registers its words when imported.
COMMAND_MODULES = ("veltrax.cmds.quotes.kline",)

PROMPT = "veltrax> "

# Said wherever simulated bars could be taken for market data.
SIMULATED_BANNER = "veltrax on the simulated broker feed (--demo): every price is generated, none is market data"
SIMULATED_NOTE = "simulated feed: not market data"


def load_commands() -> None:
    for name in COMMAND_MODULES:
        importlib.import_module(name)


def configure_logging(stream: TextIO) -> None:
    logger.remove()
    logger.add(stream, level="WARNING", format="{level}: {message}")
    # The broker client library logs through the standard logging module; show it alike.
    logging.basicConfig(stream=stream, level=logging.WARNING, format="%(levelname)s: %(message)s", force=True)


class Shell:
    """Runs one command line at a time against a shell state."""

    def __init__(self, state: ShellState, out: TextIO | None = None) -> None:
        self.state = state
        self.out = out if out is not None else sys.stdout

    def say(self, text: str) -> None:
        print(text, file=self.out, flush=True)

    async def execute(self, line: str) -> bool:
        """Run one line; False when it failed (unknown command, bad words, error result)."""
        words = line.split()
        if not words:
            return True
        word, args = words[0], words[1:]
        if word == "help":
            self.show_help(args)
            return True
        cls = COMMANDS.get(word)
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
        if self.state.simulated and isinstance(result, dict) and result.get("source") == "ibkr":
            self.say(SIMULATED_NOTE)
        return True

    def show_help(self, args: list[str]) -> None:
        if args and args[0] in COMMANDS:
            self.say((COMMANDS[args[0]].__doc__ or "").rstrip())
            return
        self.say("commands: " + ", ".join(sorted(COMMANDS)) + "  (help <command> for details)")


def run_interactive(shell: Shell, loop: asyncio.AbstractEventLoop) -> int:
    while True:
        try:
            line = input(PROMPT)
        except EOFError:
            shell.say("")
            return 0
        except KeyboardInterrupt:
            shell.say("")
            continue
        try:
            loop.run_until_complete(shell.execute(line))
        except KeyboardInterrupt:
            shell.say("cancelled")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="veltrax", description="Market-data and trading shell.")
    parser.add_argument("-c", dest="line", metavar="LINE", help="run one command line and exit")
    parser.add_argument("--demo", action="store_true", help="use the simulated broker feed (generated prices, offline)")
    parser.add_argument(
        "--demo-fault",
        metavar="KIND",
        help="make the simulated feed fail: empty, error[=MESSAGE] or slow=SECONDS",
    )
    args = parser.parse_args(argv)
    if args.demo_fault is not None and not args.demo:
        parser.error("--demo-fault needs --demo")
    return args


def use_simulated_data_dir() -> None:
    """Keep simulated bars in a cache of their own, so no real session is ever answered with them."""
    base = os.environ.get("VELTRAX_DATA_DIR") or os.path.expanduser("~/.veltrax")
    os.environ["VELTRAX_DATA_DIR"] = str(Path(base) / "simulated")


def make_state(args: argparse.Namespace) -> ShellState:
    if not args.demo:
        return ShellState()
    from veltrax.simfeed import FeedFaults, SimulatedIB

    faults = FeedFaults.parse(args.demo_fault) if args.demo_fault else None
    use_simulated_data_dir()
    return ShellState(SimulatedIB(faults=faults))


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    configure_logging(sys.stderr)
    load_commands()
    try:
        state = make_state(args)
    except ValueError as error:
        print(f"veltrax: {error}", file=sys.stderr)
        return 2
    shell = Shell(state)
    loop = asyncio.new_event_loop()
    try:
        if args.line is not None:
            return 0 if loop.run_until_complete(shell.execute(args.line)) else 1
        if state.simulated:
            shell.say(SIMULATED_BANNER)
        return run_interactive(shell, loop)
    finally:
        loop.close()
