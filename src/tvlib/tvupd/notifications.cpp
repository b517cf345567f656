// What the user sees of a run's results: the slots for "nothing to offer",
// download progress, download status and download failure. Like every slot of
// the updater they catch nothing: a failing host call ends the slot there.
#include <string>

#include "binding/host_bridge.hpp"
#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

void on_no_update(const py::object& self, const py::object& manuel_update,
                  const py::object& messagebox, const py::object& hata) {
  if (binding::is_true(messagebox)) {
    binding::print_line("Kolvaren Update Error - Code: " + binding::text_of(hata));
  }
  if (binding::is_true(manuel_update)) {
    const py::object box = client().env.qt.widgets.attr("QMessageBox");
    box.attr("warning")(self, "Kolvaren", "No updates found.");
    host().set_global("kolvaren_manuelupdate", py::bool_(false));
  }
  self.attr("handle_close")();
}

void progress_notification(const py::object& /*self*/, const py::object& progress) {
  host().execute("pushprompt \"Kolvaren - New Version Downloading %" +
                 binding::literal_body(progress) + "\"");
}

void on_error(const py::object& /*self*/, const py::object& msg) {
  binding::print_line(binding::text_of(msg));
  host().execute("pushprompt \"Kolvaren Update Failure\"");
}

}  // namespace

void add_notification_slots(py::dict& ns) {
  ns["on_no_update"] = binding::method(
      "on_no_update", "self, manuel_update, messagebox=False, hata=None",
      py::cpp_function(&on_no_update));
  ns["progress_notification"] =
      binding::method("progress_notification", "self, progress",
                      py::cpp_function(&progress_notification));
  // The download's status texts are neither shown nor written.
  ns["status_notification"] =
      binding::method("status_notification", "self, status",
                      py::cpp_function([](const py::object& /*self*/,
                                          const py::object& /*status*/) {}));
  ns["on_error"] =
      binding::method("on_error", "self, msg", py::cpp_function(&on_error));
}

}  // namespace tvlib::tvupd
