"""While the store waits for another shell's lock, the process's other threads go on."""

import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from corbel.dualcache import DualCache

WORKER = Path(__file__).with_name("store_worker.py")
HELD = 1.5  # seconds the other shell holds its lock


class Ticker(threading.Thread):
    """A worker thread that counts while it gets to run."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ticks = 0
        self.stopped = threading.Event()

    def run(self):
        while not self.stopped.wait(0.005):
            self.ticks += 1


@pytest.mark.parametrize("lock, prepare", [
    ("immediate", lambda directory: DualCache("shared", cachePrefix=f"{directory.parent}/").close()),
    ("exclusive", lambda directory: directory.mkdir()),  # a new file: the switch to WAL waits
], ids=["a write lock, in the busy timeout", "a new file's lock, in the switch to WAL"])
def test_a_worker_thread_runs_while_the_store_waits_for_another_shell(tmp_path, lock, prepare):
    directory = tmp_path / "shared"
    prepare(directory)
    with subprocess.Popen([sys.executable, str(WORKER), "hold", str(directory / "cache.db"), lock, str(HELD)],
                          stdout=subprocess.PIPE, text=True) as holder:
        assert holder.stdout.readline() == "locked\n"
        ticker = Ticker()
        ticker.start()
        started = time.monotonic()
        store = DualCache("shared", cachePrefix=f"{tmp_path}/")
        store["k"] = {"bars": [{"close": 1.0}], "cached_at": 1.0}
        waited = time.monotonic() - started
        ticker.stopped.set()
    assert waited > HELD / 2, "the store did not wait for the lock"
    # A tenth of the ticks it could make: room for a busy machine, far above the one tick a held GIL allows.
    assert ticker.ticks > waited / 0.005 / 10, f"{ticker.ticks} ticks in {waited:.2f} s: the wait held the GIL"
    assert store.stats()["disk"] == "ok"
    assert DualCache("shared", cachePrefix=f"{tmp_path}/").get("k") == {"bars": [{"close": 1.0}], "cached_at": 1.0}
