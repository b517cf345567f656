// Replies of every status come back as results; redirects, query, headers and
// bodies arrive as sent.
#include <atomic>
#include <thread>

#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

TEST(HttpReply, EveryStatusIsAResult) {
  TestServer server([](const Received& request, Connection& connection) {
    const int status = std::stoi(request.target.substr(1));
    connection.send(reply(status, status == 204 ? "" : "body of " + request.target));
  });
  http::Client client;
  for (const int status : {200, 204, 399, 404, 503}) {
    const http::Response response =
        client.send(get(server.url(std::string("/").append(std::to_string(status)))));
    EXPECT_EQ(response.head.status, status);
    EXPECT_EQ(
        response.body,
        status == 204 ? "" : std::string("body of /").append(std::to_string(status)));
  }
}

TEST(HttpReply, RedirectYieldsOnlyTheFinalReply) {
  TestServer server([](const Received& request, Connection& connection) {
    if (request.target == "/start") {
      connection.send(reply(302, "moved", {{"Location", "/final"}, {"X-Hop", "1"}}));
    } else {
      connection.send(reply(200, "final body", {{"X-Final", "yes"}}));
    }
  });
  http::Client client;
  const http::Response response = client.send(get(server.url("/start")));
  EXPECT_EQ(response.head.status, 200);
  EXPECT_EQ(response.body, "final body");
  EXPECT_EQ(response.head.header("x-final"), "yes");
  EXPECT_FALSE(response.head.header("X-Hop").has_value());
  EXPECT_FALSE(response.head.header("Location").has_value());
}

TEST(HttpReply, QueryHeadersAndPostBodyArriveAsSent) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send(reply(201, "{}", {{"Content-TYPE", "application/json"}}));
  });
  http::Client client;
  http::Request request = get(server.url("/items"));
  request.method = "POST";
  request.query = {{"b", "2"}, {"a", "x y"}, {"\xC3\xA9", "/&="}};
  request.headers = {{"Content-Type", "application/json"}, {"X-Token", "abc"}};
  // Binary bytes, and large enough for libcurl to want a 100-continue.
  request.body =
      std::string(R"({"k":")") + '\0' + '\xFF' + std::string((1 << 20) + 1, 'p');

  const http::Response response = client.send(request);
  EXPECT_EQ(response.head.status, 201);
  EXPECT_EQ(response.head.header("content-type"), "application/json");
  EXPECT_EQ(response.head.header("CONTENT-LENGTH"), "2");

  const std::vector<Received> received = server.received();
  ASSERT_EQ(received.size(), 1U);
  const Received& sent = received[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.target, "/items?b=2&a=x%20y&%C3%A9=%2F%26%3D");
  EXPECT_EQ(sent.body, *request.body);
  EXPECT_EQ(sent.header("content-type"), "application/json");
  EXPECT_EQ(sent.header("x-token"), "abc");
  // No 100-continue round trip, and no compressed body to undo.
  EXPECT_FALSE(sent.header("Expect").has_value());
  EXPECT_FALSE(sent.header("Accept-Encoding").has_value());
  EXPECT_EQ(sent.header("User-Agent").value_or("").rfind("tvlib/", 0), 0U);
}

TEST(HttpReply, HeadsBeyondTheLimitFailWithTheirCause) {
  // One line past libcurl's own limit, many lines past ours, and a head of
  // many lines just below ours, which still arrives.
  const auto lines = [](int count, std::size_t size) {
    http::Fields fields;
    for (int i = 0; i < count; ++i) {
      fields.emplace_back("X-Pad-" + std::to_string(i), std::string(size, 'p'));
    }
    return fields;
  };
  const std::vector<http::Fields> heads = {lines(1, 1 << 20), lines(20, 4096),
                                           lines(10, 6000)};
  TestServer server([&](const Received& request, Connection& connection) {
    connection.send(reply(200, "body", heads.at(std::stoul(request.target.substr(1)))));
  });
  http::Client client;
  for (const char* path : {"/0", "/1"}) {
    const http::TransportError error =
        failure_of([&] { client.send(get(server.url(path))); });
    EXPECT_EQ(error.kind(), FailureKind::other);
    EXPECT_EQ(std::string(error.what()), "the reply from " + std::string(server_host) +
                                             " port " + std::to_string(server.port()) +
                                             " has headers larger than 65536 bytes");
  }
  EXPECT_EQ(client.send(get(server.url("/2"))).body, "body");
}

TEST(HttpReply, ARequestIsSentOnceEvenWhenItsConnectionDies) {
  // libcurl resends a request whose reused connection turns out dead; a request
  // of ours must reach the server once, so the second one fails here.
  std::atomic<int> requests{0};
  TestServer server([&](const Received& request, Connection& connection) {
    if (++requests == 2) {
      connection.close_after_reply();  // gone without an answer
      return;
    }
    connection.send(reply(200, request.method + " " + request.body));
  });
  http::Client client;
  http::Request post = get(server.url("/a"));
  post.method = "POST";
  post.body = "payload";
  EXPECT_EQ(client.send(post).body, "POST payload");
  // Gone before any reply: a failure of the connection, as a refusal is.
  EXPECT_EQ(failure_of([&] { client.send(get(server.url("/b"))); }).kind(),
            FailureKind::connect_failed);
  EXPECT_EQ(requests.load(), 2);
  // Nothing of the POST may stick to the handle.
  EXPECT_EQ(client.send(get(server.url("/c"))).body, "GET ");
}

TEST(HttpReply, ClientsOnSeveralThreadsWorkAtOnce) {
  TestServer server([](const Received& request, Connection& connection) {
    connection.send(reply(200, request.target));
  });
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (std::size_t t = 0; t < good.size(); ++t) {
    threads.emplace_back([&, t] {
      http::Client client;
      for (int i = 0; i < 5; ++i) {
        // Built with append: GCC 12 misreads "/" + string at -O3 (-Wrestrict).
        const std::string path = std::string("/")
                                     .append(std::to_string(t))
                                     .append("/")
                                     .append(std::to_string(i));
        try {
          good[t] += client.send(get(server.url(path))).body == path ? 1 : 0;
        } catch (const std::exception& error) {
          ADD_FAILURE() << error.what();
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(good, std::vector<int>(4, 5));
}

}  // namespace
}  // namespace tvlib::test
