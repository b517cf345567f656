// Turns a failed transfer into a TransportError of the right kind, with a
// message a support desk can act on. Messages name host and port only.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/http/client.hpp"
#include "core/http/endpoint.hpp"

namespace tvlib::http::detail {

// What is known about a transfer when libcurl gave up on it.
struct FailedTransfer {
  CURLcode code = CURLE_OK;
  std::string detail;        // libcurl's error buffer, URL paths and queries cut out
  bool connected = false;    // a request was under way on an established connection
  Endpoint target;           // the server of the request that failed (after redirects)
  std::string peer_address;  // the address libcurl last connected to, if any
  long peer_port = 0;
  long os_error = 0;
  long certificate_check = 0;     // the TLS library's verification result, 0 = passed
  long proxy_status = 0;          // the proxy's reply to the tunnel request
  std::string proxy_source;       // what named the proxy ("https_proxy", ...), if any
  std::optional<Endpoint> proxy;  // the proxy the request went through, if any
  bool proxy_signed_in = false;   // credentials from the proxy's URL were offered
  bool proxy_logon = false;       // the Windows logon was offered
  std::chrono::milliseconds connect_timeout{0};
  bool replied = false;  // a reply's status line had arrived
  std::uint64_t body_received = 0;
  std::optional<std::uint64_t> body_announced;
};

TransportError classify(const FailedTransfer& failure);

TransportError read_timeout_error(const Endpoint& target,
                                  std::chrono::milliseconds limit);

TransportError cut_short_error(const Endpoint& target, std::uint64_t received,
                               std::uint64_t announced);

TransportError head_too_large_error(const Endpoint& target, std::size_t limit);

// A redirect that would leave HTTPS or the server the request was sent to.
TransportError redirect_refused_error(const Endpoint& from, const Origin& to);

// The overall limit of a request passed: before the final reply's head had
// arrived (`head_only`), or before the whole reply had.
TransportError deadline_error(const Endpoint& target, std::chrono::milliseconds limit,
                              bool head_only, bool connected);

// A reply without a length of its own went on past the limit taken from it.
TransportError unannounced_body_too_large_error(const Endpoint& target,
                                                std::uint64_t limit);

// A reply announced a body larger than the limit.
TransportError announced_body_too_large_error(const Endpoint& target,
                                              std::uint64_t announced,
                                              std::uint64_t limit);

// A reply's body came slower than `rate` bytes per second over `period`.
TransportError slow_body_error(const Endpoint& target, std::uint64_t rate,
                               std::chrono::milliseconds period,
                               std::uint64_t received);

// "1 second", "10 seconds", "0.3 seconds".
std::string seconds_text(std::chrono::milliseconds duration);

}  // namespace tvlib::http::detail
