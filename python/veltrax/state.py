"""What commands see of the shell: the broker connection and contract lookup."""

from __future__ import annotations

from typing import Any


class ShellState:
    """The shell's state, shared by every command of a session.

    `ib` is the broker client (an ib_async IB, or a stand-in with the same
    calls); without one the shell is disconnected and commands that can fall
    back do so.
    """

    def __init__(self, ib: Any = None) -> None:
        self.ib = ib

    @property
    def simulated(self) -> bool:
        """True when the broker is the simulated feed: its bars are not market data."""
        return bool(getattr(self.ib, "simulated", False))

    @property
    def connected(self) -> bool:
        return self.ib is not None and bool(self.ib.isConnected())

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Any]:
        """The broker's canonical symbol and contract for `symbol`; ("", None) when unknown."""
        if not self.connected:
            return "", None
        from veltrax.contracts import resolve

        return await resolve(self.ib, symbol)
