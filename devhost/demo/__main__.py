"""python -m demo prepare OPTION DIR   writes the scratch folder; prints the service's arguments
python -m demo run OPTION DIR       the stand-in host program (needs the service running)

OPTION is one of manual, automatic, mandatory, previous, failing. scripts/demo.sh runs both,
with the service in between, and sets the environment `run` expects: KOLVAREN_BASE_URL,
KOLVAREN_CA_BUNDLE, KOLVAREN_ACCOUNT_FILE, PYMXS_MAXDATA, PYMXS_TEMPDIR, PYMXS_RELEASE_YEAR
and TMPDIR (the same folder as PYMXS_TEMPDIR, as on a real machine).
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from .scenarios import SCENARIOS

NEEDED = (
    "KOLVAREN_BASE_URL",
    "KOLVAREN_CA_BUNDLE",
    "KOLVAREN_ACCOUNT_FILE",
    "PYMXS_MAXDATA",
    "PYMXS_TEMPDIR",
)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m demo",
        description=(__doc__ or "").split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("command", choices=("prepare", "run"))
    parser.add_argument("option", choices=tuple(SCENARIOS))
    parser.add_argument("folder", type=Path)
    args = parser.parse_args(argv)
    scenario = SCENARIOS[args.option]
    folder = args.folder.resolve()

    if args.command == "prepare":
        from .scratch import prepare

        prepare(scenario, folder)
        for argument in scenario.service_arguments():
            print(argument)
        return 0

    missing = [name for name in NEEDED if not os.environ.get(name)]
    if missing:
        parser.error("not set: " + ", ".join(missing) + " (scripts/demo.sh sets them)")
    from .host import run_demo

    return run_demo(scenario, folder)


if __name__ == "__main__":
    sys.exit(main())
