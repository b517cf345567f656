"""The results table's rows and notes, in words, from the figures and their
judgement (bench/figures.py). Each row is named by what it measures; the
short codes stay as anchors."""

from __future__ import annotations

import figures as judged
from report import _fmt as fmt

PIECE_NOTE = "one per 8 KiB piece, each a `pushprompt` the host evaluates"


# Rows that explain another figure rather than stand for a target of their own.
DIAGNOSTIC = {"P1b", "P5a"}


def _row(id_, figure, ours, baseline="–", ratio="–", verdicts=None) -> dict:
    unjudged = "(diagnostic)" if id_ in DIAGNOSTIC else "report"
    target = judged.TARGETS.get(id_, (unjudged,))[0]
    met = None if verdicts is None else verdicts.get(id_)
    return {
        "id": id_,
        "figure": figure,
        "ours": ours,
        "baseline": baseline,
        "ratio": ratio,
        "target": target,
        "met": met,
    }


def _times(value) -> str:
    return f"{fmt(value, 2)} ×"


def _size_text(size_mib: int) -> str:
    return f"{size_mib // 1024} GiB" if size_mib >= 1024 else f"{size_mib} MiB"


def download_rows(f: dict, verdicts: dict) -> list[dict]:
    p1, p2, p5 = f["P1"], f["P2"], f["P5"]
    what = f"{p1['size_mib']} MiB over HTTPS, start → `download_complete` delivered"
    curl = f"`curl -o FILE`: {fmt(p1['curl_mib_s'])} MiB/s"
    ours = f"{fmt(p1['ours_mib_s'])} MiB/s"
    return [
        _row(
            "P1",
            f"**download with the host's slots, against curl**: {what}, "
            "four signals on the updater's slots",
            ours,
            curl,
            _times(p1["ratio"]),
            verdicts,
        ),
        _row(
            "P1a",
            f"**worker alone, against curl**: {what}, no host slots connected",
            f"{fmt(p1['worker_alone_mib_s'])} MiB/s",
            curl,
            _times(p1["worker_alone_ratio"]),
            verdicts,
        ),
        _row(
            "P1b",
            "**host floor**: the same progress signals, queued, then delivered to the "
            "progress slot with nothing else running",
            f"{fmt(p1['host_floor_mib_s'])} MiB/s",
            curl,
            _times(judged.ratio(p1["host_floor_mib_s"], p1["curl_mib_s"])),
        ),
        _row(
            "P1c",
            "**download with the host's slots, against the host floor**: P1 over P1b",
            ours,
            f"host floor: {fmt(p1['host_floor_mib_s'])} MiB/s",
            _times(p1["of_host_floor"]),
            verdicts,
        ),
        _row(
            "P2",
            f"**download with the host's slots, against a `requests` loop**: {what}",
            ours,
            f"`requests` loop, same slots: {fmt(p2['loop_mib_s'])} MiB/s",
            _times(p2["ratio"]),
            verdicts,
        ),
        _row(
            "P5",
            "**longest UI-thread stall** (5 ms timer) during the P1 downloads",
            f"{fmt(p5['max_stall_ms'])} ms",
            f"`requests` loop: {fmt(p5['loop_max_stall_ms'])} ms",
            _times(judged.ratio(p5["max_stall_ms"], p5["loop_max_stall_ms"])),
        ),
        _row(
            "P5",
            "**UI-thread CPU time per MiB**, same downloads",
            f"{fmt(p5['ui_cpu_ms_per_mib'], 2)} ms/MiB",
            f"`requests` loop: {fmt(p5['loop_ui_cpu_ms_per_mib'], 2)} ms/MiB",
            _times(judged.ratio(p5["ui_cpu_ms_per_mib"], p5["loop_ui_cpu_ms_per_mib"])),
        ),
        _row(
            "P5a",
            "**the same two, worker alone** (no host slots connected)",
            f"{fmt(p5['worker_alone_max_stall_ms'])} ms; "
            f"{fmt(p5['worker_alone_ui_cpu_ms_per_mib'], 2)} ms/MiB",
        ),
    ]


def download_notes(f: dict) -> list[str]:
    p1 = f["P1"]
    pieces = p1["size_mib"] * judged.MiB / judged.PIECE
    notes = []
    if p1["host_floor_mib_s"]:
        notes.append(
            f"P1b: {pieces:.0f} progress signals ({PIECE_NOTE}) take the UI thread "
            f"{fmt(p1['host_us_per_piece'])} µs each with nothing else running, "
            f"{fmt(p1['host_us_per_prompt_direct'])} µs of it in the slot called directly. "
            "`download_complete` is delivered after every earlier progress signal, so no "
            f"download can be delivered faster than {fmt(p1['host_floor_mib_s'])} MiB/s here, "
            f"{_times(judged.ratio(p1['host_floor_mib_s'], p1['curl_mib_s']))} curl."
        )
    spent = p1["us_per_piece"]
    ours, loop, bare = spent["ours"], spent["loop"], spent.get("bare")
    notes.append(
        "P1, P2, per 8 KiB piece: during our download the UI thread spent "
        f"{fmt(ours['ui_running'])} µs running, {fmt(ours['ui_waiting_for_cpu'])} µs waiting "
        f"for a CPU and {fmt(ours['ui_idle'])} µs idle, the download thread "
        f"{fmt(ours['download_thread_cpu'])} µs of CPU and the process's other threads (the "
        f"file writer) {fmt(ours.get('other_threads_cpu'))} µs; with the `requests` loop "
        f"{fmt(loop['ui_running'])}, {fmt(loop['ui_waiting_for_cpu'])} and "
        f"{fmt(loop['ui_idle'])} µs, its thread {fmt(loop['download_thread_cpu'])} µs."
    )
    if bare:
        notes.append(
            f"P1a, per 8 KiB piece: the download thread {fmt(bare['download_thread_cpu'])} µs "
            f"of CPU, the file writer {fmt(bare.get('other_threads_cpu'))} µs, the UI thread "
            f"{fmt(bare['ui_running'])} µs."
        )
    notes.append(
        f"P1: curl's own transfer time (`%{{time_total}}`) gives "
        f"{fmt(p1['curl_transfer_mib_s'])} MiB/s; the ratio uses curl's whole run, process "
        f"start included. Our worker emitted `download_complete` at "
        f"{fmt(p1['ours_emitted_mib_s'])} MiB/s (file complete on disk)."
    )
    return notes


def memory_row(p3: dict, verdicts: dict) -> dict:
    sizes = p3["sizes_mib"]
    growth = " / ".join(fmt(p3["growth_mib"][str(s)], 2) for s in sizes)
    worst = " / ".join(fmt(p3["max_growth_mib"][str(s)], 2) for s in sizes)
    return _row(
        "P3",
        "**memory**: peak RSS growth of the host during the download, "
        + " / ".join(_size_text(s) for s in sizes),
        f"{growth} MiB (max {worst})",
        verdicts=verdicts,
    )


def memory_note(p3: dict) -> str:
    return (
        f"P3: {p3['method']}, from the worker's start to `download_complete` delivered. The "
        "stand-in host records every prompt and every evaluated text in lists for its "
        "tests, which a real host does not; the benchmark bounds those records so that the "
        "growth measured is the client's."
    )


def import_row(p4: dict, verdicts: dict) -> dict:
    return _row(
        "P4",
        "**import time**: `import tvlib` in a fresh process that has Qt and the host runtime",
        f"{fmt(p4['tvlib_ms'], 2)} ms",
        f"`import requests`: {fmt(p4['requests_ms'], 2)} ms",
        _times(judged.ratio(p4["tvlib_ms"], p4["requests_ms"])),
        verdicts,
    )


def run_rows(f: dict, verdicts: dict) -> list[dict]:
    p6, p7 = f["P6"], f["P7"]
    first, later, client = p6["first_run"], p6["later_run"], p6["client"]
    return [
        _row(
            "P6",
            "**TLS handshakes**: connections / full handshakes per complete update run",
            f"{fmt(first['connections'], 0)} / {fmt(first['full_handshakes'], 0)} (later runs "
            f"{fmt(later['connections'], 0)} / {fmt(later['full_handshakes'], 0)})",
            f"new connection per request: {fmt(client['connections'], 0)} / "
            f"{fmt(client['full_handshakes'], 0)}",
            verdicts=verdicts,
        ),
        _row(
            "P7",
            f"**complete manual update run**, {p7['size_mib']} MiB package, entry call → "
            "updater deleted (phases below)",
            f"{fmt(p7['total_ms'])} ms (later runs {fmt(p7['later_run_total_ms'])} ms)",
        ),
    ]


RUN_NOTE = (
    "P6: counted in nginx's access log (`$connection`, `$ssl_session_reused`). Every "
    "request has a connection of its own on purpose; later handshakes resume the TLS "
    "session of the process's first one."
)


def busy_row(p8: dict, verdicts: dict) -> dict:
    return _row(
        "P8",
        f"**busy host**: {_size_text(p8['size_mib'])} download, the UI thread busy for "
        f"{fmt(p8['spell_s'])} s from the first percentage; after the spell, the most "
        "progress slots in one event pass and the longest gap of a 5 ms timer (2 s)",
        f"{fmt(p8['max_slots_per_pass'], 0)} slots; {fmt(p8['max_gap_ms'])} ms",
        verdicts=verdicts,
    )


BUSY_NOTE = (
    "P8: the UI thread computes (holding the GIL) for the spell while the download goes "
    "on; a pass of slots ends where a zero-interval timer, armed by the pass's first "
    "slot, fires (timers run between the passes of posted events). Worst of the runs."
)
