// Which certificate authorities a request trusts: the platform's, plus the
// PEM bundle named by KOLVAREN_CA_BUNDLE (tests, inspecting corporate proxies).
#pragma once

#include <curl/curl.h>

#include <string>

namespace tvlib::http::detail {

inline constexpr const char* extra_ca_variable = "KOLVAREN_CA_BUNDLE";

class TrustAnchors {
 public:
  // Sets the trust options on a freshly reset handle. Reads the environment
  // each time, the files only when the variable names another file.
  void apply(CURL* handle);

 private:
  std::string bundle_path_;  // the file `pem_` was built from
  std::string pem_;          // platform bundle followed by the extra one
};

}  // namespace tvlib::http::detail
