"""The `veltrax` command line: picks the feed, then runs one line, a script or the interactive prompt."""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
from typing import Any

from loguru import logger

from corbel import frame
from veltrax.downloader import configure_on_first_import
from veltrax.logs import configure_logging
from veltrax.paths import data_dir
from veltrax.shell import CommandLoader, Shell, run_piped
from veltrax.state import ShellState


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="veltrax", description="Market-data and trading shell.")
    parser.add_argument("-c", dest="line", metavar="LINE", help="run one command line and exit")
    parser.add_argument("--demo", action="store_true",
                        help="run on the simulated feed (offline; generated bars, not market data)")
    parser.add_argument("--demo-fault", metavar="KIND",
                        help="make the simulated feed fail: empty, error[=MESSAGE] or slow=SECONDS")
    parser.add_argument("--gateway", metavar="HOST:PORT", default=os.environ.get("VELTRAX_GATEWAY"),
                        help="broker gateway to connect to (default: $VELTRAX_GATEWAY; none: yfinance only)")
    parser.add_argument("--client-id", type=int, default=1, metavar="N", help="API client id at the gateway")
    parser.add_argument("--chart", choices=("on", "off", "auto"), default="auto",
                        help="candlestick chart under bar tables (auto: when the terminal is wide)")
    args = parser.parse_args(argv)
    if args.demo_fault is not None and not args.demo:
        parser.error("--demo-fault needs --demo")
    return args


def simulated_state(args: argparse.Namespace) -> ShellState:
    """The simulated feed on both paths, with its cache apart so no real session is ever answered with its bars.

    The broker is a simulated client; the downloader is the real yfinance talking to the
    simulated chart service in-process, so the demo never opens a network connection.
    """
    from veltrax.simfeed import FeedFaults, SimulatedIB

    faults = FeedFaults.parse(args.demo_fault) if args.demo_fault else None
    os.environ["VELTRAX_DATA_DIR"] = str(data_dir() / "simulated")
    configure_on_first_import(session_factory=simulated_downloader_session)
    return ShellState(SimulatedIB(faults=faults), feed_label="simulated feed")


def simulated_downloader_session() -> Any:
    from veltrax.simfeed.transport import simulated_session

    return simulated_session()


def banner(state: ShellState, gateway: Any) -> str:
    if state.feed_label:
        return f"veltrax: {state.feed_label.upper()}, generated bars, not market data"
    if gateway is not None:
        where = "connected" if gateway.connected else "not answering, yfinance meanwhile"
        return f"veltrax: broker gateway {gateway.address} ({where})"
    return "veltrax: no broker gateway, bars come from yfinance"


def main(argv: list[str] | None = None) -> int:
    try:
        return run_shell(parse_args(argv))
    except BrokenPipeError:
        # The reader went away (`veltrax -c ... | head`): nothing more to say, and nowhere to say it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def run_shell(args: argparse.Namespace) -> int:
    directory = data_dir()
    configure_logging(directory)
    configure_on_first_import()
    frame.set_chart_mode(args.chart)
    loader = CommandLoader()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    gateway = None
    try:
        if args.demo:
            try:
                state = simulated_state(args)
            except ValueError as error:
                print(f"veltrax: {error}", file=sys.stderr)
                return 2
        elif args.gateway:
            from veltrax.gateway.connection import GatewayAddress, GatewayConnection

            try:
                address = GatewayAddress.parse(args.gateway, args.client_id)
            except ValueError as error:
                print(f"veltrax: {error}", file=sys.stderr)
                return 2
            gateway = GatewayConnection(address)
            if not loop.run_until_complete(gateway.connect()):
                gateway.start_reconnecting()
            state = ShellState(gateway.ib)
        else:
            state = ShellState()
        shell = Shell(state, loader=loader)
        if args.line is not None:
            return 0 if loop.run_until_complete(shell.execute(args.line)) else 1
        if not sys.stdin.isatty():
            return loop.run_until_complete(run_piped(shell, sys.stdin))
        from veltrax.interactive import run_interactive  # prompt_toolkit only where a prompt is shown

        shell.say(banner(state, gateway))
        return loop.run_until_complete(run_interactive(shell, directory))
    finally:
        if gateway is not None:
            loop.run_until_complete(gateway.close())
        logger.remove()
        loop.close()
