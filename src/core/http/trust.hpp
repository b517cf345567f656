// Which certificate authorities a request trusts: the platform's, plus the
// PEM bundle the request names (read from KOLVAREN_CA_BUNDLE by its maker).
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "core/http/ca_bundle.hpp"

namespace tvlib::http::detail {

class TrustAnchors {
 public:
  // Sets the trust options on a freshly reset handle, for one request whose
  // extra bundle is `bundle` (a UTF-8 path, empty for none). Reads the file
  // for every request, so that a change of its contents counts at once (a
  // bundle is a few kilobytes). Where the TLS backend allows, the connection
  // verifies against the process's store (trust_store.hpp)
  // instead of parsing the CA files anew.
  void apply(CURL* handle, const std::string& bundle);

  // What the last apply() trusted, as a key for the TLS sessions verified
  // under it: empty for the platform's certificate authorities alone, else
  // the SHA-256 of the bundle's path and contents (hex).
  [[nodiscard]] const std::string& fingerprint() const { return fingerprint_; }

 private:
  std::string bundle_path_;  // the file `extra_pem_` was read from
  std::string extra_pem_;    // the certificates of KOLVAREN_CA_BUNDLE
  std::string fingerprint_;
  std::string pem_;              // platform bundle followed by the extra one
  std::shared_ptr<void> store_;  // the process's store, held for the request
};

}  // namespace tvlib::http::detail
