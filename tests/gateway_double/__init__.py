"""A stand-in for the broker gateway at the socket: the real ib_async client talks to it."""

from .bars import BarSource, calendar_end, from_generator, simulated_bars
from .catalogue import Catalogue, Listing
from .runner import ThreadedGateway, running_gateway
from .server import Fault, GatewayDouble, Received
from .wire import CancelHistoricalData, ContractDetailsRequest, HistoricalRequest, OtherRequest, WireContract

__all__ = [
    "BarSource", "CancelHistoricalData", "Catalogue", "ContractDetailsRequest", "Fault", "GatewayDouble",
    "HistoricalRequest", "Listing", "OtherRequest", "Received", "ThreadedGateway", "WireContract",
    "calendar_end", "from_generator", "running_gateway", "simulated_bars",
]
