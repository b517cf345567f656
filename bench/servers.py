"""The benchmark's servers: nginx with TLS from a CA made here, in front of the
stand-in release service, and the packages they serve.

nginx answers /health and /license/download/<token> itself (one package file,
swapped between figures) and hands the token and release routes to the
release service. Its access log records, per request, the connection and
whether the TLS session was resumed.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DEVHOST = REPO / "devhost"
TEMPLATE = BENCH / "nginx.conf.in"

ACCOUNT = {
    "email": "bench@kolvaren.invalid",
    "license_key": "KL-BENCH-0001",
    "package_type": "pro",
}
INSTALLED_VERSION = "2.3.1"
OFFERED_VERSION = "9.0.0"
FILE_PATH = f"releases/{OFFERED_VERSION}/kolvaren-bench.ms"

MiB = 1024 * 1024
HEALTH_PROBE = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"


def nginx_binary() -> str | None:
    found = shutil.which("nginx")
    if found:
        return found
    candidates = ("/usr/sbin/nginx", "/usr/local/sbin/nginx")
    return next((p for p in candidates if os.access(p, os.X_OK)), None)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_package(path: Path, size: int) -> Path:
    """A valid MAXScript file of exactly `size` bytes: one assignment, then a
    block comment of filler. The stand-in host skips a block comment in one
    search, so installing a large package costs little beyond reading it."""
    head = b"-- Kolvaren benchmark package\nglobal kolvaren_bench_installed = true\n/*\n"
    tail = b"\n*/\n"
    if size < len(head) + len(tail):
        raise ValueError(f"a package needs at least {len(head) + len(tail)} bytes")
    # Varied text, so nothing along the way could shrink it; no "*/" inside.
    line = bytes(range(0x41, 0x5B)) + bytes(range(0x61, 0x7B)) + b"0123456789"
    block = b"".join(line[i % 62 :] + line[: i % 62] + b"\n" for i in range(1024))
    filler = size - len(head) - len(tail)
    with path.open("wb") as out:
        out.write(head)
        while filler > 0:
            piece = block[: min(filler, len(block))]
            out.write(piece)
            filler -= len(piece)
        out.write(tail)
    return path


@dataclass(frozen=True)
class LogLine:
    """One request in nginx's access log (format `bench` of nginx.conf.in)."""

    time: float
    connection: int
    connection_requests: int
    reused: bool
    protocol: str
    status: int
    method: str
    uri: str
    bytes_sent: int
    request_time: float

    @classmethod
    def parse(cls, text: str) -> LogLine:
        f = text.split()
        return cls(
            float(f[0]),
            int(f[1]),
            int(f[2]),
            f[3] == "r",
            f[4],
            int(f[5]),
            f[6],
            f[7].split("?", 1)[0],
            int(f[8]),
            float(f[9]),
        )


def connection_counts(lines: list[LogLine]) -> dict:
    """TLS connections and full handshakes behind a set of requests."""
    first: dict[int, LogLine] = {}  # the session is the connection's, whichever line
    for line in lines:
        first.setdefault(line.connection, line)
    return {
        "requests": len(lines),
        "connections": len(first),
        "full_handshakes": sum(1 for line in first.values() if not line.reused),
        "resumed": sum(1 for line in first.values() if line.reused),
        "protocols": sorted({line.protocol for line in lines}),
    }


class BenchServers:
    """nginx + the release service, started together and stopped together."""

    def __init__(self, workdir: Path | None = None) -> None:
        self._own_workdir = workdir is None
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="tvlib-bench-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        # nginx's worker may run as another user; it must reach the package.
        os.chmod(self.workdir, 0o755)
        self.service = None
        self.nginx: subprocess.Popen | None = None
        self.port = 0
        self.packages: dict[int, Path] = {}

    # -- lifecycle ---------------------------------------------------------------

    def start(self) -> BenchServers:
        try:
            self._make_certificates()
            self._start_service()
            self._start_nginx()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        if self.nginx is not None:
            if self.nginx.poll() is None:
                self.nginx.send_signal(signal.SIGTERM)  # fast shutdown
                try:
                    self.nginx.wait(10)
                except subprocess.TimeoutExpired:
                    self.nginx.kill()
                    self.nginx.wait(5)
            self.nginx = None
        if self.service is not None:
            self.service.stop()
            self.service = None
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self) -> BenchServers:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- what figures use --------------------------------------------------------

    @property
    def base_url(self) -> str:
        return f"https://127.0.0.1:{self.port}"

    @property
    def ca_pem_path(self) -> Path:
        return self.workdir / "ca.pem"

    def download_url(self, token: str = "bench-token") -> str:
        return f"{self.base_url}/license/download/{token}"

    def serve_package(self, size: int) -> Path:
        """Makes the package of `size` bytes the one nginx serves."""
        if size not in self.packages:
            folder = self.workdir / "packages"
            folder.mkdir(exist_ok=True)
            self.packages[size] = write_package(folder / f"package-{size}.ms", size)
        link = self.workdir / "www" / "package.ms"
        link.parent.mkdir(exist_ok=True)
        link.unlink(missing_ok=True)
        link.symlink_to(self.packages[size])
        return self.packages[size]

    def drop_package(self, size: int) -> None:
        path = self.packages.pop(size, None)
        if path is not None:
            path.unlink(missing_ok=True)

    def log_mark(self) -> int:
        """The current end of the access log; pass it to `log_since`."""
        log = self.workdir / "access.log"
        return log.stat().st_size if log.exists() else 0

    def log_since(self, mark: int) -> list[LogLine]:
        # nginx writes each line with one write(); a finished request is logged
        # before its connection closes, and callers wait for their clients.
        with (self.workdir / "access.log").open("rb") as log:
            log.seek(mark)
            text = log.read().decode()
        return [LogLine.parse(line) for line in text.splitlines() if line.strip()]

    def issue_token(self) -> str:
        return self.service.issue_token(ACCOUNT["email"], ACCOUNT["package_type"])

    # -- parts -------------------------------------------------------------------

    def _make_certificates(self) -> None:
        import trustme

        ca = trustme.CA(organization_name="tvlib benchmark")
        leaf = ca.issue_cert("127.0.0.1", "localhost")
        ca.cert_pem.write_to_path(str(self.ca_pem_path))
        leaf.cert_chain_pems[0].write_to_path(str(self.workdir / "server.pem"))
        for extra in leaf.cert_chain_pems[1:]:
            extra.write_to_path(str(self.workdir / "server.pem"), append=True)
        leaf.private_key_pem.write_to_path(str(self.workdir / "server.key"))

    def _start_service(self) -> None:
        if str(DEVHOST) not in sys.path:
            sys.path.insert(0, str(DEVHOST))
        from releaseservice import ReleaseService

        release = {
            "package_type": ACCOUNT["package_type"],
            "kolvaren_version": OFFERED_VERSION,
            "release_notes": "Benchmark release.",
            "is_silent": True,
            "is_mandatory": False,
            "file_path": FILE_PATH,
        }
        self.service = ReleaseService(
            manifest={"accounts": [ACCOUNT], "releases": [release]},
            workdir=self.workdir / "service",
        )
        self.service.start()

    def _start_nginx(self) -> None:
        binary = nginx_binary()
        if binary is None:
            raise RuntimeError("nginx is not installed (bench/run.sh installs it)")
        for sub in ("temp", "www"):
            (self.workdir / sub).mkdir(exist_ok=True)
        self.port = free_port()
        config = TEMPLATE.read_text(encoding="utf-8")
        for name, value in {
            "WORKDIR": str(self.workdir),
            "PORT": str(self.port),
            "UPSTREAM": self.service.base_url,
        }.items():
            config = config.replace("{{" + name + "}}", value)
        conf = self.workdir / "nginx.conf"
        conf.write_text(config, encoding="utf-8")
        self.nginx = subprocess.Popen(
            [binary, "-p", str(self.workdir), "-c", str(conf), "-e", str(self.workdir / "err")],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        self._wait_ready()

    def _wait_ready(self) -> None:
        context = ssl.create_default_context(cafile=str(self.ca_pem_path))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.nginx.poll() is not None:
                error = self.nginx.stderr.read().decode(errors="replace")
                log = self.workdir / "err"
                if log.exists():
                    error += log.read_text(errors="replace")
                raise RuntimeError(f"nginx did not start: {error.strip()}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as raw:
                    with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                        tls.sendall(HEALTH_PROBE)
                        if tls.recv(64).startswith(b"HTTP/1.1 200"):
                            return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("nginx did not answer /health within 15 s")

    def description(self) -> dict:
        version = subprocess.run(
            [nginx_binary() or "nginx", "-v"], capture_output=True, text=True
        ).stderr.strip()
        return {"nginx": version.split("/", 1)[-1], "workers": 1, "base_url": self.base_url}


def account_record() -> dict:
    return {"account": dict(ACCOUNT), "kolvaren_version": INSTALLED_VERSION}


def dumps(value: object) -> str:
    return json.dumps(value, sort_keys=True)
