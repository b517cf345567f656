// KolvarenPreferences: the update preferences window. Its two buttons switch
// automatic updates on and off and fetch the previous release. The only state
// is "AutoUpdate" in kolvaren.ini, read and written by the host, never by us.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

namespace {

constexpr const char* read_autoupdate =
    "getinisetting kolvaren.inifile \"Settings\" \"AutoUpdate\"";
constexpr const char* write_autoupdate_off =
    "setinisetting kolvaren.inifile \"Settings\" \"AutoUpdate\" \"0\"";
constexpr const char* write_autoupdate_on =
    "setinisetting kolvaren.inifile \"Settings\" \"AutoUpdate\" \"1\"";

constexpr const char* caption_on = "Auto Update ✅";
constexpr const char* caption_off = "Auto Update ❌";

// Sizes of the window at 96 DPI; the window multiplies each by the screen's scale.
constexpr int design_width = 320;
constexpr int design_height = 114;
constexpr int design_margin = 16;
constexpr int design_spacing = 10;
constexpr int design_button_height = 36;
constexpr int design_font_pixels = 13;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// "AutoUpdate" as an integer: blanks around an optional sign and decimal
// digits, nothing else (no underscores, no other scripts' digits). Only zero
// or non-zero matters, so any number of digits is fine.
bool autoupdate_value_is_on(std::string_view text) {
  std::string_view digits = text;
  while (!digits.empty() && is_blank(digits.front())) {
    digits.remove_prefix(1);
  }
  while (!digits.empty() && is_blank(digits.back())) {
    digits.remove_suffix(1);
  }
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  const bool numeral =
      !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                     [](char c) { return c >= '0' && c <= '9'; });
  if (!numeral) {
    throw py::value_error(
        "\"AutoUpdate\" in section \"Settings\" of kolvaren.ini is not an integer: " +
        py::repr(py::str(std::string(text))).cast<std::string>());
  }
  return std::any_of(digits.begin(), digits.end(), [](char c) { return c != '0'; });
}

bool autoupdate_is_on() {
  return autoupdate_value_is_on(
      binding::text_of(environment().host.execute(read_autoupdate)));
}

// The host answers false when it could not write the file; telling the user
// the switch worked would then be a lie.
void write_autoupdate(bool on) {
  const py::object written =
      environment().host.execute(on ? write_autoupdate_on : write_autoupdate_off);
  if (py::isinstance<py::bool_>(written) && !written.cast<bool>()) {
    throw std::runtime_error(
        std::string("could not write \"AutoUpdate\" to kolvaren.ini (") +
        binding::text_of(environment().host.global("kolvaren").attr("inifile")) + ")");
  }
}

std::string settings_path() {
  const py::object record = environment().host.global("kolvaren");
  if (record.is_none()) {
    throw std::runtime_error(
        "kolvaren is undefined: the plug-in has not been started (tvlib.sast())");
  }
  return binding::text_of(record.attr("inifile"));
}

// Everything before the last separator; a bare name has no folder.
std::string folder_of(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

py::object message_box() { return environment().qt.widgets.attr("QMessageBox"); }

void inform(const char* text) {
  message_box().attr("information")(py::none(), "Kolvaren", text);
}

void construct(const py::object& self) {
  // Read first: a value that is not an integer leaves no half-built window.
  const bool on = autoupdate_is_on();
  const binding::QtBinding& qt = environment().qt;
  qt.widgets.attr("QMainWindow").attr("__init__")(self);
  const py::object qt_flags = qt.core.attr("Qt");
  binding::qt_call(self.attr("setAttribute"), qt_flags.attr("WA_DeleteOnClose"));
  // Closing it must not end a host (or a headless process) that has no other
  // Qt top-level window.
  binding::qt_call(self.attr("setAttribute"), qt_flags.attr("WA_QuitOnClose"), false);
  binding::qt_call(self.attr("setWindowTitle"), "Kolvaren - Update Preferences");

  const double scale = screen_geometry()[2].cast<double>();
  const py::object font = qt.gui.attr("QFont")();
  binding::qt_call(font.attr("setPixelSize"), scaled(design_font_pixels, scale));
  binding::qt_call(self.attr("setFont"), font);

  const py::object central = qt.widgets.attr("QWidget")(self);
  const py::object column = qt.widgets.attr("QVBoxLayout")(central);
  const int margin = scaled(design_margin, scale);
  binding::qt_call(column.attr("setContentsMargins"), margin, margin, margin, margin);
  binding::qt_call(column.attr("setSpacing"), scaled(design_spacing, scale));

  const py::object button = qt.widgets.attr("QPushButton");
  const py::object autoupdate_btn = button(on ? caption_on : caption_off, central);
  binding::qt_call(autoupdate_btn.attr("clicked").attr("connect"),
                   self.attr("change_autoupdate"));
  const py::object downloadprevious_btn =
      button("Download The Previous Version", central);
  binding::qt_call(downloadprevious_btn.attr("clicked").attr("connect"),
                   self.attr("download_previous"));
  for (const py::object& btn : {autoupdate_btn, downloadprevious_btn}) {
    binding::qt_call(btn.attr("setFixedHeight"), scaled(design_button_height, scale));
    binding::qt_call(column.attr("addWidget"), btn);
  }
  binding::qt_call(column.attr("addStretch"));
  self.attr("autoupdate_btn") = autoupdate_btn;
  self.attr("downloadprevious_btn") = downloadprevious_btn;

  binding::qt_call(self.attr("setCentralWidget"), central);
  binding::qt_call(self.attr("setFixedSize"), scaled(design_width, scale),
                   scaled(design_height, scale));
}

void change_autoupdate(const py::object& self) {
  if (!environment()
           .host.global("doesFileExist")(folder_of(settings_path()))
           .cast<bool>()) {
    inform("kolvaren.ini file doesnt found.");
    return;
  }
  const bool was_on = autoupdate_is_on();
  write_autoupdate(!was_on);
  inform(was_on ? "Auto Update Deactivated ❌" : "Auto Update Activated ✅");
  binding::qt_call(self.attr("autoupdate_btn").attr("setText"),
                   was_on ? caption_off : caption_on);
}

void download_previous(const py::object& self) {
  const py::object buttons = message_box().attr("StandardButton");
  const py::object yes = buttons.attr("Yes");
  const py::object answer = message_box().attr("question")(
      self, "Kolvaren", "Automatic updates will be disabled. Do you want to continue?",
      yes | buttons.attr("No"));
  if (!answer.equal(yes)) {
    return;
  }
  write_autoupdate(false);
  binding::qt_call(self.attr("autoupdate_btn").attr("setText"), caption_off);
  // Taken from the package now, not at start-up: tvcore never imports tvupd.
  py::module_::import("tvlib").attr("tvupd")(true, -1);
}

py::object make_preferences_class() {
  py::dict ns;
  ns["__init__"] = binding::method("__init__", "self", py::cpp_function(&construct));
  ns["change_autoupdate"] = binding::method("change_autoupdate", "self",
                                            py::cpp_function(&change_autoupdate));
  ns["download_previous"] = binding::method("download_previous", "self",
                                            py::cpp_function(&download_previous));
  return binding::make_class("tvlib.tvcore", "KolvarenPreferences",
                             environment().qt.widgets.attr("QMainWindow"), ns);
}

// One window at a time: a second call brings the open one to the front.
py::object show_update_preferences() {
  const py::module_ module = py::module_::import("tvlib.tvcore");
  const binding::QtBinding& qt = environment().qt;
  const py::module_ shiboken =
      py::module_::import(qt.name == "PySide6" ? "shiboken6" : "shiboken2");
  const py::object open = module.attr("preferences_window");
  if (!open.is_none() && shiboken.attr("isValid")(open).cast<bool>()) {
    if (open.attr("isVisible")().cast<bool>()) {
      binding::qt_call(open.attr("showNormal"));
      binding::qt_call(open.attr("raise_"));
      binding::qt_call(open.attr("activateWindow"));
      return open;
    }
    // Closed but not yet deleted (that waits for the event loop), or hidden
    // by someone: showing it again would show a window about to vanish.
    binding::qt_call(open.attr("close"));
  }
  py::object window = module.attr("KolvarenPreferences")();
  module.attr("preferences_window") = window;
  binding::qt_call(window.attr("show"));
  return window;
}

}  // namespace

void init_update_preferences(py::module_& m) {
  m.attr("KolvarenPreferences") = make_preferences_class();
  m.attr("preferences_window") = py::none();
  m.def("show_update_preferences", &show_update_preferences,
        "Opens the update preferences window, or brings the open one to the front; "
        "returns it.");
}

}  // namespace tvlib::tvcore
