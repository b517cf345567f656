// An HTTP/1.1 server on 127.0.0.1 inside the test binary. Each test scripts
// the replies byte by byte, with pauses, so time-outs and broken replies can
// be produced on purpose. One thread per connection; keep-alive as the client
// asks.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/http/client.hpp"
#include "test_pki.hpp"
#include "test_socket.hpp"

namespace tvlib::test {

// The name the tests reach their servers by. Schannel matches a certificate
// against DNS names only, so on Windows an address would never verify.
#ifdef _WIN32
inline constexpr const char* server_host = "localhost";
#else
inline constexpr const char* server_host = "127.0.0.1";
#endif

struct Received {
  std::string method;
  std::string target;  // path and query as sent
  http::Fields headers;
  std::string body;

  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

class TestServer;

// One connection, as a responder sees it.
class Connection {
 public:
  Connection(TestServer& server, Socket socket, SSL* tls)
      : server_(server), socket_(socket), tls_(tls) {}

  // Returns false once the client has gone away.
  bool send(std::string_view bytes);
  // Sleeps, cut short when the server stops.
  void pause(std::chrono::milliseconds duration);
  void close_after_reply() { close_ = true; }

  std::optional<Received> read_request();
  [[nodiscard]] bool closing() const { return close_; }

 private:
  long receive(char* buffer, int size);

  TestServer& server_;
  Socket socket_;
  SSL* tls_;
  std::string pending_;
  bool close_ = false;
};

using Responder = std::function<void(const Received&, Connection&)>;

struct ServerOptions {
  const Identity* tls = &pki().server;  // nullptr: plain HTTP
  std::chrono::milliseconds handshake_delay{0};
};

class TestServer {
 public:
  explicit TestServer(Responder responder, ServerOptions options = {});
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  TestServer(TestServer&&) = delete;
  TestServer& operator=(TestServer&&) = delete;
  ~TestServer();

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string url(std::string_view path) const;
  [[nodiscard]] std::vector<Received> received() const;
  [[nodiscard]] int connections() const { return connections_; }
  // Connections whose TLS handshake resumed an earlier session.
  [[nodiscard]] int resumed_connections() const { return resumed_; }

 private:
  friend class Connection;
  void accept_loop();
  void serve(Socket socket);
  bool pause(std::chrono::milliseconds duration);  // true when stopping

  Responder responder_;
  ServerOptions options_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls_{nullptr, SSL_CTX_free};
  Socket listener_ = no_socket;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<int> resumed_{0};
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<Socket> open_sockets_;
  std::vector<Received> received_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// A whole reply with Content-Length (none for 204 and 304).
std::string reply(int status, std::string_view body = {},
                  const http::Fields& headers = {});

// A port on 127.0.0.1 where nothing listens.
int closed_port();

// A listening socket whose accept queue is full: further connection attempts
// get no answer at all, as behind a black-holing firewall.
class FullBacklog {
 public:
  FullBacklog();
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;
  FullBacklog(FullBacklog&&) = delete;
  FullBacklog& operator=(FullBacklog&&) = delete;
  ~FullBacklog();
  [[nodiscard]] int port() const { return port_; }

 private:
  Socket listener_ = no_socket;
  int port_ = 0;
  std::vector<Socket> fillers_;
};

}  // namespace tvlib::test
