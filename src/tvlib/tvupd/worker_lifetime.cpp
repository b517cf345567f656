// Started workers stay referenced until their thread has finished.
//
// PySide drops its own reference to a QThread on the worker thread when `run`
// returns; if ours was the last one elsewhere (the updater that held the
// worker was replaced by a new run), the QThread would be destroyed while its
// thread still runs, and Qt aborts the process. So every started worker sits
// in a set until its `finished` signal reaches the UI thread.
#include "binding/python_class.hpp"
#include "binding/qt_call.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

// Never destroyed: it must not outlive the interpreter at process exit.
py::set& running_workers_set() {
  static auto* workers = new py::set();
  return *workers;
}

}  // namespace

void add_lifetime_slot(py::dict& ns) {
  ns["_release_finished"] = binding::method(
      "_release_finished", "self", py::cpp_function([](const py::object& self) {
        // `finished` is emitted just before the thread really ends; wait() bridges
        // the gap so the object is never deleted under its own thread.
        binding::qt_call(self.attr("wait"));
        running_workers_set().attr("discard")(self);
      }));
}

py::list running_workers() { return py::list(running_workers_set()); }

void start_and_keep(const py::object& worker) {
  running_workers_set().add(worker);
  // The worker object lives on the UI thread, so this slot runs there, queued.
  binding::qt_call(worker.attr("finished").attr("connect"),
                   worker.attr("_release_finished"));
  binding::qt_call(worker.attr("start"));
}

}  // namespace tvlib::tvupd
