// DownloadWorker: streams the release package into the download folder on its
// own thread. The GIL is held only to emit and to touch Python values.
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "core/download/delivery_gate.hpp"
#include "core/download/package_download.hpp"
#include "core/files/package_name.hpp"
#include "core/files/path_text.hpp"
#include "core/files/temp_folder.hpp"
#include "core/http/ca_bundle.hpp"
#include "core/http/client.hpp"
#include "core/integrity/signature.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace fs = std::filesystem;

namespace {

// Every piece's percentage is emitted, in order, but in batches: taking the
// GIL for each 8 KiB piece had this thread and the UI thread, busy with the
// slots of earlier pieces, hand the GIL to each other at every piece, and
// each waited for the other. A batch goes out after 128 pieces or once its
// oldest percentage is 10 ms old, a pause of the network included.
constexpr std::size_t batch_pieces = 128;
constexpr auto batch_age = std::chrono::milliseconds(10);

// One percentage, called without the argument tuple pybind11 would build:
// the UI thread waits for the GIL while a batch goes out. Its result is let
// go of as binding::qt_call does.
void emit_percentage(const py::handle& emit_method, int pct) {
  const py::int_ value(pct);
  PyObject* result = PyObject_CallOneArg(emit_method.ptr(), value.ptr());
  if (result == nullptr) {
    throw py::error_already_set();
  }
  binding::discard_result(py::reinterpret_steal<py::object>(result));
}

using download::DeliveryGate;
using SharedGate = std::shared_ptr<DeliveryGate>;

SharedGate& gate_of(const py::object& worker) {
  return *worker.attr("_progress_gate").cast<py::capsule>().get_pointer<SharedGate>();
}

// Collects percentages without the GIL and emits them a batch at a time,
// followed by `_progress_batch`, which the worker's own slot acknowledges on
// the UI thread once the batch's progress slots have run (queued signals to
// one thread are delivered in the order emitted). Made and destroyed with
// the GIL held; everything else runs without it.
class BatchedProgress final : public download::ProgressSink {
 public:
  explicit BatchedProgress(const py::object& worker)
      : emit_progress_(worker.attr("progress_update").attr("emit")),
        emit_batch_(worker.attr("_progress_batch").attr("emit")),
        gate_(gate_of(worker)) {
    pending_.reserve(batch_pieces);
    sending_.reserve(batch_pieces);
  }

  void on_percentage(int pct) override {
    const auto now = Clock::now();
    if (pending_.empty()) {
      oldest_ = now;
    }
    pending_.push_back(pct);
    if (pending_.size() >= batch_pieces || now - oldest_ >= batch_age) {
      deliver();
    }
  }

  // Data arriving a piece at a time would make a batch of each piece if a
  // wait emitted them; the wait is cut short at the batch's age instead.
  std::chrono::milliseconds on_wait() override {
    if (pending_.empty()) {
      return std::chrono::milliseconds::max();
    }
    const auto age = Clock::now() - oldest_;
    if (age >= batch_age) {
      deliver();
      return std::chrono::milliseconds::max();
    }
    return std::chrono::ceil<std::chrono::milliseconds>(batch_age - age);
  }

  // Emits what is held back.
  void deliver() {
    if (pending_.empty()) {
      return;
    }
    gate_->wait_for_turn();
    std::swap(pending_, sending_);
    // Destroyed last: the UI thread gets its turn back once the GIL is free.
    const EmissionDone done{*gate_, sending_};
    const py::gil_scoped_acquire locked;
    for (const int pct : sending_) {
      emit_percentage(emit_progress_, pct);
    }
    gate_->sent();
    binding::qt_call(emit_batch_);
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Clears the batch and hands the turn back, whether the batch went out or
  // an emission raised.
  class EmissionDone {
   public:
    EmissionDone(DeliveryGate& gate, std::vector<int>& batch)
        : gate_(gate), batch_(batch) {}
    EmissionDone(const EmissionDone&) = delete;
    EmissionDone& operator=(const EmissionDone&) = delete;
    EmissionDone(EmissionDone&&) = delete;
    EmissionDone& operator=(EmissionDone&&) = delete;
    ~EmissionDone() {
      batch_.clear();
      gate_.emitted();
    }

   private:
    DeliveryGate& gate_;
    std::vector<int>& batch_;
  };

  py::object emit_progress_;
  py::object emit_batch_;
  SharedGate gate_;
  std::vector<int> pending_;
  std::vector<int> sending_;
  Clock::time_point oldest_;
};

// The refusal's text: "Download Failure: " and the text form of "detail".
// A body that is not a JSON object with "detail" raises, and is reported as
// a "Download Error: " with Python's own message for it.
std::string refusal_text(const std::string& body) {
  const py::object reply = py::module_::import("json").attr("loads")(py::bytes(body));
  return "Download Failure: " + binding::text_of(reply[py::str("detail")]);
}

void download(const py::object& self) {
  binding::emit(self, "status_update",
                "v" + binding::text_of(self.attr("version")) + " downloading...");
  binding::emit(self, "progress_update", 0);

  const std::string file_path = binding::text_of(self.attr("file_path"));
  // The text a signature binds; the same object is recorded as installed.
  const std::string version = binding::text_of(self.attr("version"));
  fs::path local_path;
  // TMPDIR is read here, with the GIL held: os.environ writes change it.
  const fs::path temp_folder = files::system_temp_folder();
  {
    py::gil_scoped_release unlocked;
    const fs::path folder = download::download_folder(temp_folder);
    // The service's name is UTF-8; a narrow path would read it in the ANSI code
    // page on Windows.
    local_path = files::entry_of(folder, files::last_component(file_path));
  }
  // A hold left by an earlier download of this file would stop the rename.
  keep_package_hold(files::utf8_of(local_path), {});
  // The token is one path segment: a "/", "?" or "#" from the service must
  // not turn it into another request. A JWT's characters pass unchanged.
  const std::string url =
      binding::text_of(client().baur()) + "/license/download/" +
      http::url_path_segment(binding::text_of(self.attr("jwt_token")));

  // Read here, with the GIL held: os.environ writes race a read without it.
  std::string ca_bundle = http::ca_bundle_setting();

  BatchedProgress progress(self);
  download::Outcome outcome;
  {
    py::gil_scoped_release unlocked;
    http::Client http_client;
    // A build with signing keys takes signed packages only; the digest
    // headers are checked in every build.
    const download::PackageRequest request{url,
                                           file_path,
                                           local_path,
                                           integrity::trusted_package_keys(),
                                           version,
                                           /*max_unannounced_size=*/0,
                                           std::move(ca_bundle)};
    try {
      outcome = download::download_package(http_client, request, progress);
    } catch (...) {
      // The percentages of the pieces written go out before the error.
      progress.deliver();
      throw;
    }
    progress.deliver();
  }

  if (const auto* refused = std::get_if<download::Refused>(&outcome)) {
    binding::emit(self, "error_occurred", refusal_text(refused->body));
    return;
  }
  keep_package_hold(files::utf8_of(local_path),
                    std::move(std::get<download::Completed>(outcome).hold));
  binding::emit(self, "status_update", "✅ Installing Successfull.");
  py::dict result;
  result["version"] = self.attr("version");
  result["target_path"] = py::str(py::cast(local_path));
  binding::emit(self, "download_complete", result);
}

void report_failure(const py::object& self, const std::string& error) {
  binding::emit(self, "error_occurred", "Download Error: " + error);
}

void run(const py::object& self) {
  run_worker(self, "KolvarenUpdater.DownloadWorker.run", &download, &report_failure);
}

}  // namespace

py::object make_download_worker_class() {
  const py::object qthread = client().env.qt.core.attr("QThread");
  py::dict ns;
  ns["progress_update"] = signal({"int"});
  ns["status_update"] = signal({"str"});
  ns["download_complete"] = signal({"object"});
  ns["error_occurred"] = signal({"str"});
  ns["_progress_batch"] = signal({});
  ns["__init__"] = binding::method(
      "__init__", "self, file_path, jwt_token, version",
      py::cpp_function([qthread](const py::object& self, const py::object& file_path,
                                 const py::object& jwt_token,
                                 const py::object& version) {
        qthread.attr("__init__")(self);
        self.attr("file_path") = file_path;
        self.attr("jwt_token") = jwt_token;
        self.attr("version") = version;
        self.attr("_progress_gate") =
            py::capsule(new SharedGate(std::make_shared<DeliveryGate>()),
                        [](void* gate) { delete static_cast<SharedGate*>(gate); });
        // The worker object lives on the UI thread, so the slot runs there,
        // queued behind the progress slots of the batch.
        binding::qt_call(self.attr("_progress_batch").attr("connect"),
                         self.attr("_progress_delivered"));
      }));
  ns["run"] = binding::method("run", "self", py::cpp_function(&run));
  ns["_progress_delivered"] = binding::method(
      "_progress_delivered", "self", py::cpp_function([](const py::object& self) {
        const SharedGate gate = gate_of(self);
        if (gate->delivered()) {
          const py::gil_scoped_release unlocked;
          gate->wait_for_emission();
        }
      }));
  add_lifetime_slot(ns);
  return binding::make_class("tvlib.tvupd", "KolvarenUpdater.DownloadWorker", qthread,
                             ns);
}

}  // namespace tvlib::tvupd
