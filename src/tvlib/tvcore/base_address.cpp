#include <cstdlib>
#include <string>

#include "tvcore/base_address_constant.hpp"
#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

void init_base_address(py::module_& m) {
  // Read once: the address stays the same for the whole host process.
  std::string address = deployment_base_address;
  if (const char* override = std::getenv("KOLVAREN_BASE_URL");
      override != nullptr && *override != '\0') {
    address = override;
  }
  m.def(
      "baur", [address]() { return address; },
      "The release service's base address: an HTTPS origin without trailing slash.");
}

}  // namespace tvlib::tvcore
