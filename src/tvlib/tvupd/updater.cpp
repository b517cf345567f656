// KolvarenUpdater: the never-shown window that owns one update run, and the
// entry function that replaces the previous run's updater.
#include <string>

#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "core/http/client.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

// The line written when the health check fails before any reply arrived.
std::string health_failure_line(const http::TransportError& error) {
  switch (error.kind()) {
    case http::FailureKind::connect_timeout:
      return "Kolvaren Update Error: Health ConnectTimeout";
    case http::FailureKind::connect_failed:
      return "Kolvaren Update Error: Health ConnectionError";
    default:
      return std::string("Kolvaren Update Error: Health ") + error.what();
  }
}

void start_check(const py::object& self) {
  host().execute("DisplayTempPrompt \"Kolvaren - Checking Update...\" 5000");
  const py::object worker_class = self.attr("CheckWorker");
  py::object worker =
      worker_class(self.attr("manuel_update"), self.attr("version_offset"));
  self.attr("check_worker") = worker;
  binding::qt_call(worker.attr("update_found").attr("connect"),
                   self.attr("on_update_found"));
  binding::qt_call(worker.attr("no_update").attr("connect"), self.attr("on_no_update"));
  start_and_keep(worker);
}

void construct(const py::object& self, const py::object& manuel_update,
               const py::object& version_offset) {
  const binding::QtBinding& qt = client().env.qt;
  qt.widgets.attr("QMainWindow").attr("__init__")(self);
  const py::object widget_attribute = qt.core.attr("Qt").attr("WA_DeleteOnClose");
  binding::qt_call(self.attr("setAttribute"), widget_attribute);
  // Closing the last top-level window would otherwise quit a host whose own
  // windows are not Qt top-levels (and any headless host) at the end of a run.
  binding::qt_call(self.attr("setAttribute"), qt.core.attr("Qt").attr("WA_QuitOnClose"),
                   false);
  self.attr("is_silent") = true;
  self.attr("manuel_update") = py::bool_(binding::is_true(manuel_update));
  self.attr("version_offset") = version_offset.is_none() ? py::int_(0) : version_offset;

  // The health check blocks the UI thread on purpose: no worker exists before
  // the service has answered.
  std::string failure;
  try {
    const long status = health_status();
    if (status < 400 || status > 599) {
      start_check(self);
      return;
    }
    failure = "Kolvaren Update Error:- Status: " + std::to_string(status);
  } catch (const http::TransportError& e) {
    failure = health_failure_line(e);
  } catch (py::error_already_set& e) {
    failure = "Kolvaren Update Error: Health " + binding::message_of(e);
  } catch (const std::exception& e) {
    failure = std::string("Kolvaren Update Error: Health ") + e.what();
  }
  binding::print_line(failure);
  self.attr("handle_close")();
}

}  // namespace

py::object make_updater_class() {
  py::dict ns;
  ns["__init__"] =
      binding::method("__init__", "self, manuel_update=False, version_offset=None",
                      py::cpp_function(&construct));
  add_notification_slots(ns);
  add_update_offer(ns);
  add_download_completion(ns);
  ns["handle_close"] = binding::method("handle_close", "self",
                                       py::cpp_function([](const py::object& self) {
                                         binding::qt_call(self.attr("close"));
                                       }));
  py::object updater =
      binding::make_class("tvlib.tvupd", "KolvarenUpdater",
                          client().env.qt.widgets.attr("QMainWindow"), ns);
  updater.attr("CheckWorker") = make_check_worker_class();
  updater.attr("DownloadWorker") = make_download_worker_class();
  return updater;
}

py::object signal(std::initializer_list<const char*> types) {
  const py::module_ builtins = py::module_::import("builtins");
  py::tuple args(types.size());
  std::size_t i = 0;
  for (const char* type : types) {
    args[i++] = builtins.attr(type);
  }
  return client().env.qt.core.attr("Signal")(*args);
}

namespace {

// PySide2 and PySide6 both say "Internal C++ object (<class>) already deleted."
// when a wrapper outlives its Qt object.
bool is_deleted_qt_object(const py::error_already_set& e) {
  if (!e.matches(PyExc_RuntimeError)) {
    return false;
  }
  const std::string text = binding::message_of(e);
  return text.starts_with("Internal C++ object (") &&
         text.ends_with(") already deleted.");
}

}  // namespace

void tvupd(const py::object& manuel_update, const py::object& version_offset) {
  const py::module_& module = client().module;
  if (py::hasattr(module, "tvupddialog")) {
    try {
      const py::object previous = module.attr("tvupddialog");
      binding::qt_call(previous.attr("close"));
      binding::qt_call(previous.attr("deleteLater"));
    } catch (py::error_already_set& e) {
      // Expected after a finished run: Qt has already deleted that window.
      // Anything else is reported, and the new run starts all the same: a
      // window that cannot be closed must not keep every later run from starting.
      if (!is_deleted_qt_object(e)) {
        e.discard_as_unraisable("tvlib.tvupd: closing the previous updater");
      }
    }
  }
  module.attr("tvupddialog") =
      module.attr("KolvarenUpdater")(manuel_update, version_offset);
}

}  // namespace tvlib::tvupd
