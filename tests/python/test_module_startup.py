"""Both modules start in the host: the Qt binding by the host's year, the
runtime, the bytecode flag, and the package's attributes."""

import json

import pytest
from conftest import DEVHOST, QT6, run_in_host

REPORT = """
import json, sys
import tvlib, tvlib.tvcore as core
upd = sys.modules["tvlib.tvupd"]
print(json.dumps({
    "qt": upd.KolvarenUpdater.__mro__[1].__module__.split(".")[0],
    "core_qt": [m for m in sys.modules if m.endswith(".QtWidgets")],
    "dont_write_bytecode": sys.dont_write_bytecode,
    "rt": type(core.rt).__module__,
}))
"""


@pytest.mark.parametrize("year", [2025, 2026])
def test_the_host_year_chooses_the_qt_binding(year):
    wanted = "PySide6" if year >= 2026 else "PySide2"
    result = run_in_host(REPORT, year=year)
    available = QT6 == (wanted == "PySide6")
    if available:
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert report["qt"] == wanted
        assert report["core_qt"] == [f"{wanted}.QtWidgets"]
        assert report["dont_write_bytecode"] is True
        assert report["rt"] == "pymxs"
    else:
        # This lane's interpreter lacks the other binding: start-up must say so.
        assert result.returncode != 0
        assert f"Kolvaren needs {wanted} in a {year} host" in result.stderr
        # ...after the import error itself, with its traceback.
        assert f"ModuleNotFoundError: No module named '{wanted}'" in result.stderr


@pytest.mark.parametrize(
    ("pymxs", "cause"),
    [
        ("None", "ModuleNotFoundError: import of pymxs halted; None in sys.modules"),
        ("types.ModuleType('pymxs')", "AttributeError: module 'pymxs' has no attribute 'runtime'"),
    ],
    ids=["absent", "without-runtime"],
)
def test_outside_the_host_the_package_cannot_be_loaded_and_says_why(pymxs, cause):
    result = run_in_host(f"import sys, types; sys.modules['pymxs'] = {pymxs}\nimport tvlib")
    assert result.returncode != 0
    # The original error first, then ours as the one it caused.
    chained = (
        f"{cause}\n\nThe above exception was the direct cause of the following exception:\n\n"
        "ImportError: tvlib runs inside the host only: pymxs.runtime is not available\n"
    )
    assert chained in result.stderr


DIALOG_IMPORT = """
import sys
import pymxs  # the stand-in host; its folder also holds a stand-in dialog, taken away
sys.path[:] = [{folder!r}] + [p for p in sys.path if p != {devhost!r}]
{prepare}
import tvlib
print(hasattr(sys.modules["tvlib.tvupd"], "KolvarenReleasesDialog"))
"""


@pytest.mark.parametrize(
    ("source", "prepare", "report"),
    [
        ("def redi(:\n", "", "SyntaxError"),
        ("import kolvaren_missing_helper\n", "", "No module named 'kolvaren_missing_helper'"),
        ("raise ImportError('no notes', name='KolvarenReleasesDialog')\n", "", "no notes"),
        (None, "sys.modules['KolvarenReleasesDialog'] = None", None),
        (None, "", None),
    ],
    ids=["syntax-error", "its-own-import-fails", "import-error", "blocked", "absent"],
)
def test_only_a_missing_notes_dialog_loads_in_silence(tmp_path, source, prepare, report):
    if source is not None:
        (tmp_path / "KolvarenReleasesDialog.py").write_text(source)
    code = DIALOG_IMPORT.format(folder=str(tmp_path), devhost=str(DEVHOST), prepare=prepare)
    result = run_in_host(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False\n"
    if report is None:
        assert "KolvarenReleasesDialog" not in result.stderr
        assert "Traceback" not in result.stderr
    else:
        assert "tvlib.tvupd: importing KolvarenReleasesDialog" in result.stderr
        assert report in result.stderr


def test_modules_imported_after_start_up_leave_no_bytecode(tmp_path):
    (tmp_path / "plugin_script.py").write_text("VALUE = 7\n")
    code = f"""
import sys
sys.path.insert(0, {str(tmp_path)!r})
import tvlib
import plugin_script
assert plugin_script.VALUE == 7
"""
    result = run_in_host(code)
    assert result.returncode == 0, result.stderr
    assert not (tmp_path / "__pycache__").exists()


def test_the_base_address_is_one_constant_for_the_process(tvlib, service, monkeypatch):
    monkeypatch.setenv("KOLVAREN_BASE_URL", "https://elsewhere.invalid")
    assert tvlib.baur() == service.base_url


def test_the_deployment_address_is_used_without_an_override():
    result = run_in_host("import os, tvlib; print(tvlib.baur())", env={"KOLVAREN_BASE_URL": ""})
    assert result.returncode == 0, result.stderr
    address = result.stdout.strip()
    assert address.startswith("https://") and address.endswith(".invalid")


def test_an_address_that_is_not_https_is_refused_when_tvcore_loads():
    for address in ("http://127.0.0.1:8080", "ftp://releases.example", "releases.example"):
        result = run_in_host("import tvlib", env={"KOLVAREN_BASE_URL": address})
        assert result.returncode != 0, address
        assert f"ImportError: the release service's address '{address}'" in result.stderr
        assert "is not an https:// address" in result.stderr
    result = run_in_host(
        "import tvlib; print(tvlib.baur())", env={"KOLVAREN_BASE_URL": "HTTPS://h.example"}
    )
    assert result.stdout.strip() == "HTTPS://h.example", result.stderr


def test_tvcore_starts_without_the_update_client():
    # Records when each of our modules begins and ends loading: tvcore must be
    # complete before tvupd is looked for at all.
    code = """
import importlib.abc, sys
events = []
class Watch(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name.startswith("tvlib."):
            events.append("find " + name)
            for finder in sys.meta_path[1:]:
                spec = finder.find_spec(name, path, target)
                if spec:
                    loader = spec.loader
                    original = loader.exec_module
                    def exec_module(module, original=original, name=name):
                        original(module)
                        events.append("loaded " + name)
                    loader.exec_module = exec_module
                    return spec
        return None
sys.meta_path.insert(0, Watch())
import tvlib
print(events)
"""
    result = run_in_host(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(
        ["find tvlib.tvcore", "loaded tvlib.tvcore", "find tvlib.tvupd", "loaded tvlib.tvupd"]
    )
