"""A desk of machines on one Redis: a copy the desk superseded is never answered, a stale copy's removal
never deletes a fresher value, changes made while Redis is away outlive their process and never undo later
ones, and the desk's entries are listed, pruned and completed without walking the database."""

import time
from types import SimpleNamespace

import pytest

from test_store_shares_through_redis import bar_entry, lines, local_levels, machine
from veltrax.gateway.candle_store import KlineCache

_store_faults = pytest.importorskip("_store_faults")


def eventually(done, seconds: float = 5) -> bool:
    """Invalidations reach a machine on a connection of their own, a moment after the change."""
    until = time.monotonic() + seconds
    while not done():
        if time.monotonic() > until:
            return False
        time.sleep(0.01)
    return True


def test_one_fetch_per_freshness_window_serves_the_whole_desk(tmp_path, start_redis_server, monkeypatch):
    monkeypatch.setenv("VELTRAX_CACHE_URL", start_redis_server().url())
    now = [1_750_000_000.0]
    monkeypatch.setattr(time, "time", lambda: now[0])
    desk = [KlineCache(tmp_path / name) for name in ("a", "b", "c")]
    key = KlineCache.count_key("AAPL", "1m", "none", 5)
    fetched = []
    for second in range(0, 240, 20):  # four windows of one-minute bars, each machine asking every 20 s
        now[0] += 20
        for cache in desk:
            if cache.get(key) is None:
                fetched.append(second)
                cache.set(key, [{"close": second}])
            time.sleep(0.05)  # the desk's machines ask seconds apart: its invalidations have arrived
    assert len(fetched) <= 5, fetched


def test_a_copy_the_desk_superseded_is_never_answered_nor_removed_in_its_place(tmp_path, start_redis_server):
    redis = start_redis_server()
    url = redis.url()
    here, there = machine(tmp_path, "here", url), machine(tmp_path, "there", url)
    first, second, third = bar_entry(5, 1.0), bar_entry(6, 2.0), bar_entry(7, 3.0)
    here["k"] = first
    assert there.get("k") == first
    here["k"] = second
    assert eventually(lambda: there.get("k") == second)  # told by the desk's Redis, kept

    # A removal of a copy, racing a fresher write, leaves the fresher value.
    here["k"] = third
    del there["k"]
    assert machine(tmp_path, "fourth", url).get("k") == third

    # A new process's copy in cache.db is confirmed before it is answered.
    old = local_levels(tmp_path, "fifth")
    old["k"] = first
    old.close()
    assert machine(tmp_path, "fifth", url).get("k") == third
    assert local_levels(tmp_path, "fifth").get("k") == third


@pytest.mark.parametrize("later_process", ["writable", "read-only"])
def test_changes_made_while_redis_is_away_outlive_their_process_and_never_undo_later_ones(
        tmp_path, start_redis_server, log_lines, later_process):
    server = start_redis_server()
    # A user that may not write the keys beginning with "x": Redis refuses those.
    server.command("ACL", "SETUSER", "trader", "on", ">pw", "~veltrax:kline:[^x]*", "~veltrax:kline#*",
                   "&__redis__:invalidate", "+@all")
    url = f"redis://trader:pw@127.0.0.1:{server.port}/0"
    here, desk = machine(tmp_path, "here", url, retryAfter=1), machine(tmp_path, "desk", server.url())
    old, mine, theirs = bar_entry(3, 1.0), bar_entry(4, 2.0), bar_entry(5, 3.0)
    here["removed"] = old

    server.freeze()
    for key in ("written", "overwritten later", "removed later", "x refused"):
        here[key] = mine
    del here["removed"]
    assert here.shared["unsent"] == 5
    here.close()  # the process ends; its changes wait in cache.db
    server.thaw()

    desk["overwritten later"] = theirs
    desk["removed later"] = theirs
    del desk["removed later"]
    if later_process == "read-only":
        _store_faults.fail(str(tmp_path / "here-kline"), "read-only")
    try:
        later = machine(tmp_path, "here", url)
        assert later.get("absent") is None  # its first use sends them
        assert later.shared["unsent"] == 0 and later.shared["set_aside"] == 1
    finally:
        _store_faults.clear()

    reader = machine(tmp_path, "reader", server.url())
    assert reader.get("written") == mine and reader.get("removed") is None
    assert reader.get("overwritten later") == theirs and reader.get("removed later") is None
    assert reader.get("x refused") is None and later.get("x refused") == mine
    refused = [line for line in lines(log_lines, "WARNING") if "refused" in line]
    assert refused == [f"The shared cache redis://127.0.0.1:{server.port}/0 refused the change of 'x refused' "
                       "(NOPERM this user has no permissions to access one of the keys used as arguments); "
                       "it stays on this machine only"]


def test_listing_reads_the_index_prune_reads_without_copying_and_completion_stays_local(
        tmp_path, start_redis_server, monkeypatch, log_lines):
    from veltrax.interactive import CachedSymbols

    redis = start_redis_server()
    here, there = machine(tmp_path, "here", redis.url()), machine(tmp_path, "there", redis.url())
    here["AAPL:day:none:count_5"] = bar_entry(5, 1.0)
    here["AAPL:day:none:count_9"] = bar_entry(9, time.time())
    here["MSFT:1h:none:count_5"] = bar_entry(5, 1.0)
    redis.command("DEL", "veltrax:kline:MSFT:1h:none:count_5")  # as Redis's LRU would
    assert there.keys() == ["AAPL:day:none:count_5", "AAPL:day:none:count_9"] and len(there) == 2
    assert "cmdstat_scan" not in redis.command("INFO", "commandstats")

    assert there.prune(lambda key, entry: KlineCache._is_stale(entry, key)) == 1
    assert there.keys() == ["AAPL:day:none:count_9"] and local_levels(tmp_path, "there").keys() == []

    # Completion reads this machine's keys only: with Redis gone, no wait and no line.
    from veltrax.cmds.quotes import kline

    monkeypatch.setattr(kline, "_candle_store", SimpleNamespace(cache=here))
    redis.kill()
    log_lines.clear()
    assert CachedSymbols().get() == ["AAPL", "MSFT"]
    assert log_lines == []
