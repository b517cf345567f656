#include "core/http/trust_store.hpp"

namespace tvlib::http::detail {

// Schannel takes its roots from the system store, which Windows itself keeps
// parsed; there is nothing to build once.
std::shared_ptr<void> use_process_trust_store(CURL* /*handle*/,
                                              const std::string& /*extra_pem*/) {
  return {};
}

}  // namespace tvlib::http::detail
