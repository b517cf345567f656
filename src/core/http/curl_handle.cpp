#include "core/http/curl_handle.hpp"

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
