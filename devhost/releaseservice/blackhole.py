"""A listening port whose new connections never complete, for connect-timeout tests."""

from __future__ import annotations

import socket

_FILL_ATTEMPTS = 16
_PROBE_TIMEOUT = 0.25


class Blackhole:
    """Listens with a zero backlog and never accepts.

    Once the accept queue holds a completed connection the kernel drops further SYNs, so
    a client's connect() hangs until its own timeout. The queue is filled here, from this
    side, before the address is handed out.
    """

    def __init__(self) -> None:
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(0)
        self.port = self._listener.getsockname()[1]
        self._fillers: list[socket.socket] = []
        try:
            self._fill()
        except BaseException:
            self.close()
            raise

    def _fill(self) -> None:
        for _ in range(_FILL_ATTEMPTS):
            probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            probe.settimeout(_PROBE_TIMEOUT)
            try:
                probe.connect(("127.0.0.1", self.port))
            except OSError:
                # This attempt was dropped: the queue is full, later ones will be too.
                probe.close()
                return
            self._fillers.append(probe)
        raise RuntimeError("the accept queue never filled; connections would not hang")

    @property
    def url(self) -> str:
        return f"https://127.0.0.1:{self.port}"

    def close(self) -> None:
        for sock in self._fillers:
            sock.close()
        self._fillers.clear()
        self._listener.close()
