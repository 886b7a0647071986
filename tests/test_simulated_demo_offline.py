"""The demo shell runs offline: both paths answer from the simulated market, nothing leaves the machine."""

import os
import shutil
import subprocess
import sys

import pytest

from shell_process import shell_environment
from veltrax.simfeed.chart_service import COOKIE_VALUE, CRUMB


YFINANCE_CAVEAT = ("yfinance has no average or trade count (average = close, barCount = 1) and adds Adj Close "
                   "(the close adjusted for dividends)")


def network_namespace_available() -> bool:
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode == 0


@pytest.mark.slow
@pytest.mark.skipif(not network_namespace_available(), reason="needs unshare -n (a network namespace)")
def test_the_demo_answers_without_a_network(tmp_path):
    home, data = tmp_path / "home", tmp_path / "data"
    home.mkdir()
    # No network at all (not even loopback), and a proxy that would refuse anyway.
    env = shell_environment(data, PYTHONPATH="", HOME=str(home), HTTPS_PROXY="http://127.0.0.1:9")
    script = "kline AAPL day 5\nkline AAPL 2025-03-03 2025-03-07\nkline ZZZZ day 5\nkline AAPL intraday\n"
    done = subprocess.run(["unshare", "-n", sys.executable, "-m", "veltrax", "--demo", "--demo-fault", "error"],
                          input=script, capture_output=True, text=True, timeout=120, env=env)
    answers = [line for line in done.stdout.splitlines() if line.startswith("source: ")]
    label = "simulated feed, not market data"
    # The broker fails on demand; the downloader answers from the same simulated market, and says so.
    # (how many intraday bars there are depends on the time of day)
    assert [answer.split(" · ")[:2] for answer in answers[:2]] == [
        ["source: yfinance (simulated)", "5 bars"], ["source: yfinance (simulated)", "4 bars"]]
    assert len(answers) == 3 and answers[2].startswith("source: yfinance (simulated) · ")
    assert all(answer.endswith(" · fresh · " + YFINANCE_CAVEAT + " · " + label) for answer in answers)
    errors = done.stderr.splitlines()
    assert "line 3: kline ZZZZ: No data returned" in errors
    assert "  the broker does not list ZZZZ; yfinance does not know the symbol" in errors
    for line in errors:
        assert "http" not in line and CRUMB not in line and COOKIE_VALUE not in line, line
    assert "Traceback" not in done.stderr and "Warning" not in done.stderr
    # The library's warnings went to the log file, once per kind; its caches are under the data directory.
    log = (data / "veltrax.log").read_text()
    assert 0 < log.count("Pandas4Warning: The inplace keyword in DataFrame.sort_index") == 1
    assert {p.name for p in (data / "simulated" / "yfinance").iterdir()} >= {"cookies.db", "tkr-tz.db"}
    assert list(home.iterdir()) == []
