// HTTP client over libcurl: one attempt per request, HTTPS only, redirects
// followed within the origin of the request, TLS verification always on,
// the proxy that the request's variables decide. Knows nothing of Python.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http/proxy_choice.hpp"

namespace tvlib::http {

// How a request failed. The callers turn each kind into their own texts.
enum class FailureKind {
  connect_timeout,  // the connection attempt did not finish in time
  connect_failed,   // refused, name not resolved, TLS/certificate, proxy
  read_timeout,     // connected, but a wait for reply data lasted too long
  other,            // anything else (broken off, truncated body, ...)
};

class TransportError : public std::runtime_error {
 public:
  TransportError(FailureKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  [[nodiscard]] FailureKind kind() const noexcept { return kind_; }

 private:
  FailureKind kind_;
};

using Field = std::pair<std::string, std::string>;
using Fields = std::vector<Field>;

struct Request {
  std::string method = "GET";       // "GET" or "POST"
  std::string url;                  // without query
  Fields query;                     // URL-encoded and appended in this order
  Fields headers;                   // sent as given
  std::optional<std::string> body;  // POST body, sent as is
  // UTF-8 path of a PEM file of certificate authorities trusted besides the
  // platform's; empty for none. Its maker reads it (ca_bundle.hpp), so that
  // a request never reads the environment on a thread of its own.
  std::string ca_bundle;
  // The proxy variables, read by the request's maker (proxy_variables()) for
  // the same reason; none set: the system's setting where there is one, else
  // direct. libcurl is given the proxy they decide and reads none itself.
  ProxyVariables proxy;
  // Bounds the connection attempt (TCP and TLS handshake).
  std::chrono::milliseconds connect_timeout{10000};
  // Bounds each wait for reply data, not the whole exchange.
  std::chrono::milliseconds read_timeout{10000};
  // Bound the exchange as a whole, whatever its single waits: from the start
  // to the end of the reply, and from the start to the end of the final
  // reply's head. Zero: no such bound.
  std::chrono::milliseconds total_timeout{0};
  std::chrono::milliseconds head_timeout{0};
  // The most body bytes taken from a reply. A reply that announces more
  // (Content-Length) is refused from its head, before any body byte reaches
  // the handler; one without a length is stopped once it goes past. Either
  // way a TransportError.
  std::uint64_t max_body = std::numeric_limits<std::uint64_t>::max();
  // The slowest body taken: once the final reply's head has arrived, every
  // `min_body_period` must bring at least `min_body_rate` bytes per second
  // of it, or the transfer stops with a TransportError. A trickle would
  // otherwise hold the transfer for ever, each single wait being short.
  // Zero rate: no such bound.
  std::uint64_t min_body_rate = 0;
  std::chrono::milliseconds min_body_period{60000};
};

// Status line and headers of the final reply (after redirects).
struct Head {
  long status = 0;
  Fields headers;  // in arrival order, names as sent by the server

  // Case-insensitive lookup of the first header with this name.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

struct Response {
  Head head;
  std::string body;
};

// Receives a streamed reply. `on_head` is called exactly once, before the
// first body piece (or before `on_end` for an empty body); `on_piece` gets the
// body in arrival order, pieces of 1 to 8192 bytes; `on_end` when the body
// is complete; `on_wait` whenever the transfer is about to wait for the
// network: it returns how long that wait may last before it is called again
// (at least 1 ms), so that a handler holding work back can hand it on during
// a pause. An exception thrown by a handler aborts the transfer and is
// rethrown by `Client::stream` unchanged.
class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  virtual void on_head(const Head& head) = 0;
  virtual void on_piece(std::span<const std::byte> piece) = 0;
  virtual void on_end() {}
  virtual std::chrono::milliseconds on_wait() {
    return std::chrono::milliseconds::max();
  }
};

inline constexpr std::size_t max_piece_size = 8192;

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  Client(Client&&) noexcept;
  Client& operator=(Client&&) noexcept;

  // Sends the request and reads the whole reply. Throws TransportError.
  Response send(const Request& request);

  // Sends the request and hands the reply over as it arrives.
  // Throws TransportError, or whatever a handler threw.
  void stream(const Request& request, StreamHandler& handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// URL-encodes one query component (RFC 3986 unreserved characters kept).
std::string url_encode(std::string_view text);

// The text as exactly one URL path segment: encoded as a query component is,
// and "." and ".." encoded as well, which a URL would otherwise resolve.
std::string url_path_segment(std::string_view text);

// The URL with its query parameters appended in order.
std::string url_with_query(const std::string& url, const Fields& query);

}  // namespace tvlib::http
