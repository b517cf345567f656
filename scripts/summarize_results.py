"""Adds up the JUnit reports of one test run into the closing summary line.

Usage: summarize_results.py RESULTS_DIR [FAILED_STEP ...]
A failed step is a check that did not pass (a lint, a build, a test runner).
A runner's failures are counted from its report; any other failed step, or a
runner that failed without reporting a failure (a crash), counts as one.
"""

import sys
import xml.etree.ElementTree as ET
from pathlib import Path

RUNNER_REPORTS = {
    "GoogleTest": "cpp",
    "Windows lane (mingw-w64, Wine)": "windows-cpp",
    "pytest qt6": "pytest-qt6",
    "pytest qt5": "pytest-qt5",
    "GoogleTest (sanitizers)": "sanitize-cpp",
    "pytest (sanitizers)": "sanitize-python",
}


def count(report: Path) -> tuple[int, int, int]:
    root = ET.parse(report).getroot()
    suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
    tests = sum(int(s.get("tests", 0)) for s in suites)
    bad = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
    skipped = sum(int(s.get("skipped", 0)) for s in suites)
    return tests - bad - skipped, bad, skipped


def main() -> int:
    results = Path(sys.argv[1])
    failed_steps = sys.argv[2:]
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    reported_failures = {}
    for report in sorted(results.glob("*.xml")):
        passed, failed, skipped = count(report)
        reported_failures[report.stem] = failed
        print(f"  {report.stem}: {passed} passed, {failed} failed, {skipped} skipped")
        totals["passed"] += passed
        totals["failed"] += failed
        totals["skipped"] += skipped
    for step in failed_steps:
        print(f"  failed step: {step}")
        report = RUNNER_REPORTS.get(step)
        if report is None and step.startswith("pytest "):  # the other lanes
            report = "pytest-" + step.removeprefix("pytest ")
        if report is None or reported_failures.get(report, 0) == 0:
            totals["failed"] += 1
    print(f"{totals['passed']} passed, {totals['failed']} failed, {totals['skipped']} skipped")
    return 1 if totals["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
