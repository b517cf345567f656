"""Values from the release service that try to be more than data: versions and
release notes with quotes, backslashes, line breaks, `%` and MAXScript code,
package paths that climb out of the download folder, and tokens that would
change the download request. Checked by what the stand-in host parsed and
did, what landed on disk, and what the service received."""

import configparser
from pathlib import Path
from urllib.parse import unquote

import pytest
from conftest import ACCOUNT
from pymxs import parser
from test_download import Download
from test_release_check import CheckRun

RELEASE = "/license/latest-release"
TOKEN = "/license/generate-jwt"
DOWNLOAD = "/license/download"
PACKAGE = "releases/2.4.0/kolvaren-2.4.0.ms"

# Each would run code, end a literal early or break a line if spliced raw.
TEXTS = [
    '1.0" ; deleteFile "x',
    '2.5" ; global pwned = "yes',
    '2.5" + (pwned = 1) as string + "',
    '3\\" ; pwned = 1 ; "',
    "C:\\new\\temp\\x\\",
    "line one\nline two\r\nglobal pwned = 1",
    "2.5\n[LastUpdate]\nSuccess=1",
    "100% %s %d %1 \\% ~%",
    'tab\there \\t \\n \\\\ \\x41 @"verbatim"',
    ")\n(pwned = 1)\n(",
]


def literals(node) -> list[str]:
    """The string literals of a parsed MAXScript expression, in source order."""
    if isinstance(node, parser.Literal):
        return [node.value] if isinstance(node.value, str) else []
    if isinstance(node, list | tuple):
        return [text for item in node for text in literals(item)]
    fields = getattr(node, "__slots__", ())
    return [text for name in fields for text in literals(getattr(node, name))]


def commands(host) -> list[list[str]]:
    """Each text the host evaluated, as the literals of its one expression."""
    parsed = [parser.parse(text) for text in host.evaluated]
    assert all(len(expressions) == 1 for expressions in parsed), host.evaluated
    return [literals(expressions[0]) for expressions in parsed]


def ini_text(value: str) -> str:
    return value.replace("\r", " ").replace("\n", " ")


def update_record(host) -> configparser.ConfigParser:
    record = configparser.ConfigParser(interpolation=None, strict=True)
    record.optionxform = str
    record.read(Path(host.tempdir) / "Kolvaren" / "update.ini", encoding="utf-8")
    return record


def release(value, **changes):
    record = {"kolvaren_version": value, "release_notes": value, "file_path": PACKAGE}
    return {**record, **changes}


@pytest.mark.parametrize("value", TEXTS)
def test_a_hostile_version_is_installed_as_data(runs, svc, host, tvlib, record_property, value):
    svc.script(RELEASE, json=release(value))
    svc.script(DOWNLOAD, body=b'global kolvaren_installed = "yes"')
    runs.wait_closed(runs.start(True, -1))  # offers any version but the installed one
    record_property("figure.hostile_inputs", 1)
    assert host.globals["kolvaren_installed"] == "yes"
    assert "pwned" not in host.globals
    target = str(Path(host.tempdir) / "Kolvaren" / Path(PACKAGE).name)
    ini = "\\Kolvaren\\update.ini"
    assert commands(host)[-6:] == [
        [ini, "LastUpdate", "FilePath", target],
        [ini, "LastUpdate", "NewVersion", ini_text(value)],
        [ini, "LastUpdate", "OldVersion", "2.3.1"],
        [ini, "LastUpdate", "Success", "0"],
        [f"Kolvaren - Version {value} Update Successfully"],
        [],
    ]
    assert host.prompts[-1] == f"Kolvaren - Version {value} Update Successfully"
    # One section, four keys: no line of the version became a line of the file.
    record = update_record(host)
    assert record.sections() == ["LastUpdate"]
    assert dict(record["LastUpdate"]) == {
        "FilePath": target,
        "NewVersion": ini_text(value).strip(),
        "OldVersion": "2.3.1",
        "Success": "0",
    }
    assert tvlib.load_account()["kolvaren_version"] == value


@pytest.mark.parametrize("value", TEXTS)
def test_a_hostile_version_is_announced_as_data(runs, svc, host, capsys, record_property, value):
    svc.script(RELEASE, json=release(value))
    runs.run_to_end(False, -1)
    record_property("figure.hostile_inputs", 1)
    announcement = f"Kolvaren - New Version {value} is now available."
    assert commands(host)[-1] == [announcement]
    assert host.globals["kolvaren_updatenotify"] == announcement
    assert host.prompts == [announcement]
    assert capsys.readouterr().out == announcement + "\n"
    assert "pwned" not in host.globals


def test_release_notes_and_members_reach_the_payload_verbatim(
    tvupd_module, qtbot, host, svc, account, record_property
):
    worker_class = tvupd_module.KolvarenUpdater.CheckWorker
    for value in TEXTS:
        svc.script(RELEASE, json=release("9", release_notes=value, file_path=value))
        name, (_, payload) = CheckRun(worker_class, qtbot, True).signal
        assert name == "update_found"
        assert (payload["release_notes"], payload["file_path"]) == (value, value)
    record_property("figure.hostile_inputs", len(TEXTS))


# A package path from the service, and the name it is stored under in the
# download folder (None: refused, nothing written).
PATHS = {
    "..\\..\\evil.ms": "evil.ms",
    "../../evil.ms": "evil.ms",
    "/etc/evil.ms": "evil.ms",
    "C:\\x\\evil.ms": "evil.ms",
    "C:evil.ms": "evil.ms",
    "a/b\\evil.ms": "evil.ms",
    "\\\\server\\share\\evil.ms": "evil.ms",
    'releases/ev il%20".ms': 'ev il%20".ms',
    "a/D:evil.ms": None,  # a drive on Windows, a stream name on NTFS
    "a\\..": None,
    "a/./": None,
    "evil.ms\x00.txt": None,
}


def files_under(root: Path) -> set[Path]:
    return {p for p in root.rglob("*") if p.is_file()}


@pytest.mark.parametrize("file_path", list(PATHS))
def test_a_package_path_stays_in_the_download_folder(
    tvupd_module, qtbot, host, svc, tmp_path, record_property, file_path
):
    folder = Path(host.tempdir) / "Kolvaren"
    before = files_under(tmp_path)
    svc.script(DOWNLOAD, body=b"-- package")
    token = svc.issue_token(ACCOUNT["email"], "pro")
    run = Download(tvupd_module.KolvarenUpdater.DownloadWorker, qtbot, file_path, token)
    record_property("figure.hostile_inputs", 1)
    assert svc.requests[0].query == [("file_path", file_path)]
    name = PATHS[file_path]
    if name is None:
        # (A NUL ends the message early, after the folder's name.)
        assert run.error.startswith(f"Download Error: cannot write the package to {folder}")
        assert files_under(tmp_path) == before
    else:
        assert run.result["target_path"] == str(folder / name)
        assert files_under(tmp_path) - before == {folder / name}


# Tokens that would move the request elsewhere, add to its query, lose it to
# a fragment, or break the request line, if appended to the path raw.
TOKENS = [
    "a/b",
    "../../health",
    "..",
    ".",
    "t?file_path=/etc/passwd",
    "t#fragment",
    "t%2F..%2Fx",
    "t k n",
    "t\r\nX-Injected: 1",
    "t;x=1&y",
]


@pytest.mark.parametrize("token", TOKENS)
def test_a_token_stays_one_segment_of_the_download_path(
    tvupd_module, qtbot, host, svc, record_property, token
):
    svc.script(DOWNLOAD, body=b"-- package")
    run = Download(tvupd_module.KolvarenUpdater.DownloadWorker, qtbot, PACKAGE, token)
    record_property("figure.hostile_inputs", 1)
    assert run.result["version"] == "2.4.0"
    (request,) = svc.requests
    prefix = DOWNLOAD + "/"
    assert request.path.startswith(prefix) and "/" not in request.path[len(prefix) :]
    assert unquote(request.path[len(prefix) :]) == token
    assert request.query == [("file_path", PACKAGE)]
    assert request.header("X-Injected") is None


def test_a_token_with_a_line_break_never_becomes_a_header(
    tvupd_module, qtbot, host, svc, account, record_property
):
    svc.script(TOKEN, json={"jwt_token": "t\r\nX-Injected: 1"})
    name, (_, _, text) = CheckRun(tvupd_module.KolvarenUpdater.CheckWorker, qtbot).signal
    record_property("figure.hostile_inputs", 1)
    assert (name, text) == ("no_update", "the header Authorization contains a line break")
    assert [r.path for r in svc.requests] == [TOKEN]
