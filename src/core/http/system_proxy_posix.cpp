#include "core/http/system_proxy.hpp"

namespace tvlib::http::detail {

// The proxy variables are the only system setting POSIX has.
std::optional<SystemProxy> system_proxy_for(const std::string& /*url*/) {
  return std::nullopt;
}

}  // namespace tvlib::http::detail
