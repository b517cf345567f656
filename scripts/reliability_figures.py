"""Prints the reliability figures of one test run as a Markdown table.

Usage: reliability_figures.py RESULTS_DIR
Reads what the run left in RESULTS_DIR: the `figure.<name>` properties that
tests record in the JUnit reports (pytest-<lane>.xml), the fuzzing summaries
(fuzz-<target>.json) and the sanitizer reports (sanitize-*.xml, sanitize-*.log).
A figure the run did not produce shows as "not run". Also writes the table to
RESULTS_DIR/reliability.md.
"""

import json
import re
import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

LANES = {"qt6": "Qt 6", "qt5": "Qt 5"}
# What the sanitizers print for a finding.
FINDING = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:")


def lane_figures(report: Path) -> Counter:
    """The figures recorded in one pytest report, summed over its tests."""
    figures: Counter = Counter()
    if not report.exists():
        return figures
    for prop in ET.parse(report).getroot().iter("property"):
        name = prop.get("name", "")
        if name.startswith("figure."):
            figures[name.removeprefix("figure.")] += float(prop.get("value", "0"))
    return figures


def number(value: float) -> str:
    return f"{value:,.0f}" if value == int(value) else f"{value:,.1f}"


def per_lane(lanes: dict[str, Counter], pick) -> str:
    values = {lane: pick(figures) for lane, figures in lanes.items()}
    shown = [f"{number(v)} ({LANES[lane]})" for lane, v in values.items() if v is not None]
    return " / ".join(shown) if shown else "not run"


def faults(figures: Counter) -> str | None:
    classes = {k.removeprefix("faults."): v for k, v in figures.items() if k.startswith("faults.")}
    if not classes:
        return None
    return sum(classes.values()), ", ".join(f"{k} {number(v)}" for k, v in sorted(classes.items()))


def junit_counts(report: Path) -> tuple[int, int]:
    root = ET.parse(report).getroot()
    suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
    tests = sum(int(s.get("tests", 0)) - int(s.get("skipped", 0)) for s in suites)
    bad = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
    return tests, bad


def table(results: Path) -> str:
    lanes = {lane: lane_figures(results / f"pytest-{lane}.xml") for lane in LANES}
    lanes = {lane: figures for lane, figures in lanes.items() if figures}
    rows = []

    fault_text = []
    for lane, figures in lanes.items():
        found = faults(figures)
        if found:
            fault_text.append(f"{number(found[0])} ({LANES[lane]}: {found[1]})")
    rows.append(("Faults injected, by class", "; ".join(fault_text) or "not run"))

    def get(name):
        return lambda figures: figures.get(name)

    rows.append(("Hostile inputs tried", per_lane(lanes, get("hostile_inputs"))))

    fuzz = [json.loads(p.read_text()) for p in sorted(results.glob("fuzz-*.json"))]
    if fuzz:
        runs = sum(f["executions"] for f in fuzz)
        seconds = sum(f["seconds"] for f in fuzz)
        each = ", ".join(f"{f['target']} {number(f['executions'])}" for f in fuzz)
        broken = sum(f["failed"] for f in fuzz)
        rows.append(
            (
                "Fuzzing (libFuzzer, ASan+UBSan)",
                f"{number(runs)} executions in {number(seconds)} s ({each}); "
                f"{broken} target(s) failed",
            )
        )
    else:
        rows.append(("Fuzzing (libFuzzer, ASan+UBSan)", "not run"))

    rows.append(("Concurrent entry calls survived", per_lane(lanes, get("concurrent_entry_calls"))))
    rows.append(
        (
            "Kill-during-save trials, record intact",
            per_lane(lanes, get("kill_during_save_trials")),
        )
    )

    sanitized = sorted(results.glob("sanitize-*.xml"))
    if sanitized:
        findings = sum(
            len(FINDING.findall(p.read_text(errors="replace")))
            for p in results.glob("sanitize-*.log")
        )
        counts = [junit_counts(p) for p in sanitized]
        tests = sum(t for t, _ in counts)
        failed = sum(b for _, b in counts)
        names = ", ".join(p.stem.removeprefix("sanitize-") for p in sanitized)
        rows.append(
            (
                "Sanitizer findings (ASan+UBSan)",
                f"{findings} findings, {failed} failed of {tests} tests run ({names})",
            )
        )
    else:
        rows.append(("Sanitizer findings (ASan+UBSan)", "not run"))

    def memory(figures):
        if "memory_runs" not in figures:
            return None
        return figures["memory_growth_kib_last_150_runs"]

    memory_text = per_lane(lanes, memory)
    if memory_text != "not run":
        memory_text = f"{memory_text} KiB growth over the last 150 of 200 runs"
    rows.append(("Resident memory over 200 runs", memory_text))

    lines = ["| Figure | Value |", "|---|---|"]
    lines += [f"| {name} | {value} |" for name, value in rows]
    return "\n".join(lines) + "\n"


def main() -> int:
    results = Path(sys.argv[1])
    text = table(results)
    (results / "reliability.md").write_text(text, encoding="utf-8")
    print(text, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
