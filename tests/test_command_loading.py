"""What loading the kline module gives the host: names, documentation, the registered class."""

import dataclasses
import os
import subprocess
import sys

import pytest

from corbel.dispatch import DArg, UsageError, fill_arguments
from veltrax.cmds.base import COMMANDS, IOp
from veltrax.cmds.quotes import kline

HELP_LINES = [
    "Fetch candlestick / OHLCV data via IBKR.",
    "",
    "Modes:",
    "  kline <symbol> [period] [count] [adj]           # Latest N candles",
    "  kline <symbol> <start> [end] [period] [adj]     # History by date range",
    "  kline <symbol> intraday                          # Today's per-minute curve",
    "",
    "Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year",
    "Aliases: minute, hour, d, w, m, y, 1d, 1mo",
    "Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)",
    "Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)",
    "        omitted = TRADES (split-adjusted only)",
    "Start / End: YYYY-MM-DD (end defaults to today)",
    "",
    "Examples:",
    "  kline AAPL day 100",
    "  kline AAPL 5m 200 adj",
    "  kline AAPL 2025-01-01 day",
    "  kline AAPL 2025-01-01 2025-06-01 day",
    "  kline AAPL intraday",
]


def test_documentation_texts():
    assert kline.__doc__ == "Command: kline\n\nCategory: Live Market Quotes\n"
    stored = kline.IOpKline.__doc__
    assert stored.endswith("\n    ")
    lines = stored.split("\n")[:-1]
    assert lines[0] == HELP_LINES[0]
    assert [line[4:] if line else line for line in lines[1:]] == HELP_LINES[1:]
    assert all(line.startswith("    ") for line in lines[1:] if line)


def test_registered_under_its_word_as_a_dataclass_of_iop():
    cls = kline.IOpKline
    assert COMMANDS["kline"] is cls
    assert issubclass(cls, IOp) and dataclasses.is_dataclass(cls)
    fields = {f.name: f for f in dataclasses.fields(cls)}
    assert list(fields) == ["state", "ib", "symbol", "rest"]
    for name in ("symbol", "rest"):
        assert fields[name].init is False
        assert fields[name].default is dataclasses.MISSING
        assert fields[name].default_factory is dataclasses.MISSING
    assert cls.requires_gateway is False
    op = cls(state=None, ib=None)
    assert not hasattr(op, "symbol") and not hasattr(op, "rest")


def test_argmap_fills_upper_cased_symbol_and_the_rest_unchanged():
    op = kline.IOpKline(state=None, ib=None)
    descriptors = op.argmap()
    assert [d.name for d in descriptors] == ["symbol", "*rest"]
    assert all(isinstance(d, DArg) for d in descriptors)
    assert descriptors[0].convert is str.upper
    fill_arguments(op, "kline", ["aapl", "5m", "200", "Adj"])
    assert op.symbol == "AAPL" and op.rest == ["5m", "200", "Adj"]
    fill_arguments(op, "kline", ["spy"])
    assert op.rest == []
    with pytest.raises(UsageError, match="missing <symbol>"):
        fill_arguments(kline.IOpKline(state=None, ib=None), "kline", [])


def test_module_namespace_holds_the_host_names_and_an_empty_cache_holder():
    from veltrax import helpers

    assert kline._candle_store is None or type(kline._candle_store).__name__ == "KlineCache"
    assert kline.Future is helpers.Future
    for name in ("logger", "printFrame", "DArg", "pd", "IOp", "command", "KlineCache", "field", "Contract"):
        assert hasattr(kline, name), name
    for name in ("_is_period", "_use_rth", "_is_date", "_parse_date", "_calc_duration", "_get_cache"):
        assert callable(getattr(kline, name)), name


def test_loading_fetches_and_writes_nothing(tmp_path):
    # A fresh process with an unwritable-by-design data dir: loading must not create it.
    data_dir = tmp_path / "data"
    code = "import veltrax.cmds.quotes.kline as k; assert k._candle_store is None"
    # Under `make sanitize` the child needs the sanitizer runtime as much as this process.
    sanitizers = {name: os.environ[name] for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
                  if name in os.environ}
    subprocess.run([sys.executable, "-c", code], check=True,
                   env={"VELTRAX_DATA_DIR": str(data_dir), "HOME": str(tmp_path), **sanitizers})
    assert not data_dir.exists()


def test_get_cache_creates_one_cache_lazily(data_dir):
    first = kline._get_cache()
    assert kline._candle_store is first and kline._get_cache() is first
    assert (data_dir / "cache-kline").is_dir()
