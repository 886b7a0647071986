"""What commands see of the shell: the broker connection and contract lookup."""

from __future__ import annotations

from typing import Any, Callable


class ShellState:
    """The shell's state, shared by every command of a session.

    `ib` is the broker client (an ib_async IB, or a stand-in with the same calls); without one,
    or while it is not connected, commands that can fall back do so. `make_ib` builds the client
    on first use instead, so a session that never asks the broker never loads it. `gateway` is
    the connection that keeps `ib` connected (a GatewayConnection), where there is one: it tells
    why the broker is away.
    """

    def __init__(self, ib: Any = None, feed_label: str | None = None, *,
                 make_ib: Callable[[], Any] | None = None, remember_contracts: bool = True,
                 gateway: Any = None) -> None:
        self._ib = ib
        self._make_ib = make_ib
        # Shown wherever the shell's data could be mistaken for market data ("simulated feed").
        self.feed_label = feed_label
        # Whether a repeated request reuses a lookup instead of asking the gateway again.
        self.remember_contracts = remember_contracts
        self.gateway = gateway
        self._contracts: Any = None  # a ContractMemory from the first lookup on
        # The latest lookup of each typed symbol, reused or not: the zone and contract of its bars.
        self._found: dict[str, Any] = {}

    @property
    def ib(self) -> Any:
        if self._ib is None and self._make_ib is not None:
            self._ib = self._make_ib()
        return self._ib

    @property
    def connected(self) -> bool:
        return self.ib is not None and bool(self.ib.isConnected())

    def instrument_of(self, symbol: str) -> Any:
        """What the latest lookup this session found for a typed symbol (an Instrument), or None."""
        return self._found.get(symbol)

    def zone_of(self, symbol: str, downloaded_as: str | None = None) -> str | None:
        """The zone of the symbol's bar times, None where not known: the broker's, as its lookup
        named it, else yfinance's; for bars yfinance gave (under the symbol `downloaded_as`),
        yfinance's alone, which may differ from the broker's (Yahoo gives futures in New York time)."""
        from veltrax.downloader import exchange_zone

        instrument = self.instrument_of(symbol) if downloaded_as is None else None
        if instrument is not None and instrument.zone:
            return instrument.zone
        return exchange_zone(downloaded_as or symbol)

    def broker_away(self) -> str | None:
        """Why the broker cannot be asked, in a trader's words, while a gateway is set but away."""
        if self.gateway is None or self.connected:
            return None
        return self.gateway.away()

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Any]:
        """The broker's canonical symbol and contract for `symbol`; ("", None) when unknown.

        Found contracts are remembered (see `ContractMemory`), so a repeated request, a cache hit
        above all, costs the gateway no round trip, and the shell knows the zone and contract of
        the bars it shows.
        """
        if not self.connected:
            return "", None
        from veltrax.contracts import ContractMemory, look_up

        if self._contracts is None:
            self._contracts = ContractMemory()
        instrument = self._contracts.recall(symbol) if self.remember_contracts else None
        if instrument is None:
            instrument = await look_up(self.ib, symbol)
            if instrument is None:
                return "", None
            self._contracts.remember(symbol, instrument)
        self._found[symbol] = instrument
        return instrument.symbol, instrument.contract
