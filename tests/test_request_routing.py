"""How run() routes a request: no symbol, no gateway, lookup, broker modes, fallback."""

import asyncio
import copy

import pytest
from ib_async import Future, Stock

from veltrax.cmds.quotes import kline


class State:
    def __init__(self, connected=True, lookup=None):
        self.connected = connected
        self.lookups = []
        self._lookup = lookup or (lambda symbol: (symbol, Stock(symbol, "SMART", "USD")))

    async def positionalQuoteRepopulate(self, symbol):
        self.lookups.append(symbol)
        await asyncio.sleep(0)
        answer = self._lookup(symbol)
        if isinstance(answer, BaseException):
            raise answer
        return answer


class Recorder(kline.IOpKline):
    """The command with its request modes replaced by recorders."""

    def setup(self, broker_result=None, broker_error=None, fallback_result=None, fallback_error=None):
        self.calls = []
        self.broker_result = broker_result if broker_result is not None else {"symbol": "X", "bars": []}
        self.broker_error = broker_error
        self.fallback_result = fallback_result if fallback_result is not None else {"source": "yfinance"}
        self.fallback_error = fallback_error
        return self

    async def _broker(self, name, *args):
        self.calls.append((name, *args))
        await asyncio.sleep(0)
        if self.broker_error is not None:
            raise self.broker_error
        return self.broker_result

    async def _kline(self, contract, rest):
        return await self._broker("_kline", contract, rest)

    async def _history(self, contract, rest):
        return await self._broker("_history", contract, rest)

    async def _intraday(self, contract):
        return await self._broker("_intraday", contract)

    async def _run_yfinance(self, rest):
        self.calls.append(("_run_yfinance", rest))
        if self.fallback_error is not None:
            raise self.fallback_error
        return self.fallback_result


def make(symbol="AAPL", rest=("5m", "200"), state=None, **setup):
    op = Recorder(state=state or State(), ib=None).setup(**setup)
    if symbol is not None:
        op.symbol = symbol
    if rest is not None:
        op.rest = list(rest)
    return op


@pytest.mark.parametrize("symbol", [None, ""])
def test_no_symbol_is_refused_without_asking_anyone(symbol, log_lines, run):
    op = make(symbol=symbol)
    assert run(op.run()) == {"error": "No symbol provided"}
    assert op.calls == [] and op.state.lookups == []
    assert log_lines == [("ERROR", "No symbol provided")]


def test_no_gateway_goes_straight_to_the_fallback(log_lines, run):
    op = make(state=State(connected=False), rest=None)
    result = run(op.run())
    assert result is op.fallback_result and result == {"source": "yfinance"}
    assert op.calls == [("_run_yfinance", [])] and op.state.lookups == []
    assert log_lines == [("INFO", "[AAPL] No gateway, using yfinance fallback")]


@pytest.mark.parametrize(
    "rest, mode",
    [
        (["5m", "200", "adj"], "_kline"),
        ([], "_kline"),
        (["Intraday"], "_kline"),
        (["intraday", "5m", "adj"], "_intraday"),
        (["2025-01-01", "day"], "_history"),
        (["today"], "_history"),
        (["2025-13-45"], "_history"),
    ],
)
def test_first_word_picks_the_broker_mode(rest, mode, run):
    op = make(rest=rest)
    result = run(op.run())
    (call,) = op.calls
    assert call[0] == mode
    contract = call[1]
    assert contract.symbol == "AAPL"
    if mode != "_intraday":
        assert call[2] == rest
    assert result["source"] == "ibkr"


def test_success_is_tagged_ibkr_and_otherwise_untouched(run, log_lines):
    broker = {"symbol": "AAPL", "type": "intraday", "bars": [1, 2], "source": "cache"}
    op = make(rest=["intraday"], broker_result=broker)
    result = run(op.run())
    assert result is broker
    assert list(result.items()) == [("symbol", "AAPL"), ("type", "intraday"), ("bars", [1, 2]), ("source", "ibkr")]
    assert not [line for line in log_lines if line[0] in ("WARNING", "ERROR")]


def test_lookup_gets_the_upper_cased_symbol_and_its_canonical_form_sticks(run, log_lines):
    state = State(lookup=lambda s: ("BRK B", Stock("BRK B", "SMART", "USD")))
    op = make(symbol="BRK.B", state=state, broker_result={"error": "No data returned"})
    run(op.run())
    assert state.lookups == ["BRK.B"]
    assert op.symbol == "BRK B"
    assert ("WARNING", "[BRK B] IBKR returned error (No data returned), falling back to yfinance") in log_lines


def test_futures_are_asked_for_as_a_continuous_copy(run):
    future = Future("ES", "20261218", "CME")
    state = State(lookup=lambda s: ("ES", future))
    op = make(symbol="/ES", state=state)
    run(op.run())
    contract = op.calls[0][1]
    assert contract is not future and contract.secType == "CONTFUT" and contract.symbol == "ES"
    assert future.secType == "FUT"


def test_stock_contract_is_passed_as_returned(run):
    stock = Stock("AAPL", "SMART", "USD")
    op = make(state=State(lookup=lambda s: ("AAPL", stock)))
    run(op.run())
    assert op.calls[0][1] is stock and stock.secType == "STK"


def test_unknown_symbol_logs_and_falls_back(run, log_lines):
    op = make(symbol="ZZZZ", state=State(lookup=lambda s: ("", None)))
    assert run(op.run()) is op.fallback_result
    assert op.calls == [("_run_yfinance", ["5m", "200"])]
    assert log_lines == [("ERROR", "Symbol not found: ZZZZ")]


@pytest.mark.parametrize(
    "broker_result, shown",
    [({"error": "No data returned", "symbol": "AAPL"}, "No data returned"), ({}, "None")],
)
def test_error_results_fall_back_with_one_warning(broker_result, shown, run, log_lines):
    op = make(broker_result=broker_result)
    assert run(op.run()) is op.fallback_result
    assert [c[0] for c in op.calls] == ["_kline", "_run_yfinance"]
    assert log_lines == [("WARNING", f"[AAPL] IBKR returned error ({shown}), falling back to yfinance")]


@pytest.mark.parametrize(
    "lookup, message",
    [
        (lambda s: ConnectionError("socket closed"), "socket closed"),
        (lambda s: ("AAPL", Stock("AAPL"), "extra"), "too many values to unpack (expected 2)"),
        (lambda s: ("AAPL",), "not enough values to unpack (expected 2, got 1)"),
        (lambda s: ("AAPL", None), "the contract lookup gave no contract"),
    ],
)
def test_lookup_failures_fall_back(lookup, message, run, log_lines):
    op = make(state=State(lookup=lookup))
    assert run(op.run()) is op.fallback_result
    assert op.calls == [("_run_yfinance", ["5m", "200"])]
    assert log_lines == [("WARNING", f"[AAPL] IBKR failed ({message}), falling back to yfinance")]


def test_a_failing_mode_falls_back_with_its_message(run, log_lines):
    op = make(rest=["2025-02-30"], broker_error=ValueError("not a valid calendar date: 2025-02-30"))
    assert run(op.run()) is op.fallback_result
    assert log_lines == [
        ("WARNING", "[AAPL] IBKR failed (not a valid calendar date: 2025-02-30), falling back to yfinance")]


def test_fallback_failing_for_an_unknown_symbol_is_retried_once(run, log_lines):
    class FailOnce(Recorder):
        async def _run_yfinance(self, rest):
            self.calls.append(("_run_yfinance", rest))
            if len(self.calls) == 1:
                raise RuntimeError("download exploded")
            return self.fallback_result

    op = FailOnce(state=State(lookup=lambda s: ("", None)), ib=None).setup()
    op.symbol, op.rest = "AAPL", []
    assert run(op.run()) is op.fallback_result
    assert [c[0] for c in op.calls] == ["_run_yfinance", "_run_yfinance"]
    assert log_lines == [
        ("ERROR", "Symbol not found: AAPL"),
        ("WARNING", "[AAPL] IBKR failed (download exploded), falling back to yfinance"),
    ]


def test_fallback_failures_outside_the_broker_path_reach_the_host(run):
    error = RuntimeError("cache broken")
    op = make(state=State(connected=False), fallback_error=error)
    with pytest.raises(RuntimeError) as raised:
        run(op.run())
    assert raised.value is error
    op = make(broker_result={"error": "x"}, fallback_error=error)
    with pytest.raises(RuntimeError):
        run(op.run())


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, asyncio.CancelledError])
def test_interrupts_and_cancellation_are_not_broker_failures(error_type, run, log_lines):
    op = make(broker_error=error_type())
    with pytest.raises(error_type):
        run(op.run())
    assert [c[0] for c in op.calls] == ["_kline"]
    assert not [line for line in log_lines if line[0] == "WARNING"]


def test_cancelling_the_task_cancels_the_broker_request(run):
    started = asyncio.Event()

    class Slow(Recorder):
        async def _kline(self, contract, rest):
            self.calls.append(("_kline",))
            started.set()
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                self.calls.append(("cancelled",))
                raise

    async def scenario():
        op = Slow(state=State(), ib=None).setup()
        op.symbol, op.rest = "AAPL", []
        task = asyncio.create_task(op.run())
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return op

    op = run(scenario())
    assert op.calls == [("_kline",), ("cancelled",)]


def test_host_contract_survives_copying(run):
    future = Future("NQ", "20261218", "CME")
    snapshot = copy.deepcopy(future)
    op = make(state=State(lookup=lambda s: ("NQ", future)))
    run(op.run())
    assert future == snapshot


@pytest.mark.parametrize("symbol, rest, named", [
    ("AAPL", ["day", "5\udc80"], "the word '5\\udc80'"),
    ("AAPL", ["2025-01-01", "\ud800"], "the word '\\ud800'"),
    ("AB\udc80", ["day", "5"], "the symbol 'AB\\udc80'"),
])
@pytest.mark.parametrize("connected", [True, False])
def test_text_that_is_not_valid_is_one_clear_error(symbol, rest, named, connected, data_dir, yf, run):
    op = kline.IOpKline(state=State(connected=connected), ib=None)
    op.symbol, op.rest = symbol, rest
    with pytest.raises(ValueError) as raised:
        run(op.run())
    assert str(raised.value).startswith(f"{named} is not valid text (surrogates not allowed)")
