"""The real shell on a gateway at the wire: `veltrax --gateway` with the real ib_async client."""

import subprocess
import sys
import time

import pytest

from conftest import gateway_on_fixed_clock
from gateway_double import Fault
from shell_process import shell_environment, veltrax


def test_one_command_reaches_the_gateway_with_the_commands_arguments(tmp_path):
    with gateway_on_fixed_clock() as gateway:
        done = veltrax("--gateway", gateway.address, "-c", "kline AAPL 5m 20 adj", data_dir=tmp_path, timeout=60)
        (request,) = gateway.historical
    assert done.returncode == 0, done.stderr
    assert (request.barSizeSetting, request.durationStr, request.whatToShow, request.useRTH, request.end) == (
        "5 mins", "1 D", "ADJUSTED_LAST", False, None)
    lines = done.stdout.splitlines()
    assert lines[0] == "AAPL 5m (20 bars) (adjusted)"
    assert lines[-1].startswith("source: ibkr · 20 bars · ") and lines[-1].endswith(" · fresh")
    assert done.stderr == ""
    assert not (tmp_path / "downloads").exists()


def test_a_future_is_asked_for_as_the_continuous_future(tmp_path):
    with gateway_on_fixed_clock() as gateway:
        done = veltrax("--gateway", gateway.address, "-c", "kline /ES day 5", data_dir=tmp_path, timeout=60)
        (request,) = gateway.historical
    assert done.returncode == 0, done.stderr
    assert request.contract.secType == "CONTFUT" and request.contract.symbol == "ES"
    assert done.stdout.splitlines()[0] == "ES day (5 bars)"


@pytest.mark.parametrize("fault, note", [
    (Fault.NO_DATA, "note: gateway error 162: HMDS query returned no data: AAPL@SMART Trades; bars from yfinance"),
    (Fault.DROP, "note: the broker request failed: Socket disconnect; bars from yfinance"),
])
def test_a_failing_gateway_is_answered_by_the_fallback_with_one_note(fault, note, tmp_path):
    with gateway_on_fixed_clock() as gateway:
        gateway.fail_next(fault)
        done = veltrax("--gateway", gateway.address, "-c", "kline AAPL day 5", data_dir=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr
    assert note in done.stderr.splitlines()
    assert "falling back" not in done.stderr  # the command's own chain is in the log file
    assert "falling back to yfinance" in (tmp_path / "veltrax.log").read_text()
    assert done.stdout.splitlines()[-1].startswith("source: yfinance · 5 bars · ")


def test_the_broker_is_used_again_after_the_gateway_restarts(tmp_path):
    with gateway_on_fixed_clock() as gateway:
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
                        return out.split(" · ")[0]

            assert ask("kline AAPL day 3") == "source: ibkr"
            gateway.stop()
            assert ask("kline MSFT day 3") == "source: yfinance"
            gateway.start()
            for _ in range(150):  # the shell reconnects on its own within a few seconds
                if len(gateway.requests("start api")) == 2:
                    break
                time.sleep(0.1)
            time.sleep(0.3)  # the client's start-up requests
            assert ask("kline IBM day 3") == "source: ibkr"
            _, stderr = shell.communicate(timeout=30)
            assert shell.returncode == 0
    assert "disconnected; using yfinance until it is back" in stderr
    assert "is back" in stderr


def test_a_cache_hit_costs_the_gateway_no_round_trip(tmp_path):
    with gateway_on_fixed_clock() as gateway:
        done = veltrax("--gateway", gateway.address, data_dir=tmp_path, timeout=60,
                       stdin="kline AAPL day 5\nkline AAPL day 5\nkline AAPL day 5\n")
        lookups, fetches = gateway.requests("contract details"), gateway.historical
    assert done.returncode == 0, done.stderr
    assert [line.split(" · ")[0] for line in done.stdout.splitlines() if line.startswith("source:")] == [
        "source: ibkr", "source: cache", "source: cache"]
    assert (len(lookups), len(fetches)) == (1, 1)
