"""kolvaren-sign: make a package signing key, show its public key, sign packages.

kolvaren-sign keygen KEY.pem          new private key (PEM, mode 0600); prints the public key
kolvaren-sign public-key KEY.pem      the public key, for KOLVAREN_PACKAGE_KEYS
kolvaren-sign sign KEY.pem PACKAGE --version VERSION [--name NAME]
                                      the header lines to send with PACKAGE, the
                                      signature bound to the release's VERSION
                                      text and the file name NAME (PACKAGE's own
                                      name unless given); without --version the
                                      hash-only signature alone, which builds
                                      with package keys refuse
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import load_key, new_key, package_headers, public_key_text, write_key


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="kolvaren-sign",
        description=(__doc__ or "").splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join((__doc__ or "").splitlines()[2:]),
    )
    commands = parser.add_subparsers(dest="command", required=True)
    keygen = commands.add_parser("keygen", help="write a new private key")
    keygen.add_argument("key", type=Path)
    public = commands.add_parser("public-key", help="print the public key of a private key")
    public.add_argument("key", type=Path)
    sign = commands.add_parser("sign", help="print the headers that go with a package")
    sign.add_argument("key", type=Path)
    sign.add_argument("package", type=Path)
    sign.add_argument("--version", help="the release's version text, as the release record has it")
    sign.add_argument("--name", help="the package's file name on the user's disk")
    sign.add_argument("--no-digest", action="store_true", help="leave out the Content-Digest line")
    args = parser.parse_args(argv)

    try:
        if args.command == "keygen":
            key = new_key()
            write_key(key, args.key)
            print(public_key_text(key))
        elif args.command == "public-key":
            print(public_key_text(load_key(args.key)))
        else:
            key = load_key(args.key)
            if args.version is None:
                print(
                    "kolvaren-sign: without --version the signature binds no release;"
                    " builds with package keys refuse it",
                    file=sys.stderr,
                )
            headers = package_headers(
                key,
                args.package,
                version=args.version,
                name=args.name,
                content_digest=not args.no_digest,
            )
            for name, value in headers:
                print(f"{name}: {value}")
    except (OSError, ValueError) as exc:
        print(f"kolvaren-sign: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
