// Calls into Qt for Python whose result tvlib does not use.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace tvlib::binding {

namespace py = pybind11;

// Lets go of a result without releasing a reference to None, True or False.
//
// PySide6 6.12.0 hands back those singletons without a new reference: emit()
// its True, a failed disconnect() its False and every method returning void
// its None. Releasing them takes a reference the caller never got, and on
// Python before 3.12, where they are ordinary objects, the interpreter aborts
// once the count reaches zero (a download emits one signal per piece). A
// reference kept to a singleton costs nothing; on 3.12 and later they are
// immortal anyway. Any other result is released as usual.
void discard_result(py::object result);

// `callable(args...)`, its result discarded as above. For every call into Qt
// for Python made for its effect alone.
template <typename... Args>
void qt_call(const py::handle& callable, Args&&... args) {
  discard_result(callable(std::forward<Args>(args)...));
}

// Emits `owner.<signal>(args...)`. Every signal tvlib emits goes through here
// or through qt_call on a bound `emit` kept for a hot loop.
template <typename... Args>
void emit(const py::handle& owner, const char* signal, Args&&... args) {
  qt_call(owner.attr(signal).attr("emit"), std::forward<Args>(args)...);
}

}  // namespace tvlib::binding
