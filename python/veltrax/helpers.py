"""The broker library's public names (Future, Stock, Contract, ...), for commands to take in."""

from ib_async import *  # noqa: F403
from ib_async import __all__  # noqa: F401
