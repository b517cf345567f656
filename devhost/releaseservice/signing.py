"""Signature and digest headers for the packages the service sends."""

from __future__ import annotations

import threading
from pathlib import Path

from kolvaren_sign import (
    DIGEST_HEADER,
    SIGNATURE_HEADER,
    KeySource,
    byte_sequence,
    load_key,
    package_digest,
    sign_digest,
)


class PackageSigner:
    """Headers for a package file, worked out once per file version."""

    def __init__(self, key: KeySource | None = None, content_digest: bool = False) -> None:
        self._lock = threading.Lock()
        self._cache: dict[tuple[str, int, int], tuple[bytes, bytes | None]] = {}
        self.key = key
        self.content_digest = content_digest

    @property
    def key(self):
        return self._key

    @key.setter
    def key(self, source: KeySource | None) -> None:
        with self._lock:
            self._key = None if source is None else load_key(source)
            self._cache.clear()

    def headers(self, package: Path) -> list[tuple[str, str]]:
        key, wanted = self._key, self.content_digest
        if key is None and not wanted:
            return []
        stat = package.stat()
        version = (str(package), stat.st_size, stat.st_mtime_ns)
        with self._lock:
            known = self._cache.get(version)
        if known is None:
            digest = package_digest(package)
            known = (digest, None if key is None else sign_digest(key, digest))
            with self._lock:
                if key is self._key:
                    self._cache[version] = known
        digest, signature = known
        headers = []
        if signature is not None:
            headers.append((SIGNATURE_HEADER, "ed25519=" + byte_sequence(signature)))
        if wanted:
            headers.append((DIGEST_HEADER, "sha-256=" + byte_sequence(digest)))
        return headers
