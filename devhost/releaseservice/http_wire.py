"""HTTP/1.1 on a raw socket: request parsing, and response writing with controllable timing."""

from __future__ import annotations

import email.utils
import json
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from http import HTTPStatus
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl

MAX_LINE = 16 * 1024
MAX_HEADERS = 100
MAX_BODY = 4 * 1024 * 1024
CHUNK = 64 * 1024

# Response.content_length: compute it from the body.
AUTO = "auto"


class ClientClosed(Exception):
    """The peer closed the connection before a complete request arrived."""


class BadRequest(Exception):
    def __init__(self, status: int, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


@dataclass
class Request:
    method: str
    target: str
    path: str
    raw_query: str
    query: list[tuple[str, str]]
    version: str
    headers: list[tuple[str, str]]
    body: bytes
    time: float = 0.0
    peer: tuple[str, int] = ("", 0)  # client address; equal for requests on one connection

    def header(self, name: str) -> str | None:
        """The first header of that name, case-insensitively, or None."""
        wanted = name.lower()
        return next((v for n, v in self.headers if n.lower() == wanted), None)

    def query_value(self, name: str) -> str | None:
        """The last value of a query parameter, as frameworks usually take it."""
        values = [v for n, v in self.query if n == name]
        return values[-1] if values else None

    @property
    def wants_keep_alive(self) -> bool:
        tokens = {t.strip().lower() for t in (self.header("Connection") or "").split(",")}
        if self.version == "HTTP/1.0":
            return "keep-alive" in tokens
        return "close" not in tokens


class Reader:
    """Buffered reads from a socket, line by line or by count."""

    def __init__(self, sock: Any) -> None:
        self._sock = sock
        self._buf = bytearray()

    def _fill(self) -> bool:
        data = self._sock.recv(CHUNK)
        if not data:
            return False
        self._buf += data
        return True

    def read_line(self, limit: int = MAX_LINE) -> bytes | None:
        """A line without its ending; None on EOF before any byte of it."""
        while True:
            end = self._buf.find(b"\n")
            if end >= 0:
                line = bytes(self._buf[:end])
                del self._buf[: end + 1]
                return line[:-1] if line.endswith(b"\r") else line
            if len(self._buf) > limit:
                raise BadRequest(431, "Request header line too long")
            if not self._fill():
                if self._buf:
                    raise ClientClosed
                return None

    def read_exact(self, count: int) -> bytes:
        while len(self._buf) < count:
            if not self._fill():
                raise ClientClosed
        data = bytes(self._buf[:count])
        del self._buf[:count]
        return data


def read_request(reader: Reader, send_continue: Callable[[], None]) -> Request | None:
    """Read one request; None when the client closed an idle connection."""
    line = reader.read_line()
    while line == b"":  # tolerate blank lines between requests
        line = reader.read_line()
    if line is None:
        return None
    parts = line.decode("latin-1").split(" ")
    if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
        raise BadRequest(400, "Malformed request line")
    method, target, version = parts
    headers: list[tuple[str, str]] = []
    while True:
        raw = reader.read_line()
        if raw is None:
            raise ClientClosed
        if raw == b"":
            break
        if len(headers) >= MAX_HEADERS:
            raise BadRequest(431, "Too many request headers")
        name, sep, value = raw.decode("latin-1").partition(":")
        if not sep or not name or name != name.strip():
            raise BadRequest(400, "Malformed header line")
        headers.append((name, value.strip()))
    path, _, raw_query = target.partition("?")
    request = Request(
        method=method,
        target=target,
        path=path,
        raw_query=raw_query,
        query=parse_qsl(raw_query, keep_blank_values=True),
        version=version,
        headers=headers,
        body=b"",
    )
    if (request.header("Expect") or "").lower() == "100-continue":
        send_continue()
    request.body = _read_body(reader, request)
    return request


def _read_body(reader: Reader, request: Request) -> bytes:
    if "chunked" in (request.header("Transfer-Encoding") or "").lower():
        body = bytearray()
        while True:
            size_line = reader.read_line()
            if size_line is None:
                raise ClientClosed
            try:
                size = int(size_line.split(b";")[0].strip(), 16)
            except ValueError as exc:
                raise BadRequest(400, "Malformed chunk size") from exc
            if size == 0:
                while reader.read_line() not in (b"", None):  # trailers
                    pass
                return bytes(body)
            if len(body) + size > MAX_BODY:
                raise BadRequest(413, "Request body too large")
            body += reader.read_exact(size)
            reader.read_exact(2)
    length_text = request.header("Content-Length")
    if length_text is None:
        return b""
    if not length_text.isdigit():
        raise BadRequest(400, "Invalid Content-Length")
    length = int(length_text)
    if length > MAX_BODY:
        raise BadRequest(413, "Request body too large")
    return reader.read_exact(length)


@dataclass
class Body:
    """A response body produced in chunks; `length` None means unknown (close-delimited)."""

    length: int | None
    chunks: Callable[[], Iterator[bytes]]

    @classmethod
    def of(cls, data: bytes) -> Body:
        return cls(len(data), lambda: iter([data] if data else []))

    @classmethod
    def of_file(cls, path: Path) -> Body:
        def chunks() -> Iterator[bytes]:
            with path.open("rb") as f:
                while chunk := f.read(CHUNK):
                    yield chunk

        return cls(path.stat().st_size, chunks)

    @classmethod
    def json_padding(cls, size: int) -> Body:
        """Exactly `size` bytes of valid JSON, generated as it is sent."""
        prefix, suffix = b'{"padding":"', b'"}'
        if size < len(prefix) + len(suffix):
            return cls.of(b"0" * size if size < 2 else b'"' + b"x" * (size - 2) + b'"')
        fill = size - len(prefix) - len(suffix)

        def chunks() -> Iterator[bytes]:
            yield prefix
            block = b"x" * CHUNK
            left = fill
            while left > 0:
                yield block[: min(left, CHUNK)]
                left -= CHUNK
            yield suffix

        return cls(size, chunks)

    @classmethod
    def endless(cls) -> Body:
        """Bytes without end: sent until the client goes away or the service stops."""

        def chunks() -> Iterator[bytes]:
            block = b"x" * CHUNK
            while True:
                yield block

        return cls(None, chunks)


@dataclass
class Response:
    status: int
    headers: list[tuple[str, str]] = field(default_factory=list)
    body: Body = field(default_factory=lambda: Body.of(b""))
    # AUTO, a literal header value, or None to leave the header out.
    content_length: str | None = AUTO


def json_response(
    status: int, value: Any, headers: list[tuple[str, str]] | None = None
) -> Response:
    data = json.dumps(value).encode("utf-8")
    return Response(status, [("Content-Type", "application/json"), *(headers or [])], Body.of(data))


def refusal(status: int, detail: Any, headers: list[tuple[str, str]] | None = None) -> Response:
    return json_response(status, {"detail": detail}, headers)


def reason(status: int) -> str:
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


@dataclass
class Delivery:
    """How a response goes onto the wire; the defaults send it promptly and whole."""

    delay: float = 0.0
    stall_after: int | None = None
    stall: float | None = None  # None: until the service stops
    truncate_after: int | None = None
    reset_during: bool = False
    trickle: tuple[int, float] | None = None
    trickle_head: bool = False  # the head trickles as well
    chunked: bool = False  # Transfer-Encoding: chunked, no Content-Length
    header_overrides: list[tuple[str, str | None]] = field(default_factory=list)
    header_line_bytes: int | None = None
    close: bool = False

    @property
    def cuts_body(self) -> bool:
        return self.truncate_after is not None or self.reset_during


def response_head(response: Response, delivery: Delivery, close: bool) -> bytes:
    headers: list[tuple[str, str | None]] = [
        ("Date", email.utils.formatdate(usegmt=True)),
        *response.headers,
    ]
    length = response.content_length
    if length == AUTO:
        length = None if response.body.length is None else str(response.body.length)
    if delivery.chunked:
        headers.append(("Transfer-Encoding", "chunked"))
    elif length is not None:
        headers.append(("Content-Length", length))
    if close:
        headers.append(("Connection", "close"))
    for name, value in delivery.header_overrides:
        wanted = name.lower()
        at = next((i for i, (n, _) in enumerate(headers) if n.lower() == wanted), None)
        if at is None:
            headers.append((name, value))
        else:
            headers[at] = (name, value)
    if delivery.header_line_bytes is not None:
        headers.append(("X-Padding", "p" * delivery.header_line_bytes))
    lines = [f"HTTP/1.1 {response.status} {reason(response.status)}"]
    lines += [f"{n}: {v}" for n, v in headers if v is not None]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", errors="replace")


def write_response(
    sock: Any,
    response: Response,
    delivery: Delivery,
    close: bool,
    wait: Callable[[float | None], bool],
) -> bool:
    """Send the response as `delivery` says; False if the body was cut short or the service stopped.

    `wait(seconds)` sleeps and returns True when the service is stopping.
    """
    if delivery.delay and wait(delivery.delay):
        return False
    head = response_head(response, delivery, close)
    if delivery.trickle is not None and delivery.trickle_head:
        step = delivery.trickle[0]
        for at in range(0, len(head), step):
            if at and wait(delivery.trickle[1]):
                return False
            sock.sendall(head[at : at + step])
    else:
        sock.sendall(head)

    limit = delivery.truncate_after
    if delivery.reset_during and limit is None:
        limit = (response.body.length or 0) // 2
    stall_at = delivery.stall_after
    if stall_at is None and delivery.stall is not None:
        stall_at = 0
    sent = 0

    def pause_points() -> bool:
        """Stall or stop at the current offset; True when the service is stopping."""
        nonlocal stall_at
        if stall_at is not None and sent >= stall_at:
            stall_at = None
            if wait(delivery.stall):
                return True
        return False

    if pause_points():
        return False
    for chunk in response.body.chunks():
        view = memoryview(chunk)
        while view:
            if limit is not None and sent >= limit:
                return False
            step = len(view)
            if limit is not None:
                step = min(step, limit - sent)
            if stall_at is not None:
                step = min(step, stall_at - sent)
            if delivery.trickle is not None:
                step = min(step, delivery.trickle[0])
                if sent and wait(delivery.trickle[1]):
                    return False
            if delivery.chunked:
                sock.sendall(b"%x\r\n" % step + bytes(view[:step]) + b"\r\n")
            else:
                sock.sendall(view[:step])
            sent += step
            view = view[step:]
            if pause_points():
                return False
    if delivery.chunked:
        sock.sendall(b"0\r\n\r\n")
    return True
