// Owning holders for libcurl's handles, and option setting that fails loudly.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

// Needed: PREREQFUNCTION (7.80), CURLINFO_CAINFO (7.84), PROTOCOLS_STR (7.85).
static_assert(LIBCURL_VERSION_NUM >= 0x075500, "libcurl 7.85 or later is needed");

namespace tvlib::http::detail {

// Initialises libcurl for the process once; every handle is made after it.
void ensure_curl_initialised();

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

EasyHandle make_easy_handle();
MultiHandle make_multi_handle();

// TLS sessions shared by every handle of the process, so that a request on a
// new connection resumes the session of an earlier one, whichever thread made
// it. Only sessions are shared, never connections: each request still gets a
// connection of its own. libcurl calls the share's lock functions (one mutex
// per kind of shared data) around every use, which makes the share safe to use
// from several threads at once; OpenSSL's sessions are reference-counted and
// themselves thread-safe. The share and its mutexes live as long as the
// process: handles that use it may be cleaned up as late as thread exit.
//
// One share per trust (`trust`: a fingerprint of the certificate authorities
// a request trusts besides the platform's): a resumed session skips the check
// of the server's certificate, so a session verified under one trust must
// never serve a request under another. libcurl's own matching cannot tell
// them apart: the trust reaches OpenSSL through a callback, not its options.
CURLSH* shared_tls_sessions(const std::string& trust);

// Request header lines in libcurl's list form.
class HeaderList {
 public:
  void append(const std::string& line);
  [[nodiscard]] curl_slist* get() const noexcept { return list_.get(); }

 private:
  std::unique_ptr<curl_slist, ListDeleter> list_;
};

// An option that libcurl refuses leaves the request in a state we did not
// intend, so it ends the request instead of being ignored.
void check_option(CURLcode result, const char* option);
void check_multi(CURLMcode result, const char* operation);

template <typename Value>
void set_option(CURL* handle, CURLoption option, Value value, const char* name) {
  check_option(curl_easy_setopt(handle, option, value), name);
}

}  // namespace tvlib::http::detail
