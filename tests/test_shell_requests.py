"""A kline request through the shell: what it shows, in which zone, what it asks the gateway,
and what a closed output does to it."""

import asyncio
import datetime as dt
import io

import pytest

from corbel import frame
from veltrax.cmds.quotes import kline
from veltrax.cmds.upkeep import cache  # noqa: F401 (registers the cache command)
from veltrax.contracts import ContractMemory, Instrument
from veltrax.output import OutputClosed
from veltrax.shell import Shell
from veltrax.simfeed import SimulatedIB
from veltrax.state import ShellState

# The simulated feed's clock: a Friday afternoon in New York, within the regular session.
NOW = dt.datetime(2025, 6, 6, 18, 0, tzinfo=dt.timezone.utc)


def simulated_ib(**options):
    return SimulatedIB(clock=lambda: NOW, **options)


def run_lines(shell, *lines):
    return [asyncio.run(shell.execute(line)) for line in lines]


@pytest.mark.parametrize("line", [
    "kline AAPL 5m 20 adj", "kline AAPL 2025-01-02 2025-02-01 day", "kline AAPL intraday"])
@pytest.mark.parametrize("broker", [True, False], ids=["broker", "yfinance"])
def test_a_cache_hit_shows_the_table_and_chart_a_fetch_showed(line, broker, yf, data_dir, monkeypatch):
    monkeypatch.setattr(frame, "chart_mode", "on")
    shell = Shell(ShellState(simulated_ib()) if broker else ShellState(), out=io.StringIO(), tables=io.StringIO())
    shown = []
    for _ in range(2):
        shell.tables.seek(0)
        shell.tables.truncate()
        assert run_lines(shell, line) == [True]
        shown.append(shell.tables.getvalue().splitlines())
    (fresh_title, *fresh), (cached_title, *cached) = shown
    assert cached == fresh and len(fresh) > 12  # rows and the chart under them
    assert cached_title == fresh_title.replace(" [yfinance]", " (adjusted)" if "adj" in line else "")
    fresh, cached = (line.split(" · ") for line in shell.out.getvalue().splitlines() if line.startswith("source: "))
    assert (fresh[3], cached[0], cached[3]) == ("fresh", "source: cache", "cached")
    assert fresh[1:3] == cached[1:3] and fresh[4:] == cached[4:]  # yfinance's bars say what they lack, cached too


@pytest.mark.parametrize("symbol, broker, zone, contract", [
    ("AAPL", True, "US/Eastern", None),
    ("/ES", True, "US/Central", "contract ESM5 (Jun 2025)"),  # CME's zone; the front month answers
    ("AAPL", False, "exchange time", None),
])
def test_tables_are_shown_in_the_zone_and_contract_the_lookup_named(symbol, broker, zone, contract, yf, data_dir,
                                                                      monkeypatch):
    zones = []

    def printer(table, title, file=None):
        zones.append((frame.known(frame.bar_time_zone), frame.known(frame.bar_contract)))
        print(title, file=file)

    monkeypatch.setattr(kline, "printFrame", printer)
    monkeypatch.setattr(frame, "printFrame", printer)
    shell = Shell(ShellState(simulated_ib()) if broker else ShellState(), out=io.StringIO(), tables=io.StringIO())
    assert run_lines(shell, f"kline {symbol} 5m 10", f"kline {symbol} 5m 10") == [True, True]
    assert zones == [(zone, contract)] * 2  # the fetch (the command prints) and the hit (the shell prints)
    assert frame.bar_time_zone.get() is None and frame.bar_contract.get() is None


@pytest.mark.parametrize("remember, lookups", [(True, 1), (False, 3)])
def test_contract_lookups_are_remembered_for_the_session(remember, lookups, data_dir):
    ib = simulated_ib()
    shell = Shell(ShellState(ib, remember_contracts=remember), out=io.StringIO(), tables=io.StringIO())
    assert run_lines(shell, "kline AAPL day 5", "kline AAPL day 5", "kline aapl day 5") == [True] * 3
    assert len(ib.calls_to("reqContractDetailsAsync")) == lookups
    assert len(ib.calls_to("reqHistoricalDataAsync")) == 1


def test_a_future_is_remembered_until_its_contract_expires():
    today = dt.date(2025, 6, 20)
    memory = ContractMemory(today=lambda: today)
    memory.remember("ES", Instrument("ES", object(), "US/Central", expires=dt.date(2025, 6, 20)))
    memory.remember("AAPL", Instrument("AAPL", object(), "US/Eastern"))
    assert memory.recall("ES").zone == "US/Central"
    today = dt.date(2025, 6, 21)
    assert memory.recall("ES") is None and memory.recall("AAPL").zone == "US/Eastern"


class ClosedPipe(io.StringIO):
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


def test_a_closed_output_ends_the_request_without_a_fallback(yf, data_dir):
    ib = simulated_ib()
    shell = Shell(ShellState(ib), out=io.StringIO(), tables=ClosedPipe())
    with pytest.raises(OutputClosed):
        asyncio.run(shell.execute("kline ORCL 1m 200"))
    assert len(ib.calls_to("reqHistoricalDataAsync")) == 1 and yf.downloads == []


def test_no_network_is_named_and_the_chain_stays_in_the_log(yf, data_dir, log_lines):
    yf.error = RuntimeError("Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
                            "See https://curl.se/libcurl/c/libcurl-errors.html first for more details.")
    out = io.StringIO()
    assert run_lines(Shell(ShellState(), out=out), "kline AAPL day 5") == [False]
    assert out.getvalue() == ("kline AAPL: No data returned\n  yfinance could not be reached: no network "
                              "(Could not resolve host: query2.finance.yahoo.com)\n")
    assert ("ERROR", "[AAPL] yfinance returned no data") in log_lines


@pytest.mark.parametrize("asked, dropped", [("kline /ES day 5", "cache drop /es"), ("kline ES day 5", "cache drop /ES")])
def test_cache_drop_reads_a_symbol_as_kline_does(asked, dropped, data_dir):
    shell = Shell(ShellState(simulated_ib()), out=io.StringIO(), tables=io.StringIO())
    assert run_lines(shell, asked, dropped) == [True, True]
    assert shell.tables.getvalue().splitlines()[-1] == f"removed 1 entry of {dropped.split()[-1].upper()}"
