"""Serve the double until interrupted: python -m gateway_double [--port N] [--fault KIND] (from tests/)."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import signal

from .server import Fault, GatewayDouble


async def serve(args: argparse.Namespace) -> None:
    double = GatewayDouble(host=args.host, port=args.port)
    if args.fault:
        double.fail_always(Fault(args.fault))
    port = await double.start()
    # Scripts read this line to learn the port.
    print(f"gateway double listening on {args.host}:{port}", flush=True)
    stopped = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stopped.set)
    await stopped.wait()
    await double.stop()


def main() -> None:
    parser = argparse.ArgumentParser(prog="gateway_double", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 (default): a free port")
    parser.add_argument("--fault", choices=[f.value for f in Fault], help="every historical request meets it")
    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
