"""The gateway's socket protocol: framing, field codec, and the messages the double reads and writes.

After a one-off handshake ("API\\0" and the client's version range), every message in
either direction is a 4-byte big-endian length followed by NUL-terminated text fields.
The first field names the message. Layouts follow server version 178, the highest the
pinned ib_async client offers.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import re
import struct
from dataclasses import dataclass
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

SERVER_VERSION = 178
# The oldest layout the encoders below are written for (contract details without a
# version field, errors with the advanced-reject text).
OLDEST_SPOKEN_VERSION = 166
HANDSHAKE_PREFIX = b"API\0"


class In:
    """Message ids the client sends."""

    REQ_HISTORICAL_DATA = 20
    CANCEL_HISTORICAL_DATA = 25
    REQ_CONTRACT_DETAILS = 9
    START_API = 71
    REQ_POSITIONS = 61
    REQ_OPEN_ORDERS = 5
    REQ_COMPLETED_ORDERS = 99
    REQ_ACCOUNT_UPDATES = 6
    REQ_ACCOUNT_UPDATES_MULTI = 76
    REQ_EXECUTIONS = 7
    REQ_IDS = 8
    REQ_MANAGED_ACCOUNTS = 17
    REQ_CURRENT_TIME = 49


class Out:
    """Message ids the gateway sends."""

    ERROR = 4
    UPDATE_ACCOUNT_TIME = 8
    NEXT_VALID_ID = 9
    CONTRACT_DATA = 10
    MANAGED_ACCOUNTS = 15
    HISTORICAL_DATA = 17
    CURRENT_TIME = 49
    CONTRACT_DATA_END = 52
    OPEN_ORDER_END = 53
    ACCOUNT_DOWNLOAD_END = 54
    EXEC_DETAILS_END = 55
    POSITION_END = 62
    ACCOUNT_UPDATE_MULTI_END = 74
    COMPLETED_ORDERS_END = 102


# Names under which requests are recorded; ids not listed are recorded by number.
REQUEST_NAMES = {
    In.REQ_HISTORICAL_DATA: "historical data",
    In.CANCEL_HISTORICAL_DATA: "cancel historical data",
    In.REQ_CONTRACT_DETAILS: "contract details",
    In.START_API: "start api",
    In.REQ_POSITIONS: "positions",
    In.REQ_OPEN_ORDERS: "open orders",
    In.REQ_COMPLETED_ORDERS: "completed orders",
    In.REQ_ACCOUNT_UPDATES: "account updates",
    In.REQ_ACCOUNT_UPDATES_MULTI: "account updates multi",
    In.REQ_EXECUTIONS: "executions",
    In.REQ_IDS: "ids",
    In.REQ_MANAGED_ACCOUNTS: "managed accounts",
    In.REQ_CURRENT_TIME: "current time",
}


class ProtocolError(Exception):
    """The peer sent something the gateway would not accept."""


class BadEndDate(ValueError):
    """An endDateTime the gateway cannot read (its error 10314)."""


def field_text(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def encode(*fields: object) -> bytes:
    payload = "".join(field_text(f) + "\0" for f in fields).encode()
    return struct.pack(">I", len(payload)) + payload


async def read_message(reader: asyncio.StreamReader) -> list[str]:
    """One framed message as its text fields; IncompleteReadError at end of stream."""
    (size,) = struct.unpack(">I", await reader.readexactly(4))
    payload = (await reader.readexactly(size)).decode(errors="backslashreplace")
    fields = payload.split("\0")
    if fields and fields[-1] == "":
        fields.pop()
    return fields


_VERSION_RANGE = re.compile(r"v(\d+)(?:\.\.(\d+))?(?: (.*))?$")


async def read_handshake(reader: asyncio.StreamReader) -> tuple[int, int, str]:
    """The client's (min version, max version, connect options)."""
    if await reader.readexactly(len(HANDSHAKE_PREFIX)) != HANDSHAKE_PREFIX:
        raise ProtocolError("no API prefix")
    (size,) = struct.unpack(">I", await reader.readexactly(4))
    text = (await reader.readexactly(size)).decode(errors="replace")
    match = _VERSION_RANGE.match(text)
    if not match:
        raise ProtocolError(f"bad version range {text!r}")
    low = int(match.group(1))
    high = int(match.group(2) or low)
    return low, high, match.group(3) or ""


def negotiate(low: int, high: int) -> int | None:
    version = min(high, SERVER_VERSION)
    if version < low or version < OLDEST_SPOKEN_VERSION:
        return None
    return version


# -- decoding requests ----------------------------------------------------------------------


def as_bool(text: str) -> bool:
    return bool(int(text or 0))


def as_int(text: str) -> int:
    return int(text or 0)


@dataclass(frozen=True)
class WireContract:
    """A contract as the client serialises it (twelve fields, in this order)."""

    conId: int
    symbol: str
    secType: str
    lastTradeDateOrContractMonth: str
    strike: float
    right: str
    multiplier: str
    exchange: str
    primaryExchange: str
    currency: str
    localSymbol: str
    tradingClass: str

    WIDTH = 12

    @classmethod
    def decode(cls, fields: list[str]) -> WireContract:
        (con_id, symbol, sec_type, last, strike, right, multiplier, exchange, primary, currency, local,
         trading_class) = fields[: cls.WIDTH]
        return cls(as_int(con_id), symbol, sec_type, last, float(strike or 0), right, multiplier, exchange,
                   primary, currency, local, trading_class)


@dataclass(frozen=True)
class ContractDetailsRequest:
    reqId: int
    contract: WireContract
    includeExpired: bool
    secIdType: str
    secId: str

    @classmethod
    def decode(cls, fields: list[str]) -> ContractDetailsRequest:
        # 9, version, reqId, contract..., includeExpired, secIdType, secId[, issuerId]
        contract = WireContract.decode(fields[3:])
        tail = fields[3 + WireContract.WIDTH:]
        return cls(as_int(fields[2]), contract, as_bool(tail[0]), tail[1], tail[2])


@dataclass(frozen=True)
class HistoricalRequest:
    """reqHistoricalData as it arrived; `end` is the instant `endDateTime` names (None: now)."""

    reqId: int
    contract: WireContract
    includeExpired: bool
    endDateTime: str
    barSizeSetting: str
    durationStr: str
    useRTH: bool
    whatToShow: str
    formatDate: int
    keepUpToDate: bool
    chartOptions: str
    end: dt.datetime | None

    @classmethod
    def decode(cls, fields: list[str]) -> HistoricalRequest:
        # 20, reqId, contract..., includeExpired, endDateTime, barSize, duration, useRTH,
        # whatToShow, formatDate[, combo legs], keepUpToDate, chartOptions
        contract = WireContract.decode(fields[2:])
        (include_expired, end_text, bar_size, duration, use_rth, what, format_date,
         *rest) = fields[2 + WireContract.WIDTH:]
        if contract.secType == "BAG":
            raise ProtocolError("combo contracts are not served")
        keep_up_to_date, chart_options = rest[0], rest[1]
        return cls(as_int(fields[1]), contract, as_bool(include_expired), end_text, bar_size, duration,
                   as_bool(use_rth), what, as_int(format_date), as_bool(keep_up_to_date), chart_options,
                   parse_end(end_text))


@dataclass(frozen=True)
class CancelHistoricalData:
    reqId: int


@dataclass(frozen=True)
class OtherRequest:
    """Any other message, recorded by name with its raw fields."""

    name: str
    fields: tuple[str, ...]


_END_WITH_ZONE = re.compile(r"(\d{8}) (\d{2}:\d{2}:\d{2})(?: (\S+))?$")
_END_UTC_DASH = re.compile(r"(\d{8})-(\d{2}:\d{2}:\d{2})$")


def parse_end(text: str) -> dt.datetime | None:
    """The instant an endDateTime names; None for "" (now). BadEndDate when the gateway would refuse it."""
    if not text:
        return None
    if match := _END_UTC_DASH.match(text):
        try:
            return dt.datetime.strptime("".join(match.groups()), "%Y%m%d%H:%M:%S").replace(tzinfo=dt.timezone.utc)
        except ValueError as error:
            raise BadEndDate(text) from error
    match = _END_WITH_ZONE.match(text)
    if not match:
        raise BadEndDate(text)
    day, clock, zone = match.groups()
    try:
        moment = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S")
    except ValueError as error:
        raise BadEndDate(text) from error
    if zone is None:
        return moment.astimezone()  # no zone: the gateway's own local time (deprecated form)
    try:
        return moment.replace(tzinfo=dt.timezone.utc if zone == "UTC" else ZoneInfo(zone))
    except (ZoneInfoNotFoundError, ValueError) as error:
        raise BadEndDate(text) from error


# -- encoding answers -----------------------------------------------------------------------


def error(req_id: int, code: int, text: str) -> bytes:
    return encode(Out.ERROR, 2, req_id, code, text, "")


def bar_time(moment: dt.date, format_date: int) -> str:
    """A bar's date as the gateway writes it: YYYYMMDD for days, time and zone name for intraday."""
    if not isinstance(moment, dt.datetime):
        return moment.strftime("%Y%m%d")
    if moment.tzinfo is None:
        raise ValueError(f"intraday bar without a time zone: {moment!r}")
    if format_date == 2:
        return str(int(moment.timestamp()))
    zone = getattr(moment.tzinfo, "key", None)
    if zone is None:
        moment, zone = moment.astimezone(dt.timezone.utc), "UTC"
    return f"{moment:%Y%m%d %H:%M:%S} {zone}"


def number(value: float) -> str:
    """Prices and sizes as the gateway writes them: no trailing ".0" on whole numbers."""
    value = float(value)
    return str(int(value)) if value.is_integer() else repr(value)
