#include "test_server.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "core/http/client.hpp"

namespace tvlib::test {

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::optional<std::string> Received::header(std::string_view name) const {
  http::Head head;
  head.headers = headers;
  return head.header(name);
}

long Connection::receive(char* buffer, int size) {
  return tls_ != nullptr ? SSL_read(tls_, buffer, size)
                         : receive_from(socket_, buffer, size);
}

bool Connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const long sent =
        tls_ != nullptr ? SSL_write(tls_, bytes.data(), static_cast<int>(bytes.size()))
                        : send_to(socket_, bytes.data(), bytes.size());
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

void Connection::pause(std::chrono::milliseconds duration) { server_.pause(duration); }

bool TestServer::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return stopped_.wait_for(lock, duration, [this] { return stopping_; });
}

std::optional<Received> Connection::read_request() {
  std::array<char, 4096> buffer{};
  std::size_t end = 0;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    const long got = receive(buffer.data(), static_cast<int>(buffer.size()));
    if (got <= 0) {
      return std::nullopt;
    }
    pending_.append(buffer.data(), static_cast<std::size_t>(got));
  }
  Received request;
  std::string_view head = std::string_view(pending_).substr(0, end);
  const std::size_t first_break = std::min(head.find("\r\n"), head.size());
  const std::string_view request_line = head.substr(0, first_break);
  request.method = request_line.substr(0, request_line.find(' '));
  const std::size_t target_start = request.method.size() + 1;
  request.target = request_line.substr(
      target_start,
      request_line.rfind(' ') - std::min(target_start, request_line.size()));
  head.remove_prefix(first_break);
  while (!head.empty()) {
    head.remove_prefix(std::min<std::size_t>(2, head.size()));
    const std::string_view line = head.substr(0, head.find("\r\n"));
    head.remove_prefix(line.size());
    if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
  }
  const std::size_t length = std::stoul(request.header("Content-Length").value_or("0"));
  while (pending_.size() < end + 4 + length) {
    const long got = receive(buffer.data(), static_cast<int>(buffer.size()));
    if (got <= 0) {
      return std::nullopt;
    }
    pending_.append(buffer.data(), static_cast<std::size_t>(got));
  }
  request.body = pending_.substr(end + 4, length);
  pending_.erase(0, end + 4 + length);
  return request;
}

TestServer::TestServer(Responder responder, ServerOptions options)
    : responder_(std::move(responder)), options_(options) {
  if (options_.tls != nullptr) {
    tls_.reset(SSL_CTX_new(TLS_server_method()));
    if (!tls_ || SSL_CTX_use_certificate(tls_.get(), options_.tls->cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(tls_.get(), options_.tls->key.get()) != 1) {
      throw std::runtime_error("cannot set up the test server's TLS");
    }
  }
  std::tie(listener_, port_) = bound_socket();
  if (!listen_on(listener_, 64)) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  acceptor_ = std::thread([this] { accept_loop(); });
}

TestServer::~TestServer() {
  {
    const std::scoped_lock lock(mutex_);
    stopping_ = true;
    for (const Socket socket : open_sockets_) {
      shut_down(socket);
    }
  }
  stopped_.notify_all();
  // A connection of its own wakes the acceptor: shutting a listening socket
  // down does not wake accept() on Windows.
  const Socket waker = connect_to(port_);
  acceptor_.join();
  if (waker != no_socket) {
    close_socket(waker);
  }
  close_socket(listener_);
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

std::string TestServer::url(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://" + server_host + ":" +
         std::to_string(port_) + std::string(path);
}

std::vector<Received> TestServer::received() const {
  const std::scoped_lock lock(mutex_);
  return received_;
}

void TestServer::accept_loop() {
  for (;;) {
    const Socket socket = accept_from(listener_);
    const std::scoped_lock lock(mutex_);
    if (stopping_) {
      if (socket != no_socket) {
        close_socket(socket);
      }
      return;
    }
    if (socket == no_socket) {
      continue;
    }
    open_sockets_.push_back(socket);
    threads_.emplace_back([this, socket] { serve(socket); });
  }
}

void TestServer::serve(Socket socket) {
  ++connections_;
  // A test that goes wrong ends with a failure, not a hung server thread.
  limit_waits(socket, std::chrono::seconds(20));
  std::unique_ptr<SSL, decltype(&SSL_free)> tls(nullptr, SSL_free);
  bool usable = true;
  if (tls_) {
    usable = !pause(options_.handshake_delay);
    tls.reset(SSL_new(tls_.get()));
    usable = usable && tls && SSL_set_fd(tls.get(), static_cast<int>(socket)) == 1 &&
             SSL_accept(tls.get()) == 1;
    if (usable && SSL_session_reused(tls.get()) == 1) {
      ++resumed_;
    }
  }
  Connection connection(*this, socket, tls.get());
  while (usable) {
    std::optional<Received> request = connection.read_request();
    if (!request) {
      break;
    }
    {
      const std::scoped_lock lock(mutex_);
      received_.push_back(*request);
    }
    try {
      responder_(*request, connection);
    } catch (...) {
      break;
    }
    if (connection.closing()) {
      if (tls) {
        SSL_shutdown(tls.get());  // a clean close_notify, so only the length is short
      }
      break;
    }
  }
  const std::scoped_lock lock(mutex_);
  std::erase(open_sockets_, socket);
  close_socket(socket);
}

std::string reply(int status, std::string_view body, const http::Fields& headers) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Reason\r\n";
  if (status != 204 && status != 304) {
    text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  }
  for (const auto& [name, value] : headers) {
    text.append(name).append(": ").append(value).append("\r\n");
  }
  return text.append("\r\n").append(body);
}

int closed_port() {
  const auto [socket, port] = bound_socket();
  close_socket(socket);
  return port;
}

FullBacklog::FullBacklog() {
  std::tie(listener_, port_) = bound_socket();
  if (!listen_on(listener_, 0)) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  for (int attempt = 0; attempt < 64; ++attempt) {
    const Socket socket = connect_to(port_);
    if (socket == no_socket) {
      throw std::runtime_error("cannot connect to 127.0.0.1");
    }
    fillers_.push_back(socket);
    if (!answered_within(socket, std::chrono::milliseconds(300))) {
      return;  // this attempt got no answer: the queue is full
    }
  }
  throw std::runtime_error("the accept queue never filled up");
}

FullBacklog::~FullBacklog() {
  for (const Socket socket : fillers_) {
    close_socket(socket);
  }
  close_socket(listener_);
}

}  // namespace tvlib::test
