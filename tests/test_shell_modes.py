"""The shell run by scripts: -c, piped lines, --format, export, exit statuses, Ctrl-C, a closed pipe."""

import datetime as dt
import io
import json
import os
import signal
import subprocess
import sys
import time

import pandas as pd
import pytest
from loguru import logger

from shell_process import shell_environment, spawn, veltrax
from veltrax.logs import configure_logging
from veltrax.output import bars_text

FIVE_DAYS = ["2025-12-27", "2025-12-28", "2025-12-29", "2025-12-30", "2025-12-31"]
BAR_FIELDS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


@pytest.mark.parametrize("args, stdin, status", [
    (["-c", "kline AAPL day 5"], "", 0),
    (["-c", "kline ZZZZ day 5"], "", 1),
    (["-c", "exit"], "", 0),
    (["-c", "quit"], "", 0),
    ([], "kline ZZZZ day 5\nkline AAPL day 5\n", 1),
    ([], "kline AAPL day 5\n\nhelp\n", 0),
    ([], "kline AAPL day 5\nexit\nkline ZZZZ day 5\n", 0),
    (["--demo-fault", "empty", "-c", "help"], "", 2),
    (["--format", "csv"], "", 2),
    (["--demo", "--demo-fault", "boom", "-c", "help"], "", 2),
    (["--demo", "--gateway", "127.0.0.1:4002", "-c", "help"], "", 2),
    (["-c", "help", "-c", "kline AAPL"], "", 2),
    (["--client-id", "3", "-c", "help"], "", 2),
    (["-c", "exit 3"], "", 3),
    ([], "kline ZZZZ day 5\nexit 0\n", 0),
    ([], "# bars for the morning\n\n  # indented\nkline AAPL day 5  # the last week\n", 0),
])
def test_exit_status(args, stdin, status, tmp_path):
    done = veltrax(*args, data_dir=tmp_path, stdin=stdin)
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr


def test_a_script_goes_on_after_a_failed_line_and_stops_at_exit(tmp_path):
    done = veltrax(data_dir=tmp_path, stdin="kline ZZZZ day 5\nkline AAPL day 5\nexit\nkline MSFT day 5\n")
    assert [line.split(" · ")[0] for line in done.stdout.splitlines() if line.startswith("source:")] == [
        "source: yfinance"]
    assert "MSFT" not in done.stdout + done.stderr


def test_version(tmp_path):
    done = veltrax("--version", data_dir=tmp_path)
    assert (done.returncode, done.stdout) == (0, "veltrax 0.1.0\n")


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_format_writes_only_the_bars_to_stdout_fetched_or_cached(fmt, tmp_path):
    outputs = []
    for _ in range(2):
        done = veltrax("-c", "kline AAPL day 5", "--format", fmt, data_dir=tmp_path)
        assert done.returncode == 0 and done.stderr.startswith("source: "), done.stderr
        outputs.append(done.stdout)
    assert outputs[0] == outputs[1]  # the second came from the cache
    table = pd.read_csv(io.StringIO(outputs[0])) if fmt == "csv" else pd.DataFrame(json.loads(outputs[0]))
    assert list(table.columns) == BAR_FIELDS and [str(d)[:10] for d in table["date"]] == FIVE_DAYS
    assert list(table["barCount"]) == [1] * 5 and table["close"].iloc[-1] == 399.5


@pytest.mark.parametrize("dates, zone, intraday, written", [
    ([dt.date(2025, 6, 2)], "US/Eastern", False, "2025-06-02"),  # the broker's daily bars
    ([pd.Timestamp("2025-06-02")], "US/Eastern", False, "2025-06-02"),  # yfinance's, at midnight
    ([pd.Timestamp("2025-01-02 09:30")], "US/Central", False, "2025-01-02T09:30:00-06:00"),
    ([pd.Timestamp("2025-07-02 09:30")], "US/Eastern", False, "2025-07-02T09:30:00-04:00"),
    ([pd.Timestamp("2025-01-02 09:30")], None, False, "2025-01-02T09:30:00"),  # the zone unknown
    ([pd.Timestamp("2025-01-03 00:00")], "US/Central", True, "2025-01-03T00:00:00-06:00"),  # a future's midnight
    ([pd.Timestamp("2025-11-02 01:30")] * 2, "US/Central", False,  # the hour the clocks go back, twice
     ["2025-11-02T01:30:00-05:00", "2025-11-02T01:30:00-06:00"]),
])
@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_bar_times_are_written_in_iso_8601_with_their_offset(fmt, dates, zone, intraday, written):
    text = bars_text([{"date": date, "close": 1.5} for date in dates], fmt, zone, intraday)
    table = pd.read_csv(io.StringIO(text), dtype=str) if fmt == "csv" else pd.DataFrame(json.loads(text))
    assert list(table["date"]) == (written if isinstance(written, list) else [written])


def test_no_bars_are_a_header_alone_or_an_empty_array():
    assert (bars_text([], "csv"), bars_text([], "json")) == (",".join(BAR_FIELDS) + "\n", "[]\n")


def test_format_of_a_line_without_bars_fails_with_nothing_on_stdout(tmp_path):
    done = veltrax("-c", "help", "--format", "json", data_dir=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.endswith("--format json: 'help' gives no bars\n")


def test_export_writes_the_last_bars(tmp_path):
    blocked = tmp_path / "no-such-directory" / "bars.csv"
    script = ["export early.csv", "kline AAPL day 5", "export bars.csv", "export 'my bars.json'",
              "export ~/bars.parquet", "export bars", f"export {blocked}", "kline AAPL day 5", "export bars.csv"]
    done = veltrax(data_dir=tmp_path, stdin="\n".join(script) + "\n", cwd=tmp_path, HOME=str(tmp_path))
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "line 1: export: no bars yet: run a kline command first",
        "line 5: export: parquet is not supported (it would need pyarrow); write .csv or .json",
        "line 6: export: the file name says the format: bars.csv or bars.json",
        f"line 7: export: cannot write {blocked}: No such file or directory",
    ]
    assert "exported 5 bars to bars.csv" in done.stdout.splitlines()
    assert "exported 5 bars to bars.csv (replaced the file that was there)" in done.stdout.splitlines()
    csv, records = pd.read_csv(tmp_path / "bars.csv"), json.loads((tmp_path / "my bars.json").read_text())
    assert list(csv.columns) == BAR_FIELDS and [r["date"] for r in records] == list(csv["date"]) == FIVE_DAYS
    assert not list(tmp_path.glob(".*partial")) and not (tmp_path / "bars.parquet").exists()


def test_bars_exported_from_the_demo_say_they_are_no_market_data(tmp_path):
    done = veltrax("--demo", data_dir=tmp_path, stdin="kline AAPL day 3\nexport bars.csv\n", cwd=tmp_path)
    assert "exported 3 bars to bars.csv · simulated feed, not market data" in done.stdout.splitlines()


def test_notices_come_before_the_request_which_still_runs_as_typed(tmp_path):
    done = veltrax("-c", "kline AAPL 5min 100", data_dir=tmp_path)
    assert done.returncode == 0
    assert done.stderr.splitlines() == [
        "note: kline takes '5min' as the adjustment word (prices not adjusted): kline calls that period 5m",
        "note: ignored: 100 (kline reads period, count, adj, in that order)"]
    assert done.stdout.startswith("AAPL day (250 bars) [yfinance]\n")


def test_unfit_input_gets_one_line_and_never_reaches_a_command(tmp_path):
    done = veltrax(data_dir=tmp_path, stdin=b"kline AAPL d\xffy 5\nkline AAPL\x1b[A day 5\nkline AAPL day 5\n")
    assert done.returncode == 1
    assert done.stderr.splitlines() == ["line 1: not UTF-8 text: byte 0xff at column 13; nothing was run",
                                        "line 2: control character U+001B at column 11; nothing was run"]
    assert done.stdout.count("source: yfinance") == 1
    done = veltrax("-c", b"kline AAPL d\xffy", data_dir=tmp_path)
    assert (done.returncode, done.stderr) == (2, "veltrax: -c: not UTF-8 text: byte 0xff at column 13\n")


def test_the_log_file_takes_any_text(tmp_path):
    console = io.StringIO()
    try:
        configure_logging(tmp_path, console=console)
        logger.warning("[{}] odd text", "AA\udcffPL")
    finally:
        logger.remove()
    assert "[AA\\udcffPL] odd text" in (tmp_path / "veltrax.log").read_text()
    assert console.getvalue() == ""  # not the shell's own line: the file only


def wait_for_log(path, text, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and text in path.read_text():
            return
        time.sleep(0.05)
    raise AssertionError(f"{text!r} never logged")


@pytest.mark.parametrize("args, stdin, sent, status, said", [
    (["-c", "kline MSFT day 5"], None, signal.SIGINT, 130, "cancelled\n"),
    ([], "kline MSFT day 5\nkline IBM day 5\n", signal.SIGINT, 130, "cancelled\n"),
    # Ended as by `exit`, so the store's last write at exit still runs.
    (["-c", "kline MSFT day 5"], None, signal.SIGTERM, 143, ""),
    ([], "kline MSFT day 5\n", signal.SIGHUP, 129, ""),
])
def test_ctrl_c_cancels_and_termination_exits(args, stdin, sent, status, said, tmp_path):
    shell = spawn("--demo", "--demo-fault", "slow=30", *args, data_dir=tmp_path)
    if stdin:
        shell.stdin.write(stdin)
        shell.stdin.flush()
    wait_for_log(tmp_path / "veltrax.log", "[MSFT] kline: period=day")
    shell.send_signal(sent)
    out, err = shell.communicate(timeout=10)
    assert (shell.returncode, out, err) == (status, "", said)


def test_a_closed_pipe_ends_quietly_without_a_fallback(tmp_path):
    reader, writer = os.pipe()
    os.close(reader)
    done = subprocess.run([sys.executable, "-m", "veltrax", "--demo", "-c", "kline ORCL day 200"], stdout=writer,
                          stderr=subprocess.PIPE, text=True, env=shell_environment(tmp_path), timeout=60)
    os.close(writer)
    assert (done.returncode, done.stderr) == (141, "")
    log = (tmp_path / "veltrax.log").read_text()
    assert "[ORCL] kline: period=day" in log and "falling back" not in log
    assert not (tmp_path / "downloads").exists()
