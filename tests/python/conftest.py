"""Fixtures of the tvlib suite: the stand-in host, the stand-in release service,
the package loaded as a host loads it, and helpers to drive and observe runs.

The lane decides the host: PySide6 present means a 2026 host (Qt 6 lane),
otherwise a 2025 host with Debian's PySide2 (Qt 5 lane).
"""

from __future__ import annotations

import importlib
import importlib.util
import json
import os
import sys
from pathlib import Path

import pytest

QT6 = importlib.util.find_spec("PySide6") is not None
QT_API = "PySide6" if QT6 else "PySide2"
HOST_YEAR = 2026 if QT6 else 2025
os.environ.setdefault("PYTEST_QT_API", QT_API.lower())
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
os.environ["PYMXS_RELEASE_YEAR"] = str(HOST_YEAR)

REPO = Path(__file__).resolve().parents[2]
DEVHOST = REPO / "devhost"

ACCOUNT = {"email": "ada@kolvaren.invalid", "license_key": "KL-1111-2222", "package_type": "pro"}


def qt_module(name: str):
    return importlib.import_module(f"{QT_API}.{name}")


def write_package(folder: Path, version: str) -> Path:
    path = folder / f"kolvaren-{version}.ms"
    path.write_text(
        f'-- Kolvaren {version} package\nglobal kolvaren_installed_version = "{version}"\n',
        encoding="utf-8",
    )
    return path


@pytest.fixture(scope="session")
def catalogue(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("catalogue")
    releases = []
    for version, notes in (("2.3.1", "Fixes."), ("2.4.0", "New cabinet.")):
        package = write_package(folder, version)
        releases.append(
            {
                "package_type": "pro",
                "kolvaren_version": version,
                "release_notes": notes,
                "is_silent": False,
                "is_mandatory": False,
                "file_path": f"releases/{version}/{package.name}",
                "file": package.name,
            }
        )
    manifest = {"accounts": [ACCOUNT], "releases": releases}
    (folder / "manifest.json").write_text(json.dumps(manifest), encoding="utf-8")
    return folder


@pytest.fixture(scope="session")
def service(catalogue):
    sys.path.insert(0, str(DEVHOST))
    from releaseservice import ReleaseService

    with ReleaseService(catalogue=catalogue) as svc:
        yield svc


@pytest.fixture(scope="session")
def tvlib(service, tmp_path_factory):
    """The package, imported once per process the way the host imports it."""
    os.environ["KOLVAREN_BASE_URL"] = service.base_url
    os.environ["KOLVAREN_CA_BUNDLE"] = str(service.ca_pem_path)
    import tvlib as package

    return package


@pytest.fixture(scope="session")
def tvupd_module(tvlib):
    return importlib.import_module("tvlib.tvupd")


@pytest.fixture
def host(tvlib, tmp_path, monkeypatch):
    """The stand-in host, fresh for each test, with its own folders.

    The host's temporary folder and the process's are the same folder, as on a
    real machine, so that update.ini lies beside the download.
    """
    import pymxs

    maxdata = tmp_path / "maxdata"
    temp = tmp_path / "temp"
    maxdata.mkdir()
    temp.mkdir()
    pymxs.host.reset(maxdata=maxdata, tempdir=temp, release_year=HOST_YEAR)
    monkeypatch.setenv("TMPDIR", str(temp))
    return pymxs.host


@pytest.fixture
def account_file(tmp_path, monkeypatch) -> Path:
    path = tmp_path / "account" / "account.json"
    monkeypatch.setenv("KOLVAREN_ACCOUNT_FILE", str(path))
    return path


@pytest.fixture
def account(tvlib, account_file):
    """A stored account record for the test's user; returns a writer for others."""

    def store(record: dict | None = None, **changes):
        if record is None:
            record = {"account": dict(ACCOUNT), "kolvaren_version": "2.3.1"}
        record.update(changes)
        tvlib.save_account(record)
        return record

    store()
    return store


@pytest.fixture
def svc(service):
    """The session's service with clean scripts and records for this test."""
    service.clear_script()
    service.clear_requests()
    yield service
    service.clear_script()


@pytest.fixture
def runs(qtbot, tvupd_module, host, svc, account, modal):
    """Starts update runs and waits for them to settle. Message boxes are
    answered with OK unless the test says otherwise through `modal`."""
    return RunDriver(qtbot, tvupd_module)


class RunDriver:
    def __init__(self, qtbot, module):
        self.qtbot = qtbot
        self.module = module
        self.shiboken = importlib.import_module("shiboken6" if QT6 else "shiboken2")

    def start(self, *args, **kwargs):
        self.module.tvupd(*args, **kwargs)
        return self.module.tvupddialog

    def is_deleted(self, updater) -> bool:
        return not self.shiboken.isValid(updater)

    def wait_closed(self, updater, timeout=15000):
        self.qtbot.waitUntil(lambda: self.is_deleted(updater), timeout=timeout)

    def wait_workers(self, timeout=20000):
        self.qtbot.waitUntil(lambda: not self.module._running_workers(), timeout=timeout)

    def run_to_end(self, *args, timeout=20000, **kwargs):
        """One run, until its workers have finished and their signals arrived."""
        updater = self.start(*args, **kwargs)
        self.wait_workers(timeout)
        self.qtbot.wait(50)  # let the queued slots of the last signals run
        return updater


@pytest.fixture(autouse=True)
def _no_worker_outlives_its_test(request):
    if "tvupd_module" not in request.fixturenames:
        yield
        return
    module = request.getfixturevalue("tvupd_module")
    qtbot = request.getfixturevalue("qtbot")  # set up first, so torn down after this
    yield
    qtbot.waitUntil(lambda: not module._running_workers(), timeout=90000)


class ModalAnswerer:
    """Answers the next modal message boxes with a given button, recording them."""

    def __init__(self, qtbot):
        self.qtbot = qtbot
        self.seen: list[dict] = []
        self.answers: list[str] = []
        widgets = qt_module("QtWidgets")
        core = qt_module("QtCore")
        self._app = widgets.QApplication.instance()
        self._box = widgets.QMessageBox
        self._timer = core.QTimer()
        self._timer.setInterval(20)
        self._timer.timeout.connect(self._poll)
        self._timer.start()

    def answer(self, *buttons: str):
        self.answers.extend(buttons)

    def _poll(self):
        box = self._app.activeModalWidget()
        if not isinstance(box, self._box):
            return
        parent = box.parentWidget()
        self.seen.append(
            {
                "title": box.windowTitle(),
                "text": box.text(),
                "icon": box.icon(),
                "parent": parent,
                "buttons": box.standardButtons(),
            }
        )
        name = self.answers.pop(0) if self.answers else "Ok"
        box.button(getattr(self._box.StandardButton, name)).click()

    def stop(self):
        self._timer.stop()


@pytest.fixture
def console(monkeypatch, capsys):
    """What the host's console shows: standard output and error, with errors
    that cannot be raised printed by Python's own hook (pytest's hook would
    turn them into warnings at the end of the test)."""
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    return capsys


@pytest.fixture
def modal(qtbot):
    answerer = ModalAnswerer(qtbot)
    yield answerer
    answerer.stop()


def run_in_host(code: str, *, year: int = HOST_YEAR, env: dict | None = None, timeout=90):
    """Runs `code` in a fresh process with the stand-in host on its path.

    Start-up happens once per process, so whatever depends on it (the Qt
    choice, the base address) is tried in a child. Returns the completed process.
    """
    import subprocess

    child_env = dict(os.environ)
    child_env.update(
        {
            "PYTHONPATH": os.pathsep.join([str(DEVHOST), child_env.get("PYTHONPATH", "")]),
            "PYMXS_RELEASE_YEAR": str(year),
            "QT_QPA_PLATFORM": "offscreen",
        }
    )
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# What the extra lanes (other Qt for Python releases) run: an update run from its
# entry to the installed package, the preferences window, start-up, the
# diagnostics and the demo's own runs.
EVERY_LANE = {
    "test_demo.py",
    "test_diagnostics.py",
    "test_download.py",
    "test_host_safety.py",
    "test_module_startup.py",
    "test_release_check.py",
    "test_update_entry.py",
    "test_update_preferences.py",
    "test_update_run.py",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in EVERY_LANE:
            item.add_marker(pytest.mark.every_lane)
