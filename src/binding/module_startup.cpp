#include "binding/module_startup.hpp"

#include "binding/python_text.hpp"

namespace tvlib::binding {

HostEnvironment start_in_host() {
  py::module_::import("sys").attr("dont_write_bytecode") = true;

  py::object rt;
  try {
    rt = py::module_::import("pymxs").attr("runtime");
  } catch (py::error_already_set& e) {
    // Without a runtime the Qt choice below cannot be made. The original error
    // becomes the cause: a pymxs that is there but broken says why.
    py::raise_from(e, PyExc_ImportError,
                   "tvlib runs inside the host only: pymxs.runtime is not available");
    throw py::error_already_set();
  }
  const long year = host_release_year(rt);
  return HostEnvironment{HostBridge(rt), load_qt_binding(year)};
}

}  // namespace tvlib::binding
