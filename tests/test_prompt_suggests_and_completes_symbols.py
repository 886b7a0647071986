"""At the prompt: the rest of a line suggested from history, and the symbols the bar cache holds
completed after `kline` and `cache drop`, without ever creating or failing on the cache."""

import pytest
from prompt_toolkit.completion import CompleteEvent
from prompt_toolkit.document import Document
from prompt_toolkit.history import FileHistory

from test_interactive_shell import PROMPT, leave, spawn
from veltrax.interactive import ShellCompleter


def test_history_of_an_earlier_session_suggests_the_rest_of_the_line(tmp_path):
    FileHistory(str(tmp_path / "history")).store_string("kline AAPL day 20 adj")
    child = spawn(tmp_path)
    child.send("kline AAPL d")
    child.expect("ay 20 adj")  # shown after the cursor
    child.send("\x1b[C\r")  # → takes the suggestion
    child.expect(r"AAPL day \(20 bars\) \(adjusted\)")
    child.expect(PROMPT)
    leave(child)


def test_cached_symbols_complete_and_follow_what_the_commands_change(tmp_path):
    child = spawn(tmp_path)
    child.sendline("kline MSFT day 5")
    child.expect("5 bars")
    child.expect(PROMPT)
    child.send("cache drop ms")
    child.expect("MSFT")  # offered as it is typed
    child.send("\t\r")
    child.expect("removed 1 entry of MSFT")
    child.expect(PROMPT)
    child.sendline("kline AAPL day 5")
    child.expect("5 bars")
    child.expect(PROMPT)
    child.send("cache drop ")
    child.expect("AAPL")  # read again after the commands: AAPL in, MSFT gone
    child.send("\t\r")
    child.expect("removed 1 entry of AAPL")
    child.expect(PROMPT)
    leave(child)


class Unreadable:
    """A store whose disk has gone away."""

    def local_keys(self):
        raise OSError("disk I/O error")


class Holding:
    def __init__(self, *keys):
        self._keys = list(keys)

    def local_keys(self):
        return self._keys


class CacheOf:
    def __init__(self, store):
        self.cache = store


class Commands:
    def commands(self):
        return {"kline": object, "cache": object}


HELD = Holding("AAPL:day:none:count_5", "AAPL:5m:adj:count_200", "MSFT:intraday", "/ES:day:none:count_5")


@pytest.mark.parametrize("store, line, offered", [
    (None, "kline ", []),  # nothing cached yet
    (HELD, "kline ", ["/ES", "AAPL", "MSFT"]),
    (HELD, "kline aa", ["AAPL"]),
    (HELD, "cache drop M", ["MSFT"]),
    (HELD, "kline AAPL ", None),  # past the symbol: the command's own words
    (HELD, "cache ", ["drop", "prune", "stats"]),
    (Unreadable(), "kline ", []),
    (None, "kl", ["kline"]),
])
def test_symbols_come_from_the_cache_keys_where_a_symbol_goes(data_dir, monkeypatch, store, line, offered):
    from veltrax.cmds.quotes import kline

    if store is not None:
        monkeypatch.setattr(kline, "_candle_store", CacheOf(store))
    completions = [c.text for c in ShellCompleter(Commands()).get_completions(Document(line), CompleteEvent())]
    assert not (data_dir / "cache-kline").exists()  # completing never creates the cache
    if offered is None:
        assert "day " in completions and "AAPL " not in completions
    else:
        assert completions == [word + " " for word in offered]  # a completed word is followed by a blank
