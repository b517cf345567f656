"""The update client survives what a working host does to it: entry calls in
quick succession while runs are under way, and a process killed in the middle
of saving the account record."""

import json
import os
import random
import signal
import subprocess
import sys
import time

import pytest
from conftest import DEVHOST, HOST_YEAR

DOWNLOAD_ROUTE = "/license/download"


def test_many_quick_entry_calls_leave_one_run_and_no_noise(runs, svc, qtbot, capfd, tvupd_module):
    # Slow answers keep earlier runs checking and downloading while they are replaced.
    svc.script("/license/generate-jwt", delay=0.05, times=None)
    svc.script(DOWNLOAD_ROUTE, body=b"-- package\n" * 2000, trickle=(4096, 0.01), times=None)
    updaters = []
    for i in range(200):
        updaters.append(runs.start(True))
        if i % 10 == 0:
            qtbot.wait(5)
    runs.wait_workers(timeout=120000)
    qtbot.wait(100)
    assert tvupd_module.tvupddialog is updaters[-1]
    assert all(runs.is_deleted(u) for u in updaters[:-1])
    _, err = capfd.readouterr()
    assert "Traceback" not in err and "Internal C++ object" not in err
    assert "QThread" not in err


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
def test_a_save_killed_at_any_moment_leaves_a_whole_record(tvlib, account_file, tmp_path):
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
        record = json.loads(account_file.read_text(encoding="utf-8"))
        assert record["kolvaren_version"] in {"A", "B"}
        assert set(record["pad"]) <= {record["kolvaren_version"].lower()}
    leftovers = [p for p in account_file.parent.iterdir() if p != account_file]
    # A killed save may leave its temporary file; it never replaces the record.
    assert all(".tmp-" in p.name for p in leftovers)
