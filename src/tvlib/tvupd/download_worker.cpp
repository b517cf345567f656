// DownloadWorker: streams the release package into the download folder on its
// own thread. The GIL is held only to emit and to touch Python values.
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>
#include <variant>

#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "core/download/package_download.hpp"
#include "core/files/package_name.hpp"
#include "core/files/path_text.hpp"
#include "core/files/temp_folder.hpp"
#include "core/http/client.hpp"
#include "core/integrity/signature.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace fs = std::filesystem;

namespace {

// Emits each percentage as it comes; no throttling, every piece counts.
class EmittingProgress final : public download::ProgressSink {
 public:
  explicit EmittingProgress(py::object emit) : emit_(std::move(emit)) {}
  void on_percentage(int pct) override {
    py::gil_scoped_acquire locked;
    emit_(pct);
  }

 private:
  py::object emit_;
};

// The refusal's text: "Download Failure: " and the text form of "detail".
// A body that is not a JSON object with "detail" raises, and is reported as
// a "Download Error: " with Python's own message for it.
std::string refusal_text(const std::string& body) {
  const py::object reply = py::module_::import("json").attr("loads")(py::bytes(body));
  return "Download Failure: " + binding::text_of(reply[py::str("detail")]);
}

void download(const py::object& self) {
  const py::object emit_status = self.attr("status_update").attr("emit");
  emit_status("v" + binding::text_of(self.attr("version")) + " downloading...");
  const py::object emit_progress = self.attr("progress_update").attr("emit");
  emit_progress(0);

  const std::string file_path = binding::text_of(self.attr("file_path"));
  fs::path local_path;
  {
    py::gil_scoped_release unlocked;
    const fs::path folder = download::download_folder(files::system_temp_folder());
    // The service's name is UTF-8; a narrow path would read it in the ANSI code
    // page on Windows.
    local_path = files::entry_of(folder, files::last_component(file_path));
  }
  // The token is one path segment: a "/", "?" or "#" from the service must
  // not turn it into another request. A JWT's characters pass unchanged.
  const std::string url =
      binding::text_of(client().baur()) + "/license/download/" +
      http::url_path_segment(binding::text_of(self.attr("jwt_token")));

  EmittingProgress progress(emit_progress);
  download::Outcome outcome;
  {
    py::gil_scoped_release unlocked;
    thread_local http::Client http_client;
    // A build with signing keys takes signed packages only; the digest
    // headers are checked in every build.
    const download::PackageRequest request{url, file_path, local_path,
                                           integrity::trusted_package_keys()};
    outcome = download::download_package(http_client, request, progress);
  }

  if (const auto* refused = std::get_if<download::Refused>(&outcome)) {
    self.attr("error_occurred").attr("emit")(refusal_text(refused->body));
    return;
  }
  emit_status("✅ Installing Successfull.");
  py::dict result;
  result["version"] = self.attr("version");
  result["target_path"] = py::str(py::cast(local_path));
  self.attr("download_complete").attr("emit")(result);
}

void run(const py::object& self) {
  std::string error;
  try {
    download(self);
    return;
  } catch (py::error_already_set& e) {
    error = binding::message_of(e);
  } catch (const std::exception& e) {
    error = e.what();
  }
  try {
    self.attr("error_occurred").attr("emit")("Download Error: " + error);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("KolvarenUpdater.DownloadWorker.run");
  }
}

}  // namespace

py::object make_download_worker_class() {
  const py::object qthread = client().env.qt.core.attr("QThread");
  py::dict ns;
  ns["progress_update"] = signal({"int"});
  ns["status_update"] = signal({"str"});
  ns["download_complete"] = signal({"object"});
  ns["error_occurred"] = signal({"str"});
  ns["__init__"] = binding::method(
      "__init__", "self, file_path, jwt_token, version",
      py::cpp_function([qthread](const py::object& self, const py::object& file_path,
                                 const py::object& jwt_token,
                                 const py::object& version) {
        qthread.attr("__init__")(self);
        self.attr("file_path") = file_path;
        self.attr("jwt_token") = jwt_token;
        self.attr("version") = version;
      }));
  ns["run"] = binding::method("run", "self", py::cpp_function(&run));
  add_lifetime_slot(ns);
  return binding::make_class("tvlib.tvupd", "KolvarenUpdater.DownloadWorker", qthread,
                             ns);
}

}  // namespace tvlib::tvupd
