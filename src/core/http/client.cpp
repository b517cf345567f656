#include "core/http/client.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "core/http/curl_handle.hpp"
#include "core/http/endpoint.hpp"
#include "core/http/failure.hpp"
#include "core/http/head_collector.hpp"
#include "core/http/proxy_choice.hpp"
#include "core/http/socket_loop.hpp"
#include "core/http/trust.hpp"

namespace tvlib::http {

namespace {

constexpr const char* user_agent = "tvlib/0.1.0";
constexpr long max_redirects = 10;

using Clock = std::chrono::steady_clock;

std::optional<std::uint64_t> announced_length(const Head& head);
bool bodiless(long status);

// The state of one request, reached from libcurl's callbacks.
struct Exchange {
  Exchange(StreamHandler& handler, CURL* easy, const Request& request)
      : handler(handler), easy(easy), request(request) {
    const Clock::time_point start = Clock::now();
    if (request.total_timeout.count() > 0) {
      total_due = start + request.total_timeout;
    }
    if (request.head_timeout.count() > 0) {
      head_due = start + request.head_timeout;
    }
    deadline = earlier(total_due, head_due);
  }

  StreamHandler& handler;
  CURL* easy;
  const Request& request;
  detail::HeadCollector head;
  bool head_end_seen = false;  // the current head's empty line was handled
  bool final_head = false;     // the head of the reply that is not followed
  bool head_delivered = false;
  std::uint64_t body_received = 0;
  std::optional<Clock::time_point> total_due;
  std::optional<Clock::time_point> head_due;
  std::optional<Clock::time_point> deadline;  // the earlier of those still running
  std::exception_ptr failure;  // thrown by a handler, rethrown after libcurl returns
  // The current period of the body's rate bound: its start, and the body
  // bytes it has brought so far.
  std::optional<Clock::time_point> period_start;
  std::uint64_t period_received = 0;

  static std::optional<Clock::time_point> earlier(std::optional<Clock::time_point> a,
                                                  std::optional<Clock::time_point> b) {
    if (a && b) {
      return std::min(*a, *b);
    }
    return a ? a : b;
  }

  [[nodiscard]] std::string current_url() const {
    const char* url = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
    return url != nullptr ? url : request.url;
  }

  // Called once per head, at its empty line, before libcurl acts on it.
  void on_head_end() {
    const Head& current = head.head();
    const std::optional<std::string> location = current.header("Location");
    // libcurl follows every 3xx with a non-empty Location: each such hop is
    // checked here, before anything goes out to where it leads.
    if (current.status >= 300 && current.status < 400 && location &&
        !location->empty()) {
      check_redirect(*location);
      return;
    }
    if (current.status >= 200) {
      final_head = true;
      deadline = total_due;
      check_announced_length();
      if (request.min_body_rate > 0) {
        period_start = Clock::now();
      }
    }
  }

  // Each period of the body must bring its share of bytes; checked as pieces
  // arrive and before every wait, so that silence is caught as well.
  void check_body_rate(Clock::time_point now) {
    if (!period_start || now - *period_start < request.min_body_period) {
      return;
    }
    const std::uint64_t wanted =
        request.min_body_rate *
        static_cast<std::uint64_t>(request.min_body_period.count()) / 1000;
    if (period_received < wanted) {
      throw detail::slow_body_error(detail::endpoint_of(current_url()),
                                    request.min_body_rate, request.min_body_period,
                                    period_received);
    }
    period_start = now;
    period_received = 0;
  }

  // How long the next wait may last before the rate is due to be checked.
  [[nodiscard]] std::chrono::milliseconds until_rate_check(
      Clock::time_point now) const {
    if (!period_start) {
      return std::chrono::milliseconds::max();
    }
    const Clock::time_point due = *period_start + request.min_body_period;
    return due <= now ? std::chrono::milliseconds(0)
                      : std::chrono::ceil<std::chrono::milliseconds>(due - now);
  }

  // A length beyond the limit is refused before the body starts, so that not
  // a byte of it is written: whoever answers for the service must not be
  // able to fill the disk by announcing one.
  void check_announced_length() const {
    const Head& current = head.head();
    if (const std::optional<std::uint64_t> announced = announced_length(current);
        announced && !bodiless(current.status) && *announced > request.max_body) {
      throw detail::announced_body_too_large_error(detail::endpoint_of(current_url()),
                                                   *announced, request.max_body);
    }
  }

  // A request goes only where it was sent, and only over HTTPS: the token
  // request carries the account's credentials, the others a token, and a
  // service (or whoever answers in its name) must not be able to send them,
  // or the client itself, to another host of the user's network.
  void check_redirect(const std::string& location) const {
    const std::string from = current_url();
    const std::optional<detail::Origin> here = detail::origin_of(from, from);
    const std::optional<detail::Origin> there = detail::origin_of(from, location);
    if (!there) {
      throw TransportError(FailureKind::other, "redirect from " +
                                                   detail::endpoint_of(from).text() +
                                                   " refused: its Location is no URL");
    }
    if (!here || there->scheme != "https" || !there->same_as(*here)) {
      throw detail::redirect_refused_error(detail::endpoint_of(from), *there);
    }
  }

  void deliver_head() {
    if (!head_delivered) {
      head_delivered = true;
      handler.on_head(head.head());
    }
  }
};

// Handler exceptions must not unwind through libcurl's C frames: they are
// kept, and the short count returned makes libcurl stop the transfer.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t total = size * count;
  try {
    exchange.head.add_line({data, total});
    if (exchange.head.oversized()) {
      return 0;  // a short count stops the transfer; perform() names the cause
    }
    if (std::string_view(data, total).starts_with("HTTP/")) {
      exchange.head_end_seen = false;
    } else if (exchange.head.ended() && !exchange.head_end_seen) {
      exchange.head_end_seen = true;
      exchange.on_head_end();
    }
    return total;
  } catch (...) {
    exchange.failure = std::current_exception();
    return 0;
  }
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t total = size * count;
  try {
    exchange.deliver_head();
    // Whatever the head said, the limit holds for the bytes themselves. A
    // reply with a length never gets here past it: that was refused from the
    // head, and libcurl takes no more than the length.
    if (total > exchange.request.max_body - exchange.body_received) {
      throw detail::unannounced_body_too_large_error(
          detail::endpoint_of(exchange.current_url()), exchange.request.max_body);
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    // libcurl keeps to the buffer size asked for, but a larger delivery must
    // still reach the handler in pieces it can take one at a time.
    for (std::size_t offset = 0; offset < total; offset += max_piece_size) {
      const std::size_t length = std::min(max_piece_size, total - offset);
      exchange.handler.on_piece({bytes + offset, length});
      exchange.body_received += length;
    }
    exchange.period_received += total;
    exchange.check_body_rate(Clock::now());
    return total;
  } catch (...) {
    exchange.failure = std::current_exception();
    return 0;
  }
}

// A Content-Length beside a Transfer-Encoding means nothing: the encoding
// frames the body.
std::optional<std::uint64_t> announced_length(const Head& head) {
  if (head.header("Transfer-Encoding")) {
    return std::nullopt;
  }
  const std::optional<std::string> value = head.header("Content-Length");
  std::uint64_t length = 0;
  if (!value || value->empty() ||
      std::from_chars(value->data(), value->data() + value->size(), length).ec !=
          std::errc()) {
    return std::nullopt;
  }
  return length;
}

// Statuses whose replies have no body whatever their headers say.
bool bodiless(long status) { return status < 200 || status == 204 || status == 304; }

detail::HeaderList header_list(const Request& request) {
  detail::HeaderList list;
  for (const auto& [name, value] : request.headers) {
    // A line break in a value (a token from the network, say) would smuggle
    // further header lines into the request.
    constexpr std::string_view line_breaks("\r\n\0", 3);
    if (name.find_first_of(line_breaks) != std::string::npos ||
        value.find_first_of(line_breaks) != std::string::npos) {
      throw std::invalid_argument("the header " + name + " contains a line break");
    }
    // "Name:" alone would make libcurl drop the header; "Name;" sends it empty.
    std::string line = name;
    line.append(value.empty() ? ";" : ": ").append(value);
    list.append(line);
  }
  // A server that ignores 100-continue costs a round trip and a one-second
  // stall before the body goes out.
  list.append("Expect:");
  return list;
}

class Collector final : public StreamHandler {
 public:
  void on_head(const Head& head) override { response_.head = head; }
  void on_piece(std::span<const std::byte> piece) override {
    response_.body.append(reinterpret_cast<const char*>(piece.data()), piece.size());
  }
  Response take() { return std::move(response_); }

 private:
  Response response_;
};

bool head_line_refused(CURLcode code) {
#if LIBCURL_VERSION_NUM >= 0x080600
  if (code == CURLE_TOO_LARGE) {
    return true;
  }
#endif
  return code == CURLE_OUT_OF_MEMORY;
}

// The proxy as decided, and nothing left for libcurl to look up: with
// neither option set it would read the proxy variables itself, on our thread.
void apply_proxy(CURL* handle, const ProxyChoice& choice) {
  using detail::set_option;
  set_option(handle, CURLOPT_PROXY, choice.proxy.c_str(), "PROXY");
  set_option(handle, CURLOPT_NOPROXY, "", "NOPROXY");
  if (choice.sign_in_with_logon) {
    // Company proxies mostly ask for the Windows logon; an empty user name
    // tells libcurl's SSPI to use the signed-in user's.
    set_option(handle, CURLOPT_PROXYAUTH,
               static_cast<long>(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM), "PROXYAUTH");
    set_option(handle, CURLOPT_PROXYUSERPWD, ":", "PROXYUSERPWD");
  }
}

// Whether a proxy URL carries a user name (and so libcurl signs in with it).
bool has_user_part(const std::string& proxy_url) {
  const auto scheme_end = proxy_url.find("://");
  const auto start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const auto end = proxy_url.find_first_of("/?#", start);
  return proxy_url.substr(start, end - start).find('@') != std::string::npos;
}

std::chrono::milliseconds at_least_1ms(std::chrono::milliseconds duration) {
  return std::max(duration, std::chrono::milliseconds(1));
}

}  // namespace

struct Client::Impl {
  detail::EasyHandle easy = detail::make_easy_handle();
  detail::SocketLoop loop;
  detail::TrustAnchors trust;
  std::array<char, CURL_ERROR_SIZE> error{};

  void perform(const Request& request, StreamHandler& handler);
  void configure(const Request& request, const std::string& url,
                 const detail::HeaderList& headers, Exchange& exchange);
  [[nodiscard]] detail::Endpoint target(const std::string& url) const;
  [[nodiscard]] detail::FailedTransfer describe(CURLcode code, bool connected,
                                                const Request& request,
                                                const std::string& url,
                                                const Exchange& exchange) const;
};

void Client::Impl::configure(const Request& request, const std::string& url,
                             const detail::HeaderList& headers, Exchange& exchange) {
  using detail::set_option;
  CURL* handle = easy.get();
  // A reset clears the previous request's options; the TLS sessions to resume
  // live in the process-wide shares, one attached again below.
  curl_easy_reset(handle);
  error[0] = '\0';
  set_option(handle, CURLOPT_ERRORBUFFER, error.data(), "ERRORBUFFER");
  set_option(handle, CURLOPT_NOSIGNAL, 1L, "NOSIGNAL");
  set_option(handle, CURLOPT_URL, url.c_str(), "URL");
  // The path goes as built, each segment encoded: libcurl 8 would read a
  // segment "%2E" or "%2E%2E" (a token of dots) as a step and drop it.
  set_option(handle, CURLOPT_PATH_AS_IS, 1L, "PATH_AS_IS");
  // HTTPS only, redirects included. The header callback refuses a redirect
  // elsewhere before libcurl follows it, with a message; this is the backstop.
  set_option(handle, CURLOPT_PROTOCOLS_STR, "https", "PROTOCOLS_STR");
  set_option(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https", "REDIR_PROTOCOLS_STR");
  // HTTP/1.1 everywhere: one framing, the one the tests exercise.
  set_option(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1),
             "HTTP_VERSION");
  // One attempt per request: libcurl silently sends a request again when the
  // reused connection it went out on turns out dead. So each request gets a
  // connection of its own, and resumes the TLS session of an earlier one from
  // the cache every client of the process shares (an abbreviated handshake).
  set_option(handle, CURLOPT_FRESH_CONNECT, 1L, "FRESH_CONNECT");
  set_option(handle, CURLOPT_FORBID_REUSE, 1L, "FORBID_REUSE");
  set_option(handle, CURLOPT_FOLLOWLOCATION, 1L, "FOLLOWLOCATION");
  set_option(handle, CURLOPT_MAXREDIRS, max_redirects, "MAXREDIRS");
  set_option(handle, CURLOPT_CONNECTTIMEOUT_MS,
             static_cast<long>(at_least_1ms(request.connect_timeout).count()),
             "CONNECTTIMEOUT_MS");
  set_option(handle, CURLOPT_BUFFERSIZE, static_cast<long>(max_piece_size),
             "BUFFERSIZE");
  // Body bytes reach the caller exactly as the server sent them.
  set_option(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L, "HTTP_CONTENT_DECODING");
  set_option(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L, "SUPPRESS_CONNECT_HEADERS");
  set_option(handle, CURLOPT_USERAGENT, user_agent, "USERAGENT");
  set_option(handle, CURLOPT_HTTPHEADER, headers.get(), "HTTPHEADER");
  set_option(handle, CURLOPT_HEADERFUNCTION, &on_header, "HEADERFUNCTION");
  set_option(handle, CURLOPT_HEADERDATA, &exchange, "HEADERDATA");
  set_option(handle, CURLOPT_WRITEFUNCTION, &on_body, "WRITEFUNCTION");
  set_option(handle, CURLOPT_WRITEDATA, &exchange, "WRITEDATA");
  if (request.method == "POST") {
    // libcurl reads the body from the request itself, which outlives the transfer.
    const char* body = request.body ? request.body->data() : "";
    const std::size_t size = request.body ? request.body->size() : 0;
    set_option(handle, CURLOPT_POST, 1L, "POST");
    set_option(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size),
               "POSTFIELDSIZE_LARGE");
    set_option(handle, CURLOPT_POSTFIELDS, body, "POSTFIELDS");
  } else if (request.method == "GET" && !request.body) {
    set_option(handle, CURLOPT_HTTPGET, 1L, "HTTPGET");
  } else {
    throw std::invalid_argument("HTTP requests are GET without a body or POST, not " +
                                request.method + (request.body ? " with a body" : ""));
  }
  trust.apply(handle, request.ca_bundle);
  // Sessions are resumed only under the trust they were verified with.
  set_option(handle, CURLOPT_SHARE, detail::shared_tls_sessions(trust.fingerprint()),
             "SHARE");
  apply_proxy(handle, choose_proxy(request.proxy, url));
}

detail::Endpoint Client::Impl::target(const std::string& url) const {
  const char* effective = nullptr;
  curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
  return detail::endpoint_of(effective != nullptr ? std::string(effective) : url);
}

detail::FailedTransfer Client::Impl::describe(CURLcode code, bool connected,
                                              const Request& request,
                                              const std::string& url,
                                              const Exchange& exchange) const {
  CURL* handle = easy.get();
  detail::FailedTransfer failure;
  failure.code = code;
  failure.connected = connected;
  failure.target = target(url);
  std::string detail = error.data();
  if (const char* effective = nullptr;
      curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective != nullptr) {
    detail = detail::without_url_secrets(std::move(detail), effective);
  }
  failure.detail = detail::without_url_secrets(std::move(detail), url);
  if (const char* address = nullptr;
      curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK &&
      address != nullptr) {
    failure.peer_address = address;
  }
  curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &failure.peer_port);
  curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &failure.os_error);
  curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &failure.certificate_check);
  curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &failure.proxy_status);
  const ProxyChoice choice = choose_proxy(request.proxy, url);
  if (!choice.proxy.empty()) {
    failure.proxy = detail::proxy_endpoint_of(choice.proxy);
  }
  if (failure.proxy_status != 0) {
    failure.proxy_source = choice.source;
    failure.proxy_signed_in = has_user_part(choice.proxy);
    failure.proxy_logon = choice.sign_in_with_logon;
  }
  failure.connect_timeout = at_least_1ms(request.connect_timeout);
  failure.replied = exchange.head.head().status != 0;
  failure.body_received = exchange.body_received;
  failure.body_announced = announced_length(exchange.head.head());
  return failure;
}

void Client::Impl::perform(const Request& request, StreamHandler& handler) {
  const std::string url = url_with_query(request.url, request.query);
  const detail::HeaderList headers = header_list(request);
  Exchange exchange(handler, easy.get(), request);
  configure(request, url, headers, exchange);
  const auto read_timeout = at_least_1ms(request.read_timeout);
  const detail::RunResult result =
      loop.run(easy.get(), read_timeout, exchange.deadline, [&handler, &exchange] {
        const std::chrono::milliseconds wanted = handler.on_wait();
        const Clock::time_point now = Clock::now();
        exchange.check_body_rate(now);
        return std::min(wanted, exchange.until_rate_check(now));
      });
  if (exchange.failure) {
    std::rethrow_exception(exchange.failure);
  }
  if (result.read_timed_out) {
    throw detail::read_timeout_error(target(url), read_timeout);
  }
  if (result.deadline_passed) {
    const bool head_late =
        !exchange.final_head && exchange.head_due && *exchange.head_due <= Clock::now();
    throw detail::deadline_error(
        target(url), head_late ? request.head_timeout : request.total_timeout,
        head_late, result.connected);
  }
  // libcurl refuses a single header line beyond its own limit (100 KiB) as
  // "out of memory" (as "too large" from 8.6), before the line reaches on_header.
  if (exchange.head.oversized() || (head_line_refused(result.code) &&
                                    result.connected && !exchange.head_delivered)) {
    throw detail::head_too_large_error(target(url), detail::max_head_size);
  }
  if (result.code != CURLE_OK) {
    const TransportError error = detail::classify(
        describe(result.code, result.connected, request, url, exchange));
    // libcurl 7.88 keeps a failed name lookup's receive buffer, and then
    // refuses the next request's options; a fresh handle has no such leftovers.
    easy = detail::make_easy_handle();
    throw TransportError(error.kind(), error.what());
  }
  // libcurl notices a body cut short of its Content-Length; this holds the
  // line should a transfer ever end cleanly without it.
  const Head& head = exchange.head.head();
  if (const auto announced = announced_length(head);
      announced && !bodiless(head.status) && exchange.body_received < *announced) {
    throw detail::cut_short_error(target(url), exchange.body_received, *announced);
  }
  exchange.deliver_head();
  handler.on_end();
}

Client::Client() : impl_(std::make_unique<Impl>()) {}
Client::~Client() = default;
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

Response Client::send(const Request& request) {
  Collector collector;
  impl_->perform(request, collector);
  return collector.take();
}

void Client::stream(const Request& request, StreamHandler& handler) {
  impl_->perform(request, handler);
}

}  // namespace tvlib::http
