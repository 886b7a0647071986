"""The instruments the double knows: stocks routed through SMART, and listed futures months."""

from __future__ import annotations

import datetime as dt
import zlib
from dataclasses import dataclass, replace

from .wire import WireContract

DEFAULT_STOCKS = ("AAPL", "MSFT", "NVDA", "AMZN", "GOOGL", "META", "TSLA", "IBM", "SPY", "QQQ")
# root: (exchange, multiplier, long name, exchange time zone)
DEFAULT_FUTURES = {
    "ES": ("CME", "50", "E-mini S&P 500", "US/Central"),
    "NQ": ("CME", "20", "E-mini NASDAQ 100", "US/Central"),
    "CL": ("NYMEX", "1000", "Light Sweet Crude Oil", "US/Central"),
    "GC": ("COMEX", "100", "Gold", "US/Central"),
}
MONTH_CODES = {3: "H", 6: "M", 9: "U", 12: "Z"}
LISTED_MONTHS = 4


@dataclass(frozen=True)
class Listing:
    """One contract the gateway can describe and serve bars for."""

    conId: int
    symbol: str
    secType: str
    exchange: str
    primaryExchange: str
    currency: str
    localSymbol: str
    tradingClass: str
    multiplier: str = ""
    lastTradeDateOrContractMonth: str = ""
    contractMonth: str = ""
    longName: str = ""
    timeZoneId: str = "US/Eastern"
    minTick: float = 0.01


def stable_id(text: str) -> int:
    """A contract id that is the same in every process (unlike hash())."""
    return 100_000 + zlib.crc32(text.encode()) % 900_000_000


def stock(symbol: str) -> Listing:
    return Listing(stable_id("STK:" + symbol), symbol, "STK", "SMART", "NASDAQ", "USD", symbol, "NMS",
                   longName=f"{symbol} (simulated listing)")


def third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def quarterly_expiries(today: dt.date, count: int = LISTED_MONTHS) -> list[dt.date]:
    expiries = []
    year, month = today.year, today.month
    while len(expiries) < count:
        if month in MONTH_CODES and third_friday(year, month) >= today:
            expiries.append(third_friday(year, month))
        year, month = (year + 1, 1) if month == 12 else (year, month + 1)
    return expiries


def future_months(root: str, today: dt.date) -> list[Listing]:
    exchange, multiplier, name, zone = DEFAULT_FUTURES[root]
    return [
        Listing(stable_id(f"FUT:{root}:{expiry:%Y%m}"), root, "FUT", exchange, "", "USD",
                f"{root}{MONTH_CODES[expiry.month]}{expiry.year % 10}", root, multiplier, f"{expiry:%Y%m%d}",
                f"{expiry:%Y%m}", name, zone, 0.25)
        for expiry in quarterly_expiries(today)
    ]


class Catalogue:
    """Answers contract-details queries and finds the listing a historical request names."""

    def __init__(self, stocks=DEFAULT_STOCKS, futures=tuple(DEFAULT_FUTURES), today: dt.date | None = None):
        today = today or dt.date.today()
        self.listings: list[Listing] = [stock(s) for s in stocks]
        for root in futures:
            self.listings += future_months(root, today)

    def add_stock(self, symbol: str) -> Listing:
        listing = stock(symbol)
        self.listings.append(listing)
        return listing

    def details_for(self, query: WireContract) -> list[Listing]:
        """The listings a contract-details query matches, front month first; [] when none."""
        if query.conId:
            return [lst for lst in self.listings if lst.conId == query.conId]
        found = [lst for lst in self.listings if self._matches(lst, query)]
        if query.exchange == "SMART":
            # Asked through SMART, the gateway answers with the SMART route.
            found = [replace(lst, exchange="SMART") for lst in found]
        return sorted(found, key=lambda lst: lst.lastTradeDateOrContractMonth)

    def serving(self, contract: WireContract) -> Listing | None:
        """The listing whose bars a historical request asks for; a continuous future is its front month."""
        if contract.secType == "CONTFUT":
            months = [lst for lst in self.listings
                      if lst.secType == "FUT" and lst.symbol == contract.symbol
                      and contract.exchange in ("", lst.exchange)]
            return min(months, key=lambda lst: lst.lastTradeDateOrContractMonth, default=None)
        found = self.details_for(contract)
        return found[0] if len(found) == 1 or (found and contract.conId) else None

    @staticmethod
    def _matches(listing: Listing, query: WireContract) -> bool:
        if query.symbol != listing.symbol and query.localSymbol != listing.localSymbol:
            return False
        if query.secType and query.secType != listing.secType:
            return False
        if query.exchange and query.exchange not in (listing.exchange, listing.primaryExchange):
            if not (query.exchange == "SMART" and listing.secType == "STK"):
                return False
        if query.currency and query.currency != listing.currency:
            return False
        if query.localSymbol and query.localSymbol != listing.localSymbol:
            return False
        last = query.lastTradeDateOrContractMonth
        return not last or listing.lastTradeDateOrContractMonth.startswith(last)
