// tvcore: the plug-in support module.
#include <pybind11/pybind11.h>

#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

namespace {
// Never destroyed: Python objects must not be released after the interpreter
// has gone, which a static's destructor at process exit would do.
binding::HostEnvironment* g_environment = nullptr;
}  // namespace

binding::HostEnvironment& environment() { return *g_environment; }

namespace {
void init_module(py::module_& m) {
  g_environment = new binding::HostEnvironment(binding::start_in_host());
  m.attr("rt") = environment().host.runtime();
  init_base_address(m);
  init_account_store(m);
  init_bootstrap(m);
  init_screen_geometry(m);
  init_update_preferences(m);
}
}  // namespace

}  // namespace tvlib::tvcore

PYBIND11_MODULE(tvcore, m) { tvlib::tvcore::init_module(m); }
