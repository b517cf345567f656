// The read time-out bounds each wait for reply data, not the exchange; the
// connect time-out bounds TCP and TLS set-up, not the wait for the reply; the
// head and total limits bound the exchange as a whole.
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

// Trickled one byte every 40 ms: the reply's head (68 bytes) takes about
// 2.7 s, its body 2.4 s more. No single wait comes near the read time-out.
void trickle(Connection& connection) {
  const std::string head = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(20, 'p') +
                           "\r\nContent-Length: 60\r\n\r\n";
  for (const std::string& part : {head, std::string(60, 'b')}) {
    for (const char c : part) {
      connection.pause(40ms);
      if (!connection.send(std::string(1, c))) {
        return;
      }
    }
  }
}

TEST(HttpDeadline, ATrickledReplyStopsAtTheLimitForTheWhole) {
  TestServer server(
      [](const Received& /*request*/, Connection& connection) { trickle(connection); });
  const std::string where =
      std::string(server_host) + " port " + std::to_string(server.port());
  struct Case {
    std::chrono::milliseconds head;
    std::chrono::milliseconds total;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {700ms, 0ms, "no reply from " + where + " within 0.7 seconds"},
           {0ms, 700ms, "no complete reply from " + where + " within 0.7 seconds"},
           {0ms, 3800ms, "no complete reply from " + where + " within 3.8 seconds"},
       }) {
    SCOPED_TRACE(c.says);
    http::Client client;
    http::Request request = secret_request(server.url(""));
    request.read_timeout = 1s;
    request.head_timeout = c.head;
    request.total_timeout = c.total;
    const Clock::time_point start = Clock::now();
    const http::TransportError error = failure_of([&] { client.send(request); });
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(error.kind(), FailureKind::read_timeout) << error.what();
    EXPECT_EQ(std::string(error.what()), c.says + " (the limit for the whole request)");
    EXPECT_GE(elapsed, std::max(c.head, c.total));
    EXPECT_LT(elapsed, std::max(c.head, c.total) + 1500ms);
    expect_no_secrets(error);
  }
  // The head's limit ends with the head: the body may take longer.
  http::Client client;
  http::Request request = get(server.url("/"));
  request.read_timeout = 1s;
  request.head_timeout = 4500ms;
  EXPECT_EQ(client.send(request).body, std::string(60, 'b'));
}

TEST(HttpConnectTimeout, TlsHandshakeCountsAgainstTheConnectLimitOnly) {
  TestServer slow(
      [](const Received& request, Connection& connection) {
        connection.send(request.target == "/hop" ? reply(302, "", {{"Location", "/"}})
                                                 : reply(200, "late"));
      },
      {.handshake_delay = 800ms});
  // Directly, and as the second hop of a redirect (on a connection of its own).
  for (const std::string& url : {slow.url("/"), slow.url("/hop")}) {
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
