// What each of our modules does first when the host loads it.
#pragma once

#include <pybind11/pybind11.h>

#include "binding/host_bridge.hpp"
#include "binding/qt_binding.hpp"

namespace tvlib::binding {

struct HostEnvironment {
  HostBridge host;
  QtBinding qt;
};

// In this order: stop the interpreter from writing bytecode caches, bind the
// host runtime, choose the Qt binding by the host's release year. Outside the
// host there is no runtime and start-up fails with an ImportError.
HostEnvironment start_in_host();

}  // namespace tvlib::binding
