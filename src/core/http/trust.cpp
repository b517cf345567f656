#include "core/http/trust.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>

#include "core/files/path_text.hpp"
#include "core/http/bundle_owner.hpp"
#include "core/http/client.hpp"
#include "core/http/curl_handle.hpp"
#include "core/http/trust_store.hpp"
#include "core/integrity/signature.hpp"

namespace tvlib::http::detail {

namespace {

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return std::nullopt;
  }
  return std::move(text).str();
}

// The path and the contents, each after its length, so that no two pairs
// give the same bytes.
std::string fingerprint_of(const std::string& path, const std::string& pem) {
  integrity::Sha256 hash;
  for (const std::string* part : {&path, &pem}) {
    const std::string length = std::to_string(part->size()) + ":";
    hash.update(std::as_bytes(std::span(length)));
    hash.update(std::as_bytes(std::span(*part)));
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : hash.finish()) {
    text.push_back(hex[byte >> 4]);
    text.push_back(hex[byte & 0xf]);
  }
  return text;
}

}  // namespace

void TrustAnchors::apply(CURL* handle, const std::string& bundle) {
  set_option(handle, CURLOPT_SSL_VERIFYPEER, 1L, "SSL_VERIFYPEER");
  set_option(handle, CURLOPT_SSL_VERIFYHOST, 2L, "SSL_VERIFYHOST");
#ifdef _WIN32
  // Windows keeps its roots in the system store, not in files; an OpenSSL
  // build of libcurl reads them only when asked, Schannel always does.
  set_option(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA),
             "SSL_OPTIONS");
#endif
  const std::string& path = bundle;
  if (path.empty()) {
    extra_pem_.clear();
    bundle_path_.clear();
    fingerprint_.clear();
  } else {
    // A bundle another local user could change would let them decide whom
    // the requests trust, credentials and packages included.
    if (const std::optional<std::string> exposure = bundle_exposure(path)) {
      throw TransportError(
          FailureKind::connect_failed,
          "the certificate bundle named by " + std::string(extra_ca_variable) + " (" +
              path + ") is refused: another user could change it, as " + *exposure);
    }
    // UTF-8 to a path, or Windows would read the name in the ANSI code page.
    std::optional<std::string> extra = read_file(files::path_from_utf8(path));
    if (!extra) {
      throw TransportError(FailureKind::connect_failed,
                           "the certificate bundle named by " +
                               std::string(extra_ca_variable) + " (" + path +
                               ") could not be read");
    }
    if (*extra != extra_pem_ || path != bundle_path_) {
      extra_pem_ = std::move(*extra);
      bundle_path_ = path;
      fingerprint_ = fingerprint_of(path, extra_pem_);
      pem_.clear();
    }
  }
  store_ = use_process_trust_store(handle, extra_pem_);
  if (store_ || path.empty()) {
    return;
  }
  if (pem_.empty()) {
    // A CA blob replaces libcurl's default CA file, so the blob carries that
    // file's certificates too; the default CA folder stays in use as it is.
    const char* platform_file = nullptr;
    curl_easy_getinfo(handle, CURLINFO_CAINFO, &platform_file);
    if (platform_file != nullptr) {
      pem_ = read_file(files::path_from_utf8(platform_file)).value_or(std::string());
      pem_.push_back('\n');
    }
    pem_.append(extra_pem_);
  }
  curl_blob blob{pem_.data(), pem_.size(), CURL_BLOB_NOCOPY};
  if (curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob) != CURLE_OK) {
    // A TLS backend without blob support still takes a file, trusted in
    // addition to its system store where the backend has one.
    set_option(handle, CURLOPT_CAINFO, path.c_str(), "CAINFO");
  }
}

}  // namespace tvlib::http::detail
