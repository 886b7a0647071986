"""A broker client that answers like the gateway, from the simulated bars, for demos and tests."""

from __future__ import annotations

import asyncio
import copy
import datetime as dt
from dataclasses import dataclass, field
from typing import Any

# pandas and ib_async load on first use: the demo shell shows its prompt before they are needed.

# Quarterly futures months, front first.
QUARTER_MONTHS = (3, 6, 9, 12)


@dataclass
class Faults:
    """Ways to make the simulated broker misbehave: what the next requests get."""

    empty: bool = False  # answer with no bars, as the gateway does on errors 162/200/366
    error: BaseException | None = None  # raise this from the request
    delay: float = 0.0  # seconds before answering (cancellable)


@dataclass
class Request:
    contract: Any
    keywords: dict[str, Any]


@dataclass
class SimulatedIB:
    """What the shell and the kline command use of ib_async's IB, served by the bar generator.

    Symbols starting with any of `unknown_prefixes` are unknown to it, as an unlisted ticker is.
    Every historical-data request is kept in `requests`, its keywords in the order they came.
    """

    faults: Faults = field(default_factory=Faults)
    unknown_prefixes: tuple[str, ...] = ("ZZ",)
    connected: bool = True
    now: dt.datetime | None = None
    requests: list[Request] = field(default_factory=list)

    def isConnected(self) -> bool:
        return self.connected

    def disconnect(self) -> None:
        self.connected = False

    def known(self, symbol: str) -> bool:
        return bool(symbol) and not symbol.startswith(self.unknown_prefixes)

    async def reqHistoricalDataAsync(self, contract: Any, endDateTime: Any = "", durationStr: str = "1 D",
                                     barSizeSetting: str = "1 min", whatToShow: str = "TRADES",
                                     useRTH: bool = True, formatDate: int = 1, keepUpToDate: bool = False,
                                     chartOptions: Any = None, timeout: float = 60) -> list:
        self.requests.append(Request(contract, {
            "endDateTime": endDateTime, "durationStr": durationStr, "barSizeSetting": barSizeSetting,
            "whatToShow": whatToShow, "useRTH": useRTH, "keepUpToDate": keepUpToDate, "timeout": timeout}))
        if self.faults.delay:
            await asyncio.sleep(self.faults.delay)
        else:
            await asyncio.sleep(0)
        if self.faults.error is not None:
            raise self.faults.error
        if self.faults.empty or not self.connected or not self.known(contract.symbol):
            return []
        if contract.secType == "CONTFUT" and endDateTime not in ("", None):
            return []  # the gateway refuses an end date for continuous futures
        from veltrax.simfeed.bars import generate_bars

        return generate_bars(contract.symbol, barSizeSetting, endDateTime, durationStr, whatToShow, bool(useRTH),
                             now=self.now)

    async def reqContractDetailsAsync(self, contract: Any) -> list[Any]:
        from ib_async import ContractDetails

        await asyncio.sleep(0)
        if not self.known(contract.symbol):
            return []
        if contract.secType == "FUT":
            return [ContractDetails(contract=month) for month in self.futures_months(contract.symbol)]
        qualified = copy.copy(contract)
        qualified.conId = 100_000 + sum(map(ord, contract.symbol))
        qualified.primaryExchange = qualified.primaryExchange or "NASDAQ"
        return [ContractDetails(contract=qualified)]

    async def qualifyContractsAsync(self, *contracts: Any) -> list[Any]:
        found = []
        for contract in contracts:
            details = await self.reqContractDetailsAsync(contract)
            found.append(details[0].contract if len(details) == 1 else None)
        return found

    def futures_months(self, symbol: str) -> list[Any]:
        from ib_async import Future

        today = (self.now or dt.datetime.now()).date()
        months = []
        year = today.year
        while len(months) < 4:
            for month in QUARTER_MONTHS:
                if (year, month) >= (today.year, today.month):
                    months.append(Future(symbol=symbol, lastTradeDateOrContractMonth=f"{year}{month:02d}",
                                         exchange="CME", currency="USD",
                                         conId=200_000 + sum(map(ord, symbol)) + year * 12 + month))
            year += 1
        return months[:4]
