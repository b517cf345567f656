"""A found release from offer to installation: downloaded on a manual run or
when mandatory, otherwise announced; a completed download is recorded,
installed by the host, reported, and the run closes."""

import configparser
from pathlib import Path

import pytest

RELEASE_ROUTE = "/license/latest-release"
DOWNLOAD_ROUTE = "/license/download"
ANNOUNCEMENT = "Kolvaren - New Version 2.4.0 is now available."


def release(**changes):
    record = {
        "kolvaren_version": "2.4.0",
        "release_notes": "New cabinet.",
        "is_silent": False,
        "file_path": "releases/2.4.0/kolvaren-2.4.0.ms",
        "is_mandatory": False,
    }
    record.update(changes)
    return {k: v for k, v in record.items() if v is not ...}


def update_record(host) -> dict:
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(Path(host.tempdir) / "Kolvaren" / "update.ini", encoding="utf-8")
    return dict(parser["LastUpdate"]) if parser.has_section("LastUpdate") else {}


@pytest.fixture
def notes_dialog(tvupd_module, monkeypatch):
    import KolvarenReleasesDialog

    KolvarenReleasesDialog.calls.clear()
    monkeypatch.setattr(tvupd_module, "KolvarenReleasesDialog", KolvarenReleasesDialog)
    return KolvarenReleasesDialog


class TestOffer:
    def test_a_manual_run_installs_a_release_that_is_not_mandatory(
        self, runs, svc, host, tvlib, notes_dialog, capsys
    ):
        updater = runs.start(True)
        runs.wait_closed(updater)
        assert host.globals["kolvaren_installed_version"] == "2.4.0"
        target = str(Path(host.tempdir) / "Kolvaren" / "kolvaren-2.4.0.ms")
        assert host.filein_log == [target]
        assert host.prompts[0] == "Kolvaren - New Version Downloading %0"
        assert host.prompts[-2] == "Kolvaren - New Version Downloading %100"
        assert host.prompts[-1] == "Kolvaren - Version 2.4.0 Update Successfully"
        assert update_record(host) == {
            "FilePath": target,
            "NewVersion": "2.4.0",
            "OldVersion": "2.3.1",
            "Success": "0",
        }
        assert tvlib.load_account()["kolvaren_version"] == "2.4.0"
        assert notes_dialog.calls == ["redi"]
        assert capsys.readouterr().out == ""
        assert [r.path.rsplit("/", 1)[0] for r in svc.requests] == [
            "",
            "/license",
            "/license",
            DOWNLOAD_ROUTE,
        ]

    def test_an_automatic_run_installs_a_mandatory_release_unannounced(
        self, runs, svc, host, capsys
    ):
        svc.script(RELEASE_ROUTE, json=release(is_mandatory=True))
        host.globals  # noqa: B018
        updater = runs.start(False)
        runs.wait_closed(updater)
        assert ANNOUNCEMENT not in host.prompts
        assert capsys.readouterr().out == ""
        assert host.globals["kolvaren_installed_version"] == "2.4.0"

    @pytest.mark.parametrize("mandatory", [False, None, ..., 0, ""])
    def test_an_automatic_run_only_announces(self, runs, svc, host, capsys, mandatory):
        svc.script(RELEASE_ROUTE, json=release(is_mandatory=mandatory, is_silent="yes"))
        updater = runs.run_to_end(False)
        assert capsys.readouterr().out == ANNOUNCEMENT + "\n"
        assert host.globals["kolvaren_updatenotify"] == ANNOUNCEMENT
        assert host.prompts == [ANNOUNCEMENT]
        assert not hasattr(updater, "dl_worker")
        assert updater.is_silent == "yes"
        assert not runs.is_deleted(updater)
        assert [r.path for r in svc.requests][-1] == RELEASE_ROUTE

    def test_a_mandatory_flag_given_as_any_text_counts(self, runs, svc, host):
        svc.script(RELEASE_ROUTE, json=release(is_mandatory="false"))
        updater = runs.start(False)
        runs.wait_closed(updater)
        assert host.globals["kolvaren_installed_version"] == "2.4.0"

    def test_an_announcement_needs_no_path(self, runs, svc, host):
        svc.script(RELEASE_ROUTE, json=release(file_path=...))
        runs.run_to_end(False)
        assert host.prompts == [ANNOUNCEMENT]

    @pytest.mark.parametrize("changes", [{"file_path": ""}, {"file_path": ...}])
    def test_a_download_without_a_path_is_reported(self, runs, svc, host, capsys, changes):
        svc.script(RELEASE_ROUTE, json=release(**changes))
        updater = runs.run_to_end(True)
        assert capsys.readouterr().out == "Kolvaren Update Error - File Path Not Found.\n"
        assert host.prompts == ["Kolvaren Update Failure"]
        assert not hasattr(updater, "dl_worker")
        assert not runs.is_deleted(updater)

    def test_a_download_without_a_token_is_reported_the_same_way(self, runs, host, capsys):
        updater = runs.run_to_end(False)  # announced: the updater stays open
        capsys.readouterr()
        host.prompts.clear()
        updater.on_update_found(True, {"file_path": "x.ms", "jwt_token": "", "version": "1"})
        assert capsys.readouterr().out == "Kolvaren Update Error - File Path Not Found.\n"
        assert host.prompts == ["Kolvaren Update Failure"]
        assert not hasattr(updater, "dl_worker")

    def test_a_refused_download_stops_the_run_with_its_reason(self, runs, svc, host, capsys):
        svc.script(DOWNLOAD_ROUTE, status=404, json={"detail": "File not found"})
        updater = runs.run_to_end(True)
        assert capsys.readouterr().out == "Download Failure: File not found\n"
        assert host.prompts[-1] == "Kolvaren Update Failure"
        assert host.filein_log == []
        assert not runs.is_deleted(updater)


class TestCompletion:
    def test_values_reach_the_record_unchanged(self, runs, svc, host, account):
        # Backslashes, quotes and escape-like pairs must not be read as MAXScript escapes.
        version = 'v2 "beta" \\new\\t%1'
        account(kolvaren_version="C:\\old\\name")
        svc.script(RELEASE_ROUTE, json=release(kolvaren_version=version))
        updater = runs.start(True)
        runs.wait_closed(updater)
        record = update_record(host)
        assert record["NewVersion"] == version
        assert record["OldVersion"] == "C:\\old\\name"
        assert host.prompts[-1] == f"Kolvaren - Version {version} Update Successfully"

    @pytest.mark.qt_no_exception_capture  # the slot's failure reaches the console
    def test_a_failing_package_leaves_the_record_and_the_new_version(
        self, runs, svc, host, tvlib, catalogue, capfd
    ):
        svc.script(DOWNLOAD_ROUTE, body=b"this is ( not MAXScript")
        host.globals  # noqa: B018
        import pymxs

        pymxs.runtime.kolvaren_updatenotify = "announced before"
        updater = runs.run_to_end(True)
        assert update_record(host)["Success"] == "0"
        assert tvlib.load_account()["kolvaren_version"] == "2.4.0"
        assert not any("Update Successfully" in p for p in host.prompts)
        assert host.globals["kolvaren_updatenotify"] == "announced before"
        assert not runs.is_deleted(updater)
        assert "Syntax error" in capfd.readouterr().err

    @pytest.mark.qt_no_exception_capture  # the slot's failure reaches the console
    def test_a_record_without_the_installed_version_stops_before_writing(
        self, runs, svc, host, account, tvlib
    ):
        account({"account": account()["account"]})  # installed version reads as 1.0
        svc.script(RELEASE_ROUTE, json=release(kolvaren_version="2.4"))
        updater = runs.run_to_end(True)
        assert update_record(host) == {}
        assert host.filein_log == []
        assert "kolvaren_version" not in tvlib.load_account()
        assert not runs.is_deleted(updater)

    def test_a_silent_release_shows_no_notes(self, runs, svc, notes_dialog):
        svc.script(RELEASE_ROUTE, json=release(is_silent=True))
        runs.wait_closed(runs.start(True))
        assert notes_dialog.calls == []

    def test_a_host_without_the_notes_dialog_closes_the_run_quietly(
        self, runs, tvupd_module, monkeypatch, console
    ):
        monkeypatch.delattr(tvupd_module, "KolvarenReleasesDialog", raising=False)
        runs.wait_closed(runs.start(True))
        assert console.readouterr().err == ""

    def test_a_failing_notes_dialog_is_reported_and_the_run_closes(
        self, runs, host, tvupd_module, monkeypatch, console
    ):
        class Broken:
            @staticmethod
            def redi():
                raise RuntimeError("dialog broke")

        monkeypatch.setattr(tvupd_module, "KolvarenReleasesDialog", Broken, raising=False)
        runs.wait_closed(runs.start(True))
        assert host.prompts[-1] == "Kolvaren - Version 2.4.0 Update Successfully"
        err = console.readouterr().err
        assert "KolvarenReleasesDialog.redi" in err
        assert "RuntimeError: dialog broke" in err

    def test_a_later_run_overwrites_all_four_keys(self, runs, svc, host):
        runs.wait_closed(runs.start(True))
        svc.script(RELEASE_ROUTE, json=release(kolvaren_version="2.5", file_path="b/2.5.ms"))
        svc.script(DOWNLOAD_ROUTE, body=b'global kolvaren_installed_version = "2.5"')
        runs.wait_closed(runs.start(True))
        assert update_record(host) == {
            "FilePath": str(Path(host.tempdir) / "Kolvaren" / "2.5.ms"),
            "NewVersion": "2.5",
            "OldVersion": "2.4.0",
            "Success": "0",
        }
