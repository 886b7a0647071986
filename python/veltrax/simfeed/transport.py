"""The simulated chart service served to yfinance in-process: a requests session that never opens a socket.

`simulated_session(service, faults)` is a `requests.Session` whose transport
adapter hands every request, whatever its host, to the `ChartService`, and turns
the answer into a real HTTP response (status line, headers, Set-Cookie, body)
that requests parses as it parses one from the network: cookies land in the
session's jar, `raise_for_status` and `.json()` behave as they do against Yahoo.
yfinance takes such a session through its own hook (`YfData(session=...)`), so
its code runs whole, from the cookie and crumb to the chart's JSON.

`DownloaderFaults` make the service misbehave on its data endpoints (the chart
and the quote lookups), as Yahoo sometimes does.
"""

from __future__ import annotations

import http.client
import io
import threading
import time
from dataclasses import dataclass
from http import HTTPStatus
from typing import Any
from urllib.parse import urlsplit

import requests
import urllib3
from requests.adapters import HTTPAdapter

from veltrax.simfeed.chart_service import Answer, ChartService, chart_error

FAULT_KINDS = ("none", "no-data", "404", "429", "5xx", "malformed", "slow", "drop")


@dataclass
class DownloaderFaults:
    """How the data endpoints misbehave.

    - "no-data": every symbol is unknown (delisted), as Yahoo answers one;
    - "404": an HTML "not found" page instead of JSON;
    - "429": rate limited, on every endpoint (Yahoo limits by address, crumb included);
    - "5xx": Yahoo's "Will be right back" page with a 503;
    - "malformed": a 200 whose JSON is cut short;
    - "slow": the answer takes `delay` seconds (past the request's timeout: a read timeout);
    - "drop": the connection closes before any answer.
    """

    kind: str = "none"
    delay: float = 0.0

    def __post_init__(self) -> None:
        if self.kind not in FAULT_KINDS:
            raise ValueError(f"unknown downloader fault {self.kind!r}: use one of {', '.join(FAULT_KINDS[1:])}")

    @classmethod
    def parse(cls, text: str) -> DownloaderFaults:
        """From the demo's words: "429", "no-data", "slow=SECONDS" ..."""
        kind, _, value = text.partition("=")
        if kind == "slow":
            try:
                return cls("slow", float(value))
            except ValueError:
                pass
        elif not value:
            return cls(kind)
        raise ValueError(f"unknown downloader fault {text!r}: use one of {', '.join(FAULT_KINDS[1:])}, slow=SECONDS")


_DATA_PATHS = ("/v8/finance/chart/", "/v10/finance/quoteSummary/", "/v7/finance/quote")


class _Wire:
    """Just enough of a socket for http.client to read a response from bytes."""

    def __init__(self, data: bytes) -> None:
        self._file = io.BytesIO(data)

    def makefile(self, *args: Any, **kwargs: Any) -> io.BytesIO:
        return self._file


def _raw_response(answer: Answer, method: str, url: str) -> urllib3.HTTPResponse:
    reason = HTTPStatus(answer.status).phrase
    head = [f"HTTP/1.1 {answer.status} {reason}", f"Content-Type: {answer.content_type}",
            f"Content-Length: {len(answer.body)}"]
    if answer.set_cookie:
        head.append(f"Set-Cookie: {answer.set_cookie}")
    message = ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + answer.body
    parsed = http.client.HTTPResponse(_Wire(message), method=method)  # type: ignore[arg-type]
    parsed.begin()
    return urllib3.HTTPResponse(
        body=parsed, headers=dict(parsed.getheaders()), status=parsed.status, reason=parsed.reason,
        version=11, preload_content=False, original_response=parsed, request_method=method, request_url=url)


class ChartTransport(HTTPAdapter):
    """A transport adapter that answers from the chart service instead of the network."""

    def __init__(self, service: ChartService, faults: DownloaderFaults | None = None) -> None:
        super().__init__()
        self.service = service
        self.faults = faults or DownloaderFaults()
        self.requests: list[tuple[str, str]] = []  # (method, url) of every request, in order
        self.proxies_seen: list[dict[str, str]] = []
        self._lock = threading.Lock()

    def send(self, request: requests.PreparedRequest, stream: bool = False, timeout: Any = None,
             verify: Any = True, cert: Any = None, proxies: dict[str, str] | None = None) -> requests.Response:
        method, url = request.method or "GET", request.url or ""
        with self._lock:
            self.requests.append((method, url))
            if proxies:
                self.proxies_seen.append(dict(proxies))
        answer = self._faulty_answer(method, url, request.headers.get("Cookie", ""), timeout)
        return self.build_response(request, _raw_response(answer, method, url))

    def _faulty_answer(self, method: str, url: str, cookie: str, timeout: Any) -> Answer:
        kind = self.faults.kind
        parts = urlsplit(url)
        on_data = parts.path.startswith(_DATA_PATHS)
        if kind == "429" and parts.hostname and parts.hostname.endswith("finance.yahoo.com"):
            return Answer(429, b"Too Many Requests\r\n", "text/html;charset=utf-8")
        if not on_data or kind in ("none", "429"):
            return self.service.answer(method, url, cookie)
        if kind == "slow":
            read_timeout = timeout[1] if isinstance(timeout, tuple) else timeout
            if read_timeout is not None and self.faults.delay > read_timeout:
                time.sleep(read_timeout)
                raise requests.exceptions.ReadTimeout(
                    f"HTTPSConnectionPool(host='{parts.hostname}', port=443): Read timed out. "
                    f"(read timeout={read_timeout})")
            time.sleep(self.faults.delay)
            return self.service.answer(method, url, cookie)
        if kind == "drop":
            raise requests.exceptions.ConnectionError(urllib3.exceptions.ProtocolError(
                "Connection aborted.", http.client.RemoteDisconnected("Remote end closed connection without response")))
        if kind == "no-data":
            return chart_error(404, "Not Found", "No data found, symbol may be delisted")
        if kind == "404":
            return Answer.page(404)
        if kind == "5xx":
            return Answer.page(503, b"<!DOCTYPE html><html><body><h1>Will be right back...</h1></body></html>")
        answer = self.service.answer(method, url, cookie)  # malformed: the right answer, cut short
        return Answer(200, answer.body[: max(1, len(answer.body) // 2)], answer.content_type)


def simulated_session(service: ChartService | None = None, faults: DownloaderFaults | None = None) -> requests.Session:
    """A requests session whose every request is answered by the chart service, never by the network."""
    session = requests.Session()
    session.trust_env = False  # no proxy, netrc or CA settings from the environment: nothing leaves the process
    transport = ChartTransport(service or ChartService(), faults)
    session.mount("https://", transport)
    session.mount("http://", transport)
    return session


def transport_of(session: requests.Session) -> ChartTransport:
    adapter = session.get_adapter("https://query2.finance.yahoo.com")
    assert isinstance(adapter, ChartTransport)
    return adapter
