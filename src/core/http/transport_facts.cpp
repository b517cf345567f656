#include "core/http/transport_facts.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/http/ca_bundle.hpp"
#include "core/http/endpoint.hpp"
#include "core/http/environment.hpp"
#include "core/http/system_proxy.hpp"

namespace tvlib::http {

namespace {

// Unset and empty alike mean "not set" here, as libcurl reads them.
std::optional<std::string> variable(const char* name) {
  std::optional<std::string> value = environment_value(name);
  if (value && value->empty()) {
    return std::nullopt;
  }
  return value;
}

std::string lower(std::string text) {
  std::ranges::transform(text, text.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return text;
}

// Whether a no_proxy list names `host`, as libcurl reads it: "*" names every
// host, a name entry names itself and the hosts under it (".example.org" and
// "example.org" alike), an address names only itself (ranges are not read).
bool bypassed(std::string_view list, std::string host) {
  host = lower(std::move(host));
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const bool address = host.find(':') != std::string::npos ||
                       host.find_first_not_of("0123456789.") == std::string::npos;
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t end = std::min(list.find_first_of(", \t", at), list.size());
    std::string entry = lower(std::string(list.substr(at, end - at)));
    at = end + 1;
    if (entry == "*") {
      return true;
    }
    while (!entry.empty() && entry.front() == '.') {
      entry.erase(0, 1);
    }
    if (entry.empty() || entry.size() > host.size()) {
      continue;
    }
    if (host == entry || (!address && host.ends_with(entry) &&
                          host[host.size() - entry.size() - 1] == '.')) {
      return true;
    }
  }
  return false;
}

std::string scheme_of(const std::string& url) {
  const std::size_t end = url.find("://");
  return end == std::string::npos ? std::string() : lower(url.substr(0, end));
}

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};

std::string system_trust() {
#ifdef _WIN32
  return "the Windows certificate store";
#else
  const std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
  if (!handle) {
    throw std::runtime_error("libcurl could not make a handle");
  }
  std::string where;
#if LIBCURL_VERSION_NUM >= 0x075400  // CURLINFO_CAINFO and CAPATH: 7.84.0
  const char* file = nullptr;
  const char* folder = nullptr;
  curl_easy_getinfo(handle.get(), CURLINFO_CAINFO, &file);
  curl_easy_getinfo(handle.get(), CURLINFO_CAPATH, &folder);
  if (file != nullptr) {
    where = std::string("CA file ") + file;
  }
  if (folder != nullptr) {
    where += (where.empty() ? "" : ", ") + std::string("CA folder ") + folder;
  }
#endif
  return where.empty() ? "the TLS library's default store" : where;
#endif
}

}  // namespace

namespace detail {

std::optional<std::string> proxy_from_environment(const std::string& url,
                                                  std::string& source) {
  const Endpoint endpoint = endpoint_of(url);
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const auto list = variable(name); list && bypassed(*list, endpoint.host)) {
      source = name;
      return std::nullopt;
    }
  }
  const std::string scheme = scheme_of(url);
  std::vector<std::string> names;
  // libcurl reads http_proxy only in lower case: a CGI program's HTTP_PROXY
  // comes from the request's "Proxy:" header.
  names.push_back(scheme + "_proxy");
  if (scheme != "http") {
    std::string upper = names.front();
    std::ranges::transform(upper, upper.begin(), [](unsigned char c) {
      return static_cast<char>(std::toupper(c));
    });
    names.push_back(upper);
  }
  names.emplace_back("all_proxy");
  names.emplace_back("ALL_PROXY");
  for (const std::string& name : names) {
    if (auto proxy = variable(name.c_str())) {
      source = name;
      return proxy;
    }
  }
  return std::nullopt;
}

std::string without_credentials(const std::string& proxy) {
  const std::size_t scheme_end = proxy.find("://");
  const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const std::size_t host_end = std::min(proxy.find('/', start), proxy.size());
  const std::size_t at = proxy.rfind('@', host_end);
  if (at == std::string::npos || at < start) {
    return proxy;
  }
  return proxy.substr(0, start) + proxy.substr(at + 1);
}

}  // namespace detail

TransportFacts transport_facts(const std::string& url) {
  TransportFacts facts;
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info == nullptr) {
    throw std::runtime_error("libcurl reports no version");
  }
  facts.curl_version = info->version != nullptr ? info->version : "unknown";
  facts.tls_backend = info->ssl_version != nullptr ? info->ssl_version : "none";
  facts.system_trust = system_trust();
  if (std::string bundle = ca_bundle_setting(); !bundle.empty()) {
    const std::u8string path(bundle.begin(), bundle.end());
    facts.extra_bundle_readable =
        std::ifstream(std::filesystem::path(path), std::ios::binary).good();
    facts.extra_bundle = std::move(bundle);
  }
  std::string source;
  std::optional<std::string> proxy = detail::proxy_from_environment(url, source);
  if (!proxy && source.empty()) {
    if (const auto system = detail::system_proxy_for(url)) {
      proxy = system->proxy;
      source = "the system's Internet settings";
    }
  }
  if (proxy) {
    facts.proxy = detail::without_credentials(*proxy);
    facts.proxy_source = source;
  } else {
    facts.proxy_source = source.empty() ? "none set" : source + " names the host";
  }
  return facts;
}

}  // namespace tvlib::http
