"""What the shell shows besides tables: status lines, cache upkeep, logs, bad lines."""


from corbel.chart import buckets, candlestick_lines
from shell_process import veltrax


def test_status_line_cache_and_bad_lines(tmp_path):
    script = "\n".join([
        "kline AAPL day 5",
        "kline AAPL day 5",
        "kline MSFT 2025-03-10 2025-04-01",
        "cache",
        "kline",
        "klin AAPL",
        "kline AAPL 2025-02-30 day",
        "kline ZZZZ day 5",
        "cache drop aapl",
        "cache drop AAPL",
        "cache prune",
        "cache explode",
    ])
    done = veltrax(data_dir=tmp_path, stdin=script + "\n")
    lines, problems = done.stdout.splitlines(), done.stderr.splitlines()
    statuses = [line.rsplit(" · ", 1)[0] for line in lines if line.startswith("source: ")]
    assert statuses == ["source: yfinance · 5 bars · 2025-12-27 → 2025-12-31 · fresh",
                        "source: cache · 5 bars · 2025-12-27 → 2025-12-31 · cached",
                        "source: yfinance · 22 bars · 2025-03-10 → 2025-03-31 · fresh"]
    assert any(line.startswith("bar cache: 2 entries in ") for line in lines) and "  AAPL: day; MSFT: day" in lines
    assert any(line.startswith("line 5: kline: missing <symbol>") for line in problems)
    assert "line 6: unknown command: klin (try 'help')" in problems
    assert "line 7: kline AAPL: not a valid calendar date: 2025-02-30" in problems
    assert ["line 8: kline ZZZZ: No data returned", "  yfinance has no data for it"] == [
        line for line in problems if "ZZZZ" in line or line.startswith("  ")]
    assert lines.count("removed 1 entry of AAPL") == 1 and "removed 0 entries of AAPL" in lines
    assert "removed 0 stale entries" in lines
    assert "line 12: cache: usage: cache | cache drop <symbol> | cache prune" in problems
    assert "Traceback" not in done.stderr and done.returncode == 1
    downloads = (tmp_path / "downloads").read_text().splitlines()
    assert len(downloads) == 3  # the repeat came from the cache; the bad lines downloaded nothing


def test_the_chain_goes_to_the_log_file_and_a_summary_to_the_terminal(tmp_path):
    done = veltrax("-c", "kline ZZZZ day 5", data_dir=tmp_path)
    log = (tmp_path / "veltrax.log").read_text()
    assert "| INFO    | [ZZZZ] No gateway, using yfinance fallback" in log
    assert "| ERROR   | [ZZZZ] yfinance returned no data" in log
    assert done.stderr == "kline ZZZZ: No data returned\n  yfinance has no data for it\n"
    assert done.returncode == 1


def test_an_unwritable_data_directory_still_gives_a_working_shell(tmp_path):
    blocked = tmp_path / "file"
    blocked.write_text("not a directory")
    done = veltrax("-c", "help kline", data_dir=blocked)
    assert done.returncode == 0 and "Fetch candlestick" in done.stdout
    assert "no log file in" in done.stderr


class TestChart:
    def test_groups_cover_every_bar_once(self):
        for size in (1, 7, 80, 81, 1000):
            groups = buckets(size, 80)
            assert [i for g in groups for i in g] == list(range(size))
            assert len(groups) == min(size, 80)

    def test_rising_and_falling_candles(self):
        lines = candlestick_lines([10, 12], [13, 13], [9, 10], [12, 10], width=10, height=5)
        assert len(lines) == 5
        body = [line.split("┤")[1] for line in lines]
        assert [row[0] for row in body] == ["│", "█", "█", "█", "│"]
        assert [row[1] for row in body] == ["│", "▒", "▒", "▒", " "]
        assert lines[0].startswith("13.00") and lines[-1].startswith(" 9.00")

    def test_missing_prices_are_left_out(self):
        nan = float("nan")
        assert candlestick_lines([nan], [nan], [nan], [nan]) == []
        assert len(candlestick_lines([1, nan], [2, 3], [0.5, 1], [1.5, 2])[0].split("┤")[1]) == 1
