"""Signed access tokens (JWT, HS256) issued by the release service."""

from __future__ import annotations

import base64
import hashlib
import hmac
import json
import secrets
import time
from collections.abc import Callable
from typing import Any

DEFAULT_LIFETIME = 15 * 60

_HEADER = {"alg": "HS256", "typ": "JWT"}
_B64_ALPHABET = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")


class TokenError(Exception):
    """The token is not acceptable; the message is the refusal detail."""


def _b64encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _b64decode(text: str) -> bytes:
    try:
        return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except ValueError as exc:
        raise TokenError("Invalid token") from exc


class TokenIssuer:
    """Issues and checks tokens with a secret that lives as long as the service."""

    def __init__(
        self,
        lifetime: float = DEFAULT_LIFETIME,
        *,
        secret: bytes | None = None,
        clock: Callable[[], float] = time.time,
    ) -> None:
        self.lifetime = lifetime
        self._secret = secret if secret is not None else secrets.token_bytes(32)
        self._clock = clock

    def _sign(self, signing_input: bytes) -> bytes:
        return hmac.new(self._secret, signing_input, hashlib.sha256).digest()

    def issue(self, email: str, package_type: str, expires_in: float | None = None) -> str:
        now = int(self._clock())
        lifetime = self.lifetime if expires_in is None else expires_in
        claims = {"sub": email, "package_type": package_type, "iat": now, "exp": now + lifetime}
        parts = [
            _b64encode(json.dumps(part, separators=(",", ":")).encode("utf-8"))
            for part in (_HEADER, claims)
        ]
        signing_input = ".".join(parts).encode("ascii")
        return ".".join([*parts, _b64encode(self._sign(signing_input))])

    def verify(self, token: str) -> dict[str, Any]:
        """Return the claims of a valid, unexpired token or raise TokenError."""
        parts = token.split(".")
        if len(parts) != 3 or any(not part or set(part) - _B64_ALPHABET for part in parts):
            raise TokenError("Invalid token")
        header_b64, claims_b64, signature_b64 = parts
        signature = _b64decode(signature_b64)
        expected = self._sign(f"{header_b64}.{claims_b64}".encode("ascii"))
        # Compare the signature before looking at the contents: nothing unsigned is trusted.
        if not hmac.compare_digest(signature, expected):
            raise TokenError("Invalid token")
        try:
            header = json.loads(_b64decode(header_b64))
            claims = json.loads(_b64decode(claims_b64))
        except ValueError as exc:
            raise TokenError("Invalid token") from exc
        if not isinstance(header, dict) or header.get("alg") != "HS256":
            raise TokenError("Invalid token")
        if not isinstance(claims, dict):
            raise TokenError("Invalid token")
        exp = claims.get("exp")
        if not isinstance(exp, (int, float)) or isinstance(exp, bool):
            raise TokenError("Invalid token")
        if exp <= self._clock():
            raise TokenError("Token has expired")
        return claims
