#include "core/http/system_proxy.hpp"

namespace tvlib::http::detail {

// libcurl reads the proxy variables itself, and they are the only system
// setting POSIX has.
void apply_system_proxy(CURL* /*handle*/, const std::string& /*url*/) {}

std::optional<SystemProxy> system_proxy_for(const std::string& /*url*/) {
  return std::nullopt;
}

}  // namespace tvlib::http::detail
