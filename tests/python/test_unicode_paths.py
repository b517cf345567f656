"""Folders and package names outside ASCII, as Windows users have them: the
temporary folder, the release's file name and the account file keep every
character, and what is written there comes out byte for byte."""

import json
import re

import pytest
from conftest import HOST_YEAR, write_package

RELEASE_ROUTE = "/license/latest-release"

NAMES = {
    "turkish": "Şükrü Işık çağ",
    "greek": "Γιώργος Παπαδόπουλος",
    "cjk": "資料 フォルダ 한국어",
}


@pytest.fixture(params=list(NAMES.values()), ids=list(NAMES))
def name(request):
    return request.param


@pytest.fixture
def user_temp(host, tmp_path, monkeypatch, name):
    """The host's and the process's temporary folder inside the user's folder."""
    temp = tmp_path / name / "AppData Local Temp"
    temp.mkdir(parents=True)
    host.reset(maxdata=tmp_path / "maxdata", tempdir=temp, release_year=HOST_YEAR)
    monkeypatch.setenv("TMPDIR", str(temp))
    return temp


@pytest.fixture
def release_package(svc, tmp_path, monkeypatch, name):
    """A package of the release service whose file name carries `name`."""
    folder = tmp_path / "served"
    folder.mkdir()
    package = write_package(folder, "2.4.0")
    package = package.rename(folder / f"{name} kolvaren 2.4.0.ms")
    file_path = f"releases/2.4.0/{package.name}"
    # The session's catalogue learns one more package for this test.
    monkeypatch.setitem(svc.catalogue._packages, file_path, package)
    release = {
        "kolvaren_version": "2.4.0",
        "release_notes": f"Notes for {name}.",
        "is_silent": False,
        "file_path": file_path,
        "is_mandatory": False,
    }
    svc.script(RELEASE_ROUTE, json=release)
    return package


def test_an_update_run_keeps_every_character_of_folder_and_package(
    runs, svc, host, tvlib, user_temp, release_package
):
    updater = runs.start(True)
    runs.wait_closed(updater)

    target = user_temp / "Kolvaren" / release_package.name
    assert target.read_bytes() == release_package.read_bytes()
    assert host.filein_log == [str(target)]
    assert host.globals["kolvaren_installed_version"] == "2.4.0"
    ini = (user_temp / "Kolvaren" / "update.ini").read_bytes()
    assert f"FilePath={target}".encode() in ini
    assert sorted(p.name for p in (user_temp / "Kolvaren").iterdir()) == sorted(
        [release_package.name, "update.ini"]
    )
    # The query carried the name as UTF-8, percent-encoded, not a code page's bytes.
    (download,) = [r for r in svc.requests if r.path.startswith("/license/download")]
    assert download.query_value("file_path") == f"releases/2.4.0/{release_package.name}"


RECORD = {
    "account": {"email": "şükrü@kolvaren.invalid", "name": "資料 Γιώργος"},
    "kolvaren_version": "2.3.1",
}


class TestAccountRecord:
    @staticmethod
    def expected_bytes(record):
        return (json.dumps(record, ensure_ascii=False, indent=2) + "\n").encode()

    def test_the_chosen_account_file_is_written_and_read_byte_exact(
        self, tvlib, tmp_path, monkeypatch, name
    ):
        path = tmp_path / name / "account record.json"
        monkeypatch.setenv("KOLVAREN_ACCOUNT_FILE", str(path))
        tvlib.save_account(RECORD)
        assert path.read_bytes() == self.expected_bytes(RECORD)
        assert tvlib.load_account() == RECORD
        assert [p.name for p in path.parent.iterdir()] == [path.name]

    def test_the_default_account_file_lies_in_a_non_ascii_config_folder(
        self, tvlib, tmp_path, monkeypatch, name
    ):
        monkeypatch.delenv("KOLVAREN_ACCOUNT_FILE", raising=False)
        config = tmp_path / name / "config"
        monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
        tvlib.save_account(RECORD)
        path = config / "kolvaren" / "account.json"
        assert path.read_bytes() == self.expected_bytes(RECORD)

    def test_an_unreadable_record_is_reported_with_its_full_path(
        self, tvlib, tmp_path, monkeypatch, name
    ):
        path = tmp_path / name / "account.json"
        path.parent.mkdir()
        path.write_bytes(b"[]")
        monkeypatch.setenv("KOLVAREN_ACCOUNT_FILE", str(path))
        with pytest.raises(ValueError, match=re.escape(str(path))):
            tvlib.load_account()
