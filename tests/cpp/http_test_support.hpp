// Shared pieces of the HTTP client tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/http/client.hpp"
#include "test_environment.hpp"
#include "test_server.hpp"

namespace tvlib::test {

using namespace std::chrono_literals;
using http::FailureKind;

// A GET with limits short enough for the suite, long enough for a busy machine.
inline http::Request get(const std::string& url) {
  http::Request request;
  request.url = url;
  request.connect_timeout = 5s;
  request.read_timeout = 5s;
  request.ca_bundle = ca_bundle();
  return request;
}

// Runs `action`, which must fail with a TransportError, and returns that error.
inline http::TransportError failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const http::TransportError& error) {
    return error;
  }
  ADD_FAILURE() << "the request succeeded";
  return {FailureKind::other, "(succeeded)"};
}

// A proxy that answers every tunnel request with 407, so that a request shows
// whether it went through the proxy without needing the target to exist.
inline TestServer refusing_proxy() {
  return TestServer(
      [](const Received& request, Connection& connection) {
        EXPECT_EQ(request.method, "CONNECT");
        connection.send(
            "HTTP/1.1 407 Proxy Authentication Required\r\n"
            "Proxy-Authenticate: Basic realm=\"corp\"\r\n"
            "Content-Length: 0\r\n\r\n");
        connection.close_after_reply();
      },
      {.tls = nullptr});
}

// Tokens travel in paths and queries; no message may repeat them.
inline constexpr const char* secret_path = "/t/SECRET-IN-PATH";
inline constexpr const char* secret_query_value = "SECRET-IN-QUERY";

inline http::Request secret_request(const std::string& origin) {
  http::Request request = get(origin + secret_path);
  request.query = {{"token", secret_query_value}};
  return request;
}

inline void expect_no_secrets(const http::TransportError& error) {
  EXPECT_EQ(std::string(error.what()).find("SECRET"), std::string::npos)
      << error.what();
}

// Records what a stream delivered, in order.
class Recorder : public http::StreamHandler {
 public:
  void on_head(const http::Head& head) override {
    events.emplace_back("head");
    this->head = head;
  }
  void on_piece(std::span<const std::byte> piece) override {
    if (events.empty() || events.back() != "piece") {
      events.emplace_back("piece");
    }
    sizes.push_back(piece.size());
    body.append(reinterpret_cast<const char*>(piece.data()), piece.size());
  }
  void on_end() override { events.emplace_back("end"); }

  http::Head head;
  std::string body;
  std::vector<std::size_t> sizes;
  std::vector<std::string> events;  // "head", "piece" (runs merged), "end"
};

}  // namespace tvlib::test
