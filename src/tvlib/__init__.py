"""Support package of the Kolvaren plug-in.

The host imports the package; the functions of both modules are its attributes,
and the modules reach each other only through it. tvcore comes first: tvupd
takes the base address and the account store from the package when it loads.
"""

from .tvcore import baur, load_account, save_account  # noqa: I001  (order matters)
from .tvupd import tvupd

__all__ = ["baur", "load_account", "save_account", "tvupd"]
