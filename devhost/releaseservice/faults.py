"""Scripted answers: make the next request(s) to a route misbehave in a chosen way."""

from __future__ import annotations

import json as jsonlib
import threading
from collections import deque
from dataclasses import dataclass
from typing import Any

from .http_wire import AUTO, Body, Delivery, Response, reason
from .routes import ROUTES

_UNSET: Any = object()
RESETS = (None, "before", "during")


@dataclass(frozen=True)
class Fault:
    status: int | None = None
    json: Any = _UNSET
    body: bytes | str | None = None
    headers: tuple[tuple[str, str | None], ...] = ()
    content_length: Any = _UNSET
    delay: float = 0.0
    stall_after: int | None = None
    stall: float | None = None
    truncate_after: int | None = None
    reset: str | None = None
    trickle: tuple[int, float] | None = None
    header_line_bytes: int | None = None
    body_bytes: int | None = None
    endless: bool = False
    trickle_head: bool = False
    redirect_to: str | None = None

    def __post_init__(self) -> None:
        sources = [
            self.json is not _UNSET,
            self.body is not None,
            self.body_bytes is not None,
            self.endless,
        ]
        if sum(sources) > 1:
            raise ValueError("give at most one of json=, body=, body_bytes=, endless=")
        if self.trickle_head and self.trickle is None:
            raise ValueError("trickle_head needs trickle")
        if self.reset not in RESETS:
            raise ValueError(f"reset must be one of {RESETS}")
        if self.trickle is not None and (len(self.trickle) != 2 or int(self.trickle[0]) < 1):
            raise ValueError("trickle is (bytes_per_step >= 1, seconds_per_step)")
        if self.content_length is True:
            raise ValueError("content_length=False omits the header; True means nothing")

    @property
    def resets_before_answer(self) -> bool:
        return self.reset == "before"

    def apply(self, response: Response) -> tuple[Response, Delivery]:
        """The real response changed as scripted, and how to send it."""
        # A scripted body stands for a whole answer: without a status it is a 200,
        # whatever the route would have said about the request.
        scripted_body = (
            self.json is not _UNSET or self.body is not None or self.body_bytes or self.endless
        )
        default_status = 200 if scripted_body else response.status
        status = self.status if self.status is not None else default_status
        headers = list(response.headers)
        body = response.body
        if self.redirect_to is not None:
            status = self.status if self.status is not None else 302
            headers = [("Content-Type", "application/json"), ("Location", self.redirect_to)]
            body = Body.of(jsonlib.dumps({"detail": reason(status)}).encode())
        if self.json is not _UNSET:
            body = Body.of(jsonlib.dumps(self.json).encode("utf-8"))
            headers = _with_json_type(headers)
        elif self.body is not None:
            raw = self.body.encode("utf-8") if isinstance(self.body, str) else bytes(self.body)
            body = Body.of(raw)
        elif self.body_bytes is not None:
            body = Body.json_padding(self.body_bytes)
            headers = _with_json_type(headers)
        elif self.endless:
            body = Body.endless()
        elif self.status is not None and status >= 400 and self.redirect_to is None:
            # A bare error status still answers the way refusals always do.
            body = Body.of(jsonlib.dumps({"detail": reason(status)}).encode())
            headers = _with_json_type([])

        content_length: str | None = AUTO
        delivery = Delivery(
            delay=float(self.delay),
            stall_after=self.stall_after,
            stall=self.stall,
            truncate_after=self.truncate_after,
            reset_during=self.reset == "during",
            trickle=None if self.trickle is None else (int(self.trickle[0]), self.trickle[1]),
            trickle_head=self.trickle_head,
            chunked=self.endless,
            header_overrides=list(self.headers),
            header_line_bytes=self.header_line_bytes,
        )
        if self.endless:
            content_length = None
            delivery.close = True
        elif self.content_length is False:
            content_length = None
            delivery.close = True
        elif self.content_length is not _UNSET and self.content_length is not None:
            content_length = str(self.content_length)
            # The framing no longer matches the body, so the connection cannot be reused.
            delivery.close = True
        if delivery.cuts_body:
            delivery.close = True
        return Response(status, headers, body, content_length), delivery


def _with_json_type(headers: list[tuple[str, str]]) -> list[tuple[str, str]]:
    kept = [(n, v) for n, v in headers if n.lower() != "content-type"]
    return [("Content-Type", "application/json"), *kept]


def make_fault(**options: Any) -> Fault:
    unknown = set(options) - set(Fault.__dataclass_fields__)
    if unknown:
        raise TypeError(f"unknown fault option(s): {sorted(unknown)}")
    if "headers" in options:
        options["headers"] = tuple((str(n), v) for n, v in options["headers"])
    if "trickle" in options and options["trickle"] is not None:
        options["trickle"] = tuple(options["trickle"])
    return Fault(**options)


class FaultScript:
    """Per-route queues of scripted faults, taken in order by arriving requests."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queues: dict[str, deque[list[Any]]] = {}

    def add(self, route: str, fault: Fault, times: int | None) -> None:
        if route not in ROUTES:
            raise ValueError(f"route must be one of {ROUTES}, not {route!r}")
        if times is not None and times < 1:
            raise ValueError("times must be >= 1, or None for every request")
        with self._lock:
            self._queues.setdefault(route, deque()).append([fault, times])

    def take(self, route: str | None) -> Fault | None:
        with self._lock:
            queue = self._queues.get(route or "")
            if not queue:
                return None
            entry = queue[0]
            if entry[1] is not None:
                entry[1] -= 1
                if entry[1] == 0:
                    queue.popleft()
            return entry[0]

    def clear(self) -> None:
        with self._lock:
            self._queues.clear()
