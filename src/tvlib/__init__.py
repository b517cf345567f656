"""Support package of the Kolvaren plug-in.

The host imports the package; the functions of both modules are its attributes,
and the modules reach each other only through it. tvcore comes first: tvupd
takes the base address and the account store from the package when it loads.
"""

# tvcore before tvupd: the order matters.
from .tvcore import (
    baur,
    gescre,
    load_account,
    sast,
    save_account,
    show_update_preferences,
)
from .tvupd import support_report, tvupd

__all__ = [
    "baur",
    "gescre",
    "load_account",
    "sast",
    "save_account",
    "show_update_preferences",
    "support_report",
    "tvupd",
]
