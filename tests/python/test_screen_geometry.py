"""gescre(): the primary screen's usable area and its scale against 96 DPI."""

import pytest
from conftest import QT6, qt_module, run_in_host


def test_the_usable_area_and_scale_are_read_afresh_at_every_call(tvlib, qapp, monkeypatch):
    screen_class = qt_module("QtGui").QScreen
    rect = qt_module("QtCore").QRect
    # The whole screen is larger than its usable area (a task bar takes the rest).
    monkeypatch.setattr(screen_class, "geometry", lambda self: rect(0, 0, 1920, 1080))
    for size, dpi, expected in (
        ((1920, 1040), 96.0, 1.0),
        ((1880, 1000), 110.5, 110.5 / 96),
        ((1280, 680), 144.0, 1.5),
    ):
        monkeypatch.setattr(screen_class, "availableGeometry", lambda self, s=size: rect(0, 0, *s))
        monkeypatch.setattr(screen_class, "logicalDotsPerInch", lambda self, dpi=dpi: dpi)
        width, height, scale = tvlib.gescre()
        assert (width, height, scale) == (*size, expected)
        assert (type(width), type(height), type(scale)) == (int, int, float)


def test_no_primary_screen_is_a_clear_error(tvlib, qapp, monkeypatch):
    application = qt_module("QtWidgets").QApplication
    monkeypatch.setattr(application, "primaryScreen", lambda *args: None)
    with pytest.raises(RuntimeError, match="no primary screen"):
        tvlib.gescre()


def test_without_an_application_one_is_made_from_the_arguments():
    result = run_in_host(
        "import sys\n"
        "sys.argv = ['host', '-platform', 'offscreen']\n"
        "import tvlib\n"
        "width, height, scale = tvlib.gescre()\n"
        f"from {'PySide6' if QT6 else 'PySide2'}.QtWidgets import QApplication\n"
        "app = QApplication.instance()\n"
        "print(type(app).__name__, app.arguments()[0], width > 0, height > 0, scale > 0)\n",
        env={"QT_QPA_PLATFORM": "xcb"},  # only the arguments can choose offscreen
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["QApplication", "host", "True", "True", "True"]
