"""The release service: TLS listener, one daemon thread per connection, request recording."""

from __future__ import annotations

import shutil
import socket
import ssl
import struct
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .blackhole import Blackhole
from .catalogue import Catalogue
from .faults import FaultScript, make_fault
from .http_wire import (
    BadRequest,
    ClientClosed,
    Delivery,
    Reader,
    Request,
    read_request,
    refusal,
    write_response,
)
from .routes import Router, route_of
from .signing import PackageSigner
from .tls import TLS_MODES, TlsSetup, make_tls
from .tokens import DEFAULT_LIFETIME, TokenIssuer

BUNDLED_CATALOGUE = Path(__file__).resolve().parent.parent / "catalogue"

HANDSHAKE_TIMEOUT = 10.0
IDLE_TIMEOUT = 60.0
CLOSE_TIMEOUT = 1.0
STOP_JOIN_BUDGET = 2.0
_CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


class ReleaseService:
    """A local stand-in for the remote release service, with scriptable misbehaviour."""

    def __init__(
        self,
        catalogue: str | Path | None = None,
        *,
        manifest: dict[str, Any] | None = None,
        files_dir: str | Path | None = None,
        port: int = 0,
        tls: str = "ok",
        token_lifetime: float = DEFAULT_LIFETIME,
        workdir: str | Path | None = None,
        log: Callable[[str], None] | None = None,
        signing_key: Any = None,
        content_digest: bool = False,
    ) -> None:
        if catalogue is not None and manifest is not None:
            raise ValueError("give either catalogue= or manifest=, not both")
        if catalogue is None and manifest is None:
            catalogue = BUNDLED_CATALOGUE
        self._catalogue_dir = None if catalogue is None else Path(catalogue)
        self._manifest = manifest
        self._files_dir = None if files_dir is None else Path(files_dir)
        self._port = port
        if tls not in TLS_MODES:
            raise ValueError(f"tls must be one of {TLS_MODES}, not {tls!r}")
        self._tls_mode = tls
        self._workdir_arg = None if workdir is None else Path(workdir)
        self._log = log
        self._tokens = TokenIssuer(token_lifetime)
        # Downloads carry Kolvaren-Package-Signature when a key is given (a
        # private key, its PEM bytes or a PEM file), and Content-Digest if asked.
        self._signer = PackageSigner(signing_key, content_digest)
        self._script = FaultScript()
        self._lock = threading.Lock()
        self._requests: list[Request] = []
        self._conns: set[ssl.SSLSocket] = set()
        self._threads: set[threading.Thread] = set()
        self._stopping = threading.Event()
        self._listener: socket.socket | None = None
        self._bound_port: int | None = None
        self._accept_thread: threading.Thread | None = None
        self._blackhole: Blackhole | None = None
        self._blackhole_lock = threading.Lock()  # filling it takes a moment; don't block requests
        self._workdir: Path | None = None
        self._owns_workdir = False
        self._tls: TlsSetup | None = None
        self._router: Router | None = None
        self.catalogue: Catalogue | None = None

    # -- lifecycle -----------------------------------------------------------------------

    def start(self, port: int | None = None) -> ReleaseService:
        if self._listener is not None:
            raise RuntimeError("the service is already running")
        self._stopping.clear()
        if self._workdir_arg is None:
            self._workdir = Path(tempfile.mkdtemp(prefix="releaseservice-"))
            self._owns_workdir = True
        else:
            self._workdir = self._workdir_arg
            self._workdir.mkdir(parents=True, exist_ok=True)
        try:
            scratch = self._workdir / "scratch"
            scratch.mkdir(exist_ok=True)
            if self._catalogue_dir is not None:
                self.catalogue = Catalogue.from_folder(self._catalogue_dir, scratch)
            else:
                assert self._manifest is not None
                self.catalogue = Catalogue(self._manifest, self._files_dir, scratch)
            self._router = Router(self.catalogue, self._tokens, self._signer)
            self._tls = make_tls(self._tls_mode, self._workdir)
            bind_port = self._port if port is None else port
            self._listener = socket.create_server(("127.0.0.1", bind_port), backlog=128)
        except BaseException:
            self._remove_workdir()
            raise
        self._bound_port = self._listener.getsockname()[1]
        # A short accept timeout lets the loop notice stop() without relying on wake-ups.
        self._listener.settimeout(0.2)
        self._accept_thread = threading.Thread(
            target=self._accept_loop, name="releaseservice-accept", daemon=True
        )
        self._accept_thread.start()
        return self

    def stop(self) -> None:
        """Close everything; returns promptly even while answers are stalled."""
        with self._blackhole_lock:
            if self._blackhole is not None:
                self._blackhole.close()
                self._blackhole = None
        if self._listener is None:
            return
        self._stopping.set()
        try:
            self._listener.shutdown(socket.SHUT_RDWR)  # wakes accept() at once on Linux
        except OSError:
            pass
        self._listener.close()
        with self._lock:
            conns = list(self._conns)
            threads = list(self._threads)
        for conn in conns:
            try:
                # The plain-socket shutdown wakes a thread blocked on this connection.
                socket.socket.shutdown(conn, socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + STOP_JOIN_BUDGET
        for thread in [self._accept_thread, *threads]:
            if thread is not None:
                thread.join(max(0.0, deadline - time.monotonic()))
        self._listener = None
        self._accept_thread = None
        self._remove_workdir()

    def _remove_workdir(self) -> None:
        if self._workdir is None:
            return
        if self._owns_workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)
            self._owns_workdir = False
        else:
            # A given workdir keeps ca.pem; the generated packages can be large.
            shutil.rmtree(self._workdir / "scratch", ignore_errors=True)

    def __enter__(self) -> ReleaseService:
        if self._listener is None:
            self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- what tests use ------------------------------------------------------------------

    @property
    def port(self) -> int:
        """The port bound at start; still known after stop() for tests of a closed port."""
        if self._bound_port is None:
            raise RuntimeError("the service has not been started")
        return self._bound_port

    @property
    def base_url(self) -> str:
        return f"https://127.0.0.1:{self.port}"

    @property
    def ca_pem_path(self) -> str:
        if self._tls is None:
            raise RuntimeError("the service has not been started")
        return str(self._tls.ca_pem_path)

    @property
    def blackhole_url(self) -> str:
        with self._blackhole_lock:
            if self._blackhole is None:
                self._blackhole = Blackhole()
            return self._blackhole.url

    @property
    def requests(self) -> list[Request]:
        with self._lock:
            return list(self._requests)

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    def script(self, route: str, *, times: int | None = 1, **fault: Any) -> None:
        """Answer the next `times` requests to `route` (None: all of them) as scripted.

        Scripts for one route queue up in order. Options, combinable:
          status, json (None sends JSON null), body (bytes|str), body_bytes (generated JSON),
          headers [(name, value)] replacing same-named ones (value None removes one),
          redirect_to (302 unless status says otherwise, with Location),
          content_length (int|str header value; False: no header, body ends at close),
          delay (before the status line), stall_after + stall (pause mid-body; stall alone
          pauses after the head; stall=None waits until stop), truncate_after (then a clean
          close), reset ("before": RST instead of answering; "during": head, part of the
          body - truncate_after bytes or half - then RST), trickle (bytes, seconds) per step,
          header_line_bytes (one extra header of that size), trickle_head (the head
          trickles too), endless (a chunked body without end, until the client goes).
        A status >= 400 without a body gets {"detail": <reason>}; otherwise the real answer
        of the route is used for whatever the script leaves out. The signature and digest
        headers of a download describe the catalogue's package even when a scripted body
        replaces it (headers=[(name, None)] drops them).
        """
        self._script.add(route, make_fault(**fault), times)

    @property
    def signing_key(self):
        """The key that signs the packages sent; None sends no signature."""
        return self._signer.key

    @signing_key.setter
    def signing_key(self, source: Any) -> None:
        self._signer.key = source

    @property
    def content_digest(self) -> bool:
        """Whether downloads carry Content-Digest: sha-256 of the package."""
        return self._signer.content_digest

    @content_digest.setter
    def content_digest(self, value: bool) -> None:
        self._signer.content_digest = bool(value)

    def clear_script(self) -> None:
        self._script.clear()

    def issue_token(
        self, email: str, package_type: str, expires_in: float = DEFAULT_LIFETIME
    ) -> str:
        return self._tokens.issue(email, package_type, expires_in)

    # -- connections ---------------------------------------------------------------------

    def _accept_loop(self) -> None:
        listener = self._listener
        assert listener is not None
        while not self._stopping.is_set():
            try:
                raw, _ = listener.accept()
            except TimeoutError:
                continue
            except OSError:
                if self._stopping.is_set():
                    return
                self._stopping.wait(0.05)
                continue
            thread = threading.Thread(
                target=self._serve, args=(raw,), name="releaseservice-conn", daemon=True
            )
            with self._lock:
                self._threads.add(thread)
            thread.start()

    def _serve(self, raw: socket.socket) -> None:
        conn: ssl.SSLSocket | None = None
        try:
            raw.settimeout(HANDSHAKE_TIMEOUT)
            assert self._tls is not None
            conn = self._tls.context.wrap_socket(
                raw, server_side=True, do_handshake_on_connect=False
            )
            with self._lock:
                if self._stopping.is_set():
                    return
                self._conns.add(conn)
            conn.do_handshake()
            conn.settimeout(IDLE_TIMEOUT)
            reader = Reader(conn)
            peer = conn.getpeername()
            while not self._stopping.is_set():
                try:
                    request = read_request(reader, lambda: conn.sendall(_CONTINUE))
                except BadRequest as exc:
                    write_response(
                        conn, refusal(exc.status, exc.detail), Delivery(), True, self._wait
                    )
                    _close_gracefully(conn)
                    return
                if request is None:
                    return
                request.peer = peer
                if not self._answer(conn, request):
                    return
        except (OSError, ClientClosed):
            pass  # the client went away or stop() shut the socket
        finally:
            with self._lock:
                self._conns.discard(conn)  # type: ignore[arg-type]
                self._threads.discard(threading.current_thread())
            (conn or raw).close()

    def _answer(self, conn: ssl.SSLSocket, request: Request) -> bool:
        """Answer one request; True when the connection may carry another."""
        request.time = time.time()
        with self._lock:
            self._requests.append(request)
        fault = self._script.take(route_of(request.path))
        if fault is not None and fault.resets_before_answer:
            if fault.delay and self._wait(fault.delay):
                return False
            self._log_line(request, "reset")
            _reset(conn)
            return False
        assert self._router is not None
        response = self._router.handle(request)
        delivery = Delivery()
        if fault is not None:
            response, delivery = fault.apply(response)
        close = delivery.close or not request.wants_keep_alive or self._stopping.is_set()
        completed = write_response(conn, response, delivery, close, self._wait)
        self._log_line(request, str(response.status) + (" (scripted)" if fault else ""))
        if delivery.reset_during:
            self._wait(0.05)  # let the head and partial body reach the client first
            _reset(conn)
            return False
        if close or not completed:
            if not self._stopping.is_set():
                _close_gracefully(conn)
            return False
        return True

    def _wait(self, seconds: float | None) -> bool:
        return self._stopping.wait(seconds)

    def _log_line(self, request: Request, outcome: str) -> None:
        if self._log is not None:
            self._log(f"{request.method} {request.target} -> {outcome}")


def _reset(conn: socket.socket) -> None:
    """Abort the connection with a TCP reset instead of an orderly close."""
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    conn.close()


def _close_gracefully(conn: ssl.SSLSocket) -> None:
    """Send TLS close_notify and FIN, so the end of a body is an orderly end of stream."""
    try:
        conn.settimeout(CLOSE_TIMEOUT)
        conn.unwrap()
    except (OSError, ValueError):
        pass
    try:
        socket.socket.shutdown(conn, socket.SHUT_WR)
    except OSError:
        pass
    conn.close()
