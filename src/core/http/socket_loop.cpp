#include "core/http/socket_loop.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <thread>

#include "core/http/client.hpp"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace tvlib::http::detail {

namespace {

#ifdef _WIN32
using PollEntry = WSAPOLLFD;
int poll_sockets(std::vector<PollEntry>& entries, std::chrono::milliseconds limit) {
  return WSAPoll(entries.data(), static_cast<ULONG>(entries.size()),
                 static_cast<INT>(limit.count()));
}
int last_poll_error() { return WSAGetLastError(); }
#else
using PollEntry = pollfd;
int poll_sockets(std::vector<PollEntry>& entries, std::chrono::milliseconds limit) {
  return ::poll(entries.data(), static_cast<nfds_t>(entries.size()),
                static_cast<int>(limit.count()));
}
int last_poll_error() { return errno; }
#endif

// Leaves the multi handle free for the next request, whatever ended this one.
class Attachment {
 public:
  Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
    check_multi(curl_multi_add_handle(multi, easy), "start the request");
  }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;
  Attachment(Attachment&&) = delete;
  Attachment& operator=(Attachment&&) = delete;
  ~Attachment() { curl_multi_remove_handle(multi_, easy_); }

 private:
  CURLM* multi_;
  CURL* easy_;
};

std::chrono::milliseconds time_until(std::chrono::steady_clock::time_point due,
                                     std::chrono::steady_clock::time_point now) {
  if (due <= now) {
    return std::chrono::milliseconds(0);
  }
  return std::chrono::ceil<std::chrono::milliseconds>(due - now);
}

}  // namespace

SocketLoop::SocketLoop() : multi_(make_multi_handle()) {
  check_multi(curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, &on_socket),
              "watch sockets");
  check_multi(curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this),
              "watch sockets");
  check_multi(curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, &on_timer),
              "set timers");
  check_multi(curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this), "set timers");
}

int SocketLoop::on_socket(CURL* /*easy*/, curl_socket_t socket, int what, void* loop,
                          void* /*socket_data*/) {
  auto& watches = static_cast<SocketLoop*>(loop)->watches_;
  std::erase_if(watches,
                [socket](const Watch& watch) { return watch.socket == socket; });
  if (what != CURL_POLL_REMOVE) {
    watches.push_back({socket, what});
  }
  return 0;
}

int SocketLoop::on_timer(CURLM* /*multi*/, long timeout_ms, void* loop) {
  auto& due = static_cast<SocketLoop*>(loop)->timer_due_;
  if (timeout_ms < 0) {
    due.reset();
  } else {
    due = Clock::now() + std::chrono::milliseconds(timeout_ms);
  }
  return 0;
}

// libcurl calls this once the connection stands (TLS included) and the
// request is about to go out, for every request of a redirect chain.
int SocketLoop::on_request_start(void* loop, char* /*primary_ip*/, char* /*local_ip*/,
                                 int /*primary_port*/, int /*local_port*/) {
  auto& self = *static_cast<SocketLoop*>(loop);
  self.awaiting_reply_ = true;
  self.last_progress_ = Clock::now();
  self.hop_ = self.redirects();
  return CURL_PREREQFUNC_OK;
}

long SocketLoop::redirects() const {
  long count = 0;
  curl_easy_getinfo(easy_, CURLINFO_REDIRECT_COUNT, &count);
  return count;
}

void SocketLoop::act(curl_socket_t socket, int events) {
  int running = 0;
  check_multi(curl_multi_socket_action(multi_.get(), socket, events, &running),
              "move the transfer on");
  // A followed redirect that needs a new connection is in its connect phase
  // until its request starts; the connect time-out covers that part.
  if (awaiting_reply_ && redirects() != hop_) {
    awaiting_reply_ = false;
  }
}

std::optional<CURLcode> SocketLoop::finished() {
  int queued = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
      return message->data.result;
    }
  }
  return std::nullopt;
}

void SocketLoop::wait(std::chrono::milliseconds limit) {
  std::vector<PollEntry> entries;
  entries.reserve(watches_.size());
  for (const Watch& watch : watches_) {
    PollEntry entry{};
    entry.fd = watch.socket;
    entry.events =
        static_cast<short>(((watch.what & CURL_POLL_IN) != 0 ? POLLIN : 0) |
                           ((watch.what & CURL_POLL_OUT) != 0 ? POLLOUT : 0));
    entries.push_back(entry);
  }
  if (entries.empty()) {
    // Nothing to watch (a name being resolved): only libcurl's timer matters.
    std::this_thread::sleep_for(limit);
  } else if (poll_sockets(entries, limit) < 0) {
    const int error = last_poll_error();
    if (error == EINTR) {
      return;
    }
    throw TransportError(FailureKind::other, "waiting for network events failed: " +
                                                 std::system_category().message(error));
  }
  const Clock::time_point now = Clock::now();
  for (const PollEntry& entry : entries) {
    if (entry.revents == 0) {
      continue;
    }
    // Bytes arrived, or the request moved on: either way the server is
    // not keeping us waiting. A hang-up ends the wait as well.
    if (awaiting_reply_) {
      last_progress_ = now;
    }
    int events = 0;
    if ((entry.revents & (POLLIN | POLLHUP)) != 0) {
      events |= CURL_CSELECT_IN;
    }
    if ((entry.revents & POLLOUT) != 0) {
      events |= CURL_CSELECT_OUT;
    }
    if ((entry.revents & (POLLERR | POLLNVAL)) != 0) {
      events |= CURL_CSELECT_ERR;
    }
    act(entry.fd, events);
  }
  if (timer_due_ && *timer_due_ <= Clock::now()) {
    timer_due_.reset();
    act(CURL_SOCKET_TIMEOUT, 0);
  }
}

RunResult SocketLoop::run(
    CURL* easy, std::chrono::milliseconds read_timeout,
    const std::optional<std::chrono::steady_clock::time_point>& deadline,
    const std::function<std::chrono::milliseconds()>& before_wait) {
  set_option(easy, CURLOPT_PREREQFUNCTION, &on_request_start, "PREREQFUNCTION");
  set_option(easy, CURLOPT_PREREQDATA, this, "PREREQDATA");
  easy_ = easy;
  awaiting_reply_ = false;
  hop_ = 0;
  // Socket watches and the timer carry over: libcurl reports only changes.
  const Attachment attachment(multi_.get(), easy);
  for (;;) {
    if (const std::optional<CURLcode> code = finished()) {
      return {*code, false, awaiting_reply_, false};
    }
    // Before the clock is read: time the caller spends here is time the
    // server had to send more.
    const std::chrono::milliseconds wanted = before_wait();
    const Clock::time_point now = Clock::now();
    auto limit = std::min(std::chrono::milliseconds(1000),
                          std::max(wanted, std::chrono::milliseconds(1)));
    if (awaiting_reply_) {
      const Clock::time_point quiet_until = last_progress_ + read_timeout;
      if (quiet_until <= now) {
        return {CURLE_OK, true, true, false};
      }
      limit = std::min(limit, time_until(quiet_until, now));
    }
    if (deadline) {
      if (*deadline <= now) {
        return {CURLE_OK, false, awaiting_reply_, true};
      }
      limit = std::min(limit, time_until(*deadline, now));
    }
    if (timer_due_) {
      limit = std::min(limit, time_until(*timer_due_, now));
    }
    wait(limit);
  }
}

}  // namespace tvlib::http::detail
