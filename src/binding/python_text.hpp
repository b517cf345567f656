// Text forms of Python values, as the interpreter itself makes them.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tvlib::binding {

namespace py = pybind11;

// Python's truth value of `value`, as `if value:` reads it. A value whose
// truth test raises raises here too.
bool is_true(py::handle value);

// str(value) as UTF-8.
std::string text_of(py::handle value);

// The message of the Python exception being handled, as str(exc) gives it.
std::string message_of(const py::error_already_set& error);

// print(line) to the interpreter's standard output (the host's script console).
void print_line(const std::string& line);

}  // namespace tvlib::binding
