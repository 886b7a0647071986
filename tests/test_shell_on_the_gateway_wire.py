"""The real shell on a gateway at the wire: `veltrax --gateway` with the real ib_async client."""

import subprocess
import sys
import time

import pytest

from gateway_double import Fault, running_gateway
from shell_process import shell_environment, veltrax


def test_one_command_reaches_the_gateway_with_the_commands_arguments(tmp_path):
    with running_gateway() as gateway:
        done = veltrax("--gateway", gateway.address, "-c", "kline AAPL 5m 20 adj", data_dir=tmp_path, timeout=60)
        (request,) = gateway.historical
    assert done.returncode == 0, done.stderr
    assert (request.barSizeSetting, request.durationStr, request.whatToShow, request.useRTH, request.end) == (
        "5 mins", "1 D", "ADJUSTED_LAST", False, None)
    lines = done.stdout.splitlines()
    assert lines[0] == "AAPL 5m (20 bars) (adjusted)"
    assert lines[-1] == "source: ibkr · 20 bars · fresh"
    assert done.stderr == ""
    assert not (tmp_path / "downloads").exists()


def test_a_future_is_asked_for_as_the_continuous_future(tmp_path):
    with running_gateway() as gateway:
        done = veltrax("--gateway", gateway.address, "-c", "kline /ES day 5", data_dir=tmp_path, timeout=60)
        (request,) = gateway.historical
    assert done.returncode == 0, done.stderr
    assert request.contract.secType == "CONTFUT" and request.contract.symbol == "ES"
    assert done.stdout.splitlines()[0] == "ES day (5 bars)"


@pytest.mark.parametrize("fault, reason", [
    (Fault.NO_DATA, "IBKR returned error (No data returned)"),
    (Fault.DROP, "IBKR failed (Socket disconnect)"),
])
def test_a_failing_gateway_is_answered_by_the_fallback(fault, reason, tmp_path):
    with running_gateway() as gateway:
        gateway.fail_next(fault)
        done = veltrax("--gateway", gateway.address, "-c", "kline AAPL day 5", data_dir=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"WARNING: [AAPL] {reason}, falling back to yfinance" in done.stderr
    assert done.stdout.splitlines()[-1] == "source: yfinance · 5 bars · fresh"


def test_the_broker_is_used_again_after_the_gateway_restarts(tmp_path):
    with running_gateway() as gateway:
        with subprocess.Popen([sys.executable, "-m", "veltrax", "--gateway", gateway.address], text=True,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=shell_environment(tmp_path)) as shell:
            def ask(line):
                shell.stdin.write(line + "\n")
                shell.stdin.flush()
                while True:
                    out = shell.stdout.readline()
                    assert out, "the shell ended"
                    if out.startswith("source: "):
                        return out.strip()

            assert ask("kline AAPL day 3") == "source: ibkr · 3 bars · fresh"
            gateway.stop()
            assert ask("kline MSFT day 3") == "source: yfinance · 3 bars · fresh"
            gateway.start()
            for _ in range(150):  # the shell reconnects on its own within a few seconds
                if len(gateway.requests("start api")) == 2:
                    break
                time.sleep(0.1)
            time.sleep(0.3)  # the client's start-up requests
            assert ask("kline IBM day 3") == "source: ibkr · 3 bars · fresh"
            _, stderr = shell.communicate(timeout=30)
            assert shell.returncode == 0
    assert "disconnected; using yfinance until it is back" in stderr
    assert "is back" in stderr
