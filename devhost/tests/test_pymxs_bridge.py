"""The Python side of the host: conversions, attribute access, threads, configuration."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import pymxs
import pytest
from pymxs import MAXScriptError, runtime

DEVHOST = Path(__file__).resolve().parents[1]


@pytest.fixture(autouse=True)
def _fresh_host():
    pymxs.host.reset()
    yield
    pymxs.host.reset()


@pytest.mark.parametrize(
    ("value", "literal"),
    [
        ("text", '"text"'),
        (42, "42"),
        (2.5, "2.5"),
        (True, "true"),
        (False, "false"),
        (None, "undefined"),
    ],
)
def test_values_cross_both_ways(value, literal):
    runtime.Kolvaren_ManuelUpdate = value
    assert runtime.execute(f"kolvaren_manuelupdate == {literal}") is True
    back = runtime.KOLVAREN_MANUELUPDATE
    assert back == value
    assert type(back) is type(value)


def test_unknown_global_reads_as_none():
    assert runtime.never_assigned is None


def test_structs_arrays_and_functions():
    runtime.execute("struct pair (First, second = #(1, 2, 3))\nfn add a b = a + b")
    value = runtime.pair(first="x")
    assert value.FIRST == "x"
    value.Second = "y"
    assert runtime.execute("v = undefined; v") is None
    runtime.v = value
    assert runtime.execute("v.second + v.first") == "yx"
    with pytest.raises(MAXScriptError, match='Unknown property: "third"'):
        _ = value.third

    items = runtime.execute("#(10, #(20), undefined)")
    assert len(items) == 3
    assert items[0] == 10 and items[1][0] == 20 and items[-1] is None
    assert list(items)[::2] == [10, None]

    assert runtime.add(2, 3) == 5
    assert runtime.execute("add")("a", "b") == "ab"
    assert runtime.getdir(runtime.Name("MaxData")) == pymxs.host.maxdata.rstrip("/\\")
    with pytest.raises(MAXScriptError, match="Unable to convert: Python object"):
        runtime.add(object(), 1)


def test_globals_view_is_read_only():
    runtime.execute("global seen = 1")
    with pytest.raises(TypeError):
        pymxs.host.globals["seen"] = 2  # type: ignore[index]
    assert pymxs.host.globals["SEEN"] == 1


def _off_thread(action):
    caught = []

    def worker():
        try:
            action()
        except BaseException as exc:  # reported back to the test thread
            caught.append(exc)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    return caught


@pytest.mark.parametrize(
    "action",
    [
        lambda objects: runtime.execute("1"),
        lambda objects: runtime.kolvaren,
        lambda objects: setattr(runtime, "kolvaren", 1),
        lambda objects: objects["function"](),
        lambda objects: objects["struct"].a,
        lambda objects: len(objects["array"]),
    ],
    ids=["execute", "get", "set", "call", "member", "array"],
)
def test_runtime_refuses_other_threads(action):
    objects = {
        "function": runtime.maxversion,
        "struct": runtime.execute("struct s (a)\ns()"),
        "array": runtime.maxversion(),
    }
    caught = _off_thread(lambda: action(objects))
    assert len(caught) == 1 and isinstance(caught[0], MAXScriptError)
    assert str(caught[0]) == "host runtime used off its user-interface thread"


def test_reset_moves_the_ui_thread():
    assert _off_thread(lambda: (pymxs.host.reset(), runtime.execute("1"))) == []
    with pytest.raises(MAXScriptError, match="off its user-interface thread"):
        runtime.execute("1")


def test_reset_keeps_unspecified_settings(tmp_path):
    before = (pymxs.host.maxdata, pymxs.host.tempdir)
    runtime.execute('global x = 1; pushprompt "p"')
    pymxs.host.reset(release_year=2030)
    assert (pymxs.host.maxdata, pymxs.host.tempdir, pymxs.host.release_year) == (*before, 2030)
    assert dict(pymxs.host.globals) == {} and pymxs.host.prompts == []


def _imported_config(env_overrides):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYMXS_")}
    env.update(env_overrides)
    code = (
        "import os, pymxs; rt = pymxs.runtime\n"
        "print(rt.execute('getdir #maxdata')); print(rt.execute('sysinfo.tempdir'))\n"
        "print(rt.maxversion()[7]); print(os.path.isdir(rt.execute('getdir #maxdata')))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        cwd=DEVHOST,
        capture_output=True,
        text=True,
        check=False,
    )
    return result


def test_configuration_from_environment(tmp_path):
    result = _imported_config(
        {
            "PYMXS_MAXDATA": str(tmp_path),
            "PYMXS_TEMPDIR": str(tmp_path / "t"),
            "PYMXS_RELEASE_YEAR": "2025",
        }
    )
    assert result.stdout.splitlines() == [str(tmp_path), f"{tmp_path / 't'}\\", "2025", "True"]

    defaults = _imported_config({}).stdout.splitlines()
    assert defaults[2:] == ["2026", "True"]

    assert "PYMXS_RELEASE_YEAR" in _imported_config({"PYMXS_RELEASE_YEAR": "soon"}).stderr
