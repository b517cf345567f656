"""What a user sees at the end of a check and while a download reports."""

import pytest
from conftest import qt_module

TOKEN_ROUTE = "/license/generate-jwt"
RELEASE_ROUTE = "/license/latest-release"


@pytest.fixture
def open_updater(runs, svc, host):
    """The updater of an automatic run that announced a release: it stays open."""
    svc.script(RELEASE_ROUTE, json={"kolvaren_version": "9.9", "is_mandatory": False})
    updater = runs.run_to_end()
    assert not runs.is_deleted(updater)
    host.prompts.clear()
    return updater


class TestNothingToOffer:
    def test_a_manual_run_warns_once_and_closes(self, runs, svc, host, modal, capsys):
        svc.script(RELEASE_ROUTE, json={"kolvaren_version": "2.3.1"})
        updater = runs.start(True)
        runs.wait_closed(updater)
        assert len(modal.seen) == 1
        box = modal.seen[0]
        message_box = qt_module("QtWidgets").QMessageBox
        assert (box["title"], box["text"]) == ("Kolvaren", "No updates found.")
        assert box["icon"] == message_box.Icon.Warning
        assert box["buttons"] == message_box.StandardButton.Ok
        assert host.globals["kolvaren_manuelupdate"] is False
        assert capsys.readouterr().out == ""

    def test_an_automatic_run_ends_silently_even_on_an_error(self, runs, svc, host, modal, capsys):
        svc.script(TOKEN_ROUTE, body=b"not json", status=200)
        updater = runs.start()
        runs.wait_closed(updater)
        assert modal.seen == []
        assert "kolvaren_manuelupdate" not in host.globals
        assert capsys.readouterr().out == ""
        assert host.prompts == []

    def test_the_code_line_is_written_when_asked_for(self, open_updater, runs, capsys):
        capsys.readouterr()
        open_updater.on_no_update(False, True)
        assert capsys.readouterr().out == "Kolvaren Update Error - Code: None\n"
        runs.wait_closed(open_updater)

    def test_a_failing_host_call_ends_the_slot_before_it_closes(
        self, open_updater, runs, modal, qtbot, monkeypatch
    ):
        import pymxs

        def refuse(runtime, name, value):
            raise pymxs.MAXScriptError(f"-- Unknown system global: {name}")

        monkeypatch.setattr(type(pymxs.runtime), "__setattr__", refuse)
        with pytest.raises(pymxs.MAXScriptError, match="kolvaren_manuelupdate"):
            open_updater.on_no_update(True)
        assert [box["text"] for box in modal.seen] == ["No updates found."]
        qtbot.wait(50)
        assert not runs.is_deleted(open_updater)


class TestDownloadReports:
    def test_progress_pushes_one_prompt_per_value(self, open_updater, host):
        for value in (0, 37, 100):
            open_updater.progress_notification(value)
        assert host.prompts == [
            "Kolvaren - New Version Downloading %0",
            "Kolvaren - New Version Downloading %37",
            "Kolvaren - New Version Downloading %100",
        ]

    def test_status_texts_change_nothing(self, open_updater, host, capsys):
        capsys.readouterr()
        open_updater.status_notification("✅ Installing Successfull.")
        assert host.prompts == [] and capsys.readouterr().out == ""

    def test_an_error_is_written_and_prompted_and_the_run_stays(
        self, open_updater, host, runs, qtbot, capsys
    ):
        capsys.readouterr()
        open_updater.on_error("Kolvaren Update Error - File Path Not Found.")
        assert capsys.readouterr().out == "Kolvaren Update Error - File Path Not Found.\n"
        assert host.prompts == ["Kolvaren Update Failure"]
        qtbot.wait(50)
        assert not runs.is_deleted(open_updater)
