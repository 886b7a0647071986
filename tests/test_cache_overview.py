"""The cache command's overview: entries, both bounds and their use, and what it holds by symbol."""

import re

import pytest

from shell_process import veltrax
from veltrax.cmds.quotes.kline import PERIOD_MAP
from veltrax.cmds.upkeep.cache import SHOWN_SYMBOLS, holdings, holdings_line, shared_line


@pytest.mark.parametrize("keys, held", [
    (["AAPL:day:none:count_5", "AAPL:5m:adj:count_200", "MSFT:1h:none:2025-01-01_2025-06-01",
      "AAPL:day:adj:count_250"], {"AAPL": ["5m", "day"], "MSFT": ["1h"]}),
    (["SPY:intraday:full", "SPY:d:none:count_5", "SPY:week:none:count_5", "SPY:zz:none:count_1", "SPY:1m:x"],
     {"SPY": ["1m", "week", "d", "intraday", "zz"]}),  # vocabulary order, aliases after, unknown words last
    (["no-colon", ":day:none:count_1", "EMPTY:", "SPYG:day:none:count_1"], {"SPYG": ["day"]}),
    ([], {}),
], ids=["periods of two symbols", "period order", "keys that are not the command's", "nothing"])
def test_holdings_come_from_the_keys(keys, held):
    assert holdings(keys, list(PERIOD_MAP)) == held


@pytest.mark.parametrize("state, unsent, unsent_bytes, set_aside, says", [
    ("ok", 0, 0, 0, "ok"),
    ("ok", 3, 2048, 0, "ok (3 changes to send it (2.0 KiB))"),
    ("unavailable", 1, 500, 0,
     "unavailable (1 change to send it (500 B) when it is back; the counts above are this machine's)"),
    ("ok", 0, 0, 2, "ok (2 it refused, kept on this machine only (see the log))"),
], ids=["nothing to send", "catching up", "away", "refused"])
def test_the_shared_line_says_what_the_desk_is_still_to_get(state, unsent, unsent_bytes, set_aside, says):
    shared = {"url": "redis://cache.desk:6379/3", "state": state, "unsent": unsent, "unsent_bytes": unsent_bytes,
              "set_aside": set_aside}
    assert shared_line(shared) == f"shared: redis://cache.desk:6379/3, {says}"


def test_many_symbols_are_counted_not_listed():
    held = {f"S{n:03d}": ["day"] for n in range(SHOWN_SYMBOLS + 3)}
    line = holdings_line(held)
    assert line.startswith("S000: day; S001: day") and line.endswith("; and 3 more symbols")
    assert line.count(":") == SHOWN_SYMBOLS


def test_the_overview_shows_bounds_use_and_holdings_also_when_the_disk_is_away(tmp_path):
    script = "kline AAPL day 5\nkline AAPL 5m 3\nkline MSFT 1h 2\ncache\n"
    healthy = veltrax("--demo", data_dir=tmp_path / "healthy", stdin=script).stdout.splitlines()
    start = healthy.index(next(line for line in healthy if line.startswith("bar cache: 3 entries in ")))
    disk, held = healthy[start + 1:start + 3]
    assert re.fullmatch(r"  disk [\d.]+ KiB of 2\.0 GiB \(database [\d.]+ KiB, log [\d.]+ KiB\); memory .* of 256\.0 MiB "
                        r"\(3 entries\)", disk), disk
    assert held == "  AAPL: 5m, day; MSFT: 1h"

    (tmp_path / "away" / "simulated" / "cache-kline" / "cache.db").mkdir(parents=True)
    away = veltrax("--demo", data_dir=tmp_path / "away", stdin=script).stdout
    assert "  disk 0 B of 2.0 GiB (unavailable: 3 entries only in memory); memory " in away
    assert "  AAPL: 5m, day; MSFT: 1h" in away
