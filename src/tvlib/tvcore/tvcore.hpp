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

}  // namespace tvlib::tvcore
