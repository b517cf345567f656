#include "binding/qt_call.hpp"

namespace tvlib::binding {

void discard_result(py::object result) {
  PyObject* raw = result.ptr();
  if (raw == Py_None || raw == Py_True || raw == Py_False) {
    // Kept on purpose: see the header.
    static_cast<void>(result.release());
  }
}

}  // namespace tvlib::binding
