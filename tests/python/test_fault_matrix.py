"""Every way the release service can fail on each of its four routes, injected
on the wire, and what the user then sees: the exact console line or message
box, nothing raised into the host, and the run ending where it should.

Certificates that do not verify are tried in test_failure_texts.py and waits
past the time-outs in test_update_entry.py, test_failure_texts.py and
test_download.py; this file covers the rest of the matrix.
"""

import json
from pathlib import Path

import pytest
from conftest import ACCOUNT, QT6
from test_release_check import CheckRun

HEALTH = "/health"
TOKEN = "/license/generate-jwt"
RELEASE = "/license/latest-release"
DOWNLOAD = "/license/download"
PACKAGE = "releases/2.4.0/kolvaren-2.4.0.ms"

NO_UPDATES = {"title": "Kolvaren", "text": "No updates found."}
CHECKING = ("Kolvaren - Checking Update...", 5000)
FAILURE_PROMPT = "Kolvaren Update Failure"
ANNOUNCED = "Kolvaren - New Version 2.4.0 is now available.\n"

# A reply body of known length, so that cut-off points are exact.
LONG = json.dumps({"jwt_token": "a.b.c", "pad": "p" * 4967}).encode()
assert len(LONG) == 5000
SERVICE = "127.0.0.1 port {port}"
NOT_JSON = "Expecting value: line 1 column 1 (char 0)"
HEADS = "the reply from " + SERVICE + " has headers larger than 65536 bytes"
RESET = f"connection to {SERVICE} broken off while receiving the reply (Recv failure: Connection reset by peer)"  # noqa: E501
RESET_MID = f"reply from {SERVICE} broken off after 2500 of 5000 bytes (Recv failure: Connection reset by peer)"  # noqa: E501
CUT = f"reply from {SERVICE} broken off after 1000 of 5000 bytes"

# Fault id: (class, how the service misbehaves).
FAULTS = {
    "204": ("status", {"status": 204, "body": b""}),
    "304": ("status", {"status": 304, "body": b""}),
    "401": ("status", {"status": 401}),
    "503": ("status", {"status": 503}),
    "503 huge": ("status", {"status": 503, "body_bytes": 50_000_000}),
    "html": ("body", {"body": b"<html>busy</html>"}),
    "array": ("body", {"body": b"[]"}),
    "text": ("body", {"body": b'"ok"'}),
    "null": ("body", {"body": b"null"}),
    "wrong member": ("body", {"json": {"jwt_token": 5, "detail": 5}}),
    "50 MB": ("oversize", {"body_bytes": 50_000_000}),
    "1 MB header": ("oversize", {"header_line_bytes": 1_000_000}),
    "many headers": ("oversize", {"headers": [(f"X-{i}", "h" * 1000) for i in range(100)]}),
    "reset before": ("reset", {"reset": "before"}),
    "reset during": ("reset", {"body": LONG, "reset": "during"}),
    "truncated": ("truncation", {"body": LONG, "truncate_after": 1000}),
}

# What a failed health check writes; None: the check goes on.
HEALTH_LINE = {
    "204": None,
    "304": None,
    "401": "Kolvaren Update Error:- Status: 401",
    "503": "Kolvaren Update Error:- Status: 503",
    "503 huge": "Kolvaren Update Error:- Status: 503",
    "html": None,
    "null": None,
    "50 MB": None,  # the body is never read
    "1 MB header": "Kolvaren Update Error: Health " + HEADS,
    "many headers": "Kolvaren Update Error: Health " + HEADS,
    "reset before": "Kolvaren Update Error: Health ConnectionError",
    "reset during": None,
    "truncated": None,
}

# What the check worker reports (a code, or an error text) for each of its
# two requests; a manual run shows only "No updates found." for every one.
CHECK_RESULT = {
    "204": (NOT_JSON, NOT_JSON),
    "304": (NOT_JSON, NOT_JSON),
    "401": ("004", "005"),
    "503": ("004", "005"),
    "503 huge": ("004", "005"),
    "html": (NOT_JSON, NOT_JSON),
    "array": ("the token reply is not a JSON object", "the release reply is not a JSON object"),
    "text": ("the token reply is not a JSON object", "the release reply is not a JSON object"),
    "null": ("the token reply is not a JSON object", "005"),
    "wrong member": ("the token reply's jwt_token is not a text", None),
    "50 MB": ("the reply is larger than 4194304 bytes",) * 2,
    "1 MB header": (HEADS, HEADS),
    "many headers": (HEADS, HEADS),
    "reset before": (RESET, RESET),
    "reset during": (RESET_MID, RESET_MID),
    "truncated": (CUT, CUT),
}

# The line a failed download writes, beside the "Kolvaren Update Failure" prompt.
DOWNLOAD_LINE = {
    "204": "Download Error: " + NOT_JSON,
    "304": "Download Error: " + NOT_JSON,
    "401": "Download Failure: Unauthorized",
    "503": "Download Failure: Service Unavailable",
    "503 huge": "Download Error: the refusal reply is larger than 1048576 bytes",
    "html": ("Download Error: " + NOT_JSON, 500),
    "array": ("Download Error: list indices must be integers or slices, not str", 403),
    "text": ("Download Error: string indices must be integers, not 'str'", 404),
    "null": ("Download Error: 'NoneType' object is not subscriptable", 404),
    "wrong member": ("Download Failure: 5", 404),
    "1 MB header": "Download Error: " + HEADS,
    "many headers": "Download Error: " + HEADS,
    "reset before": "Download Error: " + RESET,
    "reset during": "Download Error: " + RESET_MID,
    "truncated": "Download Error: " + CUT,
}


def fault(svc, route, fault_id, record_property, status=None):
    family, script = FAULTS[fault_id]
    if status is not None:
        script = {**script, "status": status}
    svc.script(route, **script)
    record_property(f"figure.faults.{family}", 1)


def text(template, svc):
    return template if template is None else template.format(port=svc.port)


@pytest.mark.parametrize("fault_id", list(HEALTH_LINE))
def test_health(runs, svc, host, capsys, record_property, fault_id):
    fault(svc, HEALTH, fault_id, record_property)
    updater = runs.run_to_end(False)
    line = text(HEALTH_LINE[fault_id], svc)
    if line is None:
        # The run goes on to its announcement.
        assert host.temp_prompts == [CHECKING]
        assert capsys.readouterr().out == ANNOUNCED
    else:
        assert capsys.readouterr().out == line + "\n"
        assert host.temp_prompts == [] and host.prompts == []
        assert not hasattr(updater, "check_worker")
        runs.wait_closed(updater)


@pytest.mark.parametrize(
    ("fault_id", "route"),
    [
        (fault_id, route)
        for fault_id, results in CHECK_RESULT.items()
        for route, result in zip((TOKEN, RELEASE), results, strict=True)
        if result is not None
    ],
)
def test_check(runs, svc, modal, capsys, qtbot, record_property, route, fault_id):
    expected = text(CHECK_RESULT[fault_id][route == RELEASE], svc)
    fault(svc, route, fault_id, record_property)
    worker_class = runs.module.KolvarenUpdater.CheckWorker
    assert CheckRun(worker_class, qtbot, True).signal == ("no_update", (True, False, expected))
    # The same fault in a whole manual run: one box, nothing on the console.
    fault(svc, route, fault_id, lambda *_: None)
    updater = runs.start(True)
    runs.wait_closed(updater)
    assert [{"title": box["title"], "text": box["text"]} for box in modal.seen] == [NO_UPDATES]
    assert capsys.readouterr().out == ""
    assert [r.path for r in svc.requests].count(DOWNLOAD) == 0


@pytest.mark.parametrize("fault_id", list(DOWNLOAD_LINE))
def test_download(runs, svc, host, capsys, record_property, fault_id):
    line, status = DOWNLOAD_LINE[fault_id], None
    if isinstance(line, tuple):
        line, status = line  # a refusal whose body is broken
    fault(svc, DOWNLOAD, fault_id, record_property, status)
    updater = runs.run_to_end(True)
    assert capsys.readouterr().out == text(line, svc) + "\n"
    assert host.prompts[-1] == FAILURE_PROMPT
    assert host.filein_log == []
    assert not any("Update Successfully" in p for p in host.prompts)
    assert not runs.is_deleted(updater)  # the run stops there, its updater open


MEMORY_PROBE = """
import json, sys, time
import tvlib
from PySide{qt}.QtWidgets import QApplication

app = QApplication([])
upd = sys.modules["tvlib.tvupd"]
Updater = upd.KolvarenUpdater
worker = Updater.CheckWorker()


def settle():
    while upd._running_workers():
        app.processEvents()
        time.sleep(0.002)
    app.processEvents()


def download():
    seen = []
    dl = Updater.DownloadWorker({package!r}, {token!r}, "2.4.0")
    dl.download_complete.connect(lambda result: seen.append("complete"))
    dl.error_occurred.connect(seen.append)
    dl.start()
    while not seen:
        app.processEvents()
        time.sleep(0.002)
    return seen[0]


calls = [
    lambda: worker.generate_jwt_token({email!r}, {key!r}),
    lambda: worker.get_latest_release({token!r}, "pro", {email!r}, 0),
    download,
    lambda: Updater(False, 0),
]


def each_route():
    for call in calls:
        try:
            call()
        except Exception:
            pass
        settle()


def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


each_route()  # TLS, caches and threads are made once, before measuring
print("warm", flush=True)
rounds = int(sys.stdin.readline())
before = peak_kib()
for _ in range(rounds):
    each_route()
print("grown", peak_kib() - before, flush=True)
"""

# Each route gets each fault once, in the probe's order of rounds.
OVERSIZED = [
    {
        TOKEN: {"body_bytes": 50_000_000},
        RELEASE: {"body_bytes": 50_000_000},
        DOWNLOAD: {"body_bytes": 50_000_000},
        HEALTH: {"status": 503, "body_bytes": 50_000_000},
    },
    {route: {"header_line_bytes": 1_000_000} for route in (TOKEN, RELEASE, DOWNLOAD, HEALTH)},
    {DOWNLOAD: {"header_line_bytes": 50_000_000}, HEALTH: {"header_line_bytes": 50_000_000}},
]


def test_oversized_replies_cost_the_host_no_memory(svc, tmp_path, record_property):
    """50 MB bodies and 1 MB (and 50 MB) header lines on every route, against a
    host process of its own whose peak memory (VmHWM) must not grow by more
    than a fraction of one body."""
    import os
    import subprocess
    import sys

    from conftest import DEVHOST, HOST_YEAR

    if not Path("/proc/self/status").exists():
        pytest.skip("no /proc")
    token = svc.issue_token(ACCOUNT["email"], "pro")
    code = MEMORY_PROBE.format(
        qt="6" if QT6 else "2",
        package=PACKAGE,
        token=token,
        email=ACCOUNT["email"],
        key=ACCOUNT["license_key"],
    )
    env = dict(os.environ)
    env.update(
        PYTHONPATH=os.pathsep.join([str(DEVHOST), env.get("PYTHONPATH", "")]),
        PYMXS_RELEASE_YEAR=str(HOST_YEAR),
        QT_QPA_PLATFORM="offscreen",
        KOLVAREN_BASE_URL=svc.base_url,
        KOLVAREN_CA_BUNDLE=svc.ca_pem_path,
        KOLVAREN_ACCOUNT_FILE=str(tmp_path / "account.json"),
        TMPDIR=str(tmp_path),
    )
    probe = subprocess.Popen(
        [sys.executable, "-c", code],
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert probe.stdout.readline() == "warm\n"
        for faults in OVERSIZED:
            for route, script in faults.items():
                svc.script(route, **script)
        out, _ = probe.communicate(f"{len(OVERSIZED)}\n", timeout=120)
    finally:
        probe.kill()
    # The health failures' lines may come before or after the figure.
    grown = [line.split()[1] for line in out.splitlines() if line.startswith("grown ")]
    assert len(grown) == 1, out
    grown_kib = int(grown[0])
    print(f"peak memory grew by {grown_kib} KiB")
    assert grown_kib < 24 * 1024
    # The 50 MB package did arrive, on disk, and later failures left it there.
    assert (tmp_path / "Kolvaren" / Path(PACKAGE).name).stat().st_size == 50_000_000
    record_property("figure.faults.oversize", sum(len(round_) for round_ in OVERSIZED))
