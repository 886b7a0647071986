"""veltrax: an interactive market-data and trading shell, and its kline command for Python.

    import veltrax
    with veltrax.Session(demo=True) as s:
        df = s.kline("AAPL", "5m", 200, "adj")

See `help(veltrax.Session)`. The names below are loaded on first use: every entry point of the
shell imports this package, and its start-up must not pay for pandas.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from veltrax.session import KlineError, KlineWarning, Session, kline, kline_async

__all__ = ["KlineError", "KlineWarning", "Session", "kline", "kline_async"]


def __getattr__(name: str) -> Any:
    if name in __all__:
        value = getattr(importlib.import_module("veltrax.session"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'veltrax' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
