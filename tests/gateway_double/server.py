"""The gateway double: an asyncio TCP server that answers the real ib_async client.

It completes the handshake and the requests ib_async makes on connect, describes the
contracts of its catalogue, serves historical bars from a pluggable source, refuses what
the real gateway refuses (unknown contracts, an end time on a continuous future or on
adjusted prices, bad bar sizes and durations, durations too long for the bar size), records every request it receives, and
misbehaves on demand (see `Fault`).
"""

from __future__ import annotations

import asyncio
import datetime as dt
import enum
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from veltrax.simfeed import limits

from . import wire
from .bars import BAR_SIZES, BarSource, parse_duration, simulated_bars
from .catalogue import Catalogue, Listing
from .wire import In, Out

HMDS = limits.HMDS
WHAT_TO_SHOW = ("TRADES", "ADJUSTED_LAST")
# Validation refusals (error 321). ib_async counts 321 among warnings and leaves the
# request open, so the client waits for its own time-out, as against the real gateway.
INVALID = limits.INVALID
NO_SECURITY = "No security definition has been found for the request"
CLIENT_ID_IN_USE = "Unable to connect as the client id is already in use. Retry with a unique client id."
# The farm notices the gateway sends right after the API starts (warnings, not errors).
FARM_NOTICES = (
    (2104, "Market data farm connection is OK:usfarm"),
    (2106, "HMDS data farm connection is OK:ushmds"),
    (2158, "Sec-def data farm connection is OK:secdefnj"),
)


class Fault(enum.Enum):
    """Ways a historical-data request can go wrong, on demand."""

    NO_DATA = "no-data"  # error 162, HMDS query returned no data
    PACING = "pacing"  # error 162, pacing violation
    SILENCE = "silence"  # no answer at all; the client's own time-out must end the wait
    DROP = "drop"  # half of the answer, then the socket is closed


@dataclass
class _Injection:
    fault: Fault
    remaining: int | None  # None: until cleared
    match: Callable[[wire.HistoricalRequest], bool] | None


@dataclass(frozen=True)
class Received:
    """One message from a client, decoded where the double understands it."""

    name: str
    client_id: int | None
    request: object


class GatewayDouble:
    """Serve on `host`:`port` (0: a free port, kept across restarts) from `source` and `catalogue`."""

    def __init__(self, source: BarSource = simulated_bars, catalogue: Catalogue | None = None,
                 host: str = "127.0.0.1", port: int = 0, accounts: tuple[str, ...] = ("DU1234567",)):
        self.source = source
        self.catalogue = catalogue or Catalogue()
        self.host = host
        self.port = port
        self.accounts = accounts
        self._server: asyncio.Server | None = None
        self._sessions: set[_Session] = set()
        self._lock = threading.Lock()
        self._injections: list[_Injection] = []
        self._received: list[Received] = []

    # -- life cycle ---------------------------------------------------------------------------

    async def start(self) -> int:
        """Listen (again, on the same port after a stop); returns the port."""
        if self._server is None:
            self._server = await asyncio.start_server(self._serve, self.host, self.port)
            self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def stop(self) -> None:
        """Stop listening and close every client connection, as a gateway that goes away."""
        server, self._server = self._server, None
        if server is None:
            return
        server.close()
        sessions = list(self._sessions)
        for session in sessions:
            session.close()
        await asyncio.gather(*(s.finished.wait() for s in sessions))
        await server.wait_closed()

    @property
    def serving(self) -> bool:
        return self._server is not None

    # -- faults ---------------------------------------------------------------------------------

    def fail_next(self, fault: Fault, times: int = 1,
                  match: Callable[[wire.HistoricalRequest], bool] | None = None) -> None:
        """The next `times` historical requests (those `match` accepts) meet `fault`."""
        with self._lock:
            self._injections.append(_Injection(fault, times, match))

    def fail_always(self, fault: Fault, match: Callable[[wire.HistoricalRequest], bool] | None = None) -> None:
        """Every historical request (that `match` accepts) meets `fault` until `clear_faults`."""
        with self._lock:
            self._injections.append(_Injection(fault, None, match))

    def clear_faults(self) -> None:
        with self._lock:
            self._injections.clear()

    def _take_fault(self, request: wire.HistoricalRequest) -> Fault | None:
        with self._lock:
            for injection in self._injections:
                if injection.match is None or injection.match(request):
                    if injection.remaining is not None:
                        injection.remaining -= 1
                        if injection.remaining == 0:
                            self._injections.remove(injection)
                    return injection.fault
        return None

    # -- records --------------------------------------------------------------------------------

    @property
    def received(self) -> list[Received]:
        with self._lock:
            return list(self._received)

    def requests(self, name: str) -> list[object]:
        """The decoded requests of one kind ("historical data", "contract details", ...), in order."""
        return [r.request for r in self.received if r.name == name]

    @property
    def historical(self) -> list[wire.HistoricalRequest]:
        return self.requests("historical data")

    def forget(self) -> None:
        with self._lock:
            self._received.clear()

    def _record(self, name: str, client_id: int | None, request: object) -> None:
        with self._lock:
            self._received.append(Received(name, client_id, request))

    # -- serving --------------------------------------------------------------------------------

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        session = _Session(self, reader, writer)
        self._sessions.add(session)
        try:
            await session.run()
        finally:
            self._sessions.discard(session)
            session.finished.set()

    def client_ids(self) -> set[int]:
        return {s.client_id for s in self._sessions if s.client_id is not None}


class _Session:
    """One client connection."""

    def __init__(self, gateway: GatewayDouble, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.gateway = gateway
        self.reader = reader
        self.writer = writer
        self.client_id: int | None = None
        self.version = 0
        self.silent: set[int] = set()  # historical requests left unanswered on purpose
        self.finished = asyncio.Event()
        self.handlers = {
            In.START_API: self.start_api,
            In.REQ_CONTRACT_DETAILS: self.contract_details,
            In.REQ_HISTORICAL_DATA: self.historical_data,
            In.CANCEL_HISTORICAL_DATA: self.cancel_historical_data,
            In.REQ_POSITIONS: lambda f: self.send(Out.POSITION_END, 1),
            In.REQ_OPEN_ORDERS: lambda f: self.send(Out.OPEN_ORDER_END, 1),
            In.REQ_COMPLETED_ORDERS: lambda f: self.send(Out.COMPLETED_ORDERS_END),
            In.REQ_ACCOUNT_UPDATES: self.account_updates,
            In.REQ_ACCOUNT_UPDATES_MULTI: lambda f: self.send(Out.ACCOUNT_UPDATE_MULTI_END, 1, f[2]),
            In.REQ_EXECUTIONS: lambda f: self.send(Out.EXEC_DETAILS_END, 1, f[2]),
            In.REQ_IDS: lambda f: self.send(Out.NEXT_VALID_ID, 1, 1),
            In.REQ_MANAGED_ACCOUNTS: lambda f: self.send(Out.MANAGED_ACCOUNTS, 1, ",".join(gateway.accounts)),
            In.REQ_CURRENT_TIME: lambda f: self.send(Out.CURRENT_TIME, 1, int(time.time())),
        }

    def send(self, *fields: object) -> None:
        self.writer.write(wire.encode(*fields))

    def send_error(self, req_id: int, code: int, text: str) -> None:
        self.writer.write(wire.error(req_id, code, text))

    def close(self) -> None:
        self.writer.close()

    async def run(self) -> None:
        try:
            low, high, _options = await wire.read_handshake(self.reader)
            self.version = wire.negotiate(low, high) or 0
            if not self.version:
                return
            self.send(self.version, time.strftime("%Y%m%d %H:%M:%S UTC", time.gmtime()))
            while not self.writer.is_closing():
                fields = await wire.read_message(self.reader)
                await self.dispatch(fields)
                await self.writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError, wire.ProtocolError):
            pass
        finally:
            self.writer.close()

    # Requests whose handlers decode and record them themselves.
    DECODED = (In.REQ_CONTRACT_DETAILS, In.REQ_HISTORICAL_DATA, In.CANCEL_HISTORICAL_DATA)

    async def dispatch(self, fields: list[str]) -> None:
        msg_id = int(fields[0]) if fields and fields[0].isdigit() else -1
        if msg_id not in self.DECODED:
            name = wire.REQUEST_NAMES.get(msg_id, f"message {fields[0] if fields else ''}")
            self.record(name, wire.OtherRequest(name, tuple(fields)))
        handler = self.handlers.get(msg_id)
        if handler is None:
            return
        try:
            result = handler(fields)
            if asyncio.iscoroutine(result):
                await result
        except (IndexError, ValueError) as problem:
            # A message too short or garbled to read; the gateway says so and carries on.
            self.send_error(-1, 320, f"Error reading request: {problem}")

    def record(self, name: str, request: object) -> None:
        self.gateway._record(name, self.client_id, request)

    # -- connection ---------------------------------------------------------------------------

    def start_api(self, fields: list[str]) -> None:
        client_id = wire.as_int(fields[2])
        if client_id in self.gateway.client_ids():
            self.send_error(-1, 326, CLIENT_ID_IN_USE)
            self.close()
            return
        self.client_id = client_id
        self.send(Out.NEXT_VALID_ID, 1, 1)
        self.send(Out.MANAGED_ACCOUNTS, 1, ",".join(self.gateway.accounts))
        for code, text in FARM_NOTICES:
            self.send_error(-1, code, text)

    def account_updates(self, fields: list[str]) -> None:
        if wire.as_bool(fields[2]):
            self.send(Out.UPDATE_ACCOUNT_TIME, 1, time.strftime("%H:%M", time.gmtime()))
            self.send(Out.ACCOUNT_DOWNLOAD_END, 1, fields[3])

    # -- contracts ----------------------------------------------------------------------------

    def contract_details(self, fields: list[str]) -> None:
        request = wire.ContractDetailsRequest.decode(fields)
        self.record("contract details", request)
        found = self.gateway.catalogue.details_for(request.contract)
        if not found:
            self.send_error(request.reqId, 200, NO_SECURITY)
            return
        for listing in found:
            self.send(*contract_data(request.reqId, listing))
        self.send(Out.CONTRACT_DATA_END, 1, request.reqId)

    # -- historical data ----------------------------------------------------------------------

    async def historical_data(self, fields: list[str]) -> None:
        try:
            request = wire.HistoricalRequest.decode(fields)
        except wire.BadEndDate:
            req_id = wire.as_int(fields[1])
            self.record("historical data", wire.OtherRequest("historical data", tuple(fields)))
            self.send_error(req_id, 10314, "End Date/Time: The date, time, or time-zone entered is invalid.")
            return
        self.record("historical data", request)
        fault = self.gateway._take_fault(request)
        if fault is Fault.SILENCE:
            self.silent.add(request.reqId)
            return
        if fault in (Fault.NO_DATA, Fault.PACING):
            self.send_error(request.reqId, 162, fault_text(fault, request))
            return
        answer = self.answer(request)
        if fault is Fault.DROP:
            self.writer.write(answer[: max(1, len(answer) // 2)])
            await self.writer.drain()
            self.close()
            return
        self.writer.write(answer)

    def answer(self, request: wire.HistoricalRequest) -> bytes:
        """The bars message, or the error the real gateway gives for this request."""
        listing = self.gateway.catalogue.serving(request.contract)
        refusal = refuse(request, listing)
        if refusal:
            return wire.error(request.reqId, *refusal)
        try:
            bars = list(self.gateway.source(listing.symbol, request.barSizeSetting, request.end,
                                            request.durationStr, request.whatToShow, request.useRTH))
            if bars:
                return wire.encode(*historical_data(request, bars))
        except Exception as failure:
            if isinstance(getattr(failure, "code", None), int):  # refused, as the gateway would
                return wire.error(request.reqId, failure.code, str(failure))
            # a fault of the source under test: tell the client, loudly
            return wire.error(request.reqId, 162, f"{HMDS}bar source failed: {failure!r}")
        return wire.error(request.reqId, 162, fault_text(Fault.NO_DATA, request))

    def cancel_historical_data(self, fields: list[str]) -> None:
        request = wire.CancelHistoricalData(wire.as_int(fields[2]))
        self.record("cancel historical data", request)
        if request.reqId in self.silent:
            self.silent.discard(request.reqId)
            self.send_error(request.reqId, 162, f"{HMDS}API historical data query cancelled: {request.reqId}")


def refuse(request: wire.HistoricalRequest, listing: Listing | None) -> tuple[int, str] | None:
    """(code, text) when the real gateway would refuse the request; None when it serves it."""
    if listing is None:
        return 200, NO_SECURITY
    if request.contract.secType == "CONTFUT" and request.endDateTime:
        return 10339, "Setting end date/time for continuous future security type is not allowed."
    if request.whatToShow not in WHAT_TO_SHOW:
        return 321, f"{INVALID}whatToShow {request.whatToShow!r} is not served by this double"
    if request.barSizeSetting not in BAR_SIZES:
        return 321, f"{INVALID}Historical data bar size setting is invalid."
    try:
        count, unit = parse_duration(request.durationStr)
    except ValueError:
        return 321, f"{INVALID}Invalid duration {request.durationStr!r}"
    if request.keepUpToDate and request.endDateTime:
        return 321, f"{INVALID}End date not supported with live updates"
    return limits.refusal(BAR_SIZES[request.barSizeSetting], count * limits.DURATION_UNIT_SECONDS[unit],
                          request.whatToShow, bool(request.endDateTime))


def fault_text(fault: Fault, request: wire.HistoricalRequest) -> str:
    if fault is Fault.PACING:
        return f"{HMDS}Historical data request pacing violation"
    contract = request.contract
    what = "Trades" if request.whatToShow == "TRADES" else request.whatToShow
    return f"{HMDS}HMDS query returned no data: {contract.localSymbol or contract.symbol}@{contract.exchange} {what}"


def bar_field(bar: object, name: str) -> object:
    return bar[name] if isinstance(bar, dict) else getattr(bar, name)


def historical_data(request: wire.HistoricalRequest, bars: list) -> list[object]:
    """Message 17: request id, start and end of the span, the bar count, then eight fields a bar."""
    def stamp(moment):
        return wire.bar_time(moment, request.formatDate)

    end = request.end or dt.datetime.now(dt.timezone.utc)
    fields: list[object] = [Out.HISTORICAL_DATA, request.reqId, stamp(bar_field(bars[0], "date")), stamp(end),
                            len(bars)]
    for bar in bars:
        fields.append(stamp(bar_field(bar, "date")))
        fields += [wire.number(bar_field(bar, name)) for name in ("open", "high", "low", "close", "volume", "average")]
        fields.append(int(bar_field(bar, "barCount")))
    return fields


def contract_data(req_id: int, listing: Listing) -> list[object]:
    """Message 10 (server version 164 and later: no version field)."""
    return [
        Out.CONTRACT_DATA, req_id, listing.symbol, listing.secType, listing.lastTradeDateOrContractMonth,
        0, "", listing.exchange, listing.currency, listing.localSymbol, listing.tradingClass,
        listing.tradingClass, listing.conId, listing.minTick, listing.multiplier,
        "ACTVTIM,LMT,MKT,STP", f"{listing.exchange},{listing.primaryExchange}".strip(","), 1, 0, listing.longName,
        listing.primaryExchange, listing.contractMonth, "", "", "", listing.timeZoneId, "", "", "", 0,
        0,  # no security ids
        1, "", "", "26", listing.lastTradeDateOrContractMonth, "COMMON" if listing.secType == "STK" else "",
        1, 1, 1,
    ]
