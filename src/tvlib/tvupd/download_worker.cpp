// DownloadWorker: streams the release package into the download folder on its
// own thread. The GIL is held only to emit and to touch Python values, and
// every emission holds it.
#include <pybind11/stl/filesystem.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding/native_signal.hpp"
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

// Every piece's percentage is emitted, in order, from this thread, and only
// with the GIL: Qt's emission calls the sender's metaObject(), which Qt for
// Python implements in Python. The GIL is taken once per batch of
// percentages, and the download never waits for the interface thread: while
// that thread is behind (busy, or waiting for this one), the percentages are
// held compactly and go out a batch per turn as it catches up, so that one of
// its event passes runs one batch of progress slots at most.

using download::DeliveryGate;
using SharedGate = std::shared_ptr<DeliveryGate>;

SharedGate& gate_of(const py::object& worker) {
  return *worker.attr("_progress_gate").cast<py::capsule>().get_pointer<SharedGate>();
}

// The gate of this run, reached by the acknowledging slot on the UI thread.
SharedGate make_gate(const py::object& worker) {
  auto gate = std::make_shared<DeliveryGate>();
  worker.attr("_progress_gate") = py::capsule(
      new SharedGate(gate), [](void* held) { delete static_cast<SharedGate*>(held); });
  return gate;
}

// The host is closing: the download ends, and its temporary file with it.
class Stopped : public std::runtime_error {
 public:
  Stopped() : std::runtime_error("the download was stopped: the host is closing") {}
};

// One progress signal of the worker, emitted with the GIL held: through Qt
// where its entry point is found (no argument tuple, no Python frame), else
// through Python's emit(). `tvupd._direct_signals = False` makes it use
// Python (tests of that path; hosts do not set it).
class ProgressSignal {
 public:
  ProgressSignal(const py::object& worker, const char* name, const char* signature)
      : emit_(worker.attr(name).attr("emit")) {
    if (py::bool_(client().module.attr("_direct_signals"))) {
      native_ = binding::NativeSignal::find(client().env.qt, worker, signature);
    }
  }

  void emit(std::optional<int> value) const {
    if (native_) {
      value ? native_->emit(*value) : native_->emit();
      return;
    }
    // Called without the argument tuple pybind11 would build; the result is
    // let go of as binding::qt_call does.
    PyObject* result = value ? PyObject_CallOneArg(emit_.ptr(), py::int_(*value).ptr())
                             : PyObject_CallNoArgs(emit_.ptr());
    if (result == nullptr) {
      throw py::error_already_set();
    }
    binding::discard_result(py::reinterpret_steal<py::object>(result));
  }

 private:
  py::object emit_;
  std::optional<binding::NativeSignal> native_;
};

// The percentages of one run, on their way to the UI thread. A batch goes
// out after 128 pieces, or once its oldest percentage is 10 ms old (a pause
// of the network included), when the UI thread has delivered the last one;
// it is followed by `_progress_batch`, which the worker's own slot answers
// on the UI thread once the batch's progress slots have run (queued signals
// to one thread are delivered in the order emitted). Made and destroyed with
// the GIL held; everything else runs without it.
class WorkerProgress final : public download::ProgressSink {
 public:
  // 129 slots queued at most, about 8 ms of the stand-in host's slots.
  static constexpr std::size_t batch_pieces = 128;

  WorkerProgress(const py::object& worker, const std::atomic<bool>& stop)
      : progress_(worker, "progress_update", "progress_update(int)"),
        batch_(worker, "_progress_batch", "_progress_batch()"),
        gate_(make_gate(worker)),
        stop_(stop) {}

  void on_percentage(int pct) override {
    check_stop();
    const auto now = Clock::now();
    if (pending_.empty()) {
      oldest_ = now;
    }
    pending_.push(pct);
    if (due(now) && gate_->may_emit()) {
      emit_batch();
    }
  }

  // Polls for the host closing and, while percentages are held, for the UI
  // thread's turn, at most `turn_poll` apart: neither wakes this thread.
  std::chrono::milliseconds on_wait() override {
    check_stop();
    if (pending_.empty()) {
      return stop_poll;
    }
    const auto now = Clock::now();
    if (!due(now)) {
      return std::chrono::ceil<std::chrono::milliseconds>(batch_age - (now - oldest_));
    }
    if (gate_->may_emit()) {
      emit_batch();
    }
    return pending_.empty() ? stop_poll : turn_poll;
  }

  // After the last piece, and before a failure is reported: what is held
  // goes out as the UI thread takes it. A UI thread that delivers nothing for
  // `ui_patience` waits for this thread to end: the rest goes out at once.
  // Nothing when the host closes.
  void deliver() {
    auto waited = std::chrono::milliseconds(0);
    while (!pending_.empty() && !stop_.load()) {
      if (waited < ui_patience && !gate_->wait_for_turn(stop_poll)) {
        waited += stop_poll;
        continue;
      }
      waited = std::chrono::milliseconds(0);
      emit_batch();
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto batch_age = std::chrono::milliseconds(10);
  static constexpr auto turn_poll = std::chrono::milliseconds(2);
  static constexpr auto stop_poll = std::chrono::milliseconds(50);
  static constexpr auto ui_patience = std::chrono::milliseconds(5000);

  void check_stop() const {
    if (stop_.load()) {
      throw Stopped();
    }
  }

  [[nodiscard]] bool due(Clock::time_point now) const {
    return pending_.size() >= batch_pieces || now - oldest_ >= batch_age;
  }

  // Without the GIL: takes it for one batch. Never while the interpreter is
  // finalizing (the host's exit has set the stop flag before).
  void emit_batch() {
    const std::vector<int> batch = pending_.take(batch_pieces);
    oldest_ = Clock::now();
    check_stop();
    if (interpreter_finalizing()) {
      throw Stopped();
    }
    const py::gil_scoped_acquire locked;
    for (const int pct : batch) {
      progress_.emit(pct);
    }
    gate_->sent();
    batch_.emit(std::nullopt);
  }

  ProgressSignal progress_;
  ProgressSignal batch_;
  SharedGate gate_;
  const std::atomic<bool>& stop_;
  download::PendingPercentages pending_;
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
    const WithoutGil unlocked;
    const fs::path folder = download::download_folder(temp_folder);
    // The service's name is UTF-8; a narrow path would read it in the ANSI code
    // page on Windows.
    local_path = files::entry_of(folder, files::last_component(file_path));
  }
  // A hold left by an earlier download of this file would stop the rename.
  release_package_hold(files::utf8_of(local_path));
  // The token is one path segment: a "/", "?" or "#" from the service must
  // not turn it into another request. A JWT's characters pass unchanged.
  const std::string url =
      binding::text_of(client().baur()) + "/license/download/" +
      http::url_path_segment(binding::text_of(self.attr("jwt_token")));

  // Read here, with the GIL held: os.environ writes race a read without it.
  std::string ca_bundle = http::ca_bundle_setting();
  http::ProxyVariables proxy = http::proxy_variables();

  const RunningDownload running;
  WorkerProgress progress(self, running.stop());
  download::Outcome outcome;
  {
    const WithoutGil unlocked;
    http::Client http_client;
    // A build with signing keys takes signed packages only; the digest
    // headers are checked in every build.
    const download::PackageRequest request{url,
                                           file_path,
                                           local_path,
                                           integrity::trusted_package_keys(),
                                           version,
                                           /*max_size=*/0,
                                           std::move(ca_bundle),
                                           std::move(proxy)};
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
  keep_package_hold(self, files::utf8_of(local_path),
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
        // The worker object lives on the UI thread, so the slot runs there,
        // queued behind the progress slots of the batch.
        binding::qt_call(self.attr("_progress_batch").attr("connect"),
                         self.attr("_progress_delivered"));
        watch_host_closing(self);
      }));
  ns["run"] = binding::method("run", "self", py::cpp_function(&run));
  ns["_progress_delivered"] = binding::method(
      "_progress_delivered", "self",
      py::cpp_function([](const py::object& self) { gate_of(self)->delivered(); }));
  add_lifetime_slot(ns);
  return binding::make_class("tvlib.tvupd", "KolvarenUpdater.DownloadWorker", qthread,
                             ns);
}

}  // namespace tvlib::tvupd
