// Downloads stop when the host closes.
//
// A host ends in several ways: its QCoreApplication quits (aboutToQuit), or
// the interpreter is finalized (atexit), the process going on afterwards or
// not. Either way the running downloads are asked to stop (the download's
// progress sink reads the flag between pieces and while it waits for the
// network, and aborts the transfer, which removes the temporary file), and
// their threads are waited for with the GIL released, so that no QThread is
// destroyed running and no thread takes the GIL while the interpreter is
// finalizing.
#include <pybind11/eval.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "binding/qt_call.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a download to notice its flag (it looks at least every
// 50 ms), short enough for a host that exits within 2 s.
constexpr std::chrono::milliseconds closing_limit{1500};

struct Running {
  std::mutex mutex;
  std::condition_variable ended;
  std::vector<std::shared_ptr<std::atomic<bool>>> stops;
  bool exiting = false;  // the interpreter is exiting: what starts stops at once
};

// Never destroyed: worker threads may still look at it at process exit.
Running& running() {
  static auto* state = new Running();
  return *state;
}

// The download workers made, as weak references: the host may start one
// itself, without start_and_keep.
py::list& download_workers() {
  static auto* workers = new py::list();
  return *workers;
}

// The application whose aboutToQuit is connected, as a weak reference: a host
// may make another one after the first is gone.
py::object& watched_application() {
  static auto* application = new py::object();
  return *application;
}

// With the GIL: stops every running download and waits, without the GIL,
// until their bodies and then their threads have ended.
void close_downloads(bool exiting) {
  const auto due = Clock::now() + closing_limit;
  {
    const py::gil_scoped_release unlocked;
    Running& state = running();
    std::unique_lock lock(state.mutex);
    state.exiting = state.exiting || exiting;
    for (const auto& stop : state.stops) {
      stop->store(true);
    }
    state.ended.wait_until(lock, due, [&state] { return state.stops.empty(); });
  }
  // The body has ended; the thread still has its report and Qt's end of its
  // run ahead, which need the GIL: it is let go of between looks.
  for (const py::handle reference : download_workers()) {
    const py::object worker = reference();
    if (worker.is_none()) {
      continue;
    }
    // Qt waits for a thread that is in its finishing steps before it
    // destroys its QThread; one still running would end the process.
    while (py::bool_(worker.attr("isRunning")()) && Clock::now() < due) {
      const py::gil_scoped_release unlocked;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace

RunningDownload::RunningDownload() : stop_(std::make_shared<std::atomic<bool>>(false)) {
  Running& state = running();
  const std::scoped_lock lock(state.mutex);
  stop_->store(state.exiting);
  state.stops.push_back(stop_);
}

RunningDownload::~RunningDownload() {
  Running& state = running();
  {
    const std::scoped_lock lock(state.mutex);
    std::erase(state.stops, stop_);
  }
  state.ended.notify_all();
}

void watch_host_closing(const py::object& worker) {
  py::list& workers = download_workers();
  py::list alive;
  for (const py::handle reference : workers) {
    if (!reference().is_none()) {
      alive.append(reference);
    }
  }
  alive.append(py::module_::import("weakref").attr("ref")(worker));
  workers = alive;
  const py::object application =
      client().env.qt.core.attr("QCoreApplication").attr("instance")();
  if (application.is_none()) {
    return;
  }
  py::object& watched = watched_application();
  if (watched && watched().is(application)) {
    return;
  }
  // A Python function, not ours directly: Qt for Python 5 crashes connecting
  // a callable without a code object.
  const py::object as_python = py::eval("lambda call: lambda: call()");
  binding::qt_call(application.attr("aboutToQuit").attr("connect"),
                   as_python(py::cpp_function([] { close_downloads(false); })));
  watched = py::module_::import("weakref").attr("ref")(application);
}

void stop_downloads_at_exit() {
  // Python runs atexit functions before it begins finalizing, while the
  // worker threads may still take the GIL.
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { close_downloads(true); }));
}

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void park_thread() noexcept {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

WithoutGil::WithoutGil() : state_(PyEval_SaveThread()) {}

WithoutGil::~WithoutGil() {
  if (interpreter_finalizing()) {
    park_thread();
  }
  PyEval_RestoreThread(state_);
}

}  // namespace tvlib::tvupd
