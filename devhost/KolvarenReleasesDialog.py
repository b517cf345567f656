"""Stand-in for the host-side release-notes dialog.

The real module shows the release notes of the installed version; this one only
records that it was asked to, so that tests and the demo can see it.
"""

calls: list[str] = []


def redi() -> None:
    calls.append("redi")
