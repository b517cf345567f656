#include "core/http/curl_handle.hpp"

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "core/http/client.hpp"

namespace tvlib::http::detail {

void ensure_curl_initialised() {
  // A function-local static is initialised exactly once even when several
  // threads make their first Client at the same time. There is no matching
  // cleanup: other code in the host process may still be using libcurl.
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK) {
    throw TransportError(
        FailureKind::other,
        std::string("libcurl could not be set up: ") + curl_easy_strerror(result));
  }
}

EasyHandle make_easy_handle() {
  ensure_curl_initialised();
  EasyHandle handle(curl_easy_init());
  if (!handle) {
    throw std::bad_alloc();
  }
  return handle;
}

MultiHandle make_multi_handle() {
  ensure_curl_initialised();
  MultiHandle handle(curl_multi_init());
  if (!handle) {
    throw std::bad_alloc();
  }
  return handle;
}

namespace {

// The share and its locks, made together and never destroyed: handles held
// in thread-local clients may still use the share while the process ends,
// and the share takes its locks whenever it is used. One mutex per kind of
// data libcurl may share; it asks for the lock of the kind it is about to
// touch, so unrelated kinds never wait for each other.
struct TlsSessionShare {
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  CURLSH* share = nullptr;
};

// libcurl asks only for kinds below CURL_LOCK_DATA_LAST; nothing here may
// throw into its C frames.
void lock_share(CURL* /*easy*/, curl_lock_data data, curl_lock_access /*access*/,
                void* shared) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) {
    static_cast<TlsSessionShare*>(shared)->locks[static_cast<std::size_t>(data)].lock();
  }
}

void unlock_share(CURL* /*easy*/, curl_lock_data data, void* shared) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) {
    static_cast<TlsSessionShare*>(shared)
        ->locks[static_cast<std::size_t>(data)]
        .unlock();
  }
}

void check_share(CURLSHcode result, const char* what) {
  if (result != CURLSHE_OK) {
    throw TransportError(FailureKind::other, std::string("libcurl could not share ") +
                                                 what + ": " +
                                                 curl_share_strerror(result));
  }
}

TlsSessionShare* make_tls_session_share() {
  ensure_curl_initialised();
  auto shared = std::make_unique<TlsSessionShare>();
  shared->share = curl_share_init();
  if (shared->share == nullptr) {
    throw std::bad_alloc();
  }
  CURLSH* share = shared->share;
  try {
    check_share(curl_share_setopt(share, CURLSHOPT_USERDATA, shared.get()), "locks");
    check_share(curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &lock_share), "locks");
    check_share(curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &unlock_share), "locks");
    check_share(curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION),
                "TLS sessions");
  } catch (...) {
    curl_share_cleanup(share);
    throw;
  }
  return shared.release();
}

}  // namespace

CURLSH* shared_tls_sessions(const std::string& trust) {
  // Each made once, by whichever thread comes first; never cleaned up (see
  // above). A process meets a handful of trusts at most: the extra bundle
  // changes when a user or an administrator changes it.
  static std::mutex mutex;
  static auto* const shares = new std::map<std::string, TlsSessionShare*>;
  const std::scoped_lock lock(mutex);
  TlsSessionShare*& shared = (*shares)[trust];
  if (shared == nullptr) {
    shared = make_tls_session_share();
  }
  return shared->share;
}

void HeaderList::append(const std::string& line) {
  curl_slist* longer = curl_slist_append(list_.get(), line.c_str());
  if (longer == nullptr) {
    throw std::bad_alloc();
  }
  // On success libcurl returns the same head node (or a new one for an empty
  // list), so ownership stays with one pointer.
  static_cast<void>(list_.release());
  list_.reset(longer);
}

void check_option(CURLcode result, const char* option) {
  if (result != CURLE_OK) {
    throw TransportError(FailureKind::other,
                         std::string("libcurl refused the option ") + option + ": " +
                             curl_easy_strerror(result));
  }
}

void check_multi(CURLMcode result, const char* operation) {
  if (result != CURLM_OK) {
    throw TransportError(FailureKind::other, std::string("libcurl could not ") +
                                                 operation + ": " +
                                                 curl_multi_strerror(result));
  }
}

}  // namespace tvlib::http::detail
