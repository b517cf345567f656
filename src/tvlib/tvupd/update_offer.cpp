// on_update_found: a found release is downloaded on a manual run or when it
// is mandatory, and otherwise only announced.
#include <string>

#include "binding/host_bridge.hpp"
#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

py::object item(const py::object& data, const char* key) {
  return data.attr("get")(key);
}

void start_download(const py::object& self, const py::object& file_path,
                    const py::object& token, const py::object& version) {
  py::object worker = self.attr("DownloadWorker")(file_path, token, version);
  self.attr("dl_worker") = worker;
  binding::qt_call(worker.attr("progress_update").attr("connect"),
                   self.attr("progress_notification"));
  binding::qt_call(worker.attr("status_update").attr("connect"),
                   self.attr("status_notification"));
  binding::qt_call(worker.attr("download_complete").attr("connect"),
                   self.attr("on_download_complete"));
  binding::qt_call(worker.attr("error_occurred").attr("connect"),
                   self.attr("on_error"));
  start_and_keep(worker);
}

void announce(const py::object& version) {
  const std::string version_text = binding::text_of(version);
  const std::string announcement =
      "Kolvaren - New Version " + version_text + " is now available.";
  binding::print_line(announcement);
  host().execute("global kolvaren_updatenotify = \"Kolvaren - New Version " +
                 binding::literal_body(version) + " is now available.\"");
  host().pushprompt(announcement);
}

void on_update_found(const py::object& self, const py::object& manuel_update,
                     const py::object& data) {
  const py::object file_path = item(data, "file_path");
  const py::object token = item(data, "jwt_token");
  const py::object version = item(data, "version");
  self.attr("is_silent") = item(data, "is_silent");
  const py::object is_mandatory = item(data, "is_mandatory");

  if (binding::is_true(manuel_update) || binding::is_true(is_mandatory)) {
    if (binding::is_true(file_path) && binding::is_true(token)) {
      start_download(self, file_path, token, version);
    } else {
      self.attr("on_error")("Kolvaren Update Error - File Path Not Found.");
    }
    return;
  }
  announce(version);
}

}  // namespace

void add_update_offer(py::dict& ns) {
  ns["on_update_found"] =
      binding::method("on_update_found", "self, manuel_update, data",
                      py::cpp_function(&on_update_found));
}

}  // namespace tvlib::tvupd
