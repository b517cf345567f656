"""Certificates for the service: a CA made at start, and deliberately broken variants."""

from __future__ import annotations

import datetime
import ssl
from dataclasses import dataclass
from pathlib import Path

import trustme

TLS_MODES = ("ok", "untrusted", "wrong_host", "expired")

SERVICE_IDENTITIES = ("127.0.0.1", "localhost")
WRONG_HOST = "other.invalid"


@dataclass(frozen=True)
class TlsSetup:
    context: ssl.SSLContext
    ca_pem_path: Path


def make_tls(mode: str, workdir: Path) -> TlsSetup:
    """Write the CA the clients should trust and build the server context for `mode`."""
    if mode not in TLS_MODES:
        raise ValueError(f"tls must be one of {TLS_MODES}, not {mode!r}")
    trusted = trustme.CA(organization_name="Kolvaren release stand-in")
    if mode == "ok":
        leaf = trusted.issue_cert(*SERVICE_IDENTITIES)
    elif mode == "untrusted":
        # Valid in every way except that nothing the clients trust signed it.
        stranger = trustme.CA(organization_name="Unrelated authority")
        leaf = stranger.issue_cert(*SERVICE_IDENTITIES)
    elif mode == "wrong_host":
        leaf = trusted.issue_cert(WRONG_HOST)
    else:
        now = datetime.datetime.now(datetime.timezone.utc)
        leaf = trusted.issue_cert(
            *SERVICE_IDENTITIES,
            not_before=now - datetime.timedelta(days=30),
            not_after=now - datetime.timedelta(days=1),
        )
    ca_pem_path = workdir / "ca.pem"
    trusted.cert_pem.write_to_path(str(ca_pem_path))

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.set_alpn_protocols(["http/1.1"])
    leaf.configure_cert(context)
    return TlsSetup(context=context, ca_pem_path=ca_pem_path)
