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

#include "core/http/bundle_owner.hpp"
#include "core/http/ca_bundle.hpp"
#include "core/http/endpoint.hpp"
#include "core/http/proxy_choice.hpp"

namespace tvlib::http {

namespace {

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
    facts.extra_bundle_exposure = bundle_exposure(bundle);
    facts.extra_bundle = std::move(bundle);
  }
  // The decision every request makes, from the same variables.
  const ProxyChoice choice = choose_proxy(proxy_variables(), url);
  if (!choice.proxy.empty()) {
    facts.proxy = detail::without_credentials(choice.proxy);
    facts.proxy_source = choice.source;
  } else if (choice.bypassed) {
    facts.proxy_source = choice.source + " names the host";
  } else {
    facts.proxy_source = choice.source.empty() ? "none set" : choice.source;
  }
  return facts;
}

}  // namespace tvlib::http
