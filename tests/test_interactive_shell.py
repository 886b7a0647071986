"""The real interactive shell in a pseudo-terminal: type, see, cancel, complete, leave."""

import sys
import time

import pexpect

from shell_process import shell_environment

PROMPT = "veltrax>"


def spawn(tmp_path, *options, **extra):
    # pexpect answers no cursor-position requests; without this the prompt waits for them.
    environment = shell_environment(tmp_path, PROMPT_TOOLKIT_NO_CPR="1", **extra)
    child = pexpect.spawn(sys.executable, ["-m", "veltrax", "--demo", "--chart", "off", *options], encoding="utf-8",
                          timeout=30, dimensions=(50, 140), env=environment)
    child.expect("SIMULATED FEED")
    child.expect(PROMPT)
    return child


def leave(child):
    child.sendcontrol("d")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_a_kline_command_prints_its_table_and_a_status_line(tmp_path):
    child = spawn(tmp_path)
    child.sendline("kline AAPL day 20 adj")
    child.expect(r"AAPL day \(20 bars\) \(adjusted\)")
    child.expect(r"source: ibkr \(simulated\) · 20 bars · .* · fresh · simulated feed, not market data")
    child.expect(PROMPT)
    child.sendline("kline AAPL day 20 adj")
    child.expect(r"AAPL day \(20 bars\) \(adjusted\)")
    child.expect("source: cache · 20 bars · .* · cached · simulated feed")
    child.expect(PROMPT)
    leave(child)
    assert "kline AAPL day 20 adj" in (tmp_path / "history").read_text()


def test_ctrl_c_cancels_a_slow_command_and_the_shell_stays(tmp_path):
    child = spawn(tmp_path, "--demo-fault", "slow=30")
    child.sendline("kline AAPL day 5")
    log = tmp_path / "veltrax.log"
    for _ in range(200):  # until the broker request is on its way
        if log.exists() and "[AAPL] kline: period=day" in log.read_text():
            break
        time.sleep(0.05)
    started = time.monotonic()
    child.sendcontrol("c")
    child.expect("cancelled")
    assert time.monotonic() - started < 5
    child.expect(PROMPT)
    child.sendline("help kline")
    child.expect("Fetch candlestick / OHLCV data via IBKR.")
    child.expect(PROMPT)
    leave(child)


def test_completion_of_command_and_period_words(tmp_path):
    child = spawn(tmp_path)
    child.send("kli")
    child.send("\t")
    child.expect("kline")
    child.send(" AAPL inDay")  # nothing completes a word no table knows
    child.sendcontrol("u")
    child.send("kline AAPL int\t")
    child.expect("intraday")
    child.sendcontrol("c")  # at the prompt Ctrl-C only clears the line
    child.expect(PROMPT)
    time.sleep(0.3)  # keys that arrive with the Ctrl-C go to the prompt it ends
    child.sendline("chart")
    child.expect("chart: off")
    child.expect(PROMPT)
    leave(child)


def test_a_gateway_that_drops_while_the_prompt_is_shown_is_said_above_the_line_being_typed(tmp_path, gateway):
    environment = shell_environment(tmp_path, PROMPT_TOOLKIT_NO_CPR="1")
    child = pexpect.spawn(sys.executable, ["-m", "veltrax", "--gateway", gateway.address], encoding="utf-8",
                          timeout=30, dimensions=(50, 140), env=environment)
    child.expect(PROMPT)
    child.send("kline AA")
    child.expect("kline AA")
    gateway.stop()
    child.expect("disconnected; using yfinance until it is back")
    child.expect(f"{PROMPT}.*kline AA", timeout=5)  # the prompt drawn again under it, the typing kept
    gateway.start()
    child.expect("is back")
    child.expect(f"{PROMPT}.*kline AA", timeout=5)
    child.send("PL day 3\r")
    child.expect("source: ibkr · 3 bars")
    child.expect(PROMPT)
    leave(child)
