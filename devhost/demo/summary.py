"""The demo's opening lines and closing summary, and whether the runs went as the option
says they should (the demo's exit status)."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import TYPE_CHECKING

from pymxs.builtins import fs_path

from .terminal import PROGRESS

if TYPE_CHECKING:
    from .host import DemoHost
    from .scenarios import Scenario

_SERVICE_LINE = re.compile(r"(GET|POST) (\S+) -> (.+)")
_TOKEN = re.compile(r"^/license/download/[^?]+")
_LABEL = 20


def _mxs(value: object) -> str:
    """A Python value as the host's console would print it."""
    if value is None:
        return "undefined"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    return repr(value)


class Summary:
    def __init__(self, scenario: Scenario, folder: Path, demo: DemoHost) -> None:
        self.scenario = scenario
        self.folder = folder
        self.demo = demo
        self.terminal = demo.terminal
        self.account_file = Path(os.environ.get("KOLVAREN_ACCOUNT_FILE", ""))
        self._globals: dict[str, str] = {}
        self._evaluated = 0
        self._fileins = 0

    def _item(self, label: str, first: str, *more: str) -> None:
        self.terminal.plain(f"  {label:<{_LABEL}}{first}")
        for line in more:
            self.terminal.plain(f"  {'':<{_LABEL}}{line}")

    def _installed(self) -> str | None:
        try:
            record = json.loads(self.account_file.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return None
        return record.get("kolvaren_version") if isinstance(record, dict) else None

    def _globals_now(self) -> dict[str, str]:
        return {name: _mxs(value) for name, value in self.demo.host.globals.items()}

    def header(self) -> None:
        demo = self.demo
        screen = "a window on screen" if demo.on_screen else "offscreen, no window"
        answers = "by you" if demo.interactive else "automatically"
        self._item("release service", os.environ.get("KOLVAREN_BASE_URL", "(not set)"))
        self._item("releases", self._releases())
        faults = [f"{route} {json.dumps(options)}" for route, options in self.scenario.faults]
        if faults:
            self._item("scripted answers", *faults)
        self._item(
            "host",
            f"stand-in, release year {demo.host.release_year}, {screen}; "
            f"message boxes answered {answers}",
        )
        self._item("scratch folder", str(self.folder))
        self._item("installed version", f"{self._installed()} (the account record)")
        self.terminal.plain()

    def _releases(self) -> str:
        manifest = json.loads((self.folder / "catalogue" / "manifest.json").read_text("utf-8"))
        releases = []
        for release in manifest["releases"]:
            notes = []
            if release.get("pad_to_bytes"):
                notes.append(f"{release['pad_to_bytes'] / (1 << 20):g} MiB")
            if release.get("is_mandatory"):
                notes.append("mandatory")
            tail = f" ({', '.join(notes)})" if notes else ""
            releases.append(f"{release['kolvaren_version']}{tail}")
        return ", ".join(releases)

    def before(self) -> None:
        self.installed_before = self._installed()
        self._globals = self._globals_now()
        self._evaluated = len(self.demo.host.evaluated)
        self._fileins = len(self.demo.host.filein_log)

    def show(self) -> list[str]:
        """Writes the summary; returns what went otherwise than the option says."""
        demo, host = self.demo, self.demo.host
        self.terminal.heading("Summary")
        after = self._installed()
        self._item("installed version", f"{self.installed_before} -> {after}")
        if len(demo.records) > 1:
            self._item(
                "runs",
                *[f"{n}. {r.run.about}: {r.ending}" for n, r in enumerate(demo.records, 1)],
            )
        else:
            self._item("run", *[r.ending for r in demo.records])

        update_ini = Path(host.tempdir) / "Kolvaren" / "update.ini"
        if update_ini.is_file():
            lines = update_ini.read_text(encoding="utf-8").splitlines()
            self._item("update.ini", str(update_ini), *[f"  {line}" for line in lines])
        else:
            self._item("update.ini", "not written")
        if self.account_file.is_file():
            lines = self.account_file.read_text(encoding="utf-8").splitlines()
            self._item("account record", str(self.account_file), *[f"  {x}" for x in lines])

        fileins = host.filein_log[self._fileins :]
        packages = [f"fileIn {_mxs(path)} ({_size(path)})" for path in fileins]
        self._item("package evaluated", *(packages or ["none"]))
        now = self._globals_now()
        changed = [f"{n} = {v}" for n, v in now.items() if self._globals.get(n) != v]
        self._item("globals set", *(changed or ["none"]))
        notes = len(demo.notes_dialog.calls)
        self._item("release notes", f"KolvarenReleasesDialog.redi() called {notes} time(s)")

        evaluated = host.evaluated[self._evaluated :]
        progress = sum(1 for text in evaluated if _prompt_is_progress(text))
        others = [text.splitlines()[0] for text in evaluated if not _prompt_is_progress(text)]
        self._item(
            "MAXScript run",
            f"{len(evaluated)} texts through execute(), {progress} of them progress prompts;",
            "the others:",
            *[f"  {text}" for text in others],
        )
        self._item("service requests", *self._service_requests())

        problems = self._problems(after)
        self.terminal.plain()
        if problems:
            self.terminal.plain(f"demo: the {self.scenario.name} option did not go as it should:")
            for problem in problems:
                self.terminal.plain(f"  - {problem}")
        elif self.scenario.installs:
            self.terminal.plain(
                f"demo: done - {self.scenario.installs} is installed "
                f"(was {self.installed_before}); exit status 0"
            )
        else:
            self.terminal.plain(
                f"demo: done - nothing installed, {after} stays, as this option shows; "
                "exit status 0"
            )
        return problems

    def _service_requests(self) -> list[str]:
        log = self.folder / "service.log"
        try:
            lines = log.read_text(encoding="utf-8").splitlines()
        except OSError:
            return [f"(no log at {log})"]
        requests = []
        for line in lines:
            match = _SERVICE_LINE.fullmatch(line.strip())
            if match:
                target = _TOKEN.sub("/license/download/<token>", match.group(2))
                requests.append(f"{match.group(1)} {target} -> {match.group(3)}")
        return requests or ["none"]

    def _problems(self, after: str | None) -> list[str]:
        demo, scenario = self.demo, self.scenario
        problems = [f"the host reported {error}" for error in demo.errors]
        if len(demo.records) != len(scenario.runs):
            problems.append(f"{len(demo.records)} of {len(scenario.runs)} runs started")
        for n, record in enumerate(demo.records, 1):
            wanted = record.run.shows
            if wanted and not any(wanted in text for text in record.shown):
                problems.append(f"run {n} did not show {wanted!r}")
        package_version = demo.host.globals.get("kolvaren_installed_version")
        if scenario.installs:
            if after != scenario.installs or package_version != scenario.installs:
                problems.append(
                    f"{scenario.installs} should be installed; the account record says "
                    f"{after}, the package set {_mxs(package_version)}"
                )
        elif after != self.installed_before or package_version is not None:
            problems.append(f"nothing should be installed; the account record says {after}")
        return problems


def _prompt_is_progress(text: str) -> bool:
    match = re.fullmatch(r'pushprompt "(.*)"', text)
    return bool(match and PROGRESS.fullmatch(match.group(1)))


def _size(path: str) -> str:
    try:
        return f"{os.path.getsize(fs_path(path)):,} bytes"
    except OSError:
        return "file gone"
