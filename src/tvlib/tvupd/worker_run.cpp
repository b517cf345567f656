// The frame of both workers' `run`: a thread body that nothing leaves.
#include <exception>
#include <string>

#include "binding/python_text.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

void run_worker(const py::object& self, const char* name, WorkerBody body,
                FailureReport report) {
  std::string error;
  try {
    body(self);
    return;
  } catch (py::error_already_set& e) {
    error = binding::message_of(e);
  } catch (const std::exception& e) {
    error = e.what();
  }
  try {
    report(self, error);
  } catch (py::error_already_set& e) {
    // The host shows this as an unraisable error.
    e.discard_as_unraisable(name);
  }
}

}  // namespace tvlib::tvupd
