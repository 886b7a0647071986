"""Turning a typed symbol into the broker's contract."""

from __future__ import annotations

from typing import Any

from ib_async import Contract, Future, Stock

# Roots of the futures that are typed without the leading "/".
FUTURES_ROOTS = frozenset({"ES", "MES", "NQ", "MNQ", "YM", "MYM", "RTY", "M2K", "CL", "MCL", "GC", "MGC", "SI", "ZB", "ZN", "ZF", "ZT", "6E", "6J", "VX"})


def requested_contract(symbol: str) -> Any:
    """The contract to qualify for a typed symbol: a future for "/ES" or a known root, else a stock."""
    if symbol.startswith("/"):
        return Future(symbol=symbol[1:])
    if symbol in FUTURES_ROOTS:
        return Future(symbol=symbol)
    return Stock(symbol, "SMART", "USD")


async def resolve(ib: Any, symbol: str) -> tuple[str, Any]:
    """Qualify the symbol with the broker: (canonical symbol, contract), or ("", None)."""
    wanted = requested_contract(symbol)
    if isinstance(wanted, Future):
        details = await ib.reqContractDetailsAsync(wanted)
        if not details:
            return "", None
        front = min((d.contract for d in details), key=lambda c: c.lastTradeDateOrContractMonth)
        # ib_async decodes details into plain Contract objects; the command tells a
        # future by its class, so give it back as one.
        contract = Contract.recreate(front)
        return contract.symbol, contract
    qualified = await ib.qualifyContractsAsync(wanted)
    if not qualified or qualified[0] is None or not qualified[0].conId:
        return "", None
    return qualified[0].symbol, qualified[0]
