#include "core/http/proxy_choice.hpp"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "core/http/endpoint.hpp"
#include "core/http/environment.hpp"
#include "core/http/system_proxy.hpp"

namespace tvlib::http {

namespace {

constexpr std::array<const char*, 7> variable_names = {
    "http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
    "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return text;
}

std::string upper(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) {
    return static_cast<char>(std::toupper(c));
  });
  return text;
}

// An address of the family `family` (AF_INET: 4 bytes, AF_INET6: 16).
std::optional<std::array<unsigned char, 16>> address_of(int family,
                                                        const std::string& text) {
  std::array<unsigned char, 16> bytes{};
  if (inet_pton(family, text.c_str(), bytes.data()) != 1) {
    return std::nullopt;
  }
  return bytes;
}

// Whether `host` lies in the range `entry` ("10.0.0.0/8", or one address).
bool in_range(int family, const std::array<unsigned char, 16>& host,
              std::string_view entry) {
  const std::size_t size = family == AF_INET ? 4 : 16;
  auto bits = static_cast<unsigned>(size * 8);
  const std::size_t slash = entry.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view digits = entry.substr(slash + 1);
    unsigned given = 0;
    if (std::from_chars(digits.data(), digits.data() + digits.size(), given).ec !=
            std::errc() ||
        given > bits) {
      return false;
    }
    // As libcurl: "/0" compares the whole address.
    bits = given == 0 ? bits : given;
    entry = entry.substr(0, slash);
  }
  const std::optional<std::array<unsigned char, 16>> network =
      address_of(family, std::string(entry));
  if (!network) {
    return false;
  }
  for (std::size_t i = 0; i < size && bits > 0; ++i, bits -= std::min(bits, 8U)) {
    const auto mask = static_cast<unsigned char>(0xff00U >> std::min(bits, 8U));
    if (((host[i] ^ (*network)[i]) & mask) != 0) {
      return false;
    }
  }
  return true;
}

std::string scheme_of(const std::string& url) {
  const std::size_t end = url.find("://");
  return end == std::string::npos ? std::string() : lower(url.substr(0, end));
}

}  // namespace

std::optional<std::string> ProxyVariables::value(std::string_view name) const {
  for (const auto& [variable, value] : set) {
    if (variable == name) {
      return value;
    }
  }
  return std::nullopt;
}

ProxyVariables proxy_variables() {
  ProxyVariables variables;
  for (const char* name : variable_names) {
    if (std::optional<std::string> value = environment_value(name);
        value && !value->empty()) {
      variables.set.emplace_back(name, std::move(*value));
    }
  }
  return variables;
}

namespace detail {

bool no_proxy_names(std::string_view list, std::string host) {
  if (list == "*") {
    return true;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int family = 0;
  std::optional<std::array<unsigned char, 16>> address;
  if (address = address_of(AF_INET, host); address) {
    family = AF_INET;
  } else if (address = address_of(AF_INET6, host); address) {
    family = AF_INET6;
  } else {
    host = lower(std::move(host));
    if (!host.empty() && host.back() == '.') {
      host.pop_back();
    }
  }
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t end = std::min(list.find_first_of(", \t", at), list.size());
    std::string_view entry = list.substr(at, end - at);
    at = end + 1;
    if (entry.empty()) {
      continue;
    }
    if (family != 0) {
      if (in_range(family, *address, entry)) {
        return true;
      }
      continue;
    }
    std::string name = lower(std::string(entry));
    if (name.back() == '.') {
      name.pop_back();
    }
    if (!name.empty() && name.front() == '.') {
      name.erase(0, 1);
    }
    if (name.empty() || name.size() > host.size()) {
      continue;
    }
    if (host == name ||
        (host.ends_with(name) && host[host.size() - name.size() - 1] == '.')) {
      return true;
    }
  }
  return false;
}

}  // namespace detail

ProxyChoice choose_proxy(const ProxyVariables& variables, const std::string& url) {
  ProxyChoice choice;
  if (variables.set.empty()) {
    if (const std::optional<detail::SystemProxy> system =
            detail::system_proxy_for(url)) {
      choice.proxy = system->proxy;
      choice.source = "the system's Internet settings";
      choice.sign_in_with_logon = system->sign_in_with_logon;
    }
    return choice;
  }
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const std::optional<std::string> list = variables.value(name)) {
      if (detail::no_proxy_names(*list, detail::endpoint_of(url).host)) {
        choice.source = name;
        choice.bypassed = true;
        return choice;
      }
      break;  // the upper-case list counts only where the lower-case one is unset
    }
  }
  const std::string scheme = scheme_of(url);
  std::vector<std::string> names{scheme + "_proxy"};
  // http_proxy only in lower case: a CGI program's HTTP_PROXY comes from the
  // request's "Proxy:" header.
  if (scheme != "http") {
    names.push_back(upper(names.front()));
  }
  names.emplace_back("all_proxy");
  names.emplace_back("ALL_PROXY");
  for (const std::string& name : names) {
    if (std::optional<std::string> proxy = variables.value(name)) {
      choice.proxy = std::move(*proxy);
      choice.source = name;
      return choice;
    }
  }
  return choice;
}

}  // namespace tvlib::http
