"""The four routes of the release service, answered from the catalogue."""

from __future__ import annotations

import json
from urllib.parse import unquote

from .catalogue import Catalogue
from .http_wire import Body, Request, Response, json_response, refusal
from .signing import PackageSigner
from .tokens import TokenError, TokenIssuer

HEALTH = "/health"
GENERATE_JWT = "/license/generate-jwt"
LATEST_RELEASE = "/license/latest-release"
DOWNLOAD = "/license/download"
ROUTES = (HEALTH, GENERATE_JWT, LATEST_RELEASE, DOWNLOAD)

_METHODS = {HEALTH: "GET", GENERATE_JWT: "POST", LATEST_RELEASE: "GET", DOWNLOAD: "GET"}


def route_of(path: str) -> str | None:
    """Which route a request path belongs to (the download token is part of its path)."""
    if path.startswith(DOWNLOAD + "/"):
        return DOWNLOAD
    return path if path in ROUTES else None


class Router:
    def __init__(
        self, catalogue: Catalogue, tokens: TokenIssuer, signer: PackageSigner | None = None
    ) -> None:
        self.catalogue = catalogue
        self.tokens = tokens
        self.signer = signer or PackageSigner()

    def handle(self, request: Request) -> Response:
        route = route_of(request.path)
        if route is None:
            return refusal(404, "Not Found")
        if request.method != _METHODS[route]:
            return refusal(405, "Method Not Allowed", [("Allow", _METHODS[route])])
        if route == HEALTH:
            return json_response(200, {"status": "ok"})
        if route == GENERATE_JWT:
            return self._generate_jwt(request)
        if route == LATEST_RELEASE:
            return self._latest_release(request)
        return self._download(request)

    def _generate_jwt(self, request: Request) -> Response:
        try:
            payload = json.loads(request.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            payload = None
        if not isinstance(payload, dict):
            return refusal(422, "Request body must be a JSON object")
        email, key = payload.get("email"), payload.get("license_key")
        if not isinstance(email, str) or not isinstance(key, str):
            return refusal(422, "Fields 'email' and 'license_key' are required strings")
        account = self.catalogue.account(email, key)
        if account is None:
            return refusal(401, "Invalid credentials")
        return json_response(200, {"jwt_token": self.tokens.issue(email, account.package_type)})

    def _check_token(self, token: str | None) -> Response | None:
        """A 401 refusal for a missing or unacceptable token, else None."""
        if not token:
            return refusal(401, "Not authenticated", [("WWW-Authenticate", "Bearer")])
        try:
            self.tokens.verify(token)
        except TokenError as exc:
            return refusal(401, str(exc), [("WWW-Authenticate", "Bearer")])
        return None

    def _latest_release(self, request: Request) -> Response:
        scheme, _, token = (request.header("Authorization") or "").partition(" ")
        denied = self._check_token(token.strip() if scheme.lower() == "bearer" else None)
        if denied:
            return denied
        package_type = request.query_value("package_type")
        email = request.query_value("email")
        if package_type is None or email is None:
            return refusal(422, "Query parameters 'package_type' and 'email' are required")
        offset_text = request.query_value("version_offset") or "0"
        try:
            offset = int(offset_text)
        except ValueError:
            return refusal(422, "version_offset must be an integer")
        record = self.catalogue.release(package_type, offset)
        if record is None:
            return refusal(404, "Release not found")
        return json_response(200, record)

    def _download(self, request: Request) -> Response:
        token = unquote(request.path[len(DOWNLOAD) + 1 :])
        if not token or "/" in token:
            return refusal(404, "Not Found")
        denied = self._check_token(token)
        if denied:
            return denied
        file_path = request.query_value("file_path")
        if file_path is None:
            return refusal(422, "Query parameter 'file_path' is required")
        package = self.catalogue.package(file_path)
        if package is None or not package.is_file():
            return refusal(404, "File not found")
        return Response(
            200,
            [
                ("Content-Type", "application/octet-stream"),
                ("Content-Disposition", f'attachment; filename="{package.name}"'),
                *self.signer.headers(
                    package,
                    self.catalogue.version_of(file_path),
                    file_path.replace("\\", "/").rsplit("/", 1)[-1],
                ),
            ],
            Body.of_file(package),
        )
