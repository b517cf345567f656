#!/usr/bin/env python3
"""Measures which Qt for Python calls that tvlib makes hand back None, True or False
without a reference of their own: each is called N times with its result dropped, and
the change in sys.getrefcount of the three is printed. A correct release leaves them
level; a call marked "borrowed" takes one reference per call.

    QT_QPA_PLATFORM=offscreen .venv-qt6.12/bin/python tools/qt_result_references.py
"""

import importlib
import importlib.util
import os
import sys

N = 200
API = "PySide6" if importlib.util.find_spec("PySide6") else "PySide2"
QtCore = importlib.import_module(f"{API}.QtCore")
QtGui = importlib.import_module(f"{API}.QtGui")
QtWidgets = importlib.import_module(f"{API}.QtWidgets")
shiboken = importlib.import_module("shiboken6" if API == "PySide6" else "shiboken2")


class Emitter(QtCore.QObject):
    number = QtCore.Signal(int)
    bare = QtCore.Signal()


class Idle(QtCore.QThread):
    def run(self):
        pass


def slot(*_):
    pass


def main() -> None:
    app = QtWidgets.QApplication.instance() or QtWidgets.QApplication([])  # noqa: F841 (kept alive)
    emitter = Emitter()
    emitter.number.connect(slot)
    window = QtWidgets.QMainWindow()
    button = QtWidgets.QPushButton("x")
    central = QtWidgets.QWidget()
    layout = QtWidgets.QVBoxLayout(central)
    font = QtGui.QFont()
    unstarted = [Idle() for _ in range(N)]
    started = [Idle() for _ in range(N)]
    for thread in started:
        thread.start()
    calls = {
        "SignalInstance.emit(int)": lambda i: emitter.number.emit(i),
        "SignalInstance.emit()": lambda i: emitter.bare.emit(),
        "SignalInstance.connect": lambda i: emitter.bare.connect(slot),
        "SignalInstance.disconnect (fails)": lambda i: emitter.number.disconnect(print),
        "QWidget.close": lambda i: window.close(),
        "QWidget.setAttribute(a, False)": lambda i: window.setAttribute(
            QtCore.Qt.WA_QuitOnClose, False
        ),
        "QThread.start": lambda i: unstarted[i].start(),
        "QThread.wait": lambda i: started[i].wait(),
        "QObject.deleteLater": lambda i: QtCore.QObject().deleteLater(),
        "QWidget.showNormal": lambda i: window.showNormal(),
        "QWidget.activateWindow": lambda i: window.activateWindow(),
        "QWidget.isVisible": lambda i: window.isVisible(),
        "QWidget.setWindowTitle": lambda i: window.setWindowTitle("t"),
        "QWidget.setFont": lambda i: window.setFont(font),
        "QFont.setPixelSize": lambda i: font.setPixelSize(12),
        "QLayout.setContentsMargins": lambda i: layout.setContentsMargins(1, 1, 1, 1),
        "QLayout.setSpacing": lambda i: layout.setSpacing(2),
        "QWidget.setFixedHeight": lambda i: button.setFixedHeight(20),
        "QAbstractButton.setText": lambda i: button.setText("y"),
        "QBoxLayout.addStretch": lambda i: layout.addStretch(),
        "shiboken.isValid": lambda i: shiboken.isValid(window),
    }
    version = importlib.import_module(API).__version__
    print(f"Python {sys.version.split()[0]}, {API} {version}, {N} calls each")
    print(f"{'call':36} {'True':>6} {'False':>6} {'None':>6}")
    for name, call in calls.items():
        before = [sys.getrefcount(x) for x in (True, False, None)]
        for i in range(N):
            call(i)
        change = [sys.getrefcount(x) - b for x, b in zip((True, False, None), before, strict=True)]
        mark = "  borrowed" if min(change) <= -N // 2 else ""
        print(f"{name:36} {change[0]:>6} {change[1]:>6} {change[2]:>6}{mark}")
    for thread in started + unstarted:
        thread.wait()
    sys.stdout.flush()
    # After a faulty release the lost references abort the interpreter's shutdown.
    os._exit(0)


if __name__ == "__main__":
    main()
