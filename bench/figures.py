"""The figures of a benchmark run, computed from its measurements (medians),
and the judgement of each against its target. No wording here: bench/table.py
turns figures into the table's rows and notes."""

from __future__ import annotations

import report

MiB = 1024 * 1024
PIECE = 8192
med = report.median


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def per_piece(runs: list, pieces: float) -> dict:
    """Where a download's time went, median µs per 8 KiB piece: the UI thread
    running, waiting for a CPU and idle (for events or the GIL), the
    download thread's CPU time, and that of the process's other threads (the
    file writer's, mainly)."""

    def each(value) -> float | None:
        found = [value(r) for r in runs]
        return med([v / pieces * 1e6 for v in found if v is not None])

    def idle(r):
        if r.get("ui_runq_s") is None or "seconds_to_arrival" not in r:
            return None
        return r["seconds_to_arrival"] - r["ui_cpu_s"] - r["ui_runq_s"]

    def others(r):
        if r.get("process_cpu_s") is None or r.get("worker_cpu_s") is None:
            return None
        return r["process_cpu_s"] - r["ui_cpu_s"] - r["worker_cpu_s"]

    return {
        "ui_running": each(lambda r: r.get("ui_cpu_s")),
        "ui_waiting_for_cpu": each(lambda r: r.get("ui_runq_s")),
        "ui_idle": each(idle),
        "download_thread_cpu": each(lambda r: r.get("worker_cpu_s")),
        "other_threads_cpu": each(others),
    }


def downloads(size_mib: int, runs: dict) -> dict:
    """P1, P2, P5 from the download runs of each kind."""

    def speed(kind, key="mib_per_s"):
        return med([r[key] for r in runs[kind]])

    curl, ours, bare, floor = speed("curl"), speed("ours"), speed("bare"), speed("floor")
    pieces = size_mib * MiB / PIECE
    loop = speed("loop")
    return {
        "P1": {
            "size_mib": size_mib,
            "ours_mib_s": ours,
            "ours_emitted_mib_s": speed("ours", "mib_per_s_emitted"),
            "curl_mib_s": curl,
            "curl_transfer_mib_s": med([size_mib / r["transfer_seconds"] for r in runs["curl"]]),
            "ratio": ratio(ours, curl),
            "worker_alone_mib_s": bare,
            "worker_alone_ratio": ratio(bare, curl),
            "host_floor_mib_s": floor,
            "of_host_floor": ratio(ours, floor),
            "host_us_per_piece": speed("floor", "us_per_piece"),
            "host_us_per_prompt_direct": speed("floor", "us_per_prompt_direct"),
            "us_per_piece": {
                kind: per_piece(runs[kind], pieces) for kind in ("ours", "loop", "bare")
            },
            "runs": runs,
        },
        "P2": {"ours_mib_s": ours, "loop_mib_s": loop, "ratio": ratio(ours, loop)},
        "P5": {
            "max_stall_ms": speed("ours", "max_stall_ms"),
            "loop_max_stall_ms": speed("loop", "max_stall_ms"),
            "worker_alone_max_stall_ms": speed("bare", "max_stall_ms"),
            "ui_cpu_ms_per_mib": speed("ours", "ui_cpu_ms_per_mib"),
            "loop_ui_cpu_ms_per_mib": speed("loop", "ui_cpu_ms_per_mib"),
            "worker_alone_ui_cpu_ms_per_mib": speed("bare", "ui_cpu_ms_per_mib"),
        },
    }


def memory(runs: dict) -> dict:
    """P3 from the runs of each package size (MiB)."""
    sizes = sorted(runs)
    return {
        "sizes_mib": sizes,
        "growth_mib": {str(s): med([r["rss_growth_mib"] for r in runs[s]]) for s in sizes},
        "max_growth_mib": {str(s): max(r["rss_growth_mib"] for r in runs[s]) for s in sizes},
        "method": runs[sizes[0]][0]["memory_method"],
        "runs": {str(s): runs[s] for s in sizes},
    }


def imports(samples: dict) -> dict:
    """P4 from the import times of both modules."""
    return {
        "tvlib_ms": med(samples["tvlib"]),
        "requests_ms": med(samples["requests"]),
        "samples": samples,
    }


def complete_runs(size_mib: int, runs: dict) -> dict:
    """P6 and P7 from the complete runs: the first run of each process, and
    the last one (later runs) where a process made several."""
    firsts = [r[0] for r in runs["ours"]]
    laters = [r[-1] for r in runs["ours"] if len(r) > 1]

    def tls(items, key):
        return med([r["tls"][key] for r in items])

    return {
        "P6": {
            "first_run": {
                "connections": tls(firsts, "connections"),
                "full_handshakes": tls(firsts, "full_handshakes"),
            },
            "later_run": {
                "connections": tls(laters, "connections"),
                "full_handshakes": tls(laters, "full_handshakes"),
            },
            "client": {
                "connections": tls(runs["client"], "connections"),
                "full_handshakes": tls(runs["client"], "full_handshakes"),
            },
            "requests_per_run": firsts[0]["requests"],
        },
        "P7": {
            "size_mib": size_mib,
            "total_ms": med([r["total"] * 1000 for r in firsts]),
            "later_run_total_ms": med([r["total"] * 1000 for r in laters]),
            "phases_ms": {
                p: med([r["phases"][p] * 1000 for r in firsts]) for p, _ in report.PHASES
            },
            "server_ms": {
                route: med([r["server_ms"].get(route) for r in firsts])
                for route in ("health", "token", "release", "download")
            },
            "runs": runs,
        },
    }


def busy_host(size_mib: int, spell_s: float, runs: list) -> dict:
    """P8 from the busy-host runs: the worst pass and the worst gap of any run."""
    return {
        "size_mib": size_mib,
        "spell_s": spell_s,
        "max_slots_per_pass": max(r["max_slots_per_pass"] for r in runs),
        "max_gap_ms": max(r["max_gap_after_spell_ms"] for r in runs),
        "median_gap_ms": med([r["max_gap_after_spell_ms"] for r in runs]),
        "runs": runs,
    }


def _p3_met(p3: dict) -> bool:
    worst = [p3["max_growth_mib"][str(s)] for s in p3["sizes_mib"]]
    return all(w <= 16 for w in worst) and abs(worst[-1] - worst[0]) <= 2.0


def _at_least(value, target) -> bool | None:
    return None if value is None else value >= target


# Each judged row: its target in words, and whether the figures meet it.
TARGETS = {
    "P1": ("≥ 0.8 ×", lambda f: _at_least(f["P1"]["ratio"], 0.8)),
    "P1a": ("≥ 0.85 ×", lambda f: _at_least(f["P1"]["worker_alone_ratio"], 0.85)),
    "P1c": ("≥ 0.95 ×", lambda f: _at_least(f["P1"]["of_host_floor"], 0.95)),
    "P2": ("≥ 2 ×", lambda f: _at_least(f["P2"]["ratio"], 2)),
    "P3": ("≤ 16 MiB, same for both (within 2 MiB)", lambda f: _p3_met(f["P3"])),
    "P4": (
        "≤ 10 ms, below baseline",
        lambda f: f["P4"]["tvlib_ms"] <= 10 and f["P4"]["tvlib_ms"] < f["P4"]["requests_ms"],
    ),
    "P6": (
        "fewer full handshakes than baseline",
        lambda f: f["P6"]["first_run"]["full_handshakes"] < f["P6"]["client"]["full_handshakes"],
    ),
    "P8": (
        "≤ 256 slots, < 50 ms",
        lambda f: f["P8"]["max_slots_per_pass"] <= 256 and f["P8"]["max_gap_ms"] < 50,
    ),
}
# Which figure each judged row needs.
_SOURCE = {
    "P1": "P1",
    "P1a": "P1",
    "P1c": "P1",
    "P2": "P2",
    "P3": "P3",
    "P4": "P4",
    "P6": "P6",
    "P8": "P8",
}


def judge(figures: dict) -> dict:
    """Row id → met (True/False) for every judged row whose figure was measured."""
    return {row: TARGETS[row][1](figures) for row in TARGETS if _SOURCE[row] in figures}
