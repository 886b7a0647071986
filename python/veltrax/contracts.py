"""Turning a typed symbol into the broker's contract, and remembering the answer.

A contract lookup is a round trip to the gateway that counts against its pacing limits. A stock's
contract does not change within a session, and a future's front month holds until it expires, so
each is asked for once and then remembered.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from typing import Any, Callable

from ib_async import Contract, Future, Stock

# Roots of the futures that are typed without the leading "/".
FUTURES_ROOTS = frozenset({"ES", "MES", "NQ", "MNQ", "YM", "MYM", "RTY", "M2K", "CL", "MCL", "GC", "MGC", "SI", "ZB", "ZN", "ZF", "ZT", "6E", "6J", "VX"})


@dataclass(frozen=True)
class Instrument:
    """What a lookup found: the broker's symbol and contract, the zone its bar times are in, and
    for a future the last day its contract trades."""

    symbol: str
    contract: Any
    zone: str | None
    expires: dt.date | None = None

    @property
    def label(self) -> str | None:
        """A future's contract as a trader names it, "ESH7 (Mar 2027)"; None for other instruments."""
        if self.expires is None:
            return None
        month = getattr(self.contract, "lastTradeDateOrContractMonth", "")[:6]
        try:
            named = dt.datetime.strptime(month, "%Y%m").strftime("%b %Y")
        except ValueError:
            named = f"{self.expires:%b %Y}"
        local = getattr(self.contract, "localSymbol", "") or self.symbol
        return f"{local} ({named})"


def typed_symbol(word: str) -> str:
    """A symbol as every shell word reads it: upper-cased, as the kline command reads its own."""
    return word.upper()


def cache_symbols(word: str) -> tuple[str, ...]:
    """The symbols the bar cache may hold a typed symbol's entries under: the broker's (a future's
    root, "ES" for "/ES") and, where yfinance answered without a lookup, the symbol as typed."""
    symbol = typed_symbol(word)
    root = symbol[1:] if symbol.startswith("/") else symbol
    if root in FUTURES_ROOTS or symbol.startswith("/"):
        return tuple(dict.fromkeys((root, symbol, f"/{root}")))
    return (symbol,)


def requested_contract(symbol: str) -> Any:
    """The contract to look up for a typed symbol: a future for "/ES" or a known root, else a stock."""
    if symbol.startswith("/"):
        return Future(symbol=symbol[1:])
    if symbol in FUTURES_ROOTS:
        return Future(symbol=symbol)
    return Stock(symbol, "SMART", "USD")


def last_trading_day(contract: Any) -> dt.date | None:
    try:
        return dt.datetime.strptime(contract.lastTradeDateOrContractMonth[:8], "%Y%m%d").date()
    except (AttributeError, TypeError, ValueError):
        return None


async def look_up(ib: Any, symbol: str) -> Instrument | None:
    """Ask the broker for the contract of a typed symbol: a stock's one listing, or a future's
    front month; None when it lists nothing (or, for a stock, more than one match)."""
    wanted = requested_contract(symbol)
    details = await ib.reqContractDetailsAsync(wanted)
    if isinstance(wanted, Future):
        if not details:
            return None
        front = min(details, key=lambda d: d.contract.lastTradeDateOrContractMonth)
        # The broker's details carry plain Contract objects; callers tell a
        # future by its class, so give it the class its secType names.
        contract = Contract.recreate(front.contract)
        return Instrument(contract.symbol, contract, front.timeZoneId or None, last_trading_day(contract))
    if len(details) != 1 or not details[0].contract.conId:
        return None
    contract = Contract.recreate(details[0].contract)
    contract.exchange = wanted.exchange  # routed as asked (SMART), not at the listing exchange
    return Instrument(contract.symbol, contract, details[0].timeZoneId or None)


class ContractMemory:
    """Lookups already made this session: stocks for the whole session, futures until they expire."""

    def __init__(self, today: Callable[[], dt.date] = dt.date.today) -> None:
        self.today = today
        self._known: dict[str, Instrument] = {}

    def recall(self, symbol: str) -> Instrument | None:
        instrument = self._known.get(symbol)
        if instrument is not None and instrument.expires is not None and instrument.expires < self.today():
            del self._known[symbol]  # expired: the front month has moved on
            return None
        return instrument

    def remember(self, symbol: str, instrument: Instrument) -> None:
        self._known[symbol] = instrument
