"""Stand-in for the host's scripting runtime, importable as ``pymxs`` off the host.

``runtime`` is what product code uses, exactly as inside the host: MAXScript globals and host
functions as attributes, and ``runtime.execute(text)`` running MAXScript. ``host`` is for
tests only: configuration, reset, and records of what the code asked the host to do.

Configuration is read once, at import, from PYMXS_MAXDATA, PYMXS_TEMPDIR and
PYMXS_RELEASE_YEAR; folders that are not given are made under a fresh temporary folder.
"""

from __future__ import annotations

import atexit
import os
import shutil
import tempfile
import threading
from collections.abc import Iterator, Mapping

from .bridge import to_mxs, to_python
from .errors import MAXScriptError
from .evaluator import Interpreter

__all__ = ["MAXScriptError", "host", "runtime"]

_OFF_THREAD = "host runtime used off its user-interface thread"


class _GlobalsView(Mapping):
    """Read-only live view of the script globals: lower-cased name -> Python value."""

    def __init__(self, interp: Interpreter) -> None:
        self._interp = interp

    def __getitem__(self, name: str) -> object:
        return to_python(self._interp, self._interp.globals[name.lower()])

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._interp.globals))

    def __len__(self) -> int:
        return len(self._interp.globals)


class Host:
    """The stand-in's configuration and records, for tests to set up and inspect."""

    def __init__(self, maxdata: str, tempdir: str, release_year: int) -> None:
        self._interp = Interpreter(self)
        self.maxdata = maxdata
        self.tempdir = tempdir
        self.release_year = release_year
        self.ui_thread = threading.current_thread()
        self.prompts: list[str] = []  # the pushPrompt stack, oldest first
        self.temp_prompts: list[tuple[str, int]] = []
        self.evaluated: list[str] = []
        self.filein_log: list[str] = []
        self.python_files: list[str] = []
        self.globals: Mapping[str, object] = _GlobalsView(self._interp)

    def reset(
        self,
        maxdata: str | os.PathLike | None = None,
        tempdir: str | os.PathLike | None = None,
        release_year: int | None = None,
    ) -> None:
        """Forgets globals and records; the calling thread becomes the UI thread."""
        if maxdata is not None:
            self.maxdata = os.fspath(maxdata)
        if tempdir is not None:
            self.tempdir = os.fspath(tempdir)
        if release_year is not None:
            self.release_year = int(release_year)
        self.ui_thread = threading.current_thread()
        self._interp.globals.clear()
        for record in (
            self.prompts,
            self.temp_prompts,
            self.evaluated,
            self.filein_log,
            self.python_files,
        ):
            record.clear()

    def check_thread(self) -> None:
        if threading.current_thread() is not self.ui_thread:
            raise MAXScriptError(_OFF_THREAD)


class _Runtime:
    """MAXScript's global namespace as attributes, names without regard to case."""

    __slots__ = ()

    def __getattr__(self, name: str) -> object:
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        host.check_thread()
        # An unknown global reads as undefined, i.e. None.
        return to_python(host._interp, host._interp.lookup_global(name.lower()))

    def __setattr__(self, name: str, value: object) -> None:
        host.check_thread()
        host._interp.set_global(name.lower(), to_mxs(value))

    def __repr__(self) -> str:
        return "<pymxs.runtime stand-in>"


def _configuration() -> tuple[str, str, int]:
    maxdata = os.environ.get("PYMXS_MAXDATA") or ""
    tempdir = os.environ.get("PYMXS_TEMPDIR") or ""
    if not maxdata or not tempdir:
        base = tempfile.mkdtemp(prefix="pymxs-")
        atexit.register(shutil.rmtree, base, ignore_errors=True)
        if not maxdata:
            maxdata = os.path.join(base, "maxdata")
            os.mkdir(maxdata)
        if not tempdir:
            tempdir = os.path.join(base, "temp")
            os.mkdir(tempdir)
    year = os.environ.get("PYMXS_RELEASE_YEAR") or "2026"
    try:
        release_year = int(year)
    except ValueError:
        raise ValueError(f"PYMXS_RELEASE_YEAR must be a year, got {year!r}") from None
    return maxdata, tempdir, release_year


host = Host(*_configuration())
runtime = _Runtime()
