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

#include "binding/native_signal.hpp"
#include "binding/python_class.hpp"
#include "binding/python_text.hpp"
#include "binding/qt_call.hpp"
#include "core/download/delivery_gate.hpp"
#include "core/download/package_download.hpp"
#include "core/download/thread_priority.hpp"
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

// Every piece's percentage is emitted, in order. The interface thread
// acknowledges them a batch at a time, and the worker keeps only a few
// batches ahead of it, so that a host slower than the network does not pile
// up signals in its queue: memory stays flat whatever the package's size,
// and the host's timers wait for no more than those few batches of slots.

using download::DeliveryGate;
using SharedGate = std::shared_ptr<DeliveryGate>;

SharedGate& gate_of(const py::object& worker) {
  return *worker.attr("_progress_gate").cast<py::capsule>().get_pointer<SharedGate>();
}

// The gate of this run, reached by the acknowledging slot on the UI thread.
SharedGate make_gate(const py::object& worker, DeliveryGate::Limits limits) {
  auto gate = std::make_shared<DeliveryGate>(limits);
  worker.attr("_progress_gate") = py::capsule(
      new SharedGate(gate), [](void* held) { delete static_cast<SharedGate*>(held); });
  return gate;
}

// The percentages of one run, on their way to the UI thread.
class WorkerProgress : public download::ProgressSink {
 public:
  // Emits whatever is still held back; after the last piece and on failure.
  virtual void deliver() = 0;
};

// Emits each percentage through Qt, without the GIL, as its piece is
// written, and after every batch `_progress_batch`, which the worker's own
// slot answers on the UI thread once the batch's progress slots have run
// (queued signals to one thread are delivered in the order emitted). The UI
// thread never waits for this thread: it finds the next batch queued.
class DirectProgress final : public WorkerProgress {
 public:
  // 128 signals queued at most, about 4 ms of the host's slots (measured:
  // the longest stall of a 5 ms timer fell from 29 ms with 3 batches of 128).
  static constexpr std::size_t batch_pieces = 32;
  static constexpr DeliveryGate::Limits limits{.batches_ahead = 4, .hand_over = false};

  DirectProgress(binding::NativeSignal progress, binding::NativeSignal batch,
                 SharedGate gate)
      : progress_(progress), batch_(batch), gate_(std::move(gate)) {}

  void on_percentage(int pct) override {
    if (in_batch_ == 0) {
      gate_->wait_for_turn();
    }
    progress_.emit(pct);
    if (++in_batch_ == batch_pieces) {
      in_batch_ = 0;
      gate_->sent();
      batch_.emit();
      gate_->emitted();
    }
  }

  void deliver() override {}  // nothing is held back

 private:
  binding::NativeSignal progress_;
  binding::NativeSignal batch_;
  SharedGate gate_;
  std::size_t in_batch_ = 0;
};

// Where Qt cannot be reached directly, the percentages go through Python's
// emit() in batches: taking the GIL for each 8 KiB piece had this thread and
// the UI thread, busy with the slots of earlier pieces, hand the GIL to each
// other at every piece, and each waited for the other. A batch goes out
// after 128 pieces or once its oldest percentage is 10 ms old, a pause of
// the network included. Made and destroyed with the GIL held; everything
// else runs without it.
class BatchedProgress final : public WorkerProgress {
 public:
  static constexpr std::size_t batch_pieces = 128;
  static constexpr DeliveryGate::Limits limits{};

  BatchedProgress(const py::object& worker, SharedGate gate)
      : emit_progress_(worker.attr("progress_update").attr("emit")),
        emit_batch_(worker.attr("_progress_batch").attr("emit")),
        gate_(std::move(gate)) {
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

  void deliver() override {
    if (pending_.empty()) {
      return;
    }
    gate_->wait_for_turn();
    std::swap(pending_, sending_);
    // Destroyed last: the UI thread gets its turn back once the GIL is free.
    const EmissionDone done{*gate_, sending_};
    const py::gil_scoped_acquire locked;
    for (const int pct : sending_) {
      emit_percentage(pct);
    }
    gate_->sent();
    binding::qt_call(emit_batch_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto batch_age = std::chrono::milliseconds(10);

  // Called without the argument tuple pybind11 would build: the UI thread
  // waits for the GIL while a batch goes out. The result is let go of as
  // binding::qt_call does.
  void emit_percentage(int pct) const {
    const py::int_ value(pct);
    PyObject* result = PyObject_CallOneArg(emit_progress_.ptr(), value.ptr());
    if (result == nullptr) {
      throw py::error_already_set();
    }
    binding::discard_result(py::reinterpret_steal<py::object>(result));
  }

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

// With the GIL: through Qt where it can be reached, else through Python.
// `tvupd._direct_signals = False` makes the worker use Python (tests of that
// path; hosts do not set it).
std::unique_ptr<WorkerProgress> progress_of(const py::object& worker) {
  if (py::bool_(client().module.attr("_direct_signals"))) {
    const binding::QtBinding& qt = client().env.qt;
    auto progress = binding::NativeSignal::find(qt, worker, "progress_update(int)");
    auto batch = binding::NativeSignal::find(qt, worker, "_progress_batch()");
    if (progress && batch) {
      return std::make_unique<DirectProgress>(
          *progress, *batch, make_gate(worker, DirectProgress::limits));
    }
  }
  return std::make_unique<BatchedProgress>(worker,
                                           make_gate(worker, BatchedProgress::limits));
}

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
  release_package_hold(files::utf8_of(local_path));
  // The token is one path segment: a "/", "?" or "#" from the service must
  // not turn it into another request. A JWT's characters pass unchanged.
  const std::string url =
      binding::text_of(client().baur()) + "/license/download/" +
      http::url_path_segment(binding::text_of(self.attr("jwt_token")));

  // Read here, with the GIL held: os.environ writes race a read without it.
  std::string ca_bundle = http::ca_bundle_setting();

  const std::unique_ptr<WorkerProgress> progress = progress_of(self);
  download::Outcome outcome;
  {
    py::gil_scoped_release unlocked;
    download::lower_thread_priority();
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
      outcome = download::download_package(http_client, request, *progress);
    } catch (...) {
      // The percentages of the pieces written go out before the error.
      progress->deliver();
      throw;
    }
    progress->deliver();
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
