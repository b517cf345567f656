"""The update preferences window against the stand-in host, real files and real boxes."""

import importlib
import shutil

import pytest
from conftest import QT6, qt_module

ON, OFF = "Auto Update ✅", "Auto Update ❌"
QUESTION = "Automatic updates will be disabled. Do you want to continue?"
shiboken = importlib.import_module("shiboken6" if QT6 else "shiboken2")
Box = qt_module("QtWidgets").QMessageBox


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
    """Writes "AutoUpdate" as the user left it; None leaves the key out."""
    ini.write_text("[Settings]\n" + ("" if value is None else f"AutoUpdate={value}\n"))


@pytest.fixture
def window(tvlib, ini, qapp):
    """Opens the window on a stored value; closes it after the test."""
    opened = []

    def open_on(value):
        store(ini, value)
        opened.append(tvlib.show_update_preferences())
        return opened[-1]

    yield open_on
    for each in opened:
        if shiboken.isValid(each):
            each.close()


def stored(ini):
    return ini.read_text().partition("AutoUpdate=")[2].strip()


def boxes(modal):
    return [(b["title"], b["text"], b["icon"], b["parent"]) for b in modal.seen]


@pytest.mark.parametrize(
    ("value", "caption"),
    [("2", ON), ('" 1 "', ON), ("-1", ON), ("007", ON), ("+0", OFF), ("-00", OFF)],
)
def test_the_stored_value_as_an_integer(window, value, caption):
    assert window(value).autoupdate_btn.text() == caption


@pytest.mark.parametrize("value", [None, "", "1_0", "yes", "1.0", "0x1", "١", '"1 2"'])
def test_anything_else_is_no_integer(window, value):
    with pytest.raises(ValueError, match="AutoUpdate"):
        window(value)


def test_the_window(window, tvlib):
    opened = window("1")
    assert (type(opened).__name__, opened.windowTitle()) == (
        "KolvarenPreferences",
        "Kolvaren - Update Preferences",
    )
    column = opened.centralWidget().layout()
    assert [column.itemAt(i).widget() for i in (0, 1)] == [
        opened.autoupdate_btn,
        opened.downloadprevious_btn,
    ]
    assert opened.downloadprevious_btn.text() == "Download The Previous Version"
    assert tvlib.show_update_preferences() is opened
    opened.close()  # deleted only when the event loop runs again
    assert window("1") is not opened


# (logical DPI, window width and height, margin, spacing, button height, font pixels)
@pytest.mark.parametrize(
    "dpi, sizes",
    [
        (96.0, (320, 114, 16, 10, 36, 13)),
        (110.5, (368, 131, 18, 11, 41, 14)),
        (144.0, (480, 171, 24, 15, 54, 19)),
    ],
)
def test_sizes_follow_the_scale_truncated_one_by_one(window, monkeypatch, dpi, sizes):
    monkeypatch.setattr(qt_module("QtGui").QScreen, "logicalDotsPerInch", lambda self: dpi)
    opened = window("1")
    column = opened.centralWidget().layout()
    assert (
        opened.width(),
        opened.height(),
        column.contentsMargins().left(),
        column.spacing(),
        opened.autoupdate_btn.height(),
        opened.font().pixelSize(),
    ) == sizes


@pytest.mark.parametrize(
    ("value", "after"), [("2", ["0", "1"]), ('" 1 "', ["0", "1"]), ("0", ["1", "0"])]
)
def test_switching_twice(window, ini, modal, value, after):
    opened = window(value)
    for written in after:
        opened.autoupdate_btn.click()
        assert stored(ini) == written
        assert opened.autoupdate_btn.text() == (ON if written == "1" else OFF)
    information = Box.Icon.Information
    assert boxes(modal) == [
        (
            "Kolvaren",
            f"Auto Update {'Activated ✅' if w == '1' else 'Deactivated ❌'}",
            information,
            None,
        )
        for w in after
    ]


def test_a_missing_settings_folder_is_only_a_message(window, ini, modal):
    opened = window("1")
    shutil.rmtree(ini.parent)
    opened.autoupdate_btn.click()
    assert boxes(modal) == [
        ("Kolvaren", "kolvaren.ini file doesnt found.", Box.Icon.Information, None)
    ]
    assert not ini.parent.exists()
    assert opened.autoupdate_btn.text() == ON


@pytest.mark.parametrize("lose", ["the key", "the file"])
def test_no_value_fails_before_anything_is_written(window, ini, modal, lose):
    opened = window("1")
    if lose == "the key":
        store(ini, None)
    else:
        ini.unlink()
    before = ini.read_text() if ini.exists() else None
    with pytest.raises(ValueError, match="AutoUpdate"):
        opened.change_autoupdate()
    assert (ini.read_text() if ini.exists() else None) == before
    assert (modal.seen, opened.autoupdate_btn.text()) == ([], ON)


@pytest.fixture
def entries(tvlib, monkeypatch, ini):
    """Calls of the package's tvupd, with what was stored and shown at that moment."""
    calls = []
    monkeypatch.setattr(
        tvlib, "tvupd", lambda *args, **kwargs: calls.append((args, kwargs, stored(ini)))
    )
    return calls


@pytest.mark.parametrize("answer", ["No", "Yes"])
def test_the_question_before_the_previous_release(window, ini, modal, entries, answer):
    opened = window("1")
    modal.answer(answer)
    opened.downloadprevious_btn.click()
    (box,) = modal.seen
    assert (box["title"], box["text"], box["parent"]) == ("Kolvaren", QUESTION, opened)
    assert box["buttons"] == Box.StandardButton.Yes | Box.StandardButton.No
    if answer == "No":
        assert (entries, stored(ini), opened.autoupdate_btn.text()) == ([], "1", ON)
    else:
        assert (entries, opened.autoupdate_btn.text()) == ([((True, -1), {}, "0")], OFF)


def test_a_refused_write_claims_nothing(window, ini, modal, entries):
    opened = window("1")
    shutil.rmtree(ini.parent)
    modal.answer("Yes")
    with pytest.raises(RuntimeError, match="could not write"):
        opened.download_previous()
    assert (entries, opened.autoupdate_btn.text()) == ([], ON)


def test_the_previous_release_is_fetched_when_already_off(
    window, ini, runs, account, svc, modal, host
):
    account(kolvaren_version="2.4.0")
    opened = window("0")
    modal.answer("Yes")
    opened.downloadprevious_btn.click()
    runs.wait_workers()
    (query,) = [r.query for r in svc.requests if r.path == "/license/latest-release"]
    assert query[-1] == ("version_offset", "-1")
    assert (stored(ini), opened.autoupdate_btn.text()) == ("0", OFF)
    runs.qtbot.waitUntil(lambda: host.globals.get("kolvaren_installed_version") == "2.3.1")
