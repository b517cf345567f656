"""TLS variants, the blackhole address, stopping, and the command line of the release stand-in."""

from __future__ import annotations

import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import releaseservice
import requests
from releaseservice import ReleaseService


def handshake(svc):
    context = ssl.create_default_context(cafile=svc.ca_pem_path)
    with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as sock:
        with context.wrap_socket(sock, server_hostname="127.0.0.1") as tls:
            return tls.version()


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize(
    ("mode", "reason"),
    [
        ("untrusted", "unable to get local issuer certificate"),
        ("wrong_host", "IP address mismatch"),
        ("expired", "certificate has expired"),
    ],
)
def test_broken_certificates_fail_verification(mode, reason):
    with ReleaseService(tls=mode) as svc:
        with pytest.raises(ssl.SSLCertVerificationError) as caught:
            handshake(svc)
        assert reason in caught.value.verify_message
        # Nothing was answered, but the same service works once verification is off.
        reply = requests.get(svc.base_url + "/health", verify=False, timeout=5)
        assert reply.json() == {"status": "ok"}


def test_blackhole_connections_time_out():
    with ReleaseService() as svc:
        host, port = svc.blackhole_url.removeprefix("https://").split(":")
        assert svc.blackhole_url == svc.blackhole_url  # made once
        for _ in range(2):
            started = time.monotonic()
            with pytest.raises(TimeoutError):
                socket.create_connection((host, int(port)), timeout=0.3).close()
            assert time.monotonic() - started >= 0.25


def test_stop_returns_promptly_while_an_answer_stalls():
    svc = ReleaseService().start()
    svc.script("/health", stall_after=0)  # stalls until the service stops
    outcome = []

    def client():
        try:
            reply = requests.get(svc.base_url + "/health", verify=svc.ca_pem_path, timeout=10)
            outcome.append(("answered", reply.content))
        except requests.RequestException as exc:
            outcome.append(exc)

    thread = threading.Thread(target=client, daemon=True)
    thread.start()
    deadline = time.monotonic() + 5
    while not svc.requests and time.monotonic() < deadline:
        time.sleep(0.02)
    started = time.monotonic()
    svc.stop()
    assert time.monotonic() - started < 1.0
    thread.join(5)
    assert outcome and isinstance(outcome[0], requests.RequestException)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", svc.port), timeout=1).close()


def test_command_line_serves_until_sigterm(tmp_path):
    devhost = Path(releaseservice.__file__).resolve().parent.parent
    env = {**os.environ, "PYTHONPATH": str(devhost), "PYTHONUNBUFFERED": "1"}
    proc = subprocess.Popen(
        [sys.executable, "-m", "releaseservice", "--state-dir", str(tmp_path)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    try:
        state = tmp_path / "service.json"
        deadline = time.monotonic() + 10
        while not state.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        info = json.loads(state.read_text())
        assert info["pid"] == proc.pid
        reply = requests.get(info["base_url"] + "/health", verify=info["ca_pem_path"], timeout=5)
        assert reply.json() == {"status": "ok"}
        proc.send_signal(signal.SIGTERM)
        output, _ = proc.communicate(timeout=5)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
    assert f"base_url {info['base_url']}" in output
    assert "GET /health -> 200" in output
    assert not state.exists()
