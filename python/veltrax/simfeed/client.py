"""`SimulatedIB`: a stand-in for ib_async's IB that answers from the simulated market.

It offers the calls the shell and its commands make of the broker client, with
ib_async's signatures and results (ib_async's own BarData, BarDataList,
Contract and ContractDetails objects), and it behaves as the library does where
a caller can tell: a request the broker refuses comes back as an empty list and
a logged error (or a RequestError when RaiseRequestErrors is set), a timeout
cancels the request and gives an empty list, and a continuous future refuses an
end date. It records every call, and it can be told to fail, for tests and
demonstrations.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import functools
import inspect
import logging
from dataclasses import dataclass, field
from typing import Any, Callable

from ib_async import BarData, BarDataList, Contract, ContractDetails, RequestError, util

from veltrax.simfeed import calendar as cal
from veltrax.simfeed.bars import RequestRefused, generate_bars, parse_bar_size, parse_duration
from veltrax.simfeed.instruments import (DEFAULT_UNKNOWN_PREFIXES, FUTURES, FutureSpec, lists_stock, symbol_seed,
                                        zone_name)
from veltrax.simfeed.limits import DURATION_UNIT_SECONDS, refusal

log = logging.getLogger("veltrax.simfeed")

_MONTH_CODES = "FGHJKMNQUVXZ"
_FUTURE_CONTRACTS_LISTED = 4


@dataclass(frozen=True)
class Call:
    """One call made to the client: the arguments exactly as passed (keywords in their order)."""

    name: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    signature: inspect.Signature = field(repr=False, compare=False)

    @property
    def arguments(self) -> dict[str, Any]:
        """Every parameter by name, defaults filled in."""
        bound = self.signature.bind(None, *self.args, **self.kwargs)
        bound.apply_defaults()
        return {name: value for name, value in bound.arguments.items() if name != "self"}


@dataclass
class FeedFaults:
    """Ways to make historical-data requests fail.

    `delay` seconds pass before any answer (the request's timeout still applies,
    and the wait can be cancelled); then `error`, if set, is raised; else, with
    `empty`, no bars are returned.
    """

    empty: bool = False
    error: BaseException | None = None
    delay: float = 0.0

    @classmethod
    def parse(cls, text: str) -> FeedFaults:
        """From the demo's words: "empty", "error[=MESSAGE]" or "slow=SECONDS"."""
        kind, _, value = text.partition("=")
        if kind == "empty" and not value:
            return cls(empty=True)
        if kind == "error":
            return cls(error=ConnectionError(value or "simulated broker failure"))
        if kind == "slow":
            try:
                return cls(delay=float(value))
            except ValueError:
                pass
        raise ValueError(f"unknown feed fault {text!r}: use empty, error[=MESSAGE] or slow=SECONDS")


def _recorded(method: Callable[..., Any]) -> Callable[..., Any]:
    signature = inspect.signature(method)

    @functools.wraps(method)
    async def record(self: SimulatedIB, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(Call(method.__name__, args, dict(kwargs), signature))
        return await method(self, *args, **kwargs)

    return record


def _third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def _con_id(*parts: str) -> int:
    return symbol_seed(":".join(parts)) % 2_000_000_000 + 1


class SimulatedIB:
    """A broker client whose market is simulated: bars are computed, not market data."""

    simulated = True
    # As in ib_async: refused requests give an empty answer unless this is set.
    RaiseRequestErrors = False

    def __init__(
        self,
        *,
        clock: Callable[[], dt.datetime] | None = None,
        unknown_prefixes: tuple[str, ...] = DEFAULT_UNKNOWN_PREFIXES,
        faults: FeedFaults | None = None,
    ) -> None:
        self.clock = clock or (lambda: dt.datetime.now(dt.timezone.utc))
        self.unknown_prefixes = tuple(unknown_prefixes)
        self.faults = faults or FeedFaults()
        self.connected = True
        self.calls: list[Call] = []
        # (reqId, error code, message, contract) of every refused request.
        self.errors: list[tuple[int, int, str, Contract]] = []
        self._next_req_id = 1

    def isConnected(self) -> bool:
        return self.connected

    def disconnect(self) -> None:
        self.connected = False

    def calls_to(self, name: str) -> list[Call]:
        return [call for call in self.calls if call.name == name]

    # ------------------------------------------------------------ historical data

    @_recorded
    async def reqHistoricalDataAsync(
        self,
        contract: Contract,
        endDateTime: dt.datetime | dt.date | str | None,
        durationStr: str,
        barSizeSetting: str,
        whatToShow: str,
        useRTH: bool,
        formatDate: int = 1,
        keepUpToDate: bool = False,
        chartOptions: list[Any] | None = None,
        timeout: float = 60,
    ) -> BarDataList:
        req_id = self._request_id()
        bars = BarDataList()
        bars.reqId = req_id
        bars.contract = contract
        bars.endDateTime = endDateTime
        bars.durationStr = durationStr
        bars.barSizeSetting = barSizeSetting
        bars.whatToShow = whatToShow
        bars.useRTH = useRTH
        bars.formatDate = formatDate
        bars.keepUpToDate = keepUpToDate
        bars.chartOptions = chartOptions or []
        if self.faults.delay > 0:
            try:
                await asyncio.wait_for(asyncio.sleep(self.faults.delay), timeout or None)
            except asyncio.TimeoutError:
                log.warning("reqHistoricalData: Timeout for %s", contract)
                return bars
        if self.faults.error is not None:
            raise self.faults.error
        if self.faults.empty:
            return bars
        try:
            rows = self._bar_rows(contract, endDateTime, durationStr, barSizeSetting, whatToShow, useRTH, formatDate)
            bars.extend(BarData(*row) for row in rows)
        except RequestRefused as refusal:
            self._refuse(req_id, refusal.code, str(refusal), contract)
        return bars

    def _bar_rows(
        self, contract: Contract, end: Any, duration: str, bar_size: str, what: str, use_rth: bool, format_date: int
    ) -> list[tuple[Any, ...]]:
        if contract.secType == "CONTFUT" and end:
            raise RequestRefused(10339, "Set 'endDateTime' to '' when requesting continuous futures historical data.")
        if not self._lists(contract):
            raise RequestRefused(200, "No security definition has been found for the request")
        count, unit = parse_duration(duration)
        refused = refusal(parse_bar_size(bar_size).seconds, count * DURATION_UNIT_SECONDS[unit], what, bool(end))
        if refused:
            raise RequestRefused(*refused)
        series = generate_bars(contract.symbol, bar_size, end, duration, what, bool(use_rth), now=self.clock())
        rows = series.rows()
        if format_date == 2 and series.intraday:
            rows = [(stamp.astimezone(dt.timezone.utc), *rest) for stamp, *rest in rows]
        return rows

    # ------------------------------------------------------------ contracts

    @_recorded
    async def reqContractDetailsAsync(self, contract: Contract) -> list[ContractDetails]:
        self._request_id()
        if not self._lists(contract):
            return []
        if contract.secType == "STK":
            return [self._stock_details(contract)]
        details = self._future_details(contract.symbol, FUTURES[contract.symbol])
        if contract.secType == "CONTFUT":
            front = details[0]
            front.contract.secType = "CONTFUT"
            return [front]
        wanted = contract.lastTradeDateOrContractMonth
        return [d for d in details if d.contract.lastTradeDateOrContractMonth.startswith(wanted)]

    @_recorded
    async def qualifyContractsAsync(self, *contracts: Contract, returnAll: bool = False) -> list[Any]:
        """As ib_async: each contract completed in place, or None when unknown or ambiguous."""
        result: list[Any] = []
        for contract in contracts:
            details = await self.reqContractDetailsAsync(contract)
            if len(details) == 1:
                found = details[0].contract
                if contract.exchange == "SMART":
                    found.exchange = contract.exchange
                util.dataclassUpdate(contract, found)
                result.append(contract)
            else:
                if details:
                    log.warning("Ambiguous contract: %s", contract)
                else:
                    log.warning("Unknown contract: %s", contract)
                result.append([d.contract for d in details] if returnAll and details else None)
        return result

    # ------------------------------------------------------------ internals

    def _request_id(self) -> int:
        if not self.connected:
            raise ConnectionError("Not connected")
        req_id = self._next_req_id
        self._next_req_id += 1
        return req_id

    def _refuse(self, req_id: int, code: int, message: str, contract: Contract) -> None:
        self.errors.append((req_id, code, message, contract))
        if self.RaiseRequestErrors:
            raise RequestError(req_id, code, message)
        log.error("Error %s, reqId %s: %s, contract: %s", code, req_id, message, contract)

    def _lists(self, contract: Contract) -> bool:
        """Whether the simulated broker has this instrument."""
        symbol = contract.symbol or ""
        if contract.secType == "STK":
            return contract.currency in ("", "USD") and lists_stock(symbol, self.unknown_prefixes)
        listed_future = symbol in FUTURES and not symbol.startswith(self.unknown_prefixes)
        return contract.secType in ("FUT", "CONTFUT") and listed_future

    def _stock_details(self, wanted: Contract) -> ContractDetails:
        symbol = wanted.symbol
        primary = ("NASDAQ", "NYSE")[symbol_seed(symbol) % 2]
        contract = Contract(
            secType="STK",
            conId=_con_id("STK", symbol),
            symbol=symbol,
            exchange=wanted.exchange or "SMART",
            primaryExchange=primary,
            currency="USD",
            localSymbol=symbol,
            tradingClass="NMS" if primary == "NASDAQ" else symbol,
        )
        return ContractDetails(
            contract=contract,
            marketName=contract.tradingClass,
            minTick=0.01,
            longName=f"{symbol} (simulated)",
            timeZoneId=zone_name(symbol),
            stockType="COMMON",
        )

    def _future_details(self, root: str, spec: FutureSpec) -> list[ContractDetails]:
        """The next few listed contracts of a futures root, front month first."""
        today = self.clock().astimezone(cal.EXCHANGE_TZ).date()
        details: list[ContractDetails] = []
        year = today.year
        while len(details) < _FUTURE_CONTRACTS_LISTED:
            for month in spec.months:
                expiry = _third_friday(year, month)
                if expiry < today or len(details) == _FUTURE_CONTRACTS_LISTED:
                    continue
                last_trade = expiry.strftime("%Y%m%d")
                contract = Contract(
                    secType="FUT",
                    conId=_con_id("FUT", root, last_trade),
                    symbol=root,
                    lastTradeDateOrContractMonth=last_trade,
                    multiplier=spec.multiplier,
                    exchange=spec.exchange,
                    currency="USD",
                    localSymbol=f"{root}{_MONTH_CODES[month - 1]}{year % 10}",
                    tradingClass=root,
                )
                details.append(
                    ContractDetails(
                        contract=contract,
                        marketName=root,
                        minTick=0.01 if spec.price_level >= 10 else 0.0001,
                        longName=f"{root} futures (simulated)",
                        contractMonth=expiry.strftime("%Y%m"),
                        # The zone its bar times are given in, as the broker names it.
                        timeZoneId=zone_name(root),
                        realExpirationDate=last_trade,
                    )
                )
            year += 1
        return details
