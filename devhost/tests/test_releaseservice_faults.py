"""Scripted faults of the stand-in release service, as a client on the wire sees them."""

from __future__ import annotations

import json
import socket
import ssl
import time

import pytest
import requests

HEALTH_BODY = b'{"status": "ok"}'


def get(svc, path="/health", **kwargs):
    kwargs.setdefault("timeout", 5)
    return requests.get(svc.base_url + path, verify=svc.ca_pem_path, **kwargs)


def exchange(svc):
    """GET /health over TLS, read to the end of the stream as seen below the TLS layer.

    Returns (head, body, ending); ending is "close_notify" (orderly), "eof" or "reset" (RST).
    """
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    context = ssl.create_default_context(cafile=svc.ca_pem_path)
    tls = context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    plain, ending, sent = bytearray(), None, False
    with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as sock:
        while ending is None:
            try:
                if not sent:
                    tls.do_handshake()
                    sent = tls.write(
                        b"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                    )
                chunk = tls.read(1 << 20)
                plain += chunk
                ending = None if chunk else "close_notify"
            except ssl.SSLWantReadError:
                try:
                    sock.sendall(outgoing.read())
                    received = sock.recv(1 << 20)
                except ConnectionResetError:
                    ending = "reset"
                    continue
                incoming.write(received) if received else incoming.write_eof()
            except ssl.SSLEOFError:
                ending = "eof"
    head, _, body = bytes(plain).partition(b"\r\n\r\n")
    return head.decode("latin-1"), body, ending


def header(head, name):
    for line in head.split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.lower() == name.lower():
            return value.strip()
    return None


@pytest.mark.parametrize(
    ("fault", "status", "body"),
    [
        ({"status": 503}, 503, {"detail": "Service Unavailable"}),
        ({"status": 500, "json": [1, 2]}, 500, [1, 2]),
        ({"json": None}, 200, None),
        ({"json": {"status": "degraded"}}, 200, {"status": "degraded"}),
        ({"status": 200, "body": "<html>proxy</html>"}, 200, "<html>proxy</html>"),
    ],
)
def test_status_and_body(svc, fault, status, body):
    svc.script("/health", **fault)
    reply = get(svc)
    assert reply.status_code == status
    assert (reply.text if isinstance(body, str) else reply.json()) == body
    assert get(svc).json() == {"status": "ok"}  # one time only by default


def test_times_counts_and_forever_until_cleared(svc):
    svc.script("/health", status=502, times=2)
    svc.script("/health", status=503, times=None)
    assert [get(svc).status_code for _ in range(4)] == [502, 502, 503, 503]
    svc.clear_script()
    assert get(svc).status_code == 200


def test_scripts_apply_to_their_route_only(svc):
    svc.script("/license/download", status=500)
    assert get(svc).status_code == 200
    assert get(svc, "/license/download/x.y.z").status_code == 500


def test_headers_replace_and_add(svc):
    svc.script("/health", headers=[("content-type", "text/plain"), ("X-Extra", "1")])
    reply = get(svc)
    assert reply.headers["Content-Type"] == "text/plain"
    assert reply.headers["X-Extra"] == "1"
    assert reply.content == HEALTH_BODY


def test_delay_holds_back_the_status_line(svc):
    svc.script("/health", delay=0.4)
    with pytest.raises(requests.exceptions.ReadTimeout):
        get(svc, timeout=(2, 0.15))


def test_stall_pauses_mid_body(svc):
    svc.script("/health", stall_after=5, stall=0.4)
    started = time.monotonic()
    reply = get(svc, stream=True)
    first = reply.raw.read(5)
    head_time = time.monotonic() - started
    rest = reply.raw.read()
    assert head_time < 0.3 <= time.monotonic() - started
    assert first + rest == HEALTH_BODY


def test_trickle_is_slow_but_never_idle_past_the_timeout(svc):
    svc.script("/health", trickle=(2, 0.05))
    started = time.monotonic()
    assert get(svc, timeout=(2, 0.3)).content == HEALTH_BODY
    assert time.monotonic() - started >= 7 * 0.05


def test_trickle_head_slows_the_head_as_well(svc):
    svc.script("/health", trickle=(16, 0.05), trickle_head=True)
    started = time.monotonic()
    reply = get(svc, stream=True, timeout=(2, 0.3))
    head_time = time.monotonic() - started
    assert reply.raw.read() == HEALTH_BODY
    # A head of well over 100 bytes, 16 bytes a step.
    assert head_time >= 6 * 0.05


def test_endless_is_a_chunked_body_that_goes_on_until_the_client_goes(svc):
    svc.script("/health", endless=True)
    with get(svc, stream=True) as reply:
        assert reply.headers["Transfer-Encoding"] == "chunked"
        assert "Content-Length" not in reply.headers
        received = 0
        for piece in reply.iter_content(1 << 16):
            received += len(piece)
            if received > 8 << 20:
                break
    assert received > 8 << 20
    assert get(svc).content == HEALTH_BODY


@pytest.mark.parametrize(
    ("fault", "body_len", "ending"),
    [
        ({"truncate_after": 6}, 6, "close_notify"),
        ({"reset": "during"}, 8, "reset"),
        ({"reset": "during", "truncate_after": 3}, 3, "reset"),
        ({"reset": "before"}, None, "reset"),
    ],
)
def test_cut_short_answers(svc, fault, body_len, ending):
    svc.script("/health", **fault)
    head, body, how = exchange(svc)
    assert how == ending
    if body_len is None:
        assert head == "" and body == b""
    else:
        assert header(head, "Content-Length") == str(len(HEALTH_BODY))
        assert body == HEALTH_BODY[:body_len]


@pytest.mark.parametrize(
    ("content_length", "expected_header", "body"),
    [
        ("abc", "abc", HEALTH_BODY),
        (3, "3", HEALTH_BODY),
        (False, None, HEALTH_BODY),
    ],
)
def test_content_length_override(svc, content_length, expected_header, body):
    svc.script("/health", content_length=content_length)
    head, received, ending = exchange(svc)
    assert header(head, "Content-Length") == expected_header
    assert received == body and ending == "close_notify"
    if content_length is False:
        assert header(head, "Connection") == "close"
        assert get(svc, stream=False).status_code == 200


def test_huge_header_line(svc):
    svc.script("/health", header_line_bytes=1_000_000)
    head, body, _ = exchange(svc)
    assert max(len(line) for line in head.split("\r\n")) > 1_000_000
    assert body == HEALTH_BODY


def test_body_bytes_is_valid_json_of_that_size(svc):
    svc.script("/health", body_bytes=8 * 1024 * 1024)
    reply = get(svc)
    assert int(reply.headers["Content-Length"]) == len(reply.content) == 8 * 1024 * 1024
    assert isinstance(json.loads(reply.content), dict)


def test_redirect(svc):
    svc.script("/license/latest-release", redirect_to="/health")
    reply = get(svc, "/license/latest-release", allow_redirects=False)
    assert (reply.status_code, reply.headers["Location"]) == (302, "/health")
    svc.script("/license/latest-release", redirect_to="/health")
    assert get(svc, "/license/latest-release").json() == {"status": "ok"}
    assert [r.path for r in svc.requests][-2:] == ["/license/latest-release", "/health"]


def test_faulted_requests_are_still_recorded(svc):
    svc.script("/health", reset="before")
    with pytest.raises(requests.exceptions.ConnectionError):
        get(svc, params={"probe": "1"})
    assert [(r.path, r.query) for r in svc.requests] == [("/health", [("probe", "1")])]
