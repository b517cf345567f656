// The parts of a URL that may appear in messages: host and port, never the
// path or query (tokens travel there).
#pragma once

#include <optional>
#include <string>

namespace tvlib::http::detail {

struct Endpoint {
  std::string host;  // as in the URL, "[::1]" for IPv6 literals
  long port = 0;     // the scheme's default when the URL names none

  // "127.0.0.1 port 4433", or "the server" when the URL could not be read.
  [[nodiscard]] std::string text() const;
};

Endpoint endpoint_of(const std::string& url);
// A proxy's, read as libcurl reads it: http:// when it names no scheme, and
// port 443 (https://) or 1080 when it names none.
Endpoint proxy_endpoint_of(const std::string& proxy);

// Scheme, host and port: what decides which server a request reaches and
// whether it is encrypted. Scheme and host in lower case.
struct Origin {
  std::string scheme;
  Endpoint endpoint;

  [[nodiscard]] bool same_as(const Origin& other) const {
    return scheme == other.scheme && endpoint.host == other.endpoint.host &&
           endpoint.port == other.endpoint.port;
  }
};

// The origin of `reference` read relative to `base`, as a Location header's
// value is read against the URL it answered; nothing when it is no URL.
std::optional<Origin> origin_of(const std::string& base, const std::string& reference);

// The text with the path and query of `url` cut out wherever they occur.
std::string without_url_secrets(std::string text, const std::string& url);

}  // namespace tvlib::http::detail
