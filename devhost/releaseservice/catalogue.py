"""The release catalogue: accounts, release records and the package files behind them."""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

# Members of a manifest release that only the service uses; clients never see them.
SERVICE_KEYS = frozenset({"package_type", "file", "pad_to_bytes"})

_PAD_LINE_BYTES = 80


class CatalogueError(Exception):
    pass


@dataclass(frozen=True)
class Account:
    email: str
    license_key: str
    package_type: str


class Catalogue:
    """Manifest contents resolved against the folder that holds the package files.

    Packages with `pad_to_bytes` are written into `scratch_dir` at load time so a large
    download can be served without keeping a large file in the repository.
    """

    def __init__(self, manifest: dict[str, Any], files_dir: Path | None, scratch_dir: Path):
        if not isinstance(manifest, dict):
            raise CatalogueError("the manifest must be a JSON object")
        self.accounts = [_account(entry) for entry in manifest.get("accounts", [])]
        releases = manifest.get("releases", [])
        if not isinstance(releases, list) or not all(isinstance(r, dict) for r in releases):
            raise CatalogueError("'releases' must be a list of objects")
        self.releases: list[dict[str, Any]] = releases
        self._packages: dict[str, Path] = {}
        for index, release in enumerate(releases):
            if "file" not in release:
                continue
            if files_dir is None:
                raise CatalogueError("a release names a file but no files folder was given")
            source = files_dir / str(release["file"])
            if not source.is_file():
                raise CatalogueError(f"package file missing: {source}")
            pad_to = release.get("pad_to_bytes")
            if pad_to is not None:
                # One folder per release keeps the file's own name for the download.
                target = scratch_dir / f"release-{index}" / source.name
                target.parent.mkdir(parents=True, exist_ok=True)
                pad_script(source, target, int(pad_to))
                source = target
            file_path = release.get("file_path")
            if isinstance(file_path, str):
                self._packages.setdefault(file_path, source)

    @classmethod
    def from_folder(cls, folder: Path, scratch_dir: Path) -> Catalogue:
        manifest_path = folder / "manifest.json"
        try:
            manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            raise CatalogueError(f"cannot read {manifest_path}: {exc}") from exc
        return cls(manifest, folder, scratch_dir)

    def account(self, email: str, license_key: str) -> Account | None:
        for account in self.accounts:
            if account.email == email and account.license_key == license_key:
                return account
        return None

    def release(self, package_type: str, version_offset: int) -> dict[str, Any] | None:
        """The record `version_offset` steps back from the latest (0) of a package type."""
        matching = [r for r in self.releases if r.get("package_type") == package_type]
        index = len(matching) - 1 + version_offset
        if version_offset > 0 or index < 0:
            return None
        return {k: v for k, v in matching[index].items() if k not in SERVICE_KEYS}

    def package(self, file_path: str) -> Path | None:
        return self._packages.get(file_path)

    def version_of(self, file_path: str) -> str | None:
        """The version text of the release that offers `file_path`, as the client reads it."""
        for release in self.releases:
            if release.get("file_path") == file_path and "kolvaren_version" in release:
                return str(release["kolvaren_version"])
        return None


def _account(entry: Any) -> Account:
    fields = ("email", "license_key", "package_type")
    if not isinstance(entry, dict) or not all(isinstance(entry.get(f), str) for f in fields):
        raise CatalogueError(f"an account needs string members {fields}: {entry!r}")
    return Account(*(entry[f] for f in fields))


def pad_script(source: Path, target: Path, size: int) -> None:
    """Copy a MAXScript file and append comment lines until it is exactly `size` bytes."""
    data = source.read_bytes()
    if not data.endswith(b"\n"):
        data += b"\n"
    remaining = size - len(data)
    if remaining < 0:
        raise CatalogueError(f"{source} is already larger than pad_to_bytes={size}")
    with target.open("wb") as out:
        out.write(data)
        line_no = 0
        batch: list[bytes] = []
        while remaining >= _PAD_LINE_BYTES:
            line_no += 1
            head = b"-- padding line %08d " % line_no
            batch.append(head + b"." * (_PAD_LINE_BYTES - len(head) - 1) + b"\n")
            remaining -= _PAD_LINE_BYTES
            if len(batch) == 1024:
                out.write(b"".join(batch))
                batch.clear()
        out.write(b"".join(batch))
        # The last line is shorter; under 3 bytes it cannot hold "--", so it is blank.
        if remaining >= 3:
            out.write(b"--" + b"." * (remaining - 3) + b"\n")
        elif remaining:
            out.write(b" " * (remaining - 1) + b"\n")
