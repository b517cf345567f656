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
    signature_field,
)


class PackageSigner:
    """Headers for a package file, worked out once per file version."""

    def __init__(self, key: KeySource | None = None, content_digest: bool = False) -> None:
        self._lock = threading.Lock()
        self._cache: dict[tuple, tuple[bytes, str | None]] = {}
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

    def headers(
        self, package: Path, version: str | None = None, name: str | None = None
    ) -> list[tuple[str, str]]:
        """With a key, the hash-only signature and, given the release's version
        text and the file name the client writes, the release-bound one."""
        key, wanted = self._key, self.content_digest
        if key is None and not wanted:
            return []
        stat = package.stat()
        cached = (str(package), stat.st_size, stat.st_mtime_ns, version, name)
        with self._lock:
            known = self._cache.get(cached)
        if known is None:
            digest = package_digest(package)
            field = None if key is None else signature_field(key, digest, version, name)
            known = (digest, field)
            with self._lock:
                if key is self._key:
                    self._cache[cached] = known
        digest, field = known
        headers = []
        if field is not None:
            headers.append((SIGNATURE_HEADER, field))
        if wanted:
            headers.append((DIGEST_HEADER, "sha-256=" + byte_sequence(digest)))
        return headers
