#include "binding/python_text.hpp"

namespace tvlib::binding {

bool is_true(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) {
    throw py::error_already_set();
  }
  return result == 1;
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

std::string message_of(const py::error_already_set& error) {
  return text_of(error.value());
}

void print_line(const std::string& line) { py::print(py::str(line)); }

}  // namespace tvlib::binding
