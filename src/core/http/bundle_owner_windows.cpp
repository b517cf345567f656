#include "core/http/bundle_owner.hpp"

namespace tvlib::http {

std::optional<std::string> bundle_exposure(const std::string& /*path*/) {
  return std::nullopt;
}

}  // namespace tvlib::http
