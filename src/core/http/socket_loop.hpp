// Runs transfers by waiting on libcurl's sockets ourselves. Seeing every
// moment data arrives is what lets the read time-out bound each wait for
// reply data exactly, header bytes included; libcurl's own low-speed limit
// averages over a window, and its progress callback may fire only once a
// second while nothing moves.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "core/http/curl_handle.hpp"

namespace tvlib::http::detail {

struct RunResult {
  CURLcode code = CURLE_OK;
  bool read_timed_out = false;   // stopped by us: the server went quiet too long
  bool connected = false;        // a request was under way on an established connection
  bool deadline_passed = false;  // stopped by us: the whole exchange took too long
};

class SocketLoop {
 public:
  SocketLoop();
  SocketLoop(const SocketLoop&) = delete;
  SocketLoop& operator=(const SocketLoop&) = delete;
  SocketLoop(SocketLoop&&) = delete;
  SocketLoop& operator=(SocketLoop&&) = delete;
  ~SocketLoop() = default;

  // Runs the transfer set up on `easy` to its end, calling `before_wait`
  // before each wait for the network; no wait lasts longer than it returns,
  // and what it throws ends the transfer. The transfer stops once `deadline`
  // has passed; it is read anew before every wait, so libcurl's callbacks may
  // move or lift it. The connection of a transfer stopped early is closed,
  // never reused.
  RunResult run(CURL* easy, std::chrono::milliseconds read_timeout,
                const std::optional<std::chrono::steady_clock::time_point>& deadline,
                const std::function<std::chrono::milliseconds()>& before_wait);

 private:
  using Clock = std::chrono::steady_clock;
  struct Watch {
    curl_socket_t socket;
    int what;  // CURL_POLL_IN, _OUT or _INOUT
  };

  static int on_socket(CURL* easy, curl_socket_t socket, int what, void* loop,
                       void* socket_data);
  static int on_timer(CURLM* multi, long timeout_ms, void* loop);
  static int on_request_start(void* loop, char* primary_ip, char* local_ip,
                              int primary_port, int local_port);

  void act(curl_socket_t socket, int events);
  [[nodiscard]] long redirects() const;
  std::optional<CURLcode> finished();
  void wait(std::chrono::milliseconds limit);

  MultiHandle multi_;
  CURL* easy_ = nullptr;
  std::vector<Watch> watches_;
  std::optional<Clock::time_point> timer_due_;
  // The read clock runs from the moment a request starts on an established
  // connection until the transfer ends or moves on to a new connection.
  bool awaiting_reply_ = false;
  Clock::time_point last_progress_;
  long hop_ = 0;  // redirects followed when the current request started
};

}  // namespace tvlib::http::detail
