// Redirects are followed over HTTPS and within the origin of the request only:
// no request, and no credential in it, goes anywhere else.
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

TEST(HttpRedirect, PlainHttpAndOtherServersAreNeverContacted) {
  const auto answer = [](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, "reached"));
  };
  TestServer plain(answer, {.tls = nullptr});
  TestServer other(answer);
  TestServer front([&](const Received& request, Connection& connection) {
    const std::string to = request.target.starts_with("/plain")   ? plain.url("/x")
                           : request.target.starts_with("/other") ? other.url("/x")
                                                                  : "ftp://127.0.0.1/x";
    connection.send(reply(307, "", {{"Location", to}}));
  });
  const std::string from = "redirect from " + std::string(server_host) + " port " +
                           std::to_string(front.port()) + " refused: it leads to ";
  struct Case {
    std::string path;
    std::string method;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {"/plain", "GET",
            "plain HTTP at " + std::string(server_host) + " port " +
                std::to_string(plain.port()) + ", and requests go over HTTPS only"},
           {"/plain", "POST", "plain HTTP at " + std::string(server_host) + " port "},
           {"/other", "POST",
            "another server, " + std::string(server_host) + " port " +
                std::to_string(other.port()) +
                ", and requests stay with the server they were sent to"},
           {"/other", "GET", "another server, " + std::string(server_host) + " port "},
           {"/ftp", "GET", "a ftp: address, and requests go over HTTPS only"},
       }) {
    SCOPED_TRACE(c.method + " " + c.path);
    http::Client client;
    http::Request request = secret_request(front.url(c.path));
    request.method = c.method;
    if (c.method == "POST") {
      request.query.clear();
      request.body = R"({"email":"SECRET@example.org","license_key":"SECRET"})";
    }
    const http::TransportError error = failure_of([&] { client.send(request); });
    EXPECT_EQ(error.kind(), FailureKind::other);
    EXPECT_TRUE(std::string(error.what()).starts_with(from + c.says)) << error.what();
    expect_no_secrets(error);
  }
  EXPECT_EQ(plain.connections(), 0);
  EXPECT_EQ(other.connections(), 0);
}

TEST(HttpRedirect, HopsWithinTheOriginAreFollowed) {
  TestServer server([&](const Received& request, Connection& connection) {
    if (request.target == "/relative") {
      connection.send(reply(302, "", {{"Location", "absolute"}}));
    } else if (request.target == "/absolute") {
      // The same origin spelt differently: scheme and host in capitals.
      connection.send(
          reply(301, "",
                {{"Location", "HTTPS://" + std::string(server_host) + ":" +
                                  std::to_string(server.port()) + "/final"}}));
    } else {
      connection.send(reply(200, "final"));
    }
  });
  http::Client client;
  EXPECT_EQ(client.send(get(server.url("/relative"))).body, "final");
  EXPECT_EQ(server.received().size(), 3U);
}

}  // namespace
}  // namespace tvlib::test
