#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>

#include "core/http/client.hpp"
#include "core/http/endpoint.hpp"

namespace tvlib::http {

namespace {

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// One part of a parsed URL, empty when absent.
std::string part_of(CURLU* url, CURLUPart part, unsigned int flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) {
    return {};
  }
  std::string copy(text);
  curl_free(text);
  return copy;
}

Url parse(const std::string& url) {
  Url parsed(curl_url());
  if (parsed &&
      curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    parsed.reset();
  }
  return parsed;
}

void cut_all(std::string& text, const std::string& part) {
  if (part.empty()) {
    return;
  }
  static constexpr std::string_view mark = "...";
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + mark.size())) {
    text.replace(at, part.size(), mark);
  }
}

}  // namespace

std::string url_encode(std::string_view text) {
  static constexpr std::array<char, 16> digits = {
      '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (unreserved(byte)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(digits[byte >> 4U]);
      encoded.push_back(digits[byte & 0x0FU]);
    }
  }
  return encoded;
}

std::string url_path_segment(std::string_view text) {
  if (text == "." || text == "..") {
    return text.size() == 1 ? "%2E" : "%2E%2E";
  }
  return url_encode(text);
}

std::string url_with_query(const std::string& url, const Fields& query) {
  std::string result = url;
  char separator = url.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [name, value] : query) {
    result.push_back(separator);
    result.append(url_encode(name)).append("=").append(url_encode(value));
    separator = '&';
  }
  return result;
}

namespace detail {

std::string Endpoint::text() const {
  if (host.empty()) {
    return "the server";
  }
  return port > 0 ? host + " port " + std::to_string(port) : host;
}

Endpoint endpoint_of(const std::string& url) {
  const Url parsed = parse(url);
  if (!parsed) {
    return {};
  }
  Endpoint endpoint;
  endpoint.host = part_of(parsed.get(), CURLUPART_HOST);
  const std::string port = part_of(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  endpoint.port = port.empty() ? 0 : std::stol(port);
  return endpoint;
}

Endpoint proxy_endpoint_of(const std::string& proxy) {
  const Url parsed =
      parse(proxy.find("://") == std::string::npos ? "http://" + proxy : proxy);
  if (!parsed) {
    return {};
  }
  Endpoint endpoint;
  endpoint.host = part_of(parsed.get(), CURLUPART_HOST);
  const std::string port = part_of(parsed.get(), CURLUPART_PORT);
  if (!port.empty()) {
    endpoint.port = std::stol(port);
  } else {
    endpoint.port = part_of(parsed.get(), CURLUPART_SCHEME) == "https" ? 443 : 1080;
  }
  return endpoint;
}

std::optional<Origin> origin_of(const std::string& base, const std::string& reference) {
  Url parsed = parse(base);
  // Setting a relative URL on a parsed one resolves it against that one; the
  // flags are those libcurl reads a Location header with, and a scheme this
  // libcurl was built without (ftp: in an HTTP-only build) still parses, so
  // that the refusal can name it.
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, reference.c_str(),
                              CURLU_URLENCODE | CURLU_ALLOW_SPACE |
                                  CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  const auto lower = [](std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
  };
  Origin origin;
  origin.scheme = lower(part_of(parsed.get(), CURLUPART_SCHEME));
  origin.endpoint.host = lower(part_of(parsed.get(), CURLUPART_HOST));
  const std::string port = part_of(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  origin.endpoint.port = port.empty() ? 0 : std::stol(port);
  return origin;
}

std::string without_url_secrets(std::string text, const std::string& url) {
  cut_all(text, url);
  if (const Url parsed = parse(url)) {
    cut_all(text, part_of(parsed.get(), CURLUPART_QUERY));
    const std::string path = part_of(parsed.get(), CURLUPART_PATH);
    if (path.size() > 1) {
      cut_all(text, path);
    }
  }
  return text;
}

}  // namespace detail
}  // namespace tvlib::http
