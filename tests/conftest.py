import asyncio
import datetime as dt
import functools
import os
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import pytest
from loguru import logger

ROOT = Path(__file__).resolve().parent.parent
# Tests read log lines through the log_lines fixture, not from stderr.
logger.remove()
# Test-only extension modules (the coroutine bridge probe) are built beside the package.
sys.path.insert(0, os.environ.get("VELTRAX_TEST_MODULES", str(ROOT / "build" / "release" / "test_modules")))


@pytest.fixture(autouse=True)
def no_shared_cache_from_outside(monkeypatch):
    """Stores made in tests share a cache only where a test says so, whatever this machine's environment."""
    monkeypatch.delenv("VELTRAX_CACHE_URL", raising=False)
    monkeypatch.delenv("VELTRAX_CACHE_NAMESPACE", raising=False)


@pytest.fixture
def log_lines():
    """(level, message) of every line logged while the test runs."""
    lines: list[tuple[str, str]] = []
    handler = logger.add(lambda m: lines.append((m.record["level"].name, m.record["message"])), level="DEBUG")
    yield lines
    logger.remove(handler)


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """A private data directory and a fresh process-wide bar cache."""
    from veltrax.cmds.quotes import kline

    monkeypatch.setenv("VELTRAX_DATA_DIR", str(tmp_path))
    monkeypatch.setattr(kline, "_candle_store", None)
    return tmp_path


@pytest.fixture
def yf(monkeypatch):
    """A fake yfinance module in place of the real one, recording each download."""
    from downloader_doubles import FakeYFinance

    fake = FakeYFinance()
    monkeypatch.setitem(sys.modules, "yfinance", fake)
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    return fake


@pytest.fixture
def run():
    """Run a coroutine to completion on a fresh event loop."""
    return lambda coroutine: asyncio.run(coroutine)


# The gateway double's clock: a Friday evening in New York, after the extended session.
GATEWAY_NOW = dt.datetime(2025, 6, 6, 21, 0, tzinfo=ZoneInfo("America/New_York"))


def gateway_on_fixed_clock(**options):
    """A broker gateway double on a free loopback port, served from its own thread, its clock at
    GATEWAY_NOW: how many intraday bars exist never depends on the time of day."""
    from gateway_double import running_gateway, simulated_bars

    return running_gateway(source=functools.partial(simulated_bars, now=lambda: GATEWAY_NOW), **options)


@pytest.fixture
def gateway():
    with gateway_on_fixed_clock() as running:
        yield running


@pytest.fixture
def start_redis_server(tmp_path):
    """Starts private redis-servers (tests/redis_server.py): start_redis_server(password=None)."""
    from redis_server import RedisServer

    servers: list[RedisServer] = []

    def start(password: str | None = None) -> RedisServer:
        servers.append(RedisServer(tmp_path / f"redis-{len(servers)}", password))
        return servers[-1]

    yield start
    for server in servers:
        server.kill()
