// sast(): starts the plug-in inside the host with the bootstrap script.
#include "tvcore/bootstrap_script.hpp"
#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

void init_bootstrap(py::module_& m) {
  m.def(
      "sast",
      []() {
        // The value of the script is of no use to the caller; its errors are.
        environment().host.execute(bootstrap_script);
      },
      "Runs the plug-in's bootstrap script in the host: the kolvaren record, the "
      "localization, the three start-up programs and kolvaren.run.");
}

}  // namespace tvlib::tvcore
