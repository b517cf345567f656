// on_download_complete: records the update, installs the package through the
// host and ends the run.
#include <algorithm>
#include <string>

#include "binding/host_bridge.hpp"
#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "core/maxscript/string_literal.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

// An INI value ends at the line's end: a line break from the service would
// start lines of its own in update.ini (a forged "Success=1", a new section).
// Each becomes a space, and the record keeps one line per key.
std::string ini_value(const py::object& value) {
  std::string text = binding::text_of(value);
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return maxscript::escape(text);
}

void write_update_record(const char* key, const py::object& value) {
  host().execute(
      std::string(
          R"(setinisetting (sysinfo.tempdir+"\Kolvaren\update.ini") "LastUpdate" ")") +
      key + "\" \"" + ini_value(value) + "\"");
}

// The dialog is the host's: a host without it shows no notes, and a failing
// dialog is reported on the console but must not keep the run from closing.
void show_release_notes() {
  const py::module_& module = client().module;
  if (!py::hasattr(module, "KolvarenReleasesDialog")) {
    return;
  }
  try {
    module.attr("KolvarenReleasesDialog").attr("redi")();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("KolvarenReleasesDialog.redi");
  }
}

// The worker whose download_complete is being handled: Qt's sender when the
// signal delivered it, else (a direct call) the updater's current worker.
py::object delivering_worker(const py::object& self) {
  py::object sender = self.attr("sender")();
  if (sender.is_none() && py::hasattr(self, "dl_worker")) {
    sender = self.attr("dl_worker");
  }
  return sender;
}

void on_download_complete(const py::object& self, const py::object& data) {
  const py::object target_path = data.attr("get")("target_path");
  const py::object newversion = data.attr("get")("version");

  py::object record = client().load_account();
  const py::object oldversion = record[py::str(installed_version_key)];

  write_update_record("FilePath", target_path);
  write_update_record("NewVersion", newversion);
  write_update_record("OldVersion", oldversion);
  write_update_record("Success", py::str("0"));

  // Recorded before the package runs, so the record stays whatever it does.
  record[py::str(installed_version_key)] = newversion;
  client().save_account(record);

  // The package stays as verified until the host has read it (Windows).
  files::FileHold held = take_package_hold(delivering_worker(self));
  host().filein(target_path);
  held.release();
  host().execute("pushprompt \"Kolvaren - Version " +
                 binding::literal_body(newversion) + " Update Successfully\"");
  host().execute("kolvaren_updatenotify = undefined");
  if (!binding::is_true(self.attr("is_silent"))) {
    show_release_notes();
  }
  self.attr("handle_close")();
}

}  // namespace

void add_download_completion(py::dict& ns) {
  ns["on_download_complete"] = binding::method("on_download_complete", "self, data",
                                               py::cpp_function(&on_download_complete));
}

}  // namespace tvlib::tvupd
