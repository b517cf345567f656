#include "binding/python_text.hpp"

namespace tvlib::binding {

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

std::string message_of(const py::error_already_set& error) {
  return text_of(error.value());
}

void print_line(const std::string& line) { py::print(py::str(line)); }

}  // namespace tvlib::binding
