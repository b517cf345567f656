"""A real HTTP proxy for the tests: Debian's squid on 127.0.0.1 with a
configuration of its own, its files in a folder of its own and no disk cache.

One squid process serves every behaviour the tests need, each on a port of
its own, so it starts once:

- ``open``: tunnels (CONNECT) to anywhere;
- ``signin``: Basic sign-in first (a password file checked by basic_ncsa_auth);
- ``refusing``: refuses every tunnel (403);
- ``inspecting``: opens the TLS inside the tunnel and signs a certificate of
  its own for the host with its own CA, the way offices inspect HTTPS; it
  checks the service's certificate against the CA it is given for its side.

Its access log records, per transaction, the port it came in on, the status,
the method, the address and the signed-in user.
"""

from __future__ import annotations

import itertools
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import trustme

PORT_NAMES = ("open", "signin", "refusing", "inspecting")
USER, PASSWORD = "office-user", "s3cret-Pass"
HELPERS = Path("/usr/lib/squid")
START_BUDGET = 30.0
STOP_BUDGET = 10.0

# Set where a run without a proxy is acceptable (a developer's machine
# without squid); never honoured in CI, which installs squid.
SKIP_VARIABLE = "TVLIB_TESTS_WITHOUT_SQUID"


def squid_binary() -> str | None:
    # /usr/sbin is not on every user's PATH.
    return shutil.which("squid") or shutil.which("squid", path="/usr/sbin:/usr/local/sbin")


def squid_missing() -> str | None:
    """Why squid cannot run here, or None."""
    if squid_binary() is None:
        return "squid is not installed"
    for helper in ("basic_ncsa_auth", "security_file_certgen"):
        if not os.access(HELPERS / helper, os.X_OK):
            return f"squid's helper {HELPERS / helper} is missing (the OpenSSL flavour is needed)"
    if shutil.which("openssl") is None:
        return "the openssl command is not installed"
    return None


@dataclass(frozen=True)
class Entry:
    """One line of the access log."""

    port: str  # the name of the port it came in on
    status: int  # what squid answered the client
    method: str
    address: str  # host:port for a tunnel, the URL for a request
    user: str  # "-" when nobody signed in


def _free_ports(count: int) -> list[int]:
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    try:
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def _password_line(user: str, password: str) -> str:
    hashed = subprocess.run(
        ["openssl", "passwd", "-apr1", password],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    return f"{user}:{hashed}\n"


_names = itertools.count(1)


class Squid:
    """squid with the four ports above; start() and stop(), or a with block."""

    def __init__(self, folder: Path, upstream_ca: str | Path) -> None:
        self.folder = Path(folder)
        self.upstream_ca = Path(upstream_ca)
        # Squid names its shared memory after the service name: one per
        # instance, so that lanes running side by side do not collide.
        self.name = f"tvlibtest{os.getpid()}x{next(_names)}"
        self.ports: dict[str, int] = {}
        self.inspection_ca = trustme.CA(organization_name="Office HTTPS inspection")
        self.process: subprocess.Popen | None = None

    # -- what tests use --------------------------------------------------------------

    @property
    def access_log(self) -> Path:
        return self.folder / "access.log"

    @property
    def cache_log(self) -> Path:
        return self.folder / "cache.log"

    @property
    def inspection_ca_pem(self) -> bytes:
        return self.inspection_ca.cert_pem.bytes()

    def url(self, port: str, user: str | None = None, password: str | None = None) -> str:
        sign_in = f"{user}:{password}@" if user is not None else ""
        return f"http://{sign_in}127.0.0.1:{self.ports[port]}"

    def entries(self) -> list[Entry]:
        if not self.access_log.exists():
            return []
        by_number = {str(number): name for name, number in self.ports.items()}
        found = []
        for line in self.access_log.read_text(encoding="utf-8").splitlines():
            port, status, method, address, user = line.split(" ")
            found.append(Entry(by_number.get(port, port), int(status), method, address, user))
        return found

    def mark(self) -> int:
        """How many lines the log holds once it is quiet: a tunnel is logged
        when it closes, a moment after the client is done with it, so the
        lines of earlier requests may still be on their way."""
        self._settle(-1, quiet=0.3, budget=5.0)
        return len(self.entries())

    def entries_after(self, mark: int, *, at_least: int = 1, budget: float = 10.0) -> list[Entry]:
        """The lines logged after `mark`, once `at_least` have come and the
        log has been quiet for a moment (or `budget` seconds have passed)."""
        return self._settle(mark + at_least - 1, quiet=0.5, budget=budget)[mark:]

    def _settle(self, mark: int, *, quiet: float, budget: float) -> list[Entry]:
        deadline = time.monotonic() + budget
        seen = self.entries()
        quiet_since = time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = self.entries()
            if len(now) != len(seen):
                seen, quiet_since = now, time.monotonic()
            elif len(seen) > mark and time.monotonic() - quiet_since > quiet:
                break
        return seen

    def diagnosis(self) -> str:
        """The end of squid's own log, for assertion messages."""
        text = (
            self.cache_log.read_text(encoding="utf-8", errors="replace")
            if self.cache_log.exists()
            else ""
        )
        return "squid's cache.log ends:\n" + "\n".join(text.splitlines()[-25:])

    # -- lifecycle -------------------------------------------------------------------

    def start(self) -> Squid:
        self._write_files()
        for _ in range(3):
            self.ports = dict(zip(PORT_NAMES, _free_ports(len(PORT_NAMES)), strict=True))
            self._write_config()
            with open(self.folder / "stderr.log", "ab") as stderr:
                self.process = subprocess.Popen(
                    [squid_binary(), "-N", "-n", self.name, "-f", str(self.folder / "squid.conf")],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=stderr,
                )
            if self._wait_ready():
                return self
            # Another process may take a port between its choice and squid's
            # start: choose again.
            in_use = "Address already in use" in self._log_text()
            diagnosis = self.diagnosis()
            self.stop()
            if not in_use:
                break
        raise RuntimeError(f"squid did not start\n{diagnosis}")

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(STOP_BUDGET)
            except subprocess.TimeoutExpired:
                process.kill()  # its helpers end when their input closes
                process.wait()
        # Left behind only when squid dies; they would collide with nothing
        # (the name is unique) but should not pile up.
        for segment in Path("/dev/shm").glob(f"{self.name}-*"):
            segment.unlink(missing_ok=True)

    def __enter__(self) -> Squid:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- the files ----------------------------------------------------------------------

    def _write_files(self) -> None:
        folder = self.folder
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "passwords").write_text(_password_line(USER, PASSWORD), encoding="utf-8")
        self.inspection_ca.cert_pem.write_to_path(str(folder / "inspection-ca.pem"))
        self.inspection_ca.private_key_pem.write_to_path(str(folder / "inspection-ca.key"))
        shutil.copyfile(self.upstream_ca, folder / "upstream-ca.pem")
        certificates = folder / "certificates"
        shutil.rmtree(certificates, ignore_errors=True)
        subprocess.run(
            [str(HELPERS / "security_file_certgen"), "-c", "-s", str(certificates), "-M", "4MB"],
            capture_output=True,
            check=True,
        )
        if os.geteuid() == 0:
            # Squid will not work as root: it becomes its own user, which must
            # reach every file here.
            account = pwd.getpwnam(self._effective_user())
            for path in [folder, *folder.rglob("*")]:
                os.chown(path, account.pw_uid, account.pw_gid, follow_symlinks=False)

    @staticmethod
    def _effective_user() -> str:
        for name in ("proxy", "nobody"):
            try:
                pwd.getpwnam(name)
                return name
            except KeyError:
                continue
        raise RuntimeError("neither a 'proxy' nor a 'nobody' user to run squid as")

    def _write_config(self) -> None:
        f = self.folder
        p = self.ports
        lines = [
            f"http_port 127.0.0.1:{p['open']} name=open",
            f"http_port 127.0.0.1:{p['signin']} name=signin",
            f"http_port 127.0.0.1:{p['refusing']} name=refusing",
            f"http_port 127.0.0.1:{p['inspecting']} name=inspecting ssl-bump"
            " generate-host-certificates=on dynamic_cert_mem_cache_size=4MB"
            f" tls-cert={f / 'inspection-ca.pem'} tls-key={f / 'inspection-ca.key'}",
            f"sslcrtd_program {HELPERS / 'security_file_certgen'} -s {f / 'certificates'} -M 4MB",
            "sslcrtd_children 2 startup=1 idle=1",
            # Bumped once the service's certificate is known, so that the
            # certificate made for the client copies its names (an address).
            "acl step1 at_step SslBump1",
            "acl step2 at_step SslBump2",
            "ssl_bump peek step1",
            "ssl_bump stare step2",
            "ssl_bump bump all",
            f"tls_outgoing_options cafile={f / 'upstream-ca.pem'}",
            f"auth_param basic program {HELPERS / 'basic_ncsa_auth'} {f / 'passwords'}",
            "auth_param basic children 1 startup=1 idle=1",
            "auth_param basic realm tvlib test proxy",
            "acl signin_port myportname signin",
            "acl refusing_port myportname refusing",
            "acl signed_in proxy_auth REQUIRED",
            "acl CONNECT method CONNECT",
            "http_access deny refusing_port CONNECT",
            # Ending in the sign-in ACL makes the refusal a 407 challenge.
            "http_access deny signin_port !signed_in",
            "http_access allow localhost",
            "http_access deny all",
            "cache deny all",
            "cache_mem 0 MB",
            "max_filedescriptors 1024",
            "logformat tvlib %lp %>Hs %rm %ru %un",
            f"access_log stdio:{f / 'access.log'} tvlib",
            f"cache_log {f / 'cache.log'}",
            f"pid_filename {f / 'squid.pid'}",
            f"coredump_dir {f}",
            "netdb_filename none",
            # Nothing leaves the machine: no pings, and names are looked up
            # in /etc/hosts or on a loopback address where nothing answers.
            "pinger_enable off",
            "dns_nameservers 127.0.0.1",
            "shutdown_lifetime 0 seconds",
        ]
        if os.geteuid() == 0:
            lines.append(f"cache_effective_user {self._effective_user()}")
        config = f / "squid.conf"
        config.write_text("\n".join(lines) + "\n", encoding="utf-8")
        if os.geteuid() == 0:
            account = pwd.getpwnam(self._effective_user())
            os.chown(config, account.pw_uid, account.pw_gid)

    def _log_text(self) -> str:
        if not self.cache_log.exists():
            return ""
        return self.cache_log.read_text(encoding="utf-8", errors="replace")

    def _wait_ready(self) -> bool:
        """Until squid says it accepts connections on every port. (Trying
        them would log a line per try.)"""
        deadline = time.monotonic() + START_BUDGET
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            text = self._log_text()
            if all(f"local=127.0.0.1:{port} " in text for port in self.ports.values()):
                return True
            time.sleep(0.05)
        return False


def squid_folder(tmp_path_factory) -> Path:
    """Where squid's files go: the tests' temporary folder, unless squid
    must change to its own user (running as root), which cannot enter
    pytest's owner-only folders: then a folder of its own in the system's
    temporary folder."""
    if os.geteuid() != 0:
        return tmp_path_factory.mktemp("squid")
    return Path(tempfile.mkdtemp(prefix="tvlib-squid-", dir="/tmp"))
