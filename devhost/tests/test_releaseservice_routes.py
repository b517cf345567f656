"""The stand-in release service answers the four routes as the update client expects."""

from __future__ import annotations

import base64
import json
import socket
import ssl

import pytest
import requests
from releaseservice import BUNDLED_CATALOGUE, CatalogueError, ReleaseService
from releaseservice.catalogue import pad_script

EMAIL = "demo@kolvaren.invalid"
KEY = "KLV-DEMO-4F7A-92C1-E6B8"
RECORD_KEYS = {"kolvaren_version", "release_notes", "is_silent", "is_mandatory", "file_path"}


def call(svc, method, path, **kwargs):
    kwargs.setdefault("timeout", 5)
    return requests.request(method, svc.base_url + path, verify=svc.ca_pem_path, **kwargs)


def claims_of(token):
    payload = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))


def latest(svc, token, **params):
    params = {"package_type": "pro", "email": EMAIL, "version_offset": 0, **params}
    headers = {"Authorization": f"Bearer {token}"} if token is not None else {}
    return call(svc, "GET", "/license/latest-release", params=params, headers=headers)


@pytest.mark.parametrize(
    ("body", "status", "detail"),
    [
        ({"email": EMAIL, "license_key": "wrong"}, 401, "Invalid credentials"),
        ({"email": "nobody@kolvaren.invalid", "license_key": KEY}, 401, "Invalid credentials"),
        ({"email": EMAIL}, 422, None),
        ([EMAIL, KEY], 422, None),
        ("not json at all", 422, None),
    ],
)
def test_generate_jwt_refusals(svc, body, status, detail):
    if isinstance(body, str):
        reply = call(svc, "POST", "/license/generate-jwt", data=body)
    else:
        reply = call(svc, "POST", "/license/generate-jwt", json=body)
    assert reply.status_code == status
    assert "detail" in reply.json()
    if detail:
        assert reply.json()["detail"] == detail


def test_generate_jwt_issues_token_for_the_account(svc):
    reply = call(svc, "POST", "/license/generate-jwt", json={"email": EMAIL, "license_key": KEY})
    assert reply.status_code == 200
    claims = claims_of(reply.json()["jwt_token"])
    assert (claims["sub"], claims["package_type"]) == (EMAIL, "pro")
    assert claims["exp"] - claims["iat"] == 900


@pytest.mark.parametrize(
    ("params", "status", "version"),
    [
        ({}, 200, "2.4.0"),
        ({"version_offset": -1}, 200, "2.3.1"),
        ({"version_offset": -2}, 404, None),
        ({"version_offset": 1}, 404, None),
        ({"package_type": "basic"}, 404, None),
        ({"version_offset": "one"}, 422, None),
    ],
)
def test_latest_release_by_offset(svc, params, status, version):
    reply = latest(svc, svc.issue_token(EMAIL, "pro"), **params)
    assert reply.status_code == status
    if version:
        assert set(reply.json()) == RECORD_KEYS
        assert reply.json()["kolvaren_version"] == version
    elif status == 404:
        assert reply.json() == {"detail": "Release not found"}


def _tampered(svc):
    header, _, signature = svc.issue_token(EMAIL, "pro").split(".")
    forged = base64.urlsafe_b64encode(json.dumps({"sub": "x", "exp": 2**40}).encode())
    return f"{header}.{forged.decode().rstrip('=')}.{signature}"


@pytest.mark.parametrize(
    ("make_auth", "detail"),
    [
        (lambda svc: None, "Not authenticated"),
        (lambda svc: "Bearer not-a-token", "Invalid token"),
        (lambda svc: "Basic " + svc.issue_token(EMAIL, "pro"), "Not authenticated"),
        (lambda svc: "Bearer " + svc.issue_token(EMAIL, "pro", expires_in=-1), "Token has expired"),
        (lambda svc: "Bearer " + _tampered(svc), "Invalid token"),
        (lambda svc: "Bearer " + ReleaseService().issue_token(EMAIL, "pro"), "Invalid token"),
    ],
    ids=["missing", "garbage", "not-bearer", "expired", "tampered", "other-secret"],
)
def test_latest_release_bearer_checks(svc, make_auth, detail):
    auth = make_auth(svc)
    headers = {"Authorization": auth} if auth else {}
    params = {"package_type": "pro", "email": EMAIL}
    reply = call(svc, "GET", "/license/latest-release", params=params, headers=headers)
    assert (reply.status_code, reply.json()) == (401, {"detail": detail})


def test_token_lifetime_is_configurable():
    with ReleaseService(token_lifetime=0) as short:
        reply = call(
            short, "POST", "/license/generate-jwt", json={"email": EMAIL, "license_key": KEY}
        )
        reply = latest(short, reply.json()["jwt_token"])
        assert (reply.status_code, reply.json()["detail"]) == (401, "Token has expired")


@pytest.mark.parametrize(("offset", "size"), [(-1, None), (0, 4 * 1024 * 1024)])
def test_download_serves_the_package_of_the_record(svc, offset, size):
    token = svc.issue_token(EMAIL, "pro")
    record = latest(svc, token, version_offset=offset).json()
    path = {"file_path": record["file_path"]}
    reply = call(svc, "GET", f"/license/download/{token}", params=path)
    assert reply.headers["Content-Type"] == "application/octet-stream"
    assert svc.requests[-1].header("Authorization") is None
    source = BUNDLED_CATALOGUE / f"packages/kolvaren-{record['kolvaren_version']}.ms"
    assert (
        int(reply.headers["Content-Length"])
        == len(reply.content)
        == (size or len(source.read_bytes()))
    )
    assert reply.content.startswith(source.read_bytes())
    added = reply.content[source.stat().st_size :].splitlines()
    assert all(line.startswith(b"--") or not line.strip() for line in added)


@pytest.mark.parametrize(
    ("token", "params", "status", "detail"),
    [
        ("bad.token.here", {"file_path": "releases/2.3.1/kolvaren-2.3.1.ms"}, 401, None),
        (None, {"file_path": "releases/9.9.9/nothing.ms"}, 404, "File not found"),
        (None, {"file_path": "packages/kolvaren-2.3.1.ms"}, 404, "File not found"),
        (None, {}, 422, None),
    ],
)
def test_download_refusals(svc, token, params, status, detail):
    token = token or svc.issue_token(EMAIL, "pro")
    reply = call(svc, "GET", f"/license/download/{token}", params=params)
    assert reply.status_code == status
    assert detail is None or reply.json() == {"detail": detail}
    assert "detail" in reply.json()


def test_records_are_returned_as_stored(tmp_path):
    (tmp_path / "pkg.ms").write_text('global kolvaren_installed_version = "1.0"\n')
    manifest = {
        "accounts": [{"email": EMAIL, "license_key": KEY, "package_type": "pro"}],
        "releases": [
            {"package_type": "pro", "kolvaren_version": "1.0", "file_path": "a/pkg.ms",
             "file": "pkg.ms"},
            {"package_type": "pro", "kolvaren_version": None, "is_silent": "yes",
             "file_path": "b/none.ms", "extra": [1, 2]},
        ],
    }  # fmt: skip
    with ReleaseService(manifest=manifest, files_dir=tmp_path) as custom:
        token = custom.issue_token(EMAIL, "pro")
        assert latest(custom, token).json() == {
            "kolvaren_version": None, "is_silent": "yes", "file_path": "b/none.ms", "extra": [1, 2]
        }  # fmt: skip
        assert latest(custom, token, version_offset=-1).json()["file_path"] == "a/pkg.ms"
        missing = call(
            custom, "GET", f"/license/download/{token}", params={"file_path": "b/none.ms"}
        )
        assert missing.status_code == 404


def test_manifest_naming_a_missing_file_fails_at_start(tmp_path):
    manifest = {"releases": [{"package_type": "pro", "file_path": "x", "file": "absent.ms"}]}
    with pytest.raises(CatalogueError):
        ReleaseService(manifest=manifest, files_dir=tmp_path).start()


@pytest.mark.parametrize("extra", [0, 2, 3, 81, 100_000])
def test_pad_script_hits_exact_size(tmp_path, extra):
    source = tmp_path / "in.ms"
    source.write_bytes(b'pushprompt "x"\n')
    pad_script(source, tmp_path / "out.ms", len(source.read_bytes()) + extra)
    out = (tmp_path / "out.ms").read_bytes()
    assert len(out) == len(source.read_bytes()) + extra
    assert all(line.startswith(b"--") or not line.strip() for line in out.splitlines()[1:])


def _raw_request(svc, data: bytes) -> bytes:
    ctx = ssl.create_default_context(cafile=svc.ca_pem_path)
    with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as sock:
        with ctx.wrap_socket(sock, server_hostname="127.0.0.1") as tls:
            tls.sendall(data)
            reply = b""
            while chunk := tls.recv(65536):
                reply += chunk
            return reply


def test_request_recording_keeps_order_case_and_bytes(svc):
    body = b'{"email": "a+b@x", "license_key": "k"}'
    _raw_request(
        svc,
        b"POST /license/generate-jwt?b=2&a=%20x+y&b=1&flag HTTP/1.1\r\n"
        b"Host: 127.0.0.1\r\nX-Second: two\r\nx-first: one\r\nConnection: close\r\n"
        + f"Content-Length: {len(body)}\r\n\r\n".encode()
        + body,
    )
    (recorded,) = svc.requests
    assert (recorded.method, recorded.path) == ("POST", "/license/generate-jwt")
    assert recorded.raw_query == "b=2&a=%20x+y&b=1&flag"
    assert recorded.query == [("b", "2"), ("a", " x y"), ("b", "1"), ("flag", "")]
    assert [n for n, _ in recorded.headers][:3] == ["Host", "X-Second", "x-first"]
    assert recorded.header("X-FIRST") == "one"
    assert recorded.body == body


def test_chunked_body_and_expect_continue(svc):
    reply = _raw_request(
        svc,
        b"POST /license/generate-jwt HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
        b"Expect: 100-continue\r\nConnection: close\r\n\r\n"
        b"5\r\n[1, 2\r\n1\r\n]\r\n0\r\n\r\n",
    )
    assert reply.startswith(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 422 ")
    assert svc.requests[-1].body == b"[1, 2]"


def test_keep_alive_reuses_one_connection(svc):
    with requests.Session() as session:
        for _ in range(3):
            session.get(svc.base_url + "/health", verify=svc.ca_pem_path, timeout=5)
    assert len({r.peer for r in svc.requests}) == 1
