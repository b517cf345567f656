"""The plug-in support module: start-up, the release service's address, the account store,
screen-fitted sizes and the update preferences window.

The window derives from the host's Qt for Python: PySide6 from the 2026 host on, PySide2
before it. The stubs name PySide6; the members used here are the same in both.
"""

from pathlib import Path
from typing import Any

from PySide6.QtWidgets import QMainWindow, QPushButton

rt: Any
"""The host's scripting runtime, pymxs.runtime."""

def baur() -> str:
    """The release service's base address: an HTTPS origin without trailing slash."""

def load_account() -> dict[str, Any] | None:
    """The stored account record, or None when none is stored."""

def save_account(record: dict[str, Any]) -> None:
    """Replaces the stored account record atomically."""

def _account_file() -> Path:
    """Where the account store keeps its record (for the support report)."""

def sast() -> None:
    """Runs the plug-in's bootstrap script in the host."""

def gescre() -> tuple[int, int, float]:
    """(available width, available height, logical DPI / 96) of the primary screen."""

class KolvarenPreferences(QMainWindow):
    """The update preferences window: automatic updates on/off, the previous release."""

    autoupdate_btn: QPushButton
    downloadprevious_btn: QPushButton
    def __init__(self) -> None: ...
    def change_autoupdate(self) -> None: ...
    def download_previous(self) -> None: ...

preferences_window: KolvarenPreferences | None
"""The window show_update_preferences() opened last, or None."""

def show_update_preferences() -> KolvarenPreferences:
    """Opens the update preferences window, or brings the open one to the front."""
