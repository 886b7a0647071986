"""The shell: one line at a time, a clear line for each failure, exit status for -c."""

import asyncio
import io
import subprocess
import sys

import pandas as pd
import pytest

from corbel.dispatch import DArg, UsageError, fill_arguments
from corbel.frame import printFrame
from veltrax.shell import Shell
from veltrax.state import ShellState


def veltrax(*args, stdin="", env_dir):
    return subprocess.run(
        [sys.executable, "-m", "veltrax", *args],
        input=stdin, capture_output=True, text=True, timeout=60,
        env={"VELTRAX_DATA_DIR": str(env_dir), "HOME": str(env_dir), "PATH": "/usr/bin:/bin"},
    )


def test_unknown_command_and_missing_symbol_fail_with_one_line(tmp_path):
    done = veltrax("-c", "klin AAPL", env_dir=tmp_path)
    assert done.returncode == 1 and done.stdout == "unknown command: klin (try 'help')\n"
    done = veltrax("-c", "kline", env_dir=tmp_path)
    assert done.returncode == 1
    assert done.stdout.startswith("kline: missing <symbol>")
    assert "Traceback" not in done.stderr


def test_help_shows_the_command_help(tmp_path):
    done = veltrax("-c", "help kline", env_dir=tmp_path)
    assert done.returncode == 0
    assert done.stdout.startswith("Fetch candlestick / OHLCV data via IBKR.")
    assert "  kline AAPL intraday" in done.stdout


def test_interactive_session_carries_on_after_failures(tmp_path):
    done = veltrax(stdin="nonsense\n\nhelp\n", env_dir=tmp_path)
    assert done.returncode == 0
    assert "unknown command: nonsense" in done.stdout and "commands: kline" in done.stdout


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
    assert not ok and out.getvalue() == "boom failed: the gateway sent garbage\n"


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
        text = out.getvalue()
        assert "[1000 rows]" in text and "\n ..\n" in text
        assert len(text.splitlines()) < 30
        assert text.splitlines()[2].strip() == "0" and "999" in text

    def test_empty_table(self):
        out = io.StringIO()
        printFrame(pd.DataFrame(), "nothing", file=out)
        assert out.getvalue() == "nothing\n(no rows)\n"
