"""The `veltrax` command line: picks the feed, then runs one line, a script or the interactive prompt.

Exit statuses: 0 all went well; 1 a line failed (-c, or any line of a script); 2 the command line
itself is wrong; 130 cancelled with Ctrl-C; 141 the reader of the output went away (as for a
tool that SIGPIPE ended).
"""

from __future__ import annotations

import argparse
import asyncio
import functools
import os
import signal
import sys
from pathlib import Path
from typing import Any, Coroutine, NoReturn

from corbel import frame
from veltrax import demo
from veltrax.downloader import configure_on_first_import
from veltrax.output import BAR_FORMATS, EXIT_OUTPUT_CLOSED, OutputClosed, bars_text, silence_closed_stdout
from veltrax.paths import data_dir
from veltrax.shell import CommandLoader, Shell, input_problem, run_script
from veltrax.state import ShellState

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_CANCELLED = 130  # 128 + SIGINT, as shells report a tool that Ctrl-C ended
# The shared bar cache (Redis); the bar store reads it when it is first used.
CACHE_URL_VARIABLE = "VELTRAX_CACHE_URL"
GATEWAY_VARIABLE = "VELTRAX_GATEWAY"


class ShowVersion(argparse.Action):
    """--version, with the installed version looked up only when asked for."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        from importlib.metadata import version

        print(f"veltrax {version('veltrax-kline')}")
        parser.exit()


class OneLine(argparse.Action):
    """-c LINE, refused when given twice: a second line would otherwise silently replace the first."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, value: Any,
                 option: str | None = None) -> None:
        if getattr(namespace, self.dest) is not None:
            parser.error("-c takes one line; for several, put them in a file and run veltrax < FILE")
        setattr(namespace, self.dest, value)


class Parser(argparse.ArgumentParser):
    """argparse, with a wrong command line told in one line (its usage is what --help shows)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (try {self.prog} --help)\n")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = Parser(prog="veltrax", description="Market-data and trading shell.",
                    epilog="Exit status: 0 ok, 1 a line failed, 2 usage error, 130 cancelled (Ctrl-C), "
                           "141 output closed, N as a line's exit N said.")
    parser.add_argument("--version", action=ShowVersion)
    parser.add_argument("-c", dest="line", metavar="LINE", action=OneLine, help="run one command line and exit")
    parser.add_argument("--format", choices=BAR_FORMATS,
                        help="with -c: write only the bars to standard output, as CSV or JSON")
    parser.add_argument("--demo", action="store_true",
                        help="run on the simulated feed (offline; generated bars, not market data)")
    parser.add_argument("--demo-fault", metavar="KIND",
                        help="make the simulated feed fail: empty, error[=MESSAGE] or slow=SECONDS")
    parser.add_argument("--gateway", metavar="HOST:PORT",
                        help="broker gateway to connect to (default: $VELTRAX_GATEWAY; none: yfinance only)")
    parser.add_argument("--client-id", type=int, metavar="N",
                        help="API client id at the gateway (default: 1, or the next free one when 1 is in use)")
    parser.add_argument("--cache-url", metavar="URL",
                        help=f"bar cache shared with other shells, on Redis: redis://[user:password@]host:port/db "
                             f"(default: ${CACHE_URL_VARIABLE}, which this sets for the process; a password is "
                             f"better given there than here, where ps shows it; none: the cache stays on this "
                             f"machine)")
    parser.add_argument("--chart", choices=("on", "off", "auto"), default="auto",
                        help="candlestick chart under bar tables (auto: when the terminal is wide)")
    args = parser.parse_args(argv)
    if args.demo_fault is not None and not args.demo:
        parser.error("--demo-fault needs --demo")
    if args.demo and args.gateway is not None:
        parser.error("--demo runs on its own simulated broker; leave out --gateway (or --demo, for the real one)")
    if not args.demo and args.gateway is None:
        args.gateway = os.environ.get(GATEWAY_VARIABLE) or None  # the demo never reaches for a real gateway
    if args.client_id is not None and args.gateway is None:
        parser.error(f"--client-id needs a gateway: --gateway HOST:PORT or ${GATEWAY_VARIABLE}")
    if args.format is not None and args.line is None:
        parser.error("--format needs -c LINE")
    return args


def simulated_state(args: argparse.Namespace) -> ShellState:
    """The demo's feed, its data directory and shared-cache namespace set for this process (the
    bar store reads them when it is first made)."""
    state = demo.simulated_state(args.demo_fault)
    os.environ["VELTRAX_DATA_DIR"] = str(demo.simulated_data_dir(data_dir()))
    os.environ["VELTRAX_CACHE_NAMESPACE"] = demo.CACHE_NAMESPACE
    configure_on_first_import(session_factory=demo.simulated_downloader_session)
    return state


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
    except (OutputClosed, BrokenPipeError):
        # The reader went away (`veltrax -c ... | head`): nothing more to say, and nowhere to say it.
        silence_closed_stdout()
        return EXIT_OUTPUT_CLOSED
    except KeyboardInterrupt:  # Ctrl-C before or after a command ran (start-up, shutting down)
        print("cancelled", file=sys.stderr)
        return EXIT_CANCELLED


# A terminal closed under the shell (SIGHUP) or a polite kill (SIGTERM) ends it as `exit` does.
TERMINATING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def run_to_end(loop: asyncio.AbstractEventLoop, work: Coroutine[Any, Any, int], ctrl_c_cancels: bool = True) -> int:
    """Run `work` to its exit status. Ctrl-C (where it is not the prompt's own) cancels it:
    "cancelled", status 130. SIGTERM and SIGHUP end it quietly with 128 + the signal's number, the
    way out that still runs what runs at exit (the bar store writes what only its memory holds)."""
    task = loop.create_task(work)
    ended_by: list[int] = []

    def end(signum: int) -> None:
        ended_by.append(signum)
        task.cancel()

    handlers = {signum: functools.partial(end, signum) for signum in TERMINATING_SIGNALS}
    if ctrl_c_cancels:
        handlers[signal.SIGINT] = task.cancel
    for signum, handler in handlers.items():
        loop.add_signal_handler(signum, handler)
    try:
        return loop.run_until_complete(task)
    except asyncio.CancelledError:
        if ended_by:
            return 128 + ended_by[0]
        print("cancelled", file=sys.stderr, flush=True)
        return EXIT_CANCELLED
    finally:
        for signum in handlers:
            loop.remove_signal_handler(signum)


def exit_status(shell: Shell, ok: bool) -> int:
    """The status `exit N` asked for, else what the lines earned."""
    if shell.exit_status is not None:
        return shell.exit_status
    return EXIT_OK if ok else EXIT_FAILED


async def one_line(shell: Shell, line: str, fmt: str | None) -> int:
    ok = await shell.execute(line)
    if ok and fmt is not None and not shell.exit_requested:
        if shell.last_result is None:
            shell.warn(f"--format {fmt}: '{line.strip()}' gives no bars")
            return EXIT_FAILED
        result = shell.last_result
        sys.stdout.write(bars_text(result["bars"], fmt, shell.last_zone, result.get("type") == "intraday"))
        sys.stdout.flush()
    return exit_status(shell, ok)


async def interactive_session(shell: Shell, directory: Path) -> int:
    from veltrax.interactive import run_interactive  # prompt_toolkit only where a prompt is shown

    await run_interactive(shell, directory)
    return exit_status(shell, True)


async def script(shell: Shell) -> int:
    return exit_status(shell, await run_script(shell, sys.stdin.fileno()))


def use_cache_url(given: str | None) -> None:
    """The shared cache for this process: --cache-url, else the environment's. One that cannot be
    used is said in one line (never with its password), and the cache stays on this machine."""
    if given is None and not os.environ.get(CACHE_URL_VARIABLE):
        return
    url = given if given is not None else os.environ[CACHE_URL_VARIABLE]
    if url:
        from corbel.dualcache import check_cache_url

        try:
            check_cache_url(url)
        except ValueError as error:
            source = "--cache-url" if given is not None else f"${CACHE_URL_VARIABLE}"
            print(f"veltrax: {source}: {error}; the bar cache stays on this machine", file=sys.stderr)
            url = ""
    os.environ[CACHE_URL_VARIABLE] = url


def set_up_logging(directory: Path) -> None:
    from veltrax.logs import configure_logging

    configure_logging(directory)


def run_shell(args: argparse.Namespace) -> int:
    directory = data_dir()
    use_cache_url(args.cache_url)
    # yfinance is configured when it is first imported; the demo installs its own session below.
    configure_on_first_import()
    frame.set_chart_mode(args.chart)
    interactive = args.line is None and sys.stdin.isatty()
    if interactive and not args.gateway:
        # Logging (loguru) is set up with the commands, once the first prompt is on the screen.
        loader = CommandLoader(prepare=lambda: set_up_logging(directory))
    else:
        set_up_logging(directory)
        loader = CommandLoader()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    gateway = None
    try:
        if args.line is not None and (problem := input_problem(args.line)) is not None:
            print(f"veltrax: -c: {problem}", file=sys.stderr)
            return EXIT_USAGE
        if args.demo:
            try:
                state = simulated_state(args)
            except ValueError as error:
                print(f"veltrax: {error}", file=sys.stderr)
                return EXIT_USAGE
        elif args.gateway:
            from veltrax.gateway.connection import GatewayAddress, GatewayConnection

            try:
                address = GatewayAddress.parse(args.gateway, args.client_id or 1)
            except ValueError as error:
                print(f"veltrax: {error}", file=sys.stderr)
                return EXIT_USAGE
            gateway = GatewayConnection(address, fixed_client_id=args.client_id is not None)
            if not loop.run_until_complete(gateway.connect()):
                gateway.start_reconnecting()
            state = ShellState(gateway.ib, gateway=gateway)
        else:
            state = ShellState()
        if args.format is not None:
            # Only the bars go to standard output: tables nowhere, everything else to standard error.
            with open(os.devnull, "w") as nowhere:
                shell = Shell(state, out=sys.stderr, err=sys.stderr, tables=nowhere, loader=loader, progress=False)
                return run_to_end(loop, one_line(shell, args.line, args.format))
        shell = Shell(state, out=sys.stdout, err=sys.stderr, loader=loader)
        if args.line is not None:
            return run_to_end(loop, one_line(shell, args.line, None))
        if not interactive:
            return run_to_end(loop, script(shell))
        shell.say(banner(state, gateway))
        return run_to_end(loop, interactive_session(shell, directory), ctrl_c_cancels=False)
    finally:
        if gateway is not None:
            loop.run_until_complete(gateway.close())
        loop.close()
