#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/http/environment.hpp"
#include "tvcore/base_address_constant.hpp"
#include "tvcore/tvcore.hpp"

namespace tvlib::tvcore {

namespace {

bool is_https(std::string_view address) {
  constexpr std::string_view scheme = "https://";
  if (address.size() <= scheme.size()) {
    return false;
  }
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    const char c = address[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != scheme[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

void init_base_address(py::module_& m) {
  // Read once: the address stays the same for the whole host process. Set to
  // nothing, the variable leaves the build's address in place.
  std::string address = deployment_base_address;
  if (std::optional<std::string> override =
          http::environment_value("KOLVAREN_BASE_URL");
      override && !override->empty()) {
    address = std::move(*override);
  }
  // The update client sends credentials and takes packages to run from this
  // address; over anything but HTTPS anyone on the way could read or change
  // them. The client refuses other schemes too, but failing here names the
  // setting to mend instead of failing each update run.
  if (!is_https(address)) {
    throw py::import_error("the release service's address '" + address +
                           "' (KOLVAREN_BASE_URL) is not an https:// address; the "
                           "update client speaks HTTPS only");
  }
  m.def(
      "baur", [address]() { return address; },
      "The release service's base address: an HTTPS origin without trailing slash.");
}

}  // namespace tvlib::tvcore
