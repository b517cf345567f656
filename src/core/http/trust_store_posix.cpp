// The process's certificate store for libcurl over OpenSSL: parsed once,
// handed to every connection's SSL_CTX by libcurl's context callback.
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <climits>
#include <mutex>
#include <string_view>

#include "core/http/curl_handle.hpp"
#include "core/http/trust_store.hpp"

namespace tvlib::http::detail {

namespace {

using Store = std::shared_ptr<X509_STORE>;

// The address at which the object loaded as `library` (libcurl) finds
// `symbol`, searching it and what it depends on as the dynamic linker does;
// null when that cannot be told.
void* seen_from(void* library_symbol, const char* symbol) {
  Dl_info info{};
  if (dladdr(library_symbol, &info) == 0 || info.dli_fname == nullptr) {
    return nullptr;
  }
  void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) {
    return nullptr;
  }
  void* found = dlsym(library, symbol);
  dlclose(library);
  return found;
}

// The SSL_CTX that libcurl passes its context callback may take our store
// only when libcurl's TLS runs on the very OpenSSL we were linked with: two
// copies of one version in a process (a host that brings its own) have
// separate structures and locks. So libcurl's TLS backend must be OpenSSL,
// and the functions its libraries resolve must be the ones we call.
bool backend_is_our_openssl() {
  static const bool same = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || info->ssl_version == nullptr ||
        !std::string_view(info->ssl_version).starts_with("OpenSSL/")) {
      return false;
    }
    // Function addresses as data: dladdr and dlsym deal in them.
    auto* const curl = reinterpret_cast<void*>(&curl_version_info);
    return seen_from(curl, "SSL_CTX_set1_cert_store") ==
               reinterpret_cast<void*>(&SSL_CTX_set1_cert_store) &&
           seen_from(curl, "X509_STORE_up_ref") ==
               reinterpret_cast<void*>(&X509_STORE_up_ref);
  }();
  return same;
}

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Adds the certificates and CRLs of a PEM text, as libcurl does with a CA
// file; false when the text does not parse or holds no certificate.
bool add_pem(X509_STORE* store, BIO* pem) {
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(pem, nullptr, nullptr, nullptr);
  if (infos == nullptr) {
    return false;
  }
  int certificates = 0;
  bool added = true;
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    const X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509 != nullptr) {
      added = added && X509_STORE_add_cert(store, info->x509) == 1;
      ++certificates;
    }
    if (info->crl != nullptr) {
      added = added && X509_STORE_add_crl(store, info->crl) == 1;
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return added && certificates > 0;
}

Store build_store(const std::string& file, const std::string& folder,
                  const std::string& extra_pem) {
  Store store(X509_STORE_new(), &X509_STORE_free);
  bool whole = store != nullptr && extra_pem.size() <= INT_MAX;
  if (whole && !file.empty()) {
    const Bio pem(BIO_new_file(file.c_str(), "r"));
    whole = pem && add_pem(store.get(), pem.get());
  }
  if (whole && !folder.empty()) {
    // Looked up by subject hash at verification time, as libcurl does.
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    whole = lookup != nullptr &&
            X509_LOOKUP_add_dir(lookup, folder.c_str(), X509_FILETYPE_PEM) == 1;
  }
  if (whole && !extra_pem.empty()) {
    const Bio pem(
        BIO_new_mem_buf(extra_pem.data(), static_cast<int>(extra_pem.size())));
    whole = pem && add_pem(store.get(), pem.get());
  }
  if (whole) {
    // The flags libcurl gives the stores it builds: chains are built from
    // trusted certificates first, and an intermediate in the store anchors one.
    whole = X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST |
                                                  X509_V_FLAG_PARTIAL_CHAIN) == 1;
  }
  // Parsing leaves its errors in the thread's queue, where libcurl would
  // take them for the cause of a later TLS failure.
  ERR_clear_error();
  return whole ? store : Store();
}

// The one store of the process and what it was built from. Never destroyed:
// handles in thread-local clients may use it while the process ends.
struct ProcessStore {
  std::mutex mutex;
  std::string file;
  std::string folder;
  std::string extra_pem;
  Store store;
};

Store process_store(const std::string& file, const std::string& folder,
                    const std::string& extra_pem) {
  static auto* const shared = new ProcessStore;
  const std::scoped_lock lock(shared->mutex);
  if (!shared->store || shared->file != file || shared->folder != folder ||
      shared->extra_pem != extra_pem) {
    Store built = build_store(file, folder, extra_pem);
    if (!built) {
      return {};
    }
    shared->store = std::move(built);
    shared->file = file;
    shared->folder = folder;
    shared->extra_pem = extra_pem;
  }
  return shared->store;
}

// libcurl's context callback: the connection verifies against the process's
// store. SSL_CTX_set1_cert_store takes a reference of its own.
CURLcode install_store(CURL* /*easy*/, void* ssl_ctx, void* store) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx),
                          static_cast<X509_STORE*>(store));
  return CURLE_OK;
}

std::string info_text(CURL* handle, CURLINFO info) {
  const char* text = nullptr;
  curl_easy_getinfo(handle, info, &text);
  return text != nullptr ? text : "";
}

}  // namespace

std::shared_ptr<void> use_process_trust_store(CURL* handle,
                                              const std::string& extra_pem) {
  if (!backend_is_our_openssl()) {
    return {};
  }
  // After a reset these are libcurl's built-in CA file and folder.
  Store store = process_store(info_text(handle, CURLINFO_CAINFO),
                              info_text(handle, CURLINFO_CAPATH), extra_pem);
  if (!store) {
    return {};
  }
  // libcurl 7.88 sets up a connection's store after the context callback, from
  // these sources: with none it only sets the flags the store already has.
  set_option(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr), "CAINFO");
  set_option(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr), "CAPATH");
#if LIBCURL_VERSION_NUM >= 0x075700
  // Its own cache would hand a later connection the store of an earlier one,
  // outdated once the extra certificates change. Older libcurl has no cache
  // and refuses the option, which is fine.
  curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
  set_option(handle, CURLOPT_SSL_CTX_FUNCTION, &install_store, "SSL_CTX_FUNCTION");
  set_option(handle, CURLOPT_SSL_CTX_DATA, static_cast<void*>(store.get()),
             "SSL_CTX_DATA");
  return store;
}

}  // namespace tvlib::http::detail
