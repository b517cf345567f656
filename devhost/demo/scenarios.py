"""What each option of the demo does: the account's installed version, how the release
service behaves, which update runs the host starts and what they must end in."""

from __future__ import annotations

import json
from dataclasses import dataclass, field

DOWNLOAD = "/license/download"

# The 4 MiB package goes out in 64 KiB steps 30 ms apart (about two seconds), so that the
# percentage on the status bar can be watched.
VISIBLE_DOWNLOAD = (DOWNLOAD, {"trickle": [65536, 0.03], "times": None})


@dataclass(frozen=True)
class Run:
    call: str  # the call as the host's code would write it
    manuel_update: bool
    version_offset: int | None = None
    about: str = ""
    shows: str | None = None  # a text the host must show during this run


@dataclass(frozen=True)
class Scenario:
    name: str
    title: str
    installed: str  # kolvaren_version of the account record before the first run
    runs: tuple[Run, ...]
    installs: str | None  # the version whose package the runs install; None: none
    mandatory: bool = False  # the latest release is marked mandatory in the catalogue
    # (route, options) of ReleaseService.script, queued in this order
    faults: tuple[tuple[str, dict], ...] = field(default=())

    def service_arguments(self) -> list[str]:
        return [f"--script={route}={json.dumps(options)}" for route, options in self.faults]


SCENARIOS = {
    s.name: s
    for s in (
        Scenario(
            "manual",
            "a manual update run: the user asked, the newer release is downloaded and installed",
            installed="2.3.1",
            runs=(Run("tvlib.tvupd(True)", True, about="manual update run"),),
            installs="2.4.0",
            faults=(VISIBLE_DOWNLOAD,),
        ),
        Scenario(
            "automatic",
            "an automatic update run: the newer release is only announced",
            installed="2.3.1",
            runs=(
                Run(
                    "tvlib.tvupd()",
                    False,
                    about="automatic update run",
                    shows="Kolvaren - New Version 2.4.0 is now available.",
                ),
            ),
            installs=None,
        ),
        Scenario(
            "mandatory",
            "an automatic update run meets a mandatory release: downloaded and installed unasked",
            installed="2.3.1",
            runs=(Run("tvlib.tvupd()", False, about="automatic update run"),),
            installs="2.4.0",
            mandatory=True,
            faults=(VISIBLE_DOWNLOAD,),
        ),
        Scenario(
            "previous",
            "the previous release: 2.4.0 is installed, the user asks for the one before it",
            installed="2.4.0",
            runs=(Run("tvlib.tvupd(True, -1)", True, -1, about="manual run, previous release"),),
            installs="2.3.1",
        ),
        Scenario(
            "failing",
            "a failing release service: four manual runs, each meets another fault",
            installed="2.3.1",
            runs=(
                Run(
                    "tvlib.tvupd(True)",
                    True,
                    about="the health check is answered 503",
                    shows="Kolvaren Update Error:- Status: 503",
                ),
                Run(
                    "tvlib.tvupd(True)",
                    True,
                    about="the release query is answered 500",
                    shows="No updates found.",
                ),
                Run(
                    "tvlib.tvupd(True)",
                    True,
                    about="the download is refused with 503",
                    shows="Download Failure: Service Unavailable",
                ),
                Run(
                    "tvlib.tvupd(True)",
                    True,
                    about="the download breaks off after 1 MiB of 4",
                    shows="Download Error: ",
                ),
            ),
            installs=None,
            faults=(
                ("/health", {"status": 503}),
                ("/license/latest-release", {"status": 500}),
                (DOWNLOAD, {"status": 503}),
                (DOWNLOAD, {"truncate_after": 1 << 20, "trickle": [65536, 0.03]}),
            ),
        ),
    )
}
