"""The update preferences window against the stand-in host, real files and real boxes."""

import importlib
import shutil

import pytest
from conftest import QT6, qt_module

ON, OFF = "Auto Update ✅", "Auto Update ❌"
Box = qt_module("QtWidgets").QMessageBox
INFO = Box.Icon.Information


@pytest.fixture
def ini(tvlib, host, tmp_path):
    """kolvaren.ini of the started plug-in."""
    path = tmp_path / "start/kolvaren.ini"
    path.parent.mkdir()
    (tmp_path / "maxdata/Plugin.UserSettings.ini").write_text(
        f"[Directories]\nKolvaren={path.parent}"
    )
    tvlib.sast()
    return path


def store(ini, value):
    ini.write_text("[Settings]\n" + ("" if value is None else f"AutoUpdate={value}\n"))


def stored(ini):
    return ini.read_text().partition("AutoUpdate=")[2].strip()


@pytest.fixture
def window(tvlib, ini, qapp):
    """Opens the window on a stored "AutoUpdate"; closes it after the test."""
    opened = []

    def open_on(value):
        store(ini, value)
        opened.append(tvlib.show_update_preferences())
        return opened[-1]

    yield open_on
    shiboken = importlib.import_module("shiboken6" if QT6 else "shiboken2")
    for each in filter(shiboken.isValid, opened):
        each.close()


def boxes(modal):
    return [(b["title"], b["text"], b["icon"], b["parent"]) for b in modal.seen]


@pytest.mark.parametrize(("value", "caption"), [("2", ON), ('" 1 "', ON), ("-1", ON), ("+00", OFF)])
def test_the_stored_value_is_read_as_a_decimal_integer(window, value, caption):
    assert window(value).autoupdate_btn.text() == caption


@pytest.mark.parametrize("value", [None, "1_0", "١", "1.0", "0x1"])  # None: no key at all
def test_anything_else_fails_before_the_window_is_made(window, value):
    with pytest.raises(ValueError, match="AutoUpdate"):
        window(value)


def test_one_window_with_its_button_column(window, tvlib):
    opened = window("1")
    assert (type(opened).__name__, opened.windowTitle()) == (
        "KolvarenPreferences",
        "Kolvaren - Update Preferences",
    )
    column = opened.centralWidget().layout()
    buttons = [opened.autoupdate_btn, opened.downloadprevious_btn]
    assert [column.itemAt(i).widget() for i in (0, 1)] == buttons
    assert buttons[1].text() == "Download The Previous Version"
    assert tvlib.show_update_preferences() is opened
    opened.close()  # deleted only when the event loop runs again
    assert window("1") is not opened


@pytest.mark.parametrize(  # width, height, margin, spacing, button height, font pixels
    ("dpi", "sizes"), [(96.0, (320, 114, 16, 10, 36, 13)), (110.5, (368, 131, 18, 11, 41, 14))]
)
def test_sizes_follow_the_scale_truncated_one_by_one(window, monkeypatch, dpi, sizes):
    monkeypatch.setattr(qt_module("QtGui").QScreen, "logicalDotsPerInch", lambda self: dpi)
    opened = window("1")
    column = opened.centralWidget().layout()
    margin, button = column.contentsMargins().left(), opened.autoupdate_btn.height()
    measured = (opened.width(), opened.height(), margin, column.spacing(), button)
    assert (*measured, opened.font().pixelSize()) == sizes


@pytest.mark.parametrize(("value", "after"), [("2", "01"), ('" 1 "', "01"), ("0", "10")])
def test_switching_twice(window, ini, modal, value, after):
    opened = window(value)
    for written in after:
        opened.autoupdate_btn.click()
        assert (stored(ini), opened.autoupdate_btn.text()) == (written, [OFF, ON][int(written)])
    texts = {"0": "Auto Update Deactivated ❌", "1": "Auto Update Activated ✅"}
    assert boxes(modal) == [("Kolvaren", texts[w], INFO, None) for w in after]


def test_a_missing_settings_folder_is_only_a_message(window, ini, modal):
    opened = window("1")
    shutil.rmtree(ini.parent)
    opened.autoupdate_btn.click()
    assert boxes(modal) == [("Kolvaren", "kolvaren.ini file doesnt found.", INFO, None)]
    assert (ini.parent.exists(), opened.autoupdate_btn.text()) == (False, ON)


def test_a_missing_key_fails_before_anything_is_written(window, ini, modal):
    opened = window("1")
    store(ini, None)
    with pytest.raises(ValueError, match="AutoUpdate"):
        opened.change_autoupdate()
    assert (ini.read_text(), modal.seen, opened.autoupdate_btn.text()) == ("[Settings]\n", [], ON)


@pytest.fixture
def entries(tvlib, monkeypatch, ini):
    """Calls of the package's tvupd, with the "AutoUpdate" stored at that moment."""
    calls = []
    monkeypatch.setattr(tvlib, "tvupd", lambda *args, **kw: calls.append((args, kw, stored(ini))))
    return calls


@pytest.mark.parametrize("answer", ["No", "Yes"])
def test_the_question_before_the_previous_release(window, ini, modal, entries, answer):
    opened = window("1")
    modal.answer(answer)
    opened.downloadprevious_btn.click()
    (box,) = modal.seen
    question = "Automatic updates will be disabled. Do you want to continue?"
    assert (box["title"], box["text"], box["parent"]) == ("Kolvaren", question, opened)
    assert box["buttons"] == Box.StandardButton.Yes | Box.StandardButton.No
    expected = ([], "1", ON) if answer == "No" else ([((True, -1), {}, "0")], "0", OFF)
    assert (entries, stored(ini), opened.autoupdate_btn.text()) == expected


def test_a_refused_write_starts_nothing(window, ini, modal, entries):
    opened = window("1")
    shutil.rmtree(ini.parent)
    modal.answer("Yes")
    with pytest.raises(RuntimeError, match="could not write"):
        opened.download_previous()
    assert (entries, opened.autoupdate_btn.text()) == ([], ON)


def test_the_previous_release_is_installed_when_already_off(
    window, ini, runs, account, svc, modal, host
):
    account(kolvaren_version="2.4.0")  # so that 2.3.1 is offered
    opened = window("0")
    modal.answer("Yes")
    opened.downloadprevious_btn.click()
    runs.wait_workers()
    (query,) = [r.query for r in svc.requests if r.path == "/license/latest-release"]
    assert query[-1] == ("version_offset", "-1")
    assert (stored(ini), opened.autoupdate_btn.text()) == ("0", OFF)
    runs.qtbot.waitUntil(lambda: host.globals.get("kolvaren_installed_version") == "2.3.1")
