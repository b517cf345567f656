// The certificate authorities a connection trusts, parsed once per process
// where the TLS backend lets us hand it a finished store. Reading the
// platform's CA bundle costs about 20 ms of CPU, which libcurl would otherwise
// pay for every connection, and every request has a connection of its own.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace tvlib::http::detail {

// Has `handle` verify its peer against one store of the platform's CA bundle
// and folder plus the certificates of `extra_pem` (may be empty). The store is
// built on first use and again only when `extra_pem` changes. The result keeps
// the store alive and must outlive the request. Empty, with the handle left as
// it was, where the TLS backend cannot take a store or the platform's
// certificates do not load cleanly: libcurl reads them per connection then.
std::shared_ptr<void> use_process_trust_store(CURL* handle,
                                              const std::string& extra_pem);

}  // namespace tvlib::http::detail
