"""The type stubs describe the built modules: the same names, parameters and defaults, the
same classes, methods, signals and instance attributes, and they are installed beside them."""

from __future__ import annotations

import ast
import functools
import importlib
import inspect
import re
from pathlib import Path

import pytest
from conftest import REPO, qt_module

MODULES = ("tvupd", "tvcore")
# Module attributes that exist only some of the time: the latest run's updater (after the
# first run) and the host's release-notes module (when the host carries one).
SOMETIMES = {"tvupddialog", "KolvarenReleasesDialog"}
DOWNLOAD_ROUTE = "/license/download"


def stub(name: str) -> ast.Module:
    return ast.parse((REPO / "src/tvlib" / f"{name}.pyi").read_text(encoding="utf-8"))


def members(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    found: dict[str, ast.stmt] = {}
    for node in body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            found[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found[node.target.id] = node
    return found


def is_signal(node: ast.stmt) -> bool:
    return isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "ClassVar[Signal]"


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str | None]]:
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    pairs = zip(args, defaults, strict=True)
    return [(a.arg, None if d is None else ast.unparse(d)) for a, d in pairs]


def runtime_parameters(function) -> list[tuple[str, str | None]]:
    """From inspect where Python knows the signature, else from pybind11's docstring."""
    try:
        signature = inspect.signature(function)
    except ValueError:
        first_line = function.__doc__.splitlines()[0]
        inside = re.fullmatch(r"\w+\((.*)\) -> .*", first_line).group(1)
        parameters = []
        for part in filter(None, inside.split(", ")):
            name, _, default = part.partition(" = ")
            parameters.append((name.split(":")[0], default or None))
        return parameters
    return [
        (p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
        for p in signature.parameters.values()
    ]


def stub_classes(tree: ast.Module) -> dict[str, ast.ClassDef]:
    """Every class of the stub by its qualified name, nested ones too."""
    found = {}
    pending = [(node, "") for node in tree.body]
    while pending:
        node, prefix = pending.pop()
        if isinstance(node, ast.ClassDef):
            found[prefix + node.name] = node
            pending += [(inner, f"{prefix}{node.name}.") for inner in node.body]
    return found


def built_class(module, qualified: str):
    return functools.reduce(getattr, qualified.split("."), module)


@pytest.fixture(params=MODULES)
def pair(request, tvlib):
    """(stub tree, built module) of one module."""
    return stub(request.param), importlib.import_module(f"tvlib.{request.param}")


def test_the_stubs_are_installed_beside_the_modules(tvlib):
    package = Path(tvlib.__file__).parent
    assert (package / "py.typed").is_file()
    for name in MODULES:
        installed = (package / f"{name}.pyi").read_text(encoding="utf-8")
        assert installed == (REPO / "src/tvlib" / f"{name}.pyi").read_text(encoding="utf-8")


def test_the_stub_names_what_the_module_has(pair):
    tree, module = pair
    declared = set(members(tree.body))
    present = {name for name in vars(module) if not name.startswith("__")}
    public = {name for name in present if not name.startswith("_")}
    assert public - declared == set()
    assert declared - present <= SOMETIMES


def test_functions_take_the_declared_parameters(pair):
    tree, module = pair
    functions = [n for n in members(tree.body).values() if isinstance(n, ast.FunctionDef)]
    assert functions
    for function in functions:
        built = getattr(module, function.name)
        assert runtime_parameters(built) == stub_parameters(function), function.name


def test_classes_have_the_declared_methods_signals_and_nested_classes(pair):
    tree, module = pair
    signal_type = qt_module("QtCore").Signal
    for name, node in stub_classes(tree).items():
        cls = built_class(module, name)
        declared = members(node.body)
        own = {n: v for n, v in vars(cls).items() if n == "__init__" or not n.startswith("_")}
        methods = {n for n, v in own.items() if inspect.isfunction(v)}
        signals = {n for n, v in own.items() if isinstance(v, signal_type)}
        classes = {n for n, v in own.items() if inspect.isclass(v)}
        stub_methods = {n for n, d in declared.items() if isinstance(d, ast.FunctionDef)}
        assert methods == stub_methods, name
        assert signals == {n for n, d in declared.items() if is_signal(d)}, name
        assert classes == {n for n, d in declared.items() if isinstance(d, ast.ClassDef)}, name
        for method in stub_methods:
            expected = stub_parameters(declared[method])
            assert runtime_parameters(getattr(cls, method)) == expected, f"{name}.{method}"


def instance_attributes(obj) -> set[str]:
    signal_instance = qt_module("QtCore").SignalInstance
    return {
        name
        for name, value in vars(obj).items()
        if not name.startswith("_") and not isinstance(value, signal_instance)
    }


def declared_attributes(module: str, qualified: str) -> set[str]:
    node = stub_classes(stub(module))[qualified]
    return {
        name
        for name, d in members(node.body).items()
        if isinstance(d, ast.AnnAssign) and not is_signal(d)
    }


def test_a_stopped_run_holds_the_declared_attributes(runs, svc, tvupd_module):
    # A refused download stops the run with its updater open and both workers made.
    svc.script(DOWNLOAD_ROUTE, status=404, json={"detail": "File not found"})
    updater = runs.run_to_end(True)
    assert instance_attributes(updater) == declared_attributes("tvupd", "KolvarenUpdater")
    for worker, qualified in (
        (updater.check_worker, "KolvarenUpdater.CheckWorker"),
        (updater.dl_worker, "KolvarenUpdater.DownloadWorker"),
    ):
        assert instance_attributes(worker) == declared_attributes("tvupd", qualified)


def test_the_preferences_window_holds_the_declared_attributes(tvlib, host, tmp_path, qapp):
    plugin = tmp_path / "start"
    plugin.mkdir()
    (plugin / "kolvaren.ini").write_text("[Settings]\nAutoUpdate=1\n")
    (tmp_path / "maxdata/Plugin.UserSettings.ini").write_text(f"[Directories]\nKolvaren={plugin}")
    tvlib.sast()
    window = tvlib.show_update_preferences()
    try:
        declared = declared_attributes("tvcore", "KolvarenPreferences")
        assert instance_attributes(window) == declared
    finally:
        window.close()
