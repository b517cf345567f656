"""Run the stand-in release service until Ctrl-C or SIGTERM.

python -m releaseservice [--catalogue DIR] [--port N] [--state-dir DIR]
                         [--signing-key KEY.pem] [--content-digest] [--script ROUTE=JSON]...
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from pathlib import Path

from .routes import ROUTES
from .server import BUNDLED_CATALOGUE, ReleaseService
from .tls import TLS_MODES


def _scripted_answer(text: str) -> tuple[str, dict]:
    route, sep, options = text.partition("=")
    try:
        parsed = json.loads(options) if sep else None
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: the options are not JSON ({exc})") from None
    if route not in ROUTES or not isinstance(parsed, dict):
        raise argparse.ArgumentTypeError(
            f"{text!r}: expected ROUTE=JSON-object with ROUTE one of {', '.join(ROUTES)}"
        )
    return route, parsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m releaseservice", description=(__doc__ or "").splitlines()[0]
    )
    parser.add_argument("--catalogue", type=Path, default=BUNDLED_CATALOGUE)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument(
        "--state-dir", type=Path, help="write service.json (base_url, ca_pem_path, pid) here"
    )
    parser.add_argument("--tls", choices=TLS_MODES, default="ok")
    parser.add_argument(
        "--signing-key", type=Path, help="sign packages with this Ed25519 key (PEM)"
    )
    parser.add_argument(
        "--content-digest", action="store_true", help="send Content-Digest with packages"
    )
    parser.add_argument(
        "--script",
        action="append",
        default=[],
        type=_scripted_answer,
        metavar="ROUTE=JSON",
        help="misbehave on ROUTE as ReleaseService.script() does with the JSON object's "
        'members as options, e.g. \'/license/download={"status": 503}\'; "times" defaults '
        "to 1 (null: every request); repeat to queue more",
    )
    args = parser.parse_args(argv)

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())

    def log(line: str) -> None:
        print(line, flush=True)

    workdir = None if args.state_dir is None else args.state_dir.resolve()
    service = ReleaseService(
        args.catalogue,
        port=args.port,
        tls=args.tls,
        workdir=workdir,
        log=log,
        signing_key=args.signing_key,
        content_digest=args.content_digest,
    )
    for route, options in args.script:
        try:
            service.script(route, **options)
        except (TypeError, ValueError) as exc:
            parser.error(f"--script {route}: {exc}")
    service.start()
    state_file = None
    try:
        print(f"base_url {service.base_url}", flush=True)
        print(f"ca_pem_path {service.ca_pem_path}", flush=True)
        if workdir is not None:
            state_file = workdir / "service.json"
            info = {
                "base_url": service.base_url,
                "ca_pem_path": service.ca_pem_path,
                "pid": os.getpid(),
            }
            # Written whole then renamed, so a reader never sees half a file.
            partial = state_file.with_suffix(".json.partial")
            partial.write_text(json.dumps(info), encoding="utf-8")
            partial.replace(state_file)
        while not stop.wait(0.5):
            pass
    finally:
        service.stop()
        if state_file is not None:
            state_file.unlink(missing_ok=True)
        print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
