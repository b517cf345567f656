// What a support engineer asks first about the transport of this process:
// which libcurl and TLS library, where trust comes from, and which proxy a
// request to a given address would take. Read without sending anything.
#pragma once

#include <optional>
#include <string>

namespace tvlib::http {

struct TransportFacts {
  std::string curl_version;  // "8.5.0"
  std::string tls_backend;   // libcurl's TLS library: "OpenSSL/3.0.15", "Schannel"
  // The platform's trust: its CA file and folder, or the Windows store.
  std::string system_trust;
  // The extra PEM bundle named by KOLVAREN_CA_BUNDLE, when the variable is set.
  std::optional<std::string> extra_bundle;
  bool extra_bundle_readable = false;
  // Why another user could change it, when they could: requests refuse it.
  std::optional<std::string> extra_bundle_exposure;
  // The proxy a request to the address takes (choose_proxy), without any
  // credentials it carries, and where it was set; nothing for a direct
  // connection.
  std::optional<std::string> proxy;
  // "https_proxy", "the system's Internet settings", or for a direct
  // connection "none set" or "no_proxy names the host".
  std::string proxy_source;
};

// Throws std::runtime_error when libcurl cannot be initialised.
TransportFacts transport_facts(const std::string& url);

namespace detail {

// `proxy` without a user name or password ("http://u:p@h:3128" gives
// "http://h:3128").
std::string without_credentials(const std::string& proxy);

}  // namespace detail

}  // namespace tvlib::http
