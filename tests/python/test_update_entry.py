"""The entry function keeps one updater per run; the updater checks the
service's health on the UI thread and starts the check worker."""

import socket
import time

import pytest
from conftest import run_in_host

CHECKING = ("Kolvaren - Checking Update...", 5000)


class TestHealthCheck:
    @pytest.mark.parametrize("status", [200, 399])
    def test_an_ok_reply_shows_the_prompt_and_starts_the_check(self, runs, svc, host, status):
        svc.script("/health", status=status, json={"status": "ok"})
        updater = runs.start()
        assert host.temp_prompts == [CHECKING]
        worker = updater.check_worker
        assert isinstance(worker, type(updater).CheckWorker)
        runs.wait_workers()
        assert worker.isFinished()
        health = svc.requests[0]
        assert (health.method, health.path, health.query, health.body) == (
            "GET",
            "/health",
            [],
            b"",
        )
        assert health.header("Authorization") is None

    @pytest.mark.parametrize("status", [400, 503, 599])
    def test_a_refusing_reply_writes_its_status_and_closes(self, runs, svc, host, capsys, status):
        svc.script("/health", status=status, json={"detail": "down"})
        updater = runs.start()
        assert capsys.readouterr().out == f"Kolvaren Update Error:- Status: {status}\n"
        assert not hasattr(updater, "check_worker")
        assert host.temp_prompts == [] and host.prompts == []
        runs.wait_closed(updater)
        assert [r.path for r in svc.requests] == ["/health"]

    def test_the_health_body_is_never_read(self, runs, svc, host):
        svc.script("/health", status=200, body_bytes=50_000_000)
        runs.start()
        assert host.temp_prompts == [CHECKING]
        runs.wait_workers()

    def test_a_broken_connection_is_a_health_error_line(self, runs, svc, capsys):
        svc.script("/health", reset="before")
        updater = runs.start()
        out = capsys.readouterr().out
        assert out.startswith("Kolvaren Update Error: Health ")
        assert out.count("\n") == 1
        runs.wait_closed(updater)

    @pytest.mark.slow
    def test_a_service_that_never_answers_times_out_after_ten_seconds(
        self, runs, svc, capsys, record_property
    ):
        svc.script("/health", delay=12)
        record_property("figure.faults.stall", 1)
        updater = runs.start()
        out = capsys.readouterr().out
        assert out.startswith("Kolvaren Update Error: Health ")
        assert "10 seconds" in out
        runs.wait_closed(updater)

    @pytest.mark.slow
    def test_a_trickled_head_is_cut_off_after_thirty_seconds(self, runs, svc, capsys):
        # A byte every half second: never quiet for 10 seconds, and the head
        # alone would take over a minute.
        svc.script("/health", trickle=(1, 0.5), trickle_head=True)
        started = time.monotonic()
        updater = runs.start()
        elapsed = time.monotonic() - started
        out = capsys.readouterr().out
        assert out == (
            f"Kolvaren Update Error: Health no reply from 127.0.0.1 port {svc.port} "
            "within 30 seconds (the limit for the whole request)\n"
        )
        assert 30 <= elapsed < 40
        runs.wait_closed(updater)


PROBE = """
import sys, tvlib
from PySide{qt}.QtWidgets import QApplication
app = QApplication([])
assert not hasattr(sys.modules["tvlib.tvupd"], "tvupddialog")
tvlib.tvupd(True)
print("stored:", type(sys.modules["tvlib.tvupd"].tvupddialog).__name__)
"""


def probe(base_url, **env):
    from conftest import QT6

    code = PROBE.format(qt="6" if QT6 else "2")
    return run_in_host(code, env={"KOLVAREN_BASE_URL": base_url, **env})


class TestHealthFailuresBeforeAnyReply:
    def test_a_refused_connection(self, service):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        result = probe(f"https://127.0.0.1:{port}", KOLVAREN_CA_BUNDLE=str(service.ca_pem_path))
        assert result.returncode == 0, result.stderr
        assert result.stdout == (
            "Kolvaren Update Error: Health ConnectionError\nstored: KolvarenUpdater\n"
        )

    def test_an_untrusted_certificate(self, service):
        result = probe(service.base_url, KOLVAREN_CA_BUNDLE="")
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("Kolvaren Update Error: Health ConnectionError\n")

    @pytest.mark.slow
    def test_a_connection_that_is_never_established(self, service):
        result = probe(service.blackhole_url, KOLVAREN_CA_BUNDLE=str(service.ca_pem_path))
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("Kolvaren Update Error: Health ConnectTimeout\n")


class TestEntryFunction:
    def test_the_updater_keeps_the_run_values(self, runs, tvupd_module):
        updater = runs.start(1)
        assert updater.manuel_update is True
        assert updater.version_offset == 0
        assert updater.is_silent is True
        assert updater.check_worker.manuel_update is True
        assert updater.check_worker.version_offset == 0
        assert tvupd_module.tvupddialog is updater
        runs.wait_workers()

    def test_an_earlier_release_offset_is_passed_on(self, runs):
        updater = runs.start(version_offset=-1)
        assert updater.manuel_update is False
        assert updater.version_offset == -1
        assert updater.check_worker.version_offset == -1
        runs.wait_workers()

    def test_a_call_after_a_finished_run_starts_a_new_one(self, runs, svc, console):
        svc.script("/health", status=503)
        first = runs.start()
        runs.wait_closed(first)
        console.readouterr()
        second = runs.start()
        assert second is not first
        # Closing the deleted window fails as expected, and says nothing.
        assert console.readouterr() == ("", "")
        runs.wait_workers()

    def test_a_previous_window_that_fails_to_close_is_reported_and_replaced(
        self, runs, tvupd_module, monkeypatch, console
    ):
        class Stale:
            def close(self):
                raise ValueError("the stale window broke")

        monkeypatch.setattr(tvupd_module, "tvupddialog", Stale(), raising=False)
        updater = runs.start()
        assert isinstance(updater, tvupd_module.KolvarenUpdater)
        err = console.readouterr().err
        assert "closing the previous updater" in err
        assert "ValueError: the stale window broke" in err
        runs.wait_workers()

    def test_a_call_while_a_run_is_checking_replaces_it_quietly(
        self, runs, svc, capfd, tvupd_module
    ):
        svc.script("/license/generate-jwt", delay=1.0)
        first = runs.start()
        old_worker = first.check_worker
        second = runs.start()
        runs.wait_closed(first)
        assert tvupd_module.tvupddialog is second
        assert old_worker.isRunning()
        runs.wait_workers()
        assert old_worker.isFinished()
        _, err = capfd.readouterr()
        assert "Internal C++ object" not in err and "Traceback" not in err
        assert err == ""
