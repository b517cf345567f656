// Which certificate authorities a request trusts: the platform's, plus the
// PEM bundle named by KOLVAREN_CA_BUNDLE (tests, inspecting corporate proxies).
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tvlib::http::detail {

inline constexpr const char* extra_ca_variable = "KOLVAREN_CA_BUNDLE";

class TrustAnchors {
 public:
  // Sets the trust options on a freshly reset handle, for one request. Reads
  // the environment each time, the extra file only when the variable names
  // another file. Where the TLS backend allows, the connection verifies against
  // the process's store (trust_store.hpp) instead of parsing the CA files anew.
  void apply(CURL* handle);

 private:
  std::string bundle_path_;      // the file `extra_pem_` was read from
  std::string extra_pem_;        // the certificates of KOLVAREN_CA_BUNDLE
  std::string pem_;              // platform bundle followed by the extra one
  std::shared_ptr<void> store_;  // the process's store, held for the request
};

}  // namespace tvlib::http::detail
