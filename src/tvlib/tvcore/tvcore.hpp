// The plug-in support module: what its files share.
#pragma once

#include <pybind11/pybind11.h>

#include "binding/module_startup.hpp"

namespace tvlib::tvcore {

namespace py = pybind11;

// Bound once at start-up, used by every command for the rest of the process.
binding::HostEnvironment& environment();

void init_base_address(py::module_& m);
void init_account_store(py::module_& m);
void init_bootstrap(py::module_& m);
void init_screen_geometry(py::module_& m);
void init_update_preferences(py::module_& m);

// gescre(): (available width, available height, scale against 96 DPI).
py::tuple screen_geometry();
// A size designed for 96 DPI, in pixels at `scale`.
int scaled(int designed, double scale);

}  // namespace tvlib::tvcore
