"""The machine's description and the results table, as Markdown and JSON."""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import os
import platform
import statistics
import subprocess
from pathlib import Path


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _read(path: str) -> str:
    try:
        return Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return ""


def _field(text: str, name: str, sep: str = ":") -> str:
    for line in text.splitlines():
        key, found, value = line.partition(sep)
        if found and key.strip() == name:
            return value.strip().strip('"')
    return ""


def libcurl_version() -> str:
    name = ctypes.util.find_library("curl") or "libcurl.so.4"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return "unknown"
    lib.curl_version.restype = ctypes.c_char_p
    # "libcurl/7.88.1 OpenSSL/3.0.19 zlib/..." : the library and its TLS backend
    return " ".join(lib.curl_version().decode().split()[:2])


def machine(python: str, env: dict) -> dict:
    """What the figures ran on: hardware, system and the software under test."""
    probe = (
        "import json, sys, importlib\n"
        "qt = 'PySide6' if int(__import__('os').environ.get('PYMXS_RELEASE_YEAR', '2026'))"
        " >= 2026 else 'PySide2'\n"
        "m = importlib.import_module(qt)\n"
        "core = importlib.import_module(qt + '.QtCore')\n"
        "import tvlib\n"
        "print(json.dumps({'python': sys.version.split()[0], 'qt_binding': qt + ' ' +"
        " m.__version__, 'qt': core.qVersion(), 'tvlib': tvlib.__file__}))\n"
    )
    child = subprocess.run(
        [python, "-c", probe], env=env, capture_output=True, text=True, timeout=120
    )
    software = json.loads(child.stdout.strip().splitlines()[-1]) if child.returncode == 0 else {}
    cpuinfo = _read("/proc/cpuinfo")
    meminfo = _read("/proc/meminfo")
    mem_kib = int((_field(meminfo, "MemTotal") or "0 kB").split()[0])
    curl_cli = subprocess.run(["curl", "--version"], capture_output=True, text=True)
    return {
        "cpu": _field(cpuinfo, "model name") or platform.processor() or "unknown",
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "memory_gib": round(mem_kib / 1024 / 1024, 1),
        "kernel": f"{platform.system()} {platform.release()} {platform.machine()}",
        "os": _field(_read("/etc/os-release"), "PRETTY_NAME", "=") or platform.platform(),
        "python": software.get("python", "unknown"),
        "qt_binding": software.get("qt_binding", "unknown"),
        "qt": software.get("qt", "unknown"),
        "libcurl": libcurl_version(),
        "curl_cli": " ".join(curl_cli.stdout.split()[:2]) if curl_cli.returncode == 0 else "none",
        "tvlib": software.get("tvlib", "unknown"),
        "load_average_at_start": os.getloadavg()[0],
    }


def _fmt(value, digits=1, unit=""):
    if value is None:
        return "–"
    if isinstance(value, float):
        text = f"{value:.{digits}f}"
    else:
        text = str(value)
    return f"{text}{unit}"


def _met(flag) -> str:
    if flag is None:
        return "report"
    return "**yes**" if flag else "**no**"


def _table(results: dict) -> list[str]:
    lines = [
        "| # | figure | tvlib | baseline | ratio | target | met |",
        "|---|---|---|---|---|---|---|",
    ]
    for row in results["table"]:
        lines.append(
            "| {id} | {figure} | {ours} | {baseline} | {ratio} | {target} | {met} |".format(
                id=row["id"],
                figure=row["figure"],
                ours=row["ours"],
                baseline=row["baseline"],
                ratio=row["ratio"],
                target=row["target"],
                met=_met(row["met"]),
            )
        )
    return lines


def summary(results: dict) -> str:
    """The table and the machine in a few words, for the repository's README."""
    m = results["machine"]
    cores = f"{m['cores']} cores" if m.get("cores") else None
    described = (m.get(k) for k in ("cpu", "os", "libcurl", "qt_binding"))
    machine = ", ".join(part for part in (cores, *described) if part)
    load = ""
    if m.get("load_average_at_start") is not None and m.get("load_average_at_end") is not None:
        load = (
            f"; load average {_fmt(m['load_average_at_start'], 2)} at the start, "
            f"{_fmt(m['load_average_at_end'], 2)} at the end"
        )
    lines = [
        f"Run {results['finished']} UTC on {machine}{load}; medians of "
        f"{results['settings']['repeat']} runs.",
        "",
        *_table(results),
    ]
    return "\n".join(lines) + "\n"


def markdown(results: dict) -> str:
    f = results["figures"]
    m = results["machine"]
    s = results["settings"]
    lines = [
        f"# tvlib benchmark results ({s['mode']})",
        "",
        f"Run {results['finished']} UTC, {s['repeat']} repetitions per figure (medians), "
        f"import cost over {s['imports']} fresh processes. Baselines ran in the same run, "
        "interleaved with our runs.",
        "",
        *_table(results),
    ]
    p7 = f.get("P7")
    if p7:
        lines += [
            "",
            f"P7 breakdown, complete manual run with a {p7['size_mib']} MiB package "
            "(median of each phase; the first run of a fresh host process):",
            "",
            "| phase | ms | what it covers |",
            "|---|---|---|",
        ]
        for phase, what in PHASES:
            lines.append(f"| {phase} | {_fmt(p7['phases_ms'].get(phase))} | {what} |")
        lines.append(f"| **total** | **{_fmt(p7['total_ms'])}** | entry call → updater deleted |")
        if p7.get("server_ms"):
            served = ", ".join(f"{k} {_fmt(v)} ms" for k, v in p7["server_ms"].items())
            lines += ["", f"Server-side time per route (nginx `$request_time`): {served}."]
    lines += ["", "Machine:", ""]
    for key in (
        "cpu",
        "cores",
        "usable_cores",
        "memory_gib",
        "kernel",
        "os",
        "python",
        "qt_binding",
        "qt",
        "libcurl",
        "curl_cli",
        "nginx",
        "load_average_at_start",
        "load_average_at_end",
    ):
        if key in m:
            lines.append(f"- {key.replace('_', ' ')}: {m[key]}")
    if results.get("notes"):
        lines += ["", "Notes:", ""]
        lines += [f"- {note}" for note in results["notes"]]
    return "\n".join(lines) + "\n"


PHASES = (
    ("health", "entry call: updater made, health check, check worker started"),
    ("token", "worker start, account read, token request"),
    ("release", "release request"),
    ("download", "offer delivered, download worker, all progress slots, completion delivered"),
    ("install", "update record, account, the host's `filein` of the package, prompts"),
    ("close", "updater closed and deleted"),
)


BEGIN = "<!-- latest results: written by bench/suite.py -->"
END = "<!-- end of latest results -->"


def update_readme(readme: Path, results: dict, brief: bool = False) -> bool:
    """Puts the results between the README's markers, all of them or `brief`ly
    (the table and the machine); False without markers."""
    text = readme.read_text(encoding="utf-8") if readme.exists() else ""
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        return False
    # The whole results without the file's own heading, or the summary.
    body = summary(results) if brief else markdown(results).split("\n", 2)[2]
    readme.write_text(text[: start + len(BEGIN)] + "\n" + body + text[end:], encoding="utf-8")
    return True


def write(results: dict, folder: Path, stem: str) -> tuple[Path, Path]:
    folder.mkdir(parents=True, exist_ok=True)
    md = folder / f"{stem}.md"
    js = folder / f"{stem}.json"
    md.write_text(markdown(results), encoding="utf-8")
    js.write_text(json.dumps(results, indent=2, sort_keys=True) + "\n", encoding="utf-8")
    return md, js
