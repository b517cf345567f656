#include "core/http/ca_bundle.hpp"

#include "core/http/environment.hpp"

namespace tvlib::http {

std::string ca_bundle_setting() {
  return environment_value(extra_ca_variable).value_or(std::string());
}

}  // namespace tvlib::http
