// The host's Qt for Python: PySide2 (Qt 5) before the 2026 host, PySide6 after.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tvlib::binding {

namespace py = pybind11;

struct QtBinding {
  std::string name;  // "PySide2" or "PySide6"
  py::module_ core;
  py::module_ gui;
  py::module_ widgets;
};

// The first host year that ships Qt 6.
inline constexpr long first_qt6_year = 2026;

const char* qt_binding_for_year(long release_year);

// Element 7 of the host's maxversion(): its release year.
long host_release_year(const py::object& rt);

// Imports the binding the host's year calls for. A missing binding is an
// ImportError that names it and the year.
QtBinding load_qt_binding(long release_year);

}  // namespace tvlib::binding
