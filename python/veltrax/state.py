"""What commands see of the shell: the broker connection and contract lookup."""

from __future__ import annotations

from typing import Any, Callable

from corbel.frame import bar_time_zone


class ShellState:
    """The shell's state, shared by every command of a session.

    `ib` is the broker client (an ib_async IB, or a stand-in with the same calls); without one,
    or while it is not connected, commands that can fall back do so. `make_ib` builds the client
    on first use instead, so a session that never asks the broker never loads it.
    """

    def __init__(self, ib: Any = None, feed_label: str | None = None, *,
                 make_ib: Callable[[], Any] | None = None, remember_contracts: bool = True) -> None:
        self._ib = ib
        self._make_ib = make_ib
        # Shown wherever the shell's data could be mistaken for market data ("simulated feed").
        self.feed_label = feed_label
        self.remember_contracts = remember_contracts
        self._contracts: Any = None  # a ContractMemory from the first lookup on

    @property
    def ib(self) -> Any:
        if self._ib is None and self._make_ib is not None:
            self._ib = self._make_ib()
        return self._ib

    @property
    def connected(self) -> bool:
        return self.ib is not None and bool(self.ib.isConnected())

    def zone_of(self, symbol: str) -> str | None:
        """The zone of the symbol's bar times, when a lookup this session told it."""
        instrument = self._contracts.recall(symbol) if self._contracts is not None else None
        return instrument.zone if instrument is not None else None

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Any]:
        """The broker's canonical symbol and contract for `symbol`; ("", None) when unknown.

        Found contracts are remembered (see `ContractMemory`), so a repeated request, a cache hit
        above all, costs the gateway no round trip. The zone of the instrument's bar times becomes
        the zone the request's tables show.
        """
        if not self.connected:
            return "", None
        from veltrax.contracts import ContractMemory, look_up

        if self._contracts is None and self.remember_contracts:
            self._contracts = ContractMemory()
        instrument = self._contracts.recall(symbol) if self._contracts is not None else None
        if instrument is None:
            instrument = await look_up(self.ib, symbol)
            if instrument is None:
                return "", None
            if self._contracts is not None:
                self._contracts.remember(symbol, instrument)
        if instrument.zone:
            bar_time_zone.set(instrument.zone)
        return instrument.symbol, instrument.contract
