"""The main job's command: the demo's host program takes each option's path to its end,
against the stand-in service started from its command line as scripts/demo.sh starts it."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

import pytest
from conftest import DEVHOST, HOST_YEAR

CLOSING = {
    "manual": "demo: done - 2.4.0 is installed (was 2.3.1)",
    "automatic": "demo: done - nothing installed, 2.3.1 stays",
    "mandatory": "demo: done - 2.4.0 is installed (was 2.3.1)",
    "previous": "demo: done - 2.3.1 is installed (was 2.4.0)",
    "failing": "demo: done - nothing installed, 2.3.1 stays",
}


def run_demo(option: str, folder) -> tuple[subprocess.CompletedProcess, str]:
    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join([str(DEVHOST), os.environ.get("PYTHONPATH", "")]),
    }
    prepared = subprocess.run(
        [sys.executable, "-m", "demo", "prepare", option, str(folder)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    log = folder / "service.log"
    with log.open("w") as out:
        service = subprocess.Popen(
            [
                sys.executable,
                "-u",
                "-m",
                "releaseservice",
                "--catalogue",
                str(folder / "catalogue"),
                "--state-dir",
                str(folder / "service"),
                *prepared.stdout.splitlines(),
            ],
            env=env,
            stdout=out,
            stderr=subprocess.STDOUT,
        )
    try:
        state = folder / "service" / "service.json"
        deadline = time.monotonic() + 15
        while not state.exists() and service.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not state.exists():
            pytest.fail("the service did not start:\n" + log.read_text())
        info = json.loads(state.read_text())
        env.update(
            KOLVAREN_BASE_URL=info["base_url"],
            KOLVAREN_CA_BUNDLE=info["ca_pem_path"],
            KOLVAREN_ACCOUNT_FILE=str(folder / "account" / "account.json"),
            PYMXS_MAXDATA=str(folder / "maxdata"),
            PYMXS_TEMPDIR=str(folder / "temp"),
            PYMXS_RELEASE_YEAR=str(HOST_YEAR),
            TMPDIR=str(folder / "temp"),
            QT_QPA_PLATFORM="offscreen",
        )
        result = subprocess.run(
            [sys.executable, "-m", "demo", "run", option, str(folder)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
    finally:
        service.terminate()
        service.wait(10)
    return result, log.read_text()


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """The output of one demo per option, run once for the module."""
    done = {}

    def output(option: str):
        if option not in done:
            done[option] = run_demo(option, tmp_path_factory.mktemp(option))
        return done[option]

    return output


@pytest.mark.parametrize("option", list(CLOSING))
def test_each_option_goes_its_way_to_the_end(demo, option):
    result, service_log = demo(option)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1].startswith(CLOSING[option])
    # What the summary is about, shown once the runs are over.
    summary = "\n".join(lines[lines.index("Summary") :])
    for item in ("installed version", "update.ini", "account record", "package evaluated"):
        assert f"  {item}" in summary
    assert "GET /health -> " in service_log


def test_a_manual_run_shows_the_host_side_in_order(demo):
    result, _ = demo("manual")
    shown = [line.split("│ ", 1)[1] for line in result.stdout.splitlines() if "│ " in line]
    progress = [s for s in shown if s.startswith("Kolvaren - New Version Downloading %")]
    # Not a terminal: the percentage at every quarter, not at every piece.
    assert progress == [f"Kolvaren - New Version Downloading %{p}" for p in (0, 25, 50, 75, 100)]
    after = shown[shown.index(progress[-1]) + 1 :]
    assert after == [
        "Kolvaren 2.4.0 installed",  # the package's own console line and prompt
        "Kolvaren 2.4.0 installed",
        "Kolvaren - Version 2.4.0 Update Successfully",
        "KolvarenReleasesDialog.redi(): the release notes open",
        "the updater closed itself: the run is over",
    ]
    assert "update.ini" in result.stdout and "NewVersion=2.4.0" in result.stdout
