"""The host functions and interfaces scripts call.

Each built-in takes ``(interpreter, args, kwargs)``. Configuration and records live on
``interpreter.host``. Paths that scripts build with backslashes are Windows paths; on a POSIX
machine every file built-in maps backslashes to slashes before touching the file system.
"""

from __future__ import annotations

import os
import runpy
import sys

from . import inifile
from .errors import MAXScriptError, runtime_error
from .values import OK, Array, Builtin, Interface, Name, is_number, mxs_repr


def fs_path(path: str) -> str:
    """The file-system path for a path as a script wrote it."""
    return path.replace("\\", "/") if os.sep == "/" else path


def _arity(name: str, args: list, kwargs: dict, *counts: int) -> None:
    if kwargs:
        keys = ", ".join(key + ":" for key in kwargs)
        raise MAXScriptError(f"-- Argument error: {name} does not take keyword arguments: {keys}")
    if len(args) not in counts:
        wanted = " or ".join(str(count) for count in counts)
        raise MAXScriptError(f"-- Argument count error: {name} wanted {wanted}, got {len(args)}")


def _string(value: object) -> str:
    if not isinstance(value, str):
        raise MAXScriptError(f"-- Unable to convert: {mxs_repr(value)} to type: String")
    return value


def _getinisetting(interp, args, kwargs):
    _arity("getINISetting", args, kwargs, 1, 2, 3)
    path = fs_path(_string(args[0]))
    if len(args) == 1:
        return Array(inifile.read_sections(path))
    if len(args) == 2:
        return Array(inifile.read_keys(path, _string(args[1])))
    return inifile.read_value(path, _string(args[1]), _string(args[2]))


def _setinisetting(interp, args, kwargs):
    _arity("setINISetting", args, kwargs, 4)
    path, section, key, value = (_string(arg) for arg in args)
    return inifile.write_value(fs_path(path), section, key, value)


def _doesfileexist(interp, args, kwargs):
    _arity("doesFileExist", args, kwargs, 1)
    return os.path.exists(fs_path(_string(args[0])))


def _folder(path: str) -> str:
    # Configured folders may come with a trailing separator; the host's never do.
    return path.rstrip("/\\") or path


def _getdir(interp, args, kwargs):
    _arity("getDir", args, kwargs, 1)
    which = args[0]
    if not isinstance(which, Name):
        raise MAXScriptError(f"-- Unable to convert: {mxs_repr(which)} to type: Name")
    if which.key == "maxdata":
        return _folder(interp.host.maxdata)
    if which.key == "temp":
        return _folder(interp.host.tempdir)
    raise runtime_error(f"getDir: directory {mxs_repr(which)} is not known to the stand-in")


def _tempdir(interp):
    # The host hands this one out with a trailing backslash.
    return _folder(interp.host.tempdir) + "\\"


def _read_script(path: str) -> str:
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def _filein(interp, args, kwargs):
    _arity("fileIn", args, kwargs, 1)
    path = _string(args[0])
    interp.host.filein_log.append(path)
    try:
        text = _read_script(fs_path(path))
    except OSError:
        raise runtime_error(f"FileIn: can't open file - {mxs_repr(path)}") from None
    return interp.run_text(text, path)


def _executefile(interp, args, kwargs):
    _arity("python.ExecuteFile", args, kwargs, 1)
    path = _string(args[0])
    interp.host.python_files.append(path)
    real = fs_path(path)
    if not os.path.isfile(real):
        raise runtime_error(f"python.ExecuteFile: can't open file - {mxs_repr(path)}")
    try:
        runpy.run_path(real, run_name="__main__")
    except Exception as exc:
        raise runtime_error(
            f"python.ExecuteFile: {mxs_repr(path)} raised {type(exc).__name__}: {exc}"
        ) from exc
    return True


def _execute(interp, args, kwargs):
    _arity("execute", args, kwargs, 1)
    text = _string(args[0])
    interp.host.evaluated.append(text)
    return interp.run_text(text)


def _pushprompt(interp, args, kwargs):
    _arity("pushPrompt", args, kwargs, 1)
    interp.host.prompts.append(_string(args[0]))
    return True


def _popprompt(interp, args, kwargs):
    _arity("popPrompt", args, kwargs, 0)
    if interp.host.prompts:
        interp.host.prompts.pop()
    return True


def _displaytempprompt(interp, args, kwargs):
    _arity("displayTempPrompt", args, kwargs, 2)
    text, milliseconds = _string(args[0]), args[1]
    if not is_number(milliseconds):
        raise MAXScriptError(f"-- Unable to convert: {mxs_repr(milliseconds)} to type: Integer")
    interp.host.temp_prompts.append((text, int(milliseconds)))
    return OK


def _format(interp, args, kwargs):
    # The Listener is the interpreter's standard output; "to:" streams are not stood in for.
    if kwargs:
        keys = ", ".join(key + ":" for key in kwargs)
        raise MAXScriptError(f"-- Argument error: format does not take keyword arguments: {keys}")
    if not args:
        raise MAXScriptError("-- Argument count error: format wanted at least 1, got 0")
    pieces = _string(args[0]).split("%")
    values = args[1:]
    if len(values) < len(pieces) - 1:
        raise runtime_error("format: more % in the format text than values given")
    # Strings go in as they are, everything else as the Listener prints it.
    texts = [value if isinstance(value, str) else mxs_repr(value) for value in values]
    # Values beyond the last % are not written.
    joined = zip(texts, pieces[1:], strict=False)
    out = pieces[0] + "".join(text + piece for text, piece in joined)
    sys.stdout.write(out)
    sys.stdout.flush()
    return OK


def _maxversion(interp, args, kwargs):
    _arity("maxVersion", args, kwargs, 0)
    year = interp.host.release_year
    major = year - 1998  # 2025 is the host's release 27
    return Array([major * 1000, 52 + max(0, year - 2025), 0, major, 0, 0, 0, year, ""])


def _name(interp, args, kwargs):
    # So that Python code can write runtime.Name("maxdata") as it does against the host.
    _arity("Name", args, kwargs, 1)
    return Name(_string(args[0]))


def make_builtins() -> dict[str, object]:
    functions = {
        "getINISetting": _getinisetting,
        "setINISetting": _setinisetting,
        "doesFileExist": _doesfileexist,
        "getDir": _getdir,
        "fileIn": _filein,
        "execute": _execute,
        "pushPrompt": _pushprompt,
        "popPrompt": _popprompt,
        "displayTempPrompt": _displaytempprompt,
        "format": _format,
        "maxVersion": _maxversion,
        "Name": _name,
    }
    table: dict[str, object] = {
        name.lower(): Builtin(name, impl) for name, impl in functions.items()
    }
    table["sysinfo"] = Interface("sysinfo", {"tempdir": _tempdir}, {})
    table["python"] = Interface(
        "python", {}, {"executefile": Builtin("python.ExecuteFile", _executefile)}
    )
    return table
