"""The update client: starts update runs and owns the one in progress.

The Qt classes derive from the host's Qt for Python: PySide6 from the 2026 host on, PySide2
before it. The stubs name PySide6; the members used here are the same in both.
"""

from types import ModuleType
from typing import Any, ClassVar

from PySide6.QtCore import QThread, Signal
from PySide6.QtWidgets import QMainWindow

rt: Any
"""The host's scripting runtime, pymxs.runtime."""

KolvarenReleasesDialog: ModuleType
"""The host-side release-notes module; absent when the host does not carry one."""

tvupddialog: KolvarenUpdater
"""The updater of the latest run; absent before the first call of tvupd(). After a finished
run it refers to that run's closed (deleted) updater until the next call replaces it."""

class KolvarenUpdater(QMainWindow):
    """Owns one update run. Never shown; its slots run on the host's UI thread."""

    is_silent: object
    """The found release's is_silent value; a silent release opens no release notes."""
    manuel_update: bool
    version_offset: int
    """0 for the latest release, -1 for the one before it."""
    check_worker: KolvarenUpdater.CheckWorker
    """Present once the health check has passed."""
    dl_worker: KolvarenUpdater.DownloadWorker
    """Present once a download has started."""

    class CheckWorker(QThread):
        """Decides on its own thread whether a release is offered; ends with one signal."""

        update_found: ClassVar[Signal]
        """(manuel_update: bool, payload: dict) with version, release_notes, is_silent,
        file_path, jwt_token, is_mandatory."""
        no_update: ClassVar[Signal]
        """(manuel_update: bool, messagebox: bool, code_or_error: str); codes "001" no
        account record, "002" incomplete credentials, "004" no token, "005" no release,
        "006" nothing newer (or the previous release is the installed one)."""
        manuel_update: bool
        version_offset: int
        def __init__(
            self, manuel_update: bool = False, version_offset: int | None = None
        ) -> None: ...
        def run(self) -> None: ...
        def generate_jwt_token(self, email: str, license_key: str) -> str | None: ...
        def get_latest_release(
            self, token: str, p_type: str, email: str, version_offset: int
        ) -> dict[str, Any] | None: ...
        def compare_versions(self, latest: object, current: object) -> bool: ...

    class DownloadWorker(QThread):
        """Streams the package into the download folder on its own thread."""

        progress_update: ClassVar[Signal]
        """(percentage: int) after every piece written."""
        status_update: ClassVar[Signal]
        """(text: str), not shown to the user."""
        download_complete: ClassVar[Signal]
        """({"version": ..., "target_path": str})"""
        error_occurred: ClassVar[Signal]
        """(message: str) starting with "Download Failure: " or "Download Error: "."""
        file_path: object
        jwt_token: object
        version: object
        def __init__(self, file_path: object, jwt_token: object, version: object) -> None: ...
        def run(self) -> None: ...

    def __init__(self, manuel_update: bool = False, version_offset: int | None = None) -> None:
        """Checks the service's health (blocking) and starts the check worker."""

    def on_no_update(
        self, manuel_update: bool, messagebox: bool = False, hata: str | None = None
    ) -> None: ...
    def progress_notification(self, progress: int) -> None: ...
    def status_notification(self, status: str) -> None: ...
    def on_error(self, msg: str) -> None: ...
    def on_update_found(self, manuel_update: bool, data: dict[str, Any]) -> None: ...
    def on_download_complete(self, data: dict[str, Any]) -> None: ...
    def handle_close(self) -> None: ...

def tvupd(manuel_update: bool = False, version_offset: int | None = None) -> None:
    """Starts an update run, replacing the updater of an earlier run."""

def support_report() -> None:
    """Prints what support asks first: versions, trust, proxy, account file, health."""

def _running_workers() -> list[QThread]:
    """The started workers whose threads have not finished yet."""
