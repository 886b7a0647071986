"""The shell at a terminal (a pty): a slow request shows that it runs; the shell words work there."""

import sys

import pexpect
import pytest

from shell_process import shell_environment

PROMPT = "veltrax>"


def spawn(tmp_path, *options, columns=140):
    # pexpect answers no cursor-position requests; without this the prompt waits for them.
    child = pexpect.spawn(sys.executable, ["-m", "veltrax", "--demo", "--chart", "off", *options], encoding="utf-8",
                          timeout=30, dimensions=(50, columns),
                          env=shell_environment(tmp_path, PROMPT_TOOLKIT_NO_CPR="1"))
    child.expect(PROMPT)
    return child


def test_a_slow_request_shows_a_spinner_that_is_erased_before_the_table(tmp_path):
    child = spawn(tmp_path, "--demo-fault", "slow=1.5")
    child.sendline("kline AAPL day 5")
    child.expect(r"kline AAPL day 5 · (\d+\.\d) s \(Ctrl-C cancels\)")
    assert float(child.match.group(1)) >= 0.5
    child.expect("\r\x1b\\[KAAPL day \\(5 bars\\)\r\n")
    child.expect("source: ibkr")
    child.expect(PROMPT)
    child.sendline("kline AAPL day 5")  # a cache hit is quick: no spinner
    child.expect("source: cache")
    assert "Ctrl-C cancels" not in child.before
    child.sendline("exit")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


@pytest.mark.parametrize("word", ["exit", "quit"])
def test_exit_words_leave(tmp_path, word):
    child = spawn(tmp_path)
    child.sendline(word)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0


def test_at_80_columns_notes_and_status_lines_break_where_a_reader_expects(tmp_path):
    child = spawn(tmp_path, columns=80)
    child.sendline("kline AAPL 5min 100")
    child.expect("kline\r\n  calls that period 5m")
    child.expect(" · fresh\r\n  simulated feed, not market data\r\n")
    child.sendline("exit")
    child.expect(pexpect.EOF)
