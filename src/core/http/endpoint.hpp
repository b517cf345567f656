// The parts of a URL that may appear in messages: host and port, never the
// path or query (tokens travel there).
#pragma once

#include <string>

namespace tvlib::http::detail {

struct Endpoint {
  std::string host;  // as in the URL, "[::1]" for IPv6 literals
  long port = 0;     // the scheme's default when the URL names none

  // "127.0.0.1 port 4433", or "the server" when the URL could not be read.
  [[nodiscard]] std::string text() const;
};

Endpoint endpoint_of(const std::string& url);

// The text with the path and query of `url` cut out wherever they occur.
std::string without_url_secrets(std::string text, const std::string& url);

}  // namespace tvlib::http::detail
