// The frame of both workers' `run`: a thread body that nothing leaves.
#include <exception>
#include <string>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "binding/python_text.hpp"
#include "tvupd/update_client.hpp"

namespace tvlib::tvupd {

namespace {

constexpr const char* unknown_failure = "the worker failed for an unknown reason";

std::string text_of(py::error_already_set& error) {
  try {
    return binding::message_of(error);
  } catch (...) {
    return unknown_failure;  // not even its text could be read
  }
}

}  // namespace

void run_worker(const py::object& self, const char* name, WorkerBody body,
                FailureReport report) {
  std::string error;
  try {
    body(self);
    return;
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended: the unwinding must go on
#endif
  } catch (py::error_already_set& e) {
    error = text_of(e);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = unknown_failure;
  }
  try {
    report(self, error);
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (py::error_already_set& e) {
    // The host shows this as an unraisable error.
    e.discard_as_unraisable(name);
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing is left to tell it to
    // The report itself failed, with no Python error to show: dropped, as Qt
    // would end the process for an exception leaving the thread.
  }
}

}  // namespace tvlib::tvupd
