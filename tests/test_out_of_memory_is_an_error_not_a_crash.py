"""An allocation that fails anywhere in a request raises; it never crashes the process.

Each scenario runs in a child process that makes every allocation fail in turn (CPython's
_testcapi.set_nomemory), one per run: the child must reach its end. Whatever pandas or numpy
do with a failed allocation of their own is theirs; a NULL that our code went on to use is a
segmentation fault here.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT

HARNESS = """
import sys
sys.path[:0] = [{tests!r}, {modules!r}]
import _testcapi
from loguru import logger
logger.remove()
{setup}

def drive(coroutine):
    while True:
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value

operation()  # warm-up: imports, caches and interned names are made outside the sweep
start, last_failure = 0, 0
while start - last_failure < 300:
    _testcapi.set_nomemory(start, start + 1)
    try:
        operation()
    except Exception:
        last_failure = start
    finally:
        _testcapi.remove_mem_hooks()
    start += 1
print("survived", last_failure)
"""

SCENARIOS = {
    "fresh intraday bars": """
        from broker_doubles import MemoryCache, RecordingIB, command, minute_bars
        from veltrax.cmds.quotes import kline

        class Forgetful(MemoryCache):
            def set(self, key, bars):
                pass

        kline._candle_store = Forgetful()
        kline.printFrame = lambda table, title: None

        def operation():
            op = command("AAPL", ["1m", "0"], RecordingIB(minute_bars(3)))
            drive(op._kline(None, op.rest))
    """,
    "cache hit": """
        import tempfile
        from broker_doubles import RecordingIB, command
        from veltrax.cmds.quotes import kline
        from veltrax.gateway.candle_store import KlineCache

        kline._candle_store = KlineCache(tempfile.mkdtemp())
        kline._candle_store.set("AAPL:day:none:count_5", [{"close": 1.0}])

        def operation():
            drive(command("AAPL", ["day", "5"], RecordingIB()).run())
    """,
    "a body that raises StopIteration": """
        import _bridge_probe

        def operation():
            try:
                drive(_bridge_probe.raising(StopIteration(5)))
            except RuntimeError as error:
                if not isinstance(error.__cause__, StopIteration):
                    raise
    """,
}


@pytest.mark.slow
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_every_failed_allocation_is_survived(scenario):
    modules = os.environ.get("VELTRAX_TEST_MODULES", str(ROOT / "build" / "release" / "test_modules"))
    script = HARNESS.format(tests=str(ROOT / "tests"), modules=modules, setup=textwrap.dedent(SCENARIOS[scenario]))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.startswith("survived")
