"""Ctrl-C while a request waits on the broker: the command's objects are all freed by exit."""

import signal
import subprocess
import sys
import time

import pytest

from shell_process import shell_environment


def wait_for_line(path, text, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and text in path.read_text(encoding="utf-8", errors="replace"):
            return
        time.sleep(0.05)
    raise AssertionError(f"{text!r} never reached {path}")


@pytest.mark.slow
@pytest.mark.parametrize("mode", ["-c", "piped"])
def test_ctrl_c_during_a_broker_request_leaks_no_native_object(mode, tmp_path):
    line = "kline AAPL day 5"
    args = ["--demo", "--demo-fault", "slow=60"] + (["-c", line] if mode == "-c" else [])
    shell = subprocess.Popen([sys.executable, "-m", "veltrax", *args], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=shell_environment(tmp_path))
    try:
        if mode == "piped":
            shell.stdin.write(line + "\n")
            shell.stdin.flush()
        # The request has reached the (slow) broker once its parameters are logged.
        wait_for_line(tmp_path / "veltrax.log", "[AAPL] kline: period=day")
        shell.send_signal(signal.SIGINT)
        _, stderr = shell.communicate(timeout=60)
    finally:
        shell.kill()
    assert "nanobind: leaked" not in stderr, stderr
