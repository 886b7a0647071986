"""The shell: one line at a time, a clear line for each failure, exit status for -c."""

import asyncio
import io

import pandas as pd
import pytest

from corbel.dispatch import DArg, UsageError, fill_arguments
from corbel.frame import printFrame
from veltrax.shell import Shell
from veltrax.state import ShellState


def veltrax(*args, stdin="", env_dir):
    from shell_process import veltrax as run_shell

    return run_shell(*args, data_dir=env_dir, stdin=stdin)


@pytest.mark.parametrize("line, first_line", [
    ("klin AAPL", "unknown command: klin (try 'help')"),
    ("kline", "kline: missing <symbol>; usage: kline <symbol> [rest...] (try 'help kline')"),
    ("help klin", "no help for klin: not a command or shell word (try 'help')"),
    ("exit now", "usage: exit [STATUS] (a status is a number from 0 to 255)"),
    ("export 'my bars.csv", "no closing quotation mark: close the quote; nothing was run"),
    ("chart sideways", "chart mode must be on, off or auto (got 'sideways')"),
])
def test_a_wrong_line_is_one_line_on_stderr_and_status_1(tmp_path, line, first_line):
    done = veltrax("-c", line, env_dir=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", first_line + "\n")


@pytest.mark.parametrize("word, starts", [
    ("kline", "Fetch candlestick / OHLCV data via IBKR."),
    ("kline", "Fetch candlestick / OHLCV data via IBKR.\n\nModes:\n  kline <symbol> [period] [count] [adj]  "),
    ("cache", "Show or tidy the bar cache.\n\ncache                  what the bar cache holds"),
    ("chart", "chart [on|off|auto]\n\non: always; off: never;"),
    ("export", "export PATH.csv|PATH.json\n\nWrites every bar of the last bar result"),
    ("exit", "exit | quit [STATUS]\n\nLeaves the shell"),
    ("quit", "exit | quit [STATUS]\n\nLeaves the shell"),
])
def test_help_covers_commands_and_shell_words(tmp_path, word, starts):
    done = veltrax("-c", f"help {word}", env_dir=tmp_path)
    assert done.returncode == 0 and done.stdout.startswith(starts), done.stdout


def test_help_lists_every_word(tmp_path):
    lines = veltrax("-c", "help", env_dir=tmp_path).stdout.splitlines()
    listed = {line.split()[0] for line in lines if line.startswith("  ")}
    assert listed == {"kline", "cache", "help", "chart", "export", "exit"}
    assert "  kline      Fetch candlestick / OHLCV data via IBKR." in lines


class Exploding:
    def __init__(self, state, ib):
        pass

    def argmap(self):
        return [DArg("symbol")]

    async def run(self):
        raise RuntimeError("the gateway sent garbage")


def test_a_failing_command_is_one_line_and_a_failure(monkeypatch):
    from veltrax.cmds import base

    monkeypatch.setitem(base.COMMANDS, "boom", Exploding)
    out = io.StringIO()
    ok = asyncio.run(Shell(ShellState(), out=out).execute("boom X"))
    assert not ok and out.getvalue() == "boom X: the gateway sent garbage\n"


def test_rest_descriptor_converts_each_word_and_extra_words_are_refused():
    class Op:
        def argmap(self):
            return [DArg("first", convert=int), DArg("*others", convert=str.lower)]

    op = Op()
    fill_arguments(op, "cmd", ["7", "A", "B"])
    assert op.first == 7 and op.others == ["a", "b"]

    class Single:
        def argmap(self):
            return [DArg("only")]

    with pytest.raises(UsageError, match="unexpected words x y"):
        fill_arguments(Single(), "cmd", ["a", "x", "y"])


class TestPrintFrame:
    def test_title_then_table(self):
        out = io.StringIO()
        printFrame(pd.DataFrame({"open": [1.5, 2.0], "volume": [10, 20]}), "AAPL day (2 bars)", file=out)
        lines = out.getvalue().splitlines()
        assert lines[0] == "AAPL day (2 bars)"
        assert "open" in lines[1] and "volume" in lines[1] and len(lines) == 4

    def test_long_tables_show_head_tail_and_count(self):
        out = io.StringIO()
        printFrame(pd.DataFrame({"n": range(1000)}), "long", file=out)
        lines = out.getvalue().splitlines()
        assert lines[-1] == "(1,000 rows)" and lines[12].strip() == "⋮"
        assert len(lines) == 24
        assert lines[2].strip() == "0" and lines[-2].strip() == "999"

    def test_columns_are_aligned_and_formatted(self):
        out = io.StringIO()
        table = pd.DataFrame({
            "date": pd.to_datetime(["2025-01-02 09:30", "2025-01-02 09:31"]),
            "open": [189.5, 1234.125], "volume": pd.array([1234567, None], dtype="Int64"), "note": ["a", "bb"]})
        printFrame(table, "t", file=out)
        header, first, second = out.getvalue().splitlines()[1:]
        assert first.split() == ["2025-01-02", "09:30", "189.500", "1,234,567", "a"]
        assert second.split() == ["2025-01-02", "09:31", "1,234.125", "bb"]
        assert len(header) >= len(first.rstrip()) - 2 and first.index("189.500") + 7 == second.index("1,234.125") + 9

    def test_daily_dates_have_no_time_and_the_chart_follows_when_asked(self, monkeypatch):
        from corbel import frame

        monkeypatch.setattr(frame, "chart_mode", "on")
        out = io.StringIO()
        table = pd.DataFrame({"date": pd.to_datetime(["2025-01-02", "2025-01-03", "2025-01-06"]),
                              "open": [10.0, 11.0, 12.5], "high": [11.5, 12.0, 13.0],
                              "low": [9.5, 10.5, 11.0], "close": [11.0, 10.75, 12.75]})
        printFrame(table, "chart", file=out)
        lines = out.getvalue().splitlines()
        assert lines[2].startswith("2025-01-02 ")
        chart = [line for line in lines if "┤" in line]
        assert len(chart) == 12 and chart[0].startswith("13.00") and chart[-1].startswith(" 9.50")

    def test_empty_table(self):
        out = io.StringIO()
        printFrame(pd.DataFrame(), "nothing", file=out)
        assert out.getvalue() == "nothing\n(no rows)\n"
