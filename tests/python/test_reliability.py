"""The update client survives what a working host does to it: entry calls in
quick succession while runs are under way, windows closed under running
workers, downloads of one package overlapping, a process killed in the middle
of saving the account record, and hundreds of runs in one process."""

import gc
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import ACCOUNT, DEVHOST, HOST_YEAR
from test_download import Download

DOWNLOAD_ROUTE = "/license/download"
PACKAGE = b"-- package\n" * 20000


def open_descriptors() -> set[str]:
    return set(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_leaked_descriptors(tvupd_module, svc, qtbot):
    """Every descriptor opened during the test is closed again by its end
    (the service's side of a connection may take a moment to close)."""
    # The process's first request sets up what lasts as long as the process.
    tvupd_module.KolvarenUpdater.CheckWorker().generate_jwt_token(
        ACCOUNT["email"], ACCOUNT["license_key"]
    )
    svc.clear_requests()
    before = open_descriptors()
    yield
    qtbot.waitUntil(lambda: open_descriptors() <= before, timeout=10000)


def temporaries(folder: Path) -> list[str]:
    return [p.name for p in folder.iterdir() if ".tmp-" in p.name] if folder.exists() else []


def test_many_quick_entry_calls_leave_one_run_and_no_noise(
    runs, svc, qtbot, capfd, tvupd_module, host, no_leaked_descriptors, record_property
):
    # Slow answers keep earlier runs checking and downloading while they are replaced.
    svc.script("/license/generate-jwt", delay=0.05, times=None)
    svc.script(DOWNLOAD_ROUTE, body=PACKAGE[:22000], trickle=(4096, 0.01), times=None)
    calls = 200
    updaters = []
    for i in range(calls):
        updaters.append(runs.start(True))
        if i % 7 == 3:
            # The host closes the window while its worker runs.
            updaters[-1].close()
        if i % 10 == 0:
            qtbot.wait(5)
    runs.wait_workers(timeout=120000)
    qtbot.wait(100)
    assert tvupd_module.tvupddialog is updaters[-1]
    assert all(runs.is_deleted(u) for u in updaters[:-1])
    _, err = capfd.readouterr()
    assert "Traceback" not in err and "Internal C++ object" not in err
    assert "QThread" not in err
    assert temporaries(Path(host.tempdir) / "Kolvaren") == []
    record_property("figure.concurrent_entry_calls", calls)


def test_overlapping_downloads_of_one_package_never_show_a_damaged_file(
    tvupd_module, qtbot, host, svc, no_leaked_descriptors
):
    # Two whole downloads and a third one broken off, each started while the
    # previous one is still being written. Whoever opens the target at any
    # moment - the host installing the first one included - finds the whole
    # package or nothing.
    trickle = (8192, 0.01)
    svc.script(DOWNLOAD_ROUTE, body=PACKAGE, trickle=trickle, times=2)
    svc.script(DOWNLOAD_ROUTE, body=PACKAGE, trickle=trickle, reset="during")
    token = svc.issue_token("ada@kolvaren.invalid", "pro")
    target = Path(host.tempdir) / "Kolvaren" / "pkg.ms"
    seen = []

    def look():
        if target.exists():
            seen.append(target.read_bytes())

    workers = []
    for _ in range(3):
        worker = tvupd_module.KolvarenUpdater.DownloadWorker("releases/pkg.ms", token, "2.4.0")
        outcome = []
        worker.download_complete.connect(lambda _result, o=outcome: (look(), o.append("done")))
        worker.error_occurred.connect(outcome.append)
        worker.start()
        workers.append((worker, outcome))
        qtbot.waitUntil(lambda: len(svc.requests) == len(workers), timeout=5000)
        qtbot.wait(60)
    while not all(w.isFinished() for w, _ in workers):
        look()
        qtbot.wait(2)
    qtbot.wait(50)
    assert [o for _, o in workers][:2] == [["done"], ["done"]]
    assert workers[2][1][0].startswith("Download Error: ")
    assert seen and all(content == PACKAGE for content in seen)
    assert target.read_bytes() == PACKAGE
    assert temporaries(target.parent) == []


@pytest.mark.parametrize(
    ("fault", "previous"),
    [({"reset": "during"}, b"older"), ({"truncate_after": 5000}, None)],
)
def test_a_failed_download_leaves_the_target_as_it_was(
    tvupd_module, qtbot, host, svc, fault, previous
):
    target = Path(host.tempdir) / "Kolvaren" / "pkg.ms"
    if previous is not None:
        target.parent.mkdir()
        target.write_bytes(previous)
    svc.script(DOWNLOAD_ROUTE, body=PACKAGE, **fault)
    token = svc.issue_token("ada@kolvaren.invalid", "pro")
    worker_class = tvupd_module.KolvarenUpdater.DownloadWorker
    assert Download(worker_class, qtbot, "pkg.ms", token).error.startswith("Download Error: ")
    assert (target.read_bytes() if target.exists() else None) == previous
    assert temporaries(target.parent) == []


SAVER = """
import sys, tvlib
records = [{"kolvaren_version": "A", "pad": "a" * 50000},
           {"kolvaren_version": "B", "pad": "b" * 70000}]
print("ready", flush=True)
i = 0
while True:
    tvlib.save_account(records[i % 2])
    i += 1
"""


@pytest.mark.slow
def test_a_save_killed_at_any_moment_leaves_a_whole_record(tvlib, account_file, record_property):
    env = dict(os.environ)
    env.update(
        {
            "PYTHONPATH": os.pathsep.join([str(DEVHOST), env.get("PYTHONPATH", "")]),
            "PYMXS_RELEASE_YEAR": str(HOST_YEAR),
            "KOLVAREN_ACCOUNT_FILE": str(account_file),
        }
    )
    tvlib.save_account({"kolvaren_version": "A", "pad": ""})
    rng = random.Random(7)
    trials = 40
    for _ in range(trials):
        saver = subprocess.Popen(
            [sys.executable, "-c", SAVER], env=env, stdout=subprocess.PIPE, text=True
        )
        assert saver.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0.0, 0.05))
        saver.send_signal(signal.SIGKILL)
        saver.wait()
        saver.stdout.close()
        record = tvlib.load_account()
        assert record["kolvaren_version"] in {"A", "B"}
        assert set(record["pad"]) <= {record["kolvaren_version"].lower()}
    leftovers = [p for p in account_file.parent.iterdir() if p != account_file]
    # A killed save may leave its temporary file; it never replaces the record,
    # and the next save clears it away.
    assert all(".tmp-" in p.name for p in leftovers)
    tvlib.save_account({"kolvaren_version": "C"})
    assert list(account_file.parent.iterdir()) == [account_file]
    record_property("figure.kill_during_save_trials", trials)


def test_the_next_save_removes_only_temporaries_whose_writer_is_gone(tvlib, account_file):
    tvlib.save_account({"kolvaren_version": "A"})
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    with subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]) as running:
        name = account_file.name
        files = {  # name: whether the next save removes it, age in days
            f"{name}.tmp-{gone.pid}-3": (True, 0),
            f"{name}.tmp-{running.pid}-4": (False, 0),
            f"{name}.tmp-{os.getpid()}-999": (False, 0),
            f"{name}.tmp-{running.pid}-5": (True, 2),  # no save takes days
            f"{name}.tmp-{gone.pid}": (False, 0),
            f"{name}.tmp-{gone.pid}-x": (False, 5),
            f"other.json.tmp-{gone.pid}-1": (False, 5),
        }
        for file, (_, days) in files.items():
            path = account_file.parent / file
            path.write_text("{}")
            os.utime(path, (time.time() - days * 86400,) * 2)
        tvlib.save_account({"kolvaren_version": "B"})
        running.kill()
    left = {p.name for p in account_file.parent.iterdir()}
    assert left == {name} | {file for file, (removed, _) in files.items() if not removed}
    assert tvlib.load_account() == {"kolvaren_version": "B"}


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.mark.slow
def test_resident_memory_stays_flat_over_many_runs(runs, svc, host, account, record_property):
    # Complete runs (health check, check, download, installation, window
    # closed) of a package large enough that keeping any copy of it per run
    # would show.
    svc.script(DOWNLOAD_ROUTE, body=b"--" + b"x" * 32768 + b"\n", times=None)
    rss = []
    for _ in range(200):
        account()  # the release found is new again
        runs.wait_closed(runs.start(True))
        runs.wait_workers()
        # What the stand-ins keep of each run is the test's, not the client's.
        svc.clear_requests()
        for log in (host.prompts, host.filein_log, host.evaluated, host.temp_prompts):
            log.clear()
        gc.collect()
        rss.append(resident_kib())
    # The first runs fill caches and pools; a leak keeps growing after them.
    growth = rss[-1] - rss[49]
    record_property("figure.memory_runs", len(rss))
    record_property("figure.memory_kib_after_50_runs", rss[49])
    record_property("figure.memory_growth_kib_last_150_runs", growth)
    assert growth < 2048, rss[49::10]
