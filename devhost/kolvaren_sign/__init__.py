"""Package signing for the release service side.

A package is signed with Ed25519 over a short message, in two forms. The
release-bound form covers the release's version text and the package's file
name with its hash: the ASCII bytes ``kolvaren-release-v1:``, then for the
version and then the name the 4 bytes of its UTF-8 length (big-endian) and its
UTF-8 bytes, then the 32 bytes of the package's SHA-256. The hash-only form,
which builds before the release-bound one read, is ``kolvaren-package-v1:``
followed by the SHA-256. The service sends them with the download as

    Kolvaren-Package-Signature: ed25519=:<base64>:, ed25519-release=:<base64>:

and may add ``Content-Digest: sha-256=:<base64 of the SHA-256>:`` (RFC 9530).
Private keys are PKCS#8 PEM files, as ``openssl genpkey -algorithm ed25519``
writes them; public keys are given to the client build as base64 of their
32 bytes.
"""

from __future__ import annotations

import base64
import hashlib
import os
from pathlib import Path

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

SIGNATURE_HEADER = "Kolvaren-Package-Signature"
DIGEST_HEADER = "Content-Digest"
MESSAGE_PREFIX = b"kolvaren-package-v1:"
RELEASE_PREFIX = b"kolvaren-release-v1:"

KeySource = Ed25519PrivateKey | str | os.PathLike | bytes


def new_key() -> Ed25519PrivateKey:
    return Ed25519PrivateKey.generate()


def write_key(key: Ed25519PrivateKey, path: str | os.PathLike) -> Path:
    """Writes the private key as unencrypted PKCS#8 PEM, readable by its owner only."""
    path = Path(path)
    pem = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    )
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(pem)
    return path


def load_key(source: KeySource) -> Ed25519PrivateKey:
    """A private key from a key object, PEM bytes, or the path of a PEM file."""
    if isinstance(source, Ed25519PrivateKey):
        return source
    pem = source if isinstance(source, bytes) else Path(source).read_bytes()
    key = serialization.load_pem_private_key(pem, password=None)
    if not isinstance(key, Ed25519PrivateKey):
        raise ValueError("the key is not an Ed25519 private key")
    return key


def public_key_text(key: KeySource) -> str:
    """The public key as the client build takes it (KOLVAREN_PACKAGE_KEYS)."""
    raw = (
        load_key(key)
        .public_key()
        .public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    )
    return base64.b64encode(raw).decode("ascii")


def package_digest(package: bytes | str | os.PathLike) -> bytes:
    """SHA-256 of the package: the bytes themselves, or a file read in pieces."""
    if isinstance(package, bytes):
        return hashlib.sha256(package).digest()
    sha = hashlib.sha256()
    with open(package, "rb") as f:
        while piece := f.read(1 << 20):
            sha.update(piece)
    return sha.digest()


def sign_digest(key: KeySource, digest: bytes) -> bytes:
    if len(digest) != 32:
        raise ValueError("a SHA-256 digest has 32 bytes")
    return load_key(key).sign(MESSAGE_PREFIX + digest)


def release_message(version: str, name: str, digest: bytes) -> bytes:
    """The bytes a release-bound signature signs."""
    if len(digest) != 32:
        raise ValueError("a SHA-256 digest has 32 bytes")
    message = RELEASE_PREFIX
    for part in (version.encode("utf-8"), name.encode("utf-8")):
        message += len(part).to_bytes(4, "big") + part
    return message + digest


def sign_release(key: KeySource, version: str, name: str, digest: bytes) -> bytes:
    return load_key(key).sign(release_message(version, name, digest))


def signature_field(
    key: KeySource, digest: bytes, version: str | None = None, name: str | None = None
) -> str:
    """The signature header's value: the hash-only member, and the release-bound
    one when the version and the file name are given."""
    value = "ed25519=" + byte_sequence(sign_digest(key, digest))
    if version is not None and name is not None:
        value += ", ed25519-release=" + byte_sequence(sign_release(key, version, name, digest))
    return value


def byte_sequence(data: bytes) -> str:
    return ":" + base64.b64encode(data).decode("ascii") + ":"


def package_headers(
    key: KeySource,
    package: bytes | str | os.PathLike,
    *,
    version: str | None = None,
    name: str | None = None,
    content_digest: bool = True,
) -> list[tuple[str, str]]:
    """The headers to send with the package: signature, and the digest if wanted.

    With `version`, the signature is bound to that version text and to `name`
    (the package file's own name when not given); builds with package keys
    install only packages signed so."""
    digest = package_digest(package)
    if version is not None and name is None:
        if isinstance(package, bytes):
            raise ValueError("the file name is needed to bind a signature to a release")
        name = Path(package).name
    headers = [(SIGNATURE_HEADER, signature_field(key, digest, version, name))]
    if content_digest:
        headers.append((DIGEST_HEADER, "sha-256=" + byte_sequence(digest)))
    return headers
