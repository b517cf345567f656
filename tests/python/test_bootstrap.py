"""The plug-in's start-up, run by the stand-in host on real settings and program files."""

import re

import pytest
from conftest import REPO
from pymxs import runtime as rt

START_UP = ("KolvarenDefine", "KolvarenPanel", "KolvarenCabinet")


@pytest.fixture
def plugin(host, tmp_path):
    """Settings with Root = tmp/root and Programs = "\\programs"; returns a program writer."""
    (tmp_path / "start").mkdir()
    (tmp_path / "maxdata/Plugin.UserSettings.ini").write_text(
        f"[Directories]\nKolvaren={tmp_path / 'start'}\n"
    )

    def settings(**directories):
        keys = {"Root": tmp_path / "root", "Programs": "\\programs", **directories}
        lines = [f"{key}={value}" for key, value in keys.items() if key != "Localization"]
        localization = directories.get("Localization", "")
        text = "[Directories]\n" + "\n".join(lines) + f"\n[Settings]\nLocalization={localization}\n"
        (tmp_path / "start/kolvaren.ini").write_text(text)

    def program(name, text="", suffix=".ms"):
        root = tmp_path / "root"
        path = root / "programs" / (name.replace("\\", "/") + suffix)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return f"{root}\\programs\\{name}{suffix}"

    settings()
    program.settings, program.tmp = settings, tmp_path
    return program


def test_the_record_and_the_start_up_programs(plugin, tvlib, host):
    plugin.settings(Root2="D:\\Second\\")
    loaded = [plugin(name) for name in START_UP]
    # The loader is stored last: a start-up program cannot use it yet.
    plugin("KolvarenDefine", "global define_saw_run = kolvaren.run")

    assert tvlib.sast() is None

    assert host.evaluated == [(REPO / "src/tvlib/tvcore/bootstrap.ms").read_text()]
    assert host.filein_log == loaded
    assert host.globals["define_saw_run"] is None
    record = rt.kolvaren
    assert re.findall(r"\s(\w+):", repr(record)) == [
        *("inifile", "getdir", "root", "root2", "programs", "resources", "localizations"),
        *("releases", "getset", "run", "access", "func", "cabinetdelikkopya"),
    ]
    assert record.inifile == f"{plugin.tmp / 'start'}\\kolvaren.ini"
    assert record.getdir.root2 == "D:\\Second\\"
    assert [record.getset, record.access, record.func, record.cabinetdelikkopya] == [None] * 4
    assert {"kolvarendefine", "kolvarencabinet"} <= set(host.globals)
    assert "kolvarenpanel" not in host.globals


def test_the_folder_rule_and_the_loaders_own_reading_of_the_settings(plugin, tvlib):
    elsewhere = plugin.tmp / "elsewhere"
    elsewhere.mkdir()
    plugin.settings(Programs=elsewhere, Resources="\\no such", Localizations="")
    # The loader builds Root + Programs, whatever the record says.
    (plugin.tmp / f"root{elsewhere}").mkdir(parents=True)
    (plugin.tmp / f"root{elsewhere}/Tool.ms").write_text('"under root"')
    tvlib.sast()
    getdir, root = rt.kolvaren.getdir, str(plugin.tmp / "root")
    assert getdir.programs == str(elsewhere)
    assert (getdir.resources, getdir.localizations) == (root + "\\no such", root)
    assert rt.kolvaren.run("\\Tool") == "under root"
    # A new Root counts from the next load on; the record keeps the old one.
    (plugin.tmp / f"moved{elsewhere}").mkdir(parents=True)
    (plugin.tmp / f"moved{elsewhere}/Tool.ms").write_text('"moved"')
    plugin.settings(Root=plugin.tmp / "moved", Programs=elsewhere)
    assert (rt.kolvaren.run("\\Tool"), rt.kolvaren.getdir.root) == ("moved", root)


def test_the_loader_prefers_ms_runs_py_and_skips_what_is_missing(plugin, tvlib, host):
    both = plugin("Both", '"from ms"')
    plugin("Both", "raise RuntimeError('the .py must not run')", ".py")
    only_py = plugin("Sub\\OnlyPy", "import pymxs\npymxs.runtime.py_program = 'ran'", ".py")
    tvlib.sast()
    run = rt.kolvaren.run
    assert [run("\\Both"), run("\\Sub\\OnlyPy"), run("\\Missing")] == ["from ms", True, None]
    assert (host.filein_log, host.python_files) == ([both], [only_py])
    assert host.globals["py_program"] == "ran"


def test_an_empty_localization_and_a_second_start(plugin, tvlib, host):
    plugin.settings(Localizations="\\loc")
    (plugin.tmp / "root/loc").mkdir(parents=True)
    (plugin.tmp / "root/loc/localization.ms").write_text("global kolvaren_localization = 1")
    loaded = [f"{plugin.tmp / 'root'}\\loc\\localization.ms"] + [plugin(n) for n in START_UP]
    tvlib.sast()
    first = rt.kolvaren
    first.getset = "not kept"
    tvlib.sast()
    assert host.filein_log == loaded + loaded
    assert rt.kolvaren != first
    assert rt.kolvaren.getset is None


def test_a_failing_program_ends_the_start_up(plugin, tvlib, host):
    import pymxs

    define, panel, _ = (plugin(name) for name in START_UP)
    plugin("KolvarenPanel", "no_such_function 1")
    with pytest.raises(pymxs.MAXScriptError, match="Call needs function"):
        tvlib.sast()
    assert host.filein_log == [define, panel]
    assert rt.kolvaren.run is None
