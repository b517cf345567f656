"""The benchmark tooling: nginx's log read, packages made, the README's table
replaced, host processes kept apart, and the suite run once with tiny packages
(every figure measured and written, the TLS counts exact: they count, they do
not time). Run by scripts/test.sh; the suite run needs nginx and curl
(bench/run.sh installs them) and is skipped without them.
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(BENCH))

import report  # noqa: E402
import servers  # noqa: E402
import suite  # noqa: E402

needs_nginx = pytest.mark.skipif(
    servers.nginx_binary() is None or shutil.which("curl") is None,
    reason="the benchmark needs nginx and curl (bench/run.sh installs them)",
)


def line(connection, requests, reused, uri="/health", time=1.0):
    flag = "r" if reused else "."
    return servers.LogLine.parse(
        f"{time} {connection} {requests} {flag} TLSv1.3 200 GET {uri}?q=1 16 0.001"
    )


def test_a_log_line_is_read_field_by_field():
    parsed = line(7, 2, True, uri="/license/download/TOKEN")
    assert (parsed.connection, parsed.connection_requests, parsed.reused) == (7, 2, True)
    assert parsed.uri == "/license/download/TOKEN"  # the query is dropped
    assert parsed.request_time == pytest.approx(0.001)


def test_handshakes_are_counted_once_per_connection():
    counts = servers.connection_counts(
        [line(1, 1, False), line(1, 2, False), line(2, 1, True), line(3, 1, False)]
    )
    assert counts["requests"] == 4
    assert counts["connections"] == 3
    assert counts["full_handshakes"] == 2
    assert counts["resumed"] == 1


def test_a_package_is_exactly_its_size_and_a_valid_script(tmp_path):
    import pymxs

    for size in (200, 8192, 100_003):
        package = servers.write_package(tmp_path / f"p{size}.ms", size)
        assert package.stat().st_size == size
        assert b"*/" not in package.read_bytes()[:-4]
    pymxs.host.reset(maxdata=tmp_path, tempdir=tmp_path)
    pymxs.runtime.filein(str(tmp_path / "p100003.ms"))
    assert pymxs.host.globals["kolvaren_bench_installed"] is True
    with pytest.raises(ValueError):
        servers.write_package(tmp_path / "tiny.ms", 10)


def download(mib_per_s, ui_cpu_s=0.5, stall=10.0, rss=0.5):
    return {
        "mib_per_s": mib_per_s,
        "mib_per_s_emitted": mib_per_s,
        "transfer_seconds": 0.25,
        "ui_cpu_s": ui_cpu_s,
        "ui_cpu_ms_per_mib": 2.0,
        "max_stall_ms": stall,
        "rss_growth_mib": rss,
        "memory_method": "test",
    }


def complete_run(total, full_handshakes):
    phases = {"health": 0.01, "token": 0.02, "release": 0.02, "install": 0.01, "close": 0.0}
    phases["download"] = total - sum(phases.values())
    return {
        "total": total,
        "phases": phases,
        "requests": ["health", "token", "release", "download"],
        "tls": {"connections": 4, "full_handshakes": full_handshakes},
        "server_ms": {"health": 1.0, "token": 2.0, "release": 3.0, "download": 4.0},
    }


def summary(ours=100.0, curl=400.0, loop=40.0, growth=(0.5, 0.6), imports=(8.0, 60.0), full=1):
    settings = dict(suite.MODES["full"], mode="full")
    downloads = {
        "curl": [download(curl), download(curl * 2), download(curl / 2)],
        "ours": [download(ours), download(ours)],
        "loop": [download(loop)],
        "bare": [download(ours * 2)],
        "floor": [{"mib_per_s": 500.0, "us_per_piece": 15.6, "us_per_prompt_direct": 12.0}],
    }
    memory = {64: [download(1, rss=growth[0])], 1024: [download(1, rss=growth[1])]}
    runs = {
        "ours": [[complete_run(0.5, full), complete_run(0.4, 0)]],
        "client": [{"tls": {"connections": 4, "full_handshakes": 4}}],
    }
    imported = {"tvlib": [imports[0]] * 3, "requests": [imports[1]] * 3}
    return suite.summarise("full", settings, downloads, memory, imported, runs)


def test_the_run_breakdown_adds_up_to_the_first_runs_total():
    p7 = summary()["figures"]["P7"]
    assert p7["total_ms"] == pytest.approx(500)
    assert p7["later_run_total_ms"] == pytest.approx(400)
    assert sum(p7["phases_ms"].values()) == pytest.approx(500)
    assert p7["server_ms"] == {"health": 1.0, "token": 2.0, "release": 3.0, "download": 4.0}


def results_for_report():
    result = summary()
    result.update(
        machine={"cpu": "Test CPU", "cores": 2, "libcurl": "libcurl/8"},
        settings=dict(suite.MODES["full"], mode="full"),
        finished="2026-01-01 00:00",
    )
    return result


@pytest.mark.parametrize("brief", [False, True])
def test_the_readme_gets_the_table_between_its_markers_only(tmp_path, brief):
    readme = tmp_path / "README.md"
    readme.write_text(f"# Title\n\nbefore\n{report.BEGIN}\nold table\n{report.END}\nafter\n")
    results = results_for_report()
    assert report.update_readme(readme, results, brief)
    assert report.update_readme(readme, results, brief)  # a second run replaces, never adds
    text = readme.read_text()
    assert text.startswith("# Title\n\nbefore\n")
    assert text.endswith(f"{report.END}\nafter\n")
    assert "old table" not in text
    assert text.count("| P6 |") == 1 and "Test CPU" in text
    assert "# tvlib benchmark results" not in text  # the results file's own heading
    # The repository's README gets the table and the machine, not the notes.
    assert ("P7 breakdown" in text) is not brief and ("Notes:" in text) is not brief


def test_a_readme_without_markers_is_left_alone(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text("# Title\n")
    assert not report.update_readme(readme, results_for_report())
    assert readme.read_text() == "# Title\n"


def test_each_host_process_gets_folders_of_its_own(monkeypatch):
    class Servers:
        base_url = "https://127.0.0.1:1"
        ca_pem_path = Path("/ca.pem")

    monkeypatch.setenv("https_proxy", "http://proxy.invalid:3128")
    bench = suite.Bench(sys.executable, Path("/stage"), Servers())
    try:
        first, second = bench.env(), bench.env()
        for name in ("TMPDIR", "KOLVAREN_ACCOUNT_FILE", "PYMXS_TEMPDIR", "PYMXS_MAXDATA"):
            assert first[name] != second[name], name
            assert first[name].startswith(str(bench.home)), name
        assert first["PYMXS_TEMPDIR"] == first["TMPDIR"]  # as on a real machine
        assert first["PYTHONPATH"].split(":")[:2] == ["/stage", str(servers.DEVHOST)]
        assert "https_proxy" not in first
    finally:
        bench.close()
    assert not bench.home.exists()


def test_the_peak_counts_from_the_mark_and_sees_memory_already_freed():
    import hostside

    before = bytearray(96 * servers.MiB)  # a peak before the mark must not count
    before[::4096] = b"x" * len(before[::4096])
    del before
    memory = hostside.PeakMemory()
    start = memory.mark()
    during = bytearray(32 * servers.MiB)
    during[::4096] = b"x" * len(during[::4096])  # touch every page
    del during
    growth = (memory.peak() - start) / 1024
    assert 30 <= growth < 64, (memory.method, growth)


@needs_nginx
@pytest.mark.timeout(120)
def test_the_suite_measures_every_figure(tmp_path):
    done = subprocess.run(
        [sys.executable, str(BENCH / "suite.py"), "--smoke", "--results", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=110,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    results = json.loads((tmp_path / "smoke.json").read_text(encoding="utf-8"))
    figures = results["figures"]
    assert set(figures) == {"P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8"}

    p1 = figures["P1"]
    for kind in ("curl", "ours", "loop", "bare", "floor"):
        assert p1["runs"][kind], kind
        assert all(r["mib_per_s"] > 0 for r in p1["runs"][kind])
    assert p1["runs"]["floor"][0]["pieces"] == 2 * servers.MiB // 8192
    for run in p1["runs"]["ours"] + p1["runs"]["loop"]:
        assert run["received"] == 2 * servers.MiB
        assert run["ticks"] >= 0 and run["max_stall_ms"] > 0
        assert 0 < run["ui_cpu_s"] and run["rss_growth_mib"] < 64
    for spent in p1["us_per_piece"].values():
        assert spent["ui_running"] > 0 and spent["download_thread_cpu"] > 0
        assert spent["ui_waiting_for_cpu"] >= 0
    assert figures["P3"]["growth_mib"].keys() == {"1", "2"}
    assert 0 < figures["P4"]["tvlib_ms"] < 1000 and 0 < figures["P4"]["requests_ms"]

    # Every request has its own connection; only the process's first is a full
    # handshake, and the Python client pays one on each.
    p6 = figures["P6"]
    assert p6["requests_per_run"] == ["health", "token", "release", "download"]
    assert p6["first_run"] == {"connections": 4, "full_handshakes": 1}
    assert p6["later_run"] == {"connections": 4, "full_handshakes": 0}
    assert p6["client"] == {"connections": 4, "full_handshakes": 4}

    p7 = figures["P7"]
    assert all(ms >= 0 for ms in p7["phases_ms"].values())
    assert sum(p7["phases_ms"].values()) == pytest.approx(p7["total_ms"], rel=1e-6)

    # The busy host: a pass runs one batch of slots at most, and the timer ticked.
    p8 = figures["P8"]
    assert 0 < p8["max_slots_per_pass"] <= 256
    assert 0 < p8["max_gap_ms"] < 10000

    table = (tmp_path / "smoke.md").read_text(encoding="utf-8")
    for row in ("| P1 |", "| P2 |", "| P3 |", "| P4 |", "| P5 |", "| P6 |", "| P7 |", "| P8 |"):
        assert row in table
    assert results["machine"]["cores"] >= 1 and "libcurl" in results["machine"]["libcurl"]
