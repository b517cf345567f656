"""How the demo writes what the host shows: one labelled line per event.

On a terminal the download percentage is one line rewritten in place; elsewhere (a log, a
pipe) it is written at every quarter, so that a capture stays short.
"""

from __future__ import annotations

import os
import re
import threading
from typing import TextIO

PROGRESS = re.compile(r"Kolvaren - New Version Downloading %(-?\d+)")
_BAR = 24


class Terminal:
    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.live = out.isatty()
        self.colour = self.live and "NO_COLOR" not in os.environ
        self._lock = threading.RLock()
        self._progress_open = False  # a live progress line is on screen, unfinished
        self._next_quarter = 0  # the sparse lines' next percentage to write
        self._progress_last: str | None = None

    def _style(self, text: str, code: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.colour else text

    def _write(self, text: str) -> None:
        self.out.write(text)
        self.out.flush()

    def heading(self, text: str) -> None:
        with self._lock:
            self._end_progress()
            self._write("\n" + self._style(text, "1") + "\n")

    def plain(self, text: str = "") -> None:
        with self._lock:
            self._end_progress()
            self._write(text + "\n")

    def call(self, code: str, note: str = "") -> None:
        """A line of host code about to run."""
        with self._lock:
            self._end_progress()
            tail = f"   {self._style('# ' + note, '2')}" if note else ""
            self._write(self._style("host> ", "36") + code + tail + "\n")

    def event(self, label: str, text: str, *, alarm: bool = False) -> None:
        """Something the host showed: a console line, a prompt, a box, a dialog."""
        with self._lock:
            self._end_progress()
            shown = self._style(text, "31") if alarm else text
            self._write(f"  {self._style(f'{label:<8}│', '2')} {shown}\n")

    def progress(self, text: str) -> None:
        """A download-percentage prompt: rewritten in place, or sparse."""
        match = PROGRESS.fullmatch(text)
        pct = int(match.group(1)) if match else 0
        with self._lock:
            if self.live:
                if self._progress_open and text == self._progress_last:
                    return  # the same percentage again: nothing to redraw
                filled = max(0, min(_BAR, pct * _BAR // 100))
                bar = "█" * filled + "░" * (_BAR - filled)
                label = self._style(f"{'status':<8}│", "2")
                self._write(f"\r  {label} {text}  {bar}\x1b[K")
                self._progress_open = True
            elif pct >= self._next_quarter:
                self._write(f"  {'status':<8}│ {text}\n")
                self._next_quarter = (pct // 25 + 1) * 25
                self._progress_last = None
                return
            self._progress_last = text

    def _end_progress(self) -> None:
        if self._progress_open:
            self._write("\n")
            self._progress_open = False
        elif self._progress_last is not None:
            # Where the download stopped, when that was between two quarters.
            self._write(f"  {'status':<8}│ {self._progress_last}\n")
        self._progress_last = None
        self._next_quarter = 0


class ConsoleTap:
    """Stands in for sys.stdout: every complete line written is one the host's console shows.

    Before a line is written, `before_line` runs (on the UI thread only), so that prompts
    pushed before it are shown before it.
    """

    def __init__(self, terminal: Terminal, before_line, on_line, ui_thread) -> None:
        self._terminal = terminal
        self._before_line = before_line
        self._on_line = on_line
        self._ui_thread = ui_thread
        self._partial = ""
        self._lock = threading.Lock()
        self.encoding = "utf-8"

    def write(self, text: str) -> int:
        with self._lock:
            self._partial += text
            *lines, self._partial = self._partial.split("\n")
        for line in lines:
            if threading.current_thread() is self._ui_thread:
                self._before_line()
            self._on_line(line)
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False
