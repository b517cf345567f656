"""The benchmark suite of tvlib: figures P1 to P7, each against its baseline
measured in the same run, written as a Markdown table and as JSON.

    python bench/suite.py [--quick | --smoke] [--stage DIR] [--results DIR]

bench/run.sh builds tvlib and calls this; see bench/README.md. Every host-side
measurement runs in a fresh process (bench/hostside.py). Benchmarks report:
nothing here fails because a target was missed.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import figures  # noqa: E402
import report  # noqa: E402
import servers  # noqa: E402
import table  # noqa: E402

MiB = servers.MiB

MODES = {
    # p1: P1/P2/P5 package; p3: the two P3 packages; p7: P6/P7 package;
    # p8: the busy host's package and its busy spell in seconds
    "full": {"p1": 256, "p3": (64, 1024), "p7": 16, "p8": (256, 3.0), "repeat": 5, "imports": 40},
    "quick": {"p1": 64, "p3": (16, 256), "p7": 16, "p8": (64, 3.0), "repeat": 3, "imports": 15},
    "smoke": {"p1": 2, "p3": (1, 2), "p7": 1, "p8": (2, 0.2), "repeat": 1, "imports": 2},
}
ALL_FIGURES = ("P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8")
RUNS_PER_PROCESS = 2  # P6/P7: the first run of a host process, then a later one


class Bench:
    """Runs measurements in fresh host processes and curl against the servers."""

    def __init__(self, python: str, stage: Path | None, servers_: servers.BenchServers):
        self.python = python
        self.servers = servers_
        self.home = Path(tempfile.mkdtemp(prefix="tvlib-bench-host-"))
        path = [str(servers.DEVHOST)]
        if stage is not None:
            path.insert(0, str(stage))
        if os.environ.get("PYTHONPATH"):
            path.append(os.environ["PYTHONPATH"])
        self.base_env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join(path),
            "PYMXS_RELEASE_YEAR": os.environ.get("PYMXS_RELEASE_YEAR", "2026"),
            "QT_QPA_PLATFORM": "offscreen",
            "KOLVAREN_BASE_URL": servers_.base_url,
            "KOLVAREN_CA_BUNDLE": str(servers_.ca_pem_path),
            "BENCH_ACCOUNT": json.dumps(servers.account_record()),
        }
        for name in ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            self.base_env.pop(name, None)
        self._count = 0

    def close(self) -> None:
        shutil.rmtree(self.home, ignore_errors=True)

    def _folder(self) -> Path:
        self._count += 1
        folder = self.home / f"host-{self._count}"
        (folder / "temp").mkdir(parents=True)
        (folder / "maxdata").mkdir()
        return folder

    def env(self, folder: Path | None = None) -> dict:
        folder = folder or self._folder()
        return {
            **self.base_env,
            "TMPDIR": str(folder / "temp"),
            "KOLVAREN_ACCOUNT_FILE": str(folder / "account.json"),
            # The host's folders too: a host process ends without cleaning up.
            "PYMXS_TEMPDIR": str(folder / "temp"),
            "PYMXS_MAXDATA": str(folder / "maxdata"),
        }

    def host(self, mode: str, options: dict, timeout: float = 600) -> dict:
        folder = self._folder()
        try:
            child = subprocess.run(
                [self.python, str(BENCH / "hostside.py"), mode, json.dumps(options)],
                env=self.env(folder),
                capture_output=True,
                text=True,
                timeout=timeout,
            )
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        lines = child.stdout.strip().splitlines()
        if child.returncode != 0 or not lines:
            raise RuntimeError(
                f"hostside {mode} {options} failed ({child.returncode}):\n"
                f"{child.stdout[-2000:]}\n{child.stderr[-4000:]}"
            )
        return json.loads(lines[-1])

    def curl(self, size: int) -> dict:
        target = self.home / "curl-download.ms"
        url = f"{self.servers.download_url()}?file_path={servers.FILE_PATH}"
        start = time.perf_counter()
        child = subprocess.run(
            [
                *("curl", "-sS", "--fail", "--cacert", str(self.servers.ca_pem_path)),
                *("-o", str(target), "-w", "%{time_total}", url),
            ],
            capture_output=True,
            text=True,
            timeout=600,
        )
        seconds = time.perf_counter() - start
        if child.returncode != 0:
            raise RuntimeError(f"curl failed: {child.stderr}")
        received = target.stat().st_size
        target.unlink()
        if received != size:
            raise RuntimeError(f"curl received {received} bytes, not {size}")
        return {
            "seconds": seconds,
            "transfer_seconds": float(child.stdout),
            "mib_per_s": size / MiB / seconds,
        }


def _rotate(items: list, by: int) -> list:
    by %= len(items)
    return items[by:] + items[:by]


def _download_options(size: int, impl: str) -> dict:
    return {
        "size": size,
        "impl": impl,
        "file_path": servers.FILE_PATH,
        "version": servers.OFFERED_VERSION,
        "timeout": 300 + size // MiB,
    }


def measure_downloads(bench: Bench, size: int, repeat: int, log) -> dict:
    """P1, P2, P5: curl, our worker with the host's slots, the requests loop
    with the same slots, and our worker alone; interleaved, rotating order."""
    bench.servers.serve_package(size)
    runs: dict[str, list] = {"curl": [], "ours": [], "loop": [], "bare": [], "floor": []}
    for i in range(repeat):
        for kind in _rotate(list(runs), i):
            if kind == "curl":
                result = bench.curl(size)
            elif kind == "floor":
                result = bench.host("floor", {"size": size})
            else:
                result = bench.host("download", _download_options(size, kind))
                if result["received"] != size:
                    raise RuntimeError(f"{kind} received {result['received']} of {size} bytes")
            runs[kind].append(result)
            log(f"  {kind:5s} {result['mib_per_s']:8.1f} MiB/s")
    return runs


def measure_memory(bench: Bench, size: int, repeat: int, log) -> list:
    bench.servers.serve_package(size)
    results = []
    for _ in range(repeat):
        result = bench.host("download", _download_options(size, "ours"))
        results.append(result)
        log(f"  {size // MiB} MiB: +{result['rss_growth_mib']:.2f} MiB")
    return results


def measure_busy(bench: Bench, size: int, spell: float, repeat: int, log) -> list:
    """P8: a download whose host is busy for `spell` seconds, then catches up."""
    bench.servers.serve_package(size)
    results = []
    for _ in range(repeat):
        options = dict(_download_options(size, "ours"), spell=spell)
        result = bench.host("busy", options)
        results.append(result)
        log(
            f"  {result['max_slots_per_pass']} slots per pass at most, longest gap "
            f"{result['max_gap_after_spell_ms']:.1f} ms"
        )
    return results


def measure_imports(bench: Bench, count: int, log) -> dict:
    times: dict[str, list] = {"tvlib": [], "requests": []}
    for i in range(count):
        for module in _rotate(list(times), i):
            times[module].append(bench.host("import", {"module": module}, timeout=120)["ms"])
    log(
        f"  tvlib {report.median(times['tvlib']):.2f} ms, requests "
        f"{report.median(times['requests']):.2f} ms"
    )
    return times


def _route(uri: str) -> str:
    if uri.startswith("/license/download/"):
        return "download"
    return {
        "/health": "health",
        "/license/generate-jwt": "token",
        "/license/latest-release": "release",
    }.get(uri, uri)


def measure_runs(bench: Bench, size: int, repeat: int, log) -> dict:
    """P6 and P7: complete manual runs in fresh host processes, and the Python
    client that opens a new connection per request."""
    bench.servers.serve_package(size)
    ours, baseline = [], []
    for i in range(repeat):
        for kind in _rotate(["ours", "client"], i):
            mark = bench.servers.log_mark()
            if kind == "ours":
                result = bench.host("run", {"runs": RUNS_PER_PROCESS})
                lines = bench.servers.log_since(mark)
                for run in result["runs"]:
                    # nginx logs with millisecond times
                    inside = [
                        line
                        for line in lines
                        if run["wall_start"] - 0.001 <= line.time <= run["wall_end"] + 0.001
                    ]
                    run["requests"] = [_route(line.uri) for line in inside]
                    run["tls"] = servers.connection_counts(inside)
                    run["server_ms"] = {_route(x.uri): x.request_time * 1000 for x in inside}
                ours.append(result["runs"])
                first = result["runs"][0]
                log(f"  run {first['total'] * 1000:7.1f} ms, TLS {first['tls']}")
            else:
                result = bench.host("client", {})
                result["tls"] = servers.connection_counts(bench.servers.log_since(mark))
                baseline.append(result)
                log(f"  client TLS {result['tls']}")
    return {"ours": ours, "client": baseline}


# -- the table ------------------------------------------------------------------------


def summarise(mode: str, settings: dict, downloads, memory, imports, runs, busy=None) -> dict:
    """The figures, their judgement and the table's rows and notes."""
    found: dict = {}
    if downloads:
        found.update(figures.downloads(settings["p1"], downloads))
    if memory:
        found["P3"] = figures.memory(memory)
    if imports:
        found["P4"] = figures.imports(imports)
    if runs:
        found.update(figures.complete_runs(settings["p7"], runs))
    if busy:
        found["P8"] = figures.busy_host(*settings["p8"], busy)
    verdicts = figures.judge(found)
    rows: list = []
    notes: list = []
    if downloads:
        rows += table.download_rows(found, verdicts)
        notes += table.download_notes(found)
    if memory:
        rows.append(table.memory_row(found["P3"], verdicts))
        notes.append(table.memory_note(found["P3"]))
    if imports:
        rows.append(table.import_row(found["P4"], verdicts))
    if runs:
        rows += table.run_rows(found, verdicts)
        notes.append(table.RUN_NOTE)
    if busy:
        rows.append(table.busy_row(found["P8"], verdicts))
        notes.append(table.BUSY_NOTE)
    return {"figures": found, "table": rows, "notes": notes}


def _size_text(size_mib: int) -> str:
    return f"{size_mib // 1024} GiB" if size_mib >= 1024 else f"{size_mib} MiB"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    size = parser.add_mutually_exclusive_group()
    size.add_argument("--quick", action="store_const", dest="mode", const="quick")
    size.add_argument("--smoke", action="store_const", dest="mode", const="smoke")
    parser.add_argument("--repeat", type=int, help="repetitions per figure")
    parser.add_argument("--only", default=",".join(ALL_FIGURES), help="e.g. P4,P6")
    parser.add_argument("--stage", type=Path, help="folder holding the tvlib package to test")
    parser.add_argument("--python", default=sys.executable, help="interpreter of the host")
    parser.add_argument("--results", type=Path, default=BENCH / "results")
    parser.add_argument("--lane", help="name of a lane other than the default (its files only)")
    args = parser.parse_args(argv)
    mode = args.mode or "full"
    settings = dict(MODES[mode], mode=mode)
    if args.repeat:
        settings["repeat"] = args.repeat
    only = {f.strip().upper() for f in args.only.split(",")}

    def log(text: str) -> None:
        print(text, flush=True)

    started = time.time()
    with servers.BenchServers() as srv:
        bench = Bench(args.python, args.stage, srv)
        try:
            machine = report.machine(args.python, bench.env())
            machine["nginx"] = srv.description()["nginx"]
            log(f"tvlib benchmark ({mode}) against {srv.base_url}, tvlib from {machine['tvlib']}")
            downloads = memory = imports = runs = busy = None
            repeat = settings["repeat"]
            if only & {"P1", "P2", "P5"}:
                log(f"P1/P2/P5: {settings['p1']} MiB downloads")
                downloads = measure_downloads(bench, settings["p1"] * MiB, repeat, log)
            if "P3" in only:
                memory = {}
                for size_mib in settings["p3"]:
                    log(f"P3: {_size_text(size_mib)}")
                    if downloads and size_mib == settings["p1"]:
                        memory[size_mib] = downloads["ours"]
                    else:
                        memory[size_mib] = measure_memory(bench, size_mib * MiB, repeat, log)
                        srv.drop_package(size_mib * MiB)
            if only & {"P6", "P7"}:
                log(f"P6/P7: complete runs with {settings['p7']} MiB")
                runs = measure_runs(bench, settings["p7"] * MiB, repeat, log)
            if "P8" in only:
                size_mib, spell = settings["p8"]
                log(f"P8: {_size_text(size_mib)} download, host busy for {spell} s")
                busy = measure_busy(bench, size_mib * MiB, spell, repeat, log)
            if "P4" in only:
                log("P4: import cost")
                imports = measure_imports(bench, settings["imports"], log)
        finally:
            bench.close()
    machine["load_average_at_end"] = os.getloadavg()[0]
    results = summarise(mode, settings, downloads, memory, imports, runs, busy)
    results.update(
        {
            "machine": machine,
            "settings": settings,
            "finished": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M"),
            "seconds": round(time.time() - started, 1),
        }
    )
    stem = "latest" if mode == "full" else mode
    if args.lane:
        stem = f"lane-{args.lane}" + ("" if mode == "full" else f"-{mode}")
    md, js = report.write(results, args.results, stem)
    log("")
    log(md.read_text(encoding="utf-8"))
    log(f"written: {md} and {js}")
    # A complete run of every figure into the usual folder is the one shown.
    shown = mode == "full" and not args.lane and args.results == BENCH / "results"
    if shown and only >= set(ALL_FIGURES):
        if report.update_readme(BENCH / "README.md", results):
            log(f"updated: {BENCH / 'README.md'}")
        if report.update_readme(BENCH.parent / "README.md", results, brief=True):
            log(f"updated: {BENCH.parent / 'README.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
