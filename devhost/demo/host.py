"""The stand-in host program: a Qt application that loads the plug-in, starts update runs
and shows what the host would show while they happen.

Everything here runs on the UI thread. The host's records (prompts, temporary prompts,
evaluated scripts) are read by a timer every few milliseconds, because the host runtime may
only be touched from the UI thread; console lines arrive through sys.stdout, and a slot that
fails reaches sys.excepthook, as it would reach the host's console.
"""

from __future__ import annotations

import importlib
import os
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path

from .scenarios import Run, Scenario
from .summary import Summary
from .terminal import PROGRESS, ConsoleTap, Terminal

POLL_MS = 30
RUN_TIME_LIMIT = 150.0  # seconds; the product's own time-outs end a run well before
ERROR_PREFIXES = ("Kolvaren Update Error", "Download Failure: ", "Download Error: ")


def qt_binding_name() -> str:
    # The same choice the plug-in makes: Qt 6 from the 2026 host on.
    year = int(os.environ.get("PYMXS_RELEASE_YEAR") or "2026")
    return "PySide6" if year >= 2026 else "PySide2"


def _qt_message(kind, context, message: str) -> None:
    # The offscreen platform says so for every message box; nothing a host would show.
    if "propagateSizeHints" not in message:
        sys.stderr.write(f"qt: {message}\n")


@dataclass
class RunRecord:
    run: Run
    shown: list[str] = field(default_factory=list)  # texts the host showed during the run
    ending: str = ""
    timed_out: bool = False


class HostWindow:
    """The host's main window, when there is a screen: a console and a status bar."""

    def __init__(self, widgets, gui, title: str) -> None:
        self.window = widgets.QMainWindow()
        self.window.setWindowTitle(f"Stand-in host - Kolvaren demo: {title}")
        self.console = widgets.QPlainTextEdit()
        self.console.setReadOnly(True)
        self.console.setFont(gui.QFontDatabase.systemFont(gui.QFontDatabase.SystemFont.FixedFont))
        self.window.setCentralWidget(self.console)
        self.window.resize(760, 360)
        self.window.show()

    def line(self, text: str) -> None:
        self.console.appendPlainText(text)

    def prompt(self, text: str, milliseconds: int = 0) -> None:
        self.window.statusBar().showMessage(text, milliseconds)


class DemoHost:
    def __init__(self, scenario: Scenario, folder: Path, terminal: Terminal) -> None:
        self.scenario = scenario
        self.folder = folder
        self.terminal = terminal
        qt = qt_binding_name()
        self.core = importlib.import_module(f"{qt}.QtCore")
        self.widgets = importlib.import_module(f"{qt}.QtWidgets")
        self.gui = importlib.import_module(f"{qt}.QtGui")
        self.shiboken = importlib.import_module("shiboken6" if qt == "PySide6" else "shiboken2")
        self.core.qInstallMessageHandler(_qt_message)
        self.app = self.widgets.QApplication.instance() or self.widgets.QApplication(sys.argv)
        self.app.setQuitOnLastWindowClosed(False)
        self.on_screen = self.app.platformName() not in ("offscreen", "minimal")
        self.interactive = self.on_screen and sys.stdin.isatty()
        self.window = HostWindow(self.widgets, self.gui, scenario.name) if self.on_screen else None

        import KolvarenReleasesDialog
        import pymxs

        self.host = pymxs.host
        self.notes_dialog = KolvarenReleasesDialog
        self.errors: list[str] = []
        self.records: list[RunRecord] = []
        self._seen = {"prompts": 0, "temp_prompts": 0, "notes": 0}
        self._box = None
        self._queue: list[Run] = []
        self._current: RunRecord | None = None
        self._deadline = 0.0
        self._quiet_ticks = 0
        self.module = None  # tvlib.tvupd, once imported
        self.timer = self.core.QTimer()
        self.timer.setInterval(POLL_MS)
        self.timer.timeout.connect(self._tick)

    # -- what the host shows ----------------------------------------------------------------

    def _show(self, label: str, text: str, *, alarm: bool = False) -> None:
        self.terminal.event(label, text, alarm=alarm)
        if self._current is not None:
            self._current.shown.append(text)

    def console_line(self, line: str) -> None:
        self._show("console", line, alarm=line.startswith(ERROR_PREFIXES))
        if self.window:
            self.window.line(line)

    def report_error(self, kind, error, tb) -> None:
        # A slot that raises ends there; the host writes the error to its console
        # (also used for a failing sast() or tvupd() call).
        if threading.current_thread() is threading.main_thread():
            self.drain()
        names = [frame.name for frame in traceback.extract_tb(tb)]
        where = f" (in {names[0]})" if names else ""
        text = f"{kind.__name__}: {error}{where}"
        self.errors.append(text)
        self._show("error", text, alarm=True)
        if self.window:
            self.window.line("-- " + text)

    def drain(self) -> None:
        """Shows whatever the host recorded since the last look."""
        host = self.host
        for text in host.prompts[self._seen["prompts"] :]:
            if PROGRESS.fullmatch(text):
                self.terminal.progress(text)
                if self._current is not None:
                    self._current.shown.append(text)
            else:
                self._show("status", text, alarm=text == "Kolvaren Update Failure")
            if self.window:
                self.window.prompt(text)
        self._seen["prompts"] = len(host.prompts)
        for text, milliseconds in host.temp_prompts[self._seen["temp_prompts"] :]:
            self._show("status", f"{text}   (temporary, {milliseconds / 1000:g} s)")
            if self.window:
                self.window.prompt(text, milliseconds)
        self._seen["temp_prompts"] = len(host.temp_prompts)
        for call in self.notes_dialog.calls[self._seen["notes"] :]:
            self._show("dialog", f"KolvarenReleasesDialog.{call}(): the release notes open")
        self._seen["notes"] = len(self.notes_dialog.calls)
        self._message_box()

    def _message_box(self) -> None:
        box = self.app.activeModalWidget()
        if not isinstance(box, self.widgets.QMessageBox):
            return
        if box is not self._box:
            self._box = box
            icon = {
                self.widgets.QMessageBox.Icon.Warning: "warning",
                self.widgets.QMessageBox.Icon.Information: "information",
                self.widgets.QMessageBox.Icon.Question: "question",
                self.widgets.QMessageBox.Icon.Critical: "critical",
            }.get(box.icon(), "message")
            buttons = " ".join(f"[{button.text().replace('&', '')}]" for button in box.buttons())
            self._show("box", f'{icon} "{box.windowTitle()}": {box.text()}  {buttons}')
            if self.interactive:
                box.buttonClicked.connect(
                    lambda button: self._show("box", f"answered {button.text().replace('&', '')}")
                )
                return
        if not self.interactive:
            button = box.defaultButton() or box.buttons()[0]
            self._show("box", f"answered {button.text().replace('&', '')} (no one to ask here)")
            button.click()

    # -- the runs ---------------------------------------------------------------------------

    def load_plugin(self) -> None:
        """What the host does at start-up: import the package, start the plug-in."""
        self.terminal.call("import tvlib")
        import tvlib

        self.module = sys.modules["tvlib.tvupd"]
        where = Path(tvlib.__file__).parent
        self.terminal.event("package", f"tvlib from {where}; base address {tvlib.baur()}")
        if not hasattr(tvlib, "sast"):
            self.terminal.call("tvlib.sast()", "not in this build of tvlib: skipped")
            return
        self.terminal.call("tvlib.sast()", "the plug-in's start-up")
        try:
            tvlib.sast()
        except Exception as exc:  # shown, and the demo goes on to the update run
            self.report_error(type(exc), exc, exc.__traceback__)
            return
        self.drain()
        loaded = ", ".join(Path(p.replace("\\", "/")).stem for p in self.host.filein_log)
        self.terminal.event("plug-in", f"kolvaren record made; scripts run: {loaded}")

    def run_all(self) -> None:
        self._queue = list(self.scenario.runs)
        self.timer.start()
        self.core.QTimer.singleShot(0, self._start_next)
        exec_ = getattr(self.app, "exec", None) or self.app.exec_
        exec_()
        self.timer.stop()

    def _start_next(self) -> None:
        if not self._queue:
            self.app.quit()
            return
        run = self._queue.pop(0)
        number = len(self.scenario.runs) - len(self._queue)
        if len(self.scenario.runs) > 1:
            self.terminal.heading(f"run {number} of {len(self.scenario.runs)}: {run.about}")
        self._current = RunRecord(run)
        self.records.append(self._current)
        self.terminal.call(run.call, "" if len(self.scenario.runs) > 1 else run.about)
        self._deadline = time.monotonic() + RUN_TIME_LIMIT
        self._quiet_ticks = 0
        args = (run.manuel_update,)
        if run.version_offset is not None:
            args += (run.version_offset,)
        try:
            self.module.tvupd(*args)
        except Exception as exc:
            self.report_error(type(exc), exc, exc.__traceback__)

    def _tick(self) -> None:
        self.drain()
        record = self._current
        if record is None or record.ending:
            return
        settled = not self.module._running_workers() and self.app.activeModalWidget() is None
        # Two quiet looks in a row: the updater's deferred deletion has had its turn.
        self._quiet_ticks = self._quiet_ticks + 1 if settled else 0
        if self._quiet_ticks >= 2:
            self._end_run(record)
        elif time.monotonic() > self._deadline:
            record.timed_out = True
            self._end_run(record)

    def _end_run(self, record: RunRecord) -> None:
        updater = getattr(self.module, "tvupddialog", None)
        if record.timed_out:
            record.ending = f"still running after {RUN_TIME_LIMIT:g} s"
        elif updater is None or not self.shiboken.isValid(updater):
            record.ending = "the updater closed itself: the run is over"
        else:
            record.ending = "the run stopped; its updater stays until the next run replaces it"
        self.terminal.event("run", record.ending, alarm=record.timed_out)
        if record.timed_out:
            self.app.quit()
            return
        self.core.QTimer.singleShot(0, self._start_next)

    def keep_window_open(self) -> None:
        if self.window is None or not self.interactive:
            return
        self.terminal.plain("The host window stays open; close it to end the demo.")
        self.app.setQuitOnLastWindowClosed(True)
        exec_ = getattr(self.app, "exec", None) or self.app.exec_
        exec_()


def run_demo(scenario: Scenario, folder: Path) -> int:
    terminal = Terminal(sys.stdout)
    demo = DemoHost(scenario, folder, terminal)
    sys.stdout = ConsoleTap(terminal, demo.drain, demo.console_line, threading.current_thread())
    sys.excepthook = demo.report_error
    summary = Summary(scenario, folder, demo)
    terminal.heading(f"Kolvaren demo ({scenario.name}): {scenario.title}")
    summary.header()
    demo.load_plugin()
    summary.before()
    demo.run_all()
    if any(record.timed_out for record in demo.records):
        terminal.plain("demo: a run did not end in time; its worker threads are still busy.")
        sys.__stdout__.flush()
        os._exit(1)  # Qt would abort on the running threads at a normal exit
    problems = summary.show()
    demo.keep_window_open()
    return 1 if problems else 0
