// The read time-out bounds each wait for reply data, not the exchange; the
// connect time-out bounds TCP and TLS set-up, not the wait for the reply.
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string contains_text(const http::TransportError& error, const std::string& part) {
  return std::string(error.what()).find(part) != std::string::npos ? "" : error.what();
}

TEST(HttpReadTimeout, TrickleWithinTheLimitNeverTimesOut) {
  const std::string body = "0123456789abcdefghijklmn";
  TestServer server([&](const Received& /*request*/, Connection& connection) {
    // The padding header alone takes longer than the limit to arrive, so no
    // complete header line is seen for a while: only raw bytes keep it alive.
    const std::string whole = reply(200, body, {{"X-Pad", std::string(40, 'p')}});
    for (std::size_t at = 0; at < whole.size(); at += 4) {
      connection.pause(80ms);
      if (!connection.send(whole.substr(at, 4))) {
        return;
      }
    }
  });
  http::Client client;
  http::Request request = get(server.url("/slow"));
  request.read_timeout = 500ms;
  const Clock::time_point start = Clock::now();
  const http::Response response = client.send(request);
  EXPECT_EQ(response.body, body);
  EXPECT_GT(Clock::now() - start, 2 * request.read_timeout);
}

TEST(HttpReadTimeout, SilenceLongerThanTheLimitFails) {
  TestServer server([](const Received& request, Connection& connection) {
    if (request.target.starts_with("/partial")) {
      connection.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" +
                      std::string(100, 'x'));
    }
    connection.pause(20s);  // ends early when the test is done
  });
  // One client: the connection given up on must not be used again.
  http::Client client;
  for (const std::string path : {"/silent", "/partial"}) {
    SCOPED_TRACE(path);
    http::Request request = secret_request(server.url(path));
    request.read_timeout = 400ms;
    Recorder recorder;
    const Clock::time_point start = Clock::now();
    const http::TransportError error =
        failure_of([&] { client.stream(request, recorder); });
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(error.kind(), FailureKind::read_timeout) << error.what();
    EXPECT_GE(elapsed, request.read_timeout);
    EXPECT_LT(elapsed, 4s);
    EXPECT_EQ(contains_text(error, "no data received from " + std::string(server_host) +
                                       " port " + std::to_string(server.port()) +
                                       " for 0.4 seconds"),
              "");
    expect_no_secrets(error);
    const std::vector<std::string> expected =
        path == "/silent" ? std::vector<std::string>{}
                          : std::vector<std::string>{"head", "piece"};
    EXPECT_EQ(recorder.events, expected);
  }
}

TEST(HttpConnectTimeout, TlsHandshakeCountsAgainstTheConnectLimitOnly) {
  TestServer slow([](const Received& /*request*/,
                     Connection& connection) { connection.send(reply(200, "late")); },
                  {.handshake_delay = 800ms});
  TestServer front([&](const Received& /*request*/, Connection& connection) {
    connection.send(reply(302, "", {{"Location", slow.url("/")}}));
  });
  // Directly, and as the second hop of a redirect.
  for (const std::string& url : {slow.url("/"), front.url("/")}) {
    http::Client client;
    http::Request request = get(url);
    request.read_timeout = 300ms;
    EXPECT_EQ(client.send(request).body, "late") << url;
  }
  http::Client client;
  http::Request request = secret_request(slow.url(""));
  request.connect_timeout = 300ms;
  const http::TransportError error = failure_of([&] { client.send(request); });
  EXPECT_EQ(error.kind(), FailureKind::connect_timeout) << error.what();
  expect_no_secrets(error);
}

TEST(HttpConnectTimeout, UnansweredConnectionAttemptTimesOut) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses a connection its full accept queue cannot take "
                  "instead of leaving it unanswered";
#endif
  const FullBacklog backlog;
  http::Client client;
  http::Request request =
      secret_request("https://127.0.0.1:" + std::to_string(backlog.port()));
  request.connect_timeout = 500ms;
  const Clock::time_point start = Clock::now();
  const http::TransportError error = failure_of([&] { client.send(request); });
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(error.kind(), FailureKind::connect_timeout) << error.what();
  EXPECT_EQ(contains_text(error, "connection to 127.0.0.1 port " +
                                     std::to_string(backlog.port()) +
                                     " not established within 0.5 seconds"),
            "");
  EXPECT_GE(elapsed, request.connect_timeout);
  EXPECT_LT(elapsed, 4s);
  expect_no_secrets(error);
}

}  // namespace
}  // namespace tvlib::test
