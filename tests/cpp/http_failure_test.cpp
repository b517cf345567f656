// Failures to reach the server come out as connect_failed, with messages
// that name host and port and nothing of the path or query.
#include <cerrno>

#include "core/http/failure.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

bool mentions(const http::TransportError& error, const std::string& part) {
  return std::string(error.what()).find(part) != std::string::npos;
}

TEST(HttpConnectFailure, RefusedConnection) {
  const int port = closed_port();
  http::Client client;
  const http::TransportError error = failure_of([&] {
    client.send(secret_request("https://" + std::string(server_host) + ":" +
                               std::to_string(port)));
  });
  EXPECT_EQ(error.kind(), FailureKind::connect_failed) << error.what();
  EXPECT_EQ(std::string(error.what()), "connection refused by " +
                                           std::string(server_host) + " port " +
                                           std::to_string(port));
}

TEST(HttpConnectFailure, CertificatesThatDoNotVerify) {
  struct Case {
    const Identity* identity;
    const char* says;
  };
  for (const Case& bad : {Case{&pki().untrusted, "is not trusted"},
                          Case{&pki().wrong_name, "is not valid for the host name"}}) {
    SCOPED_TRACE(bad.says);
    TestServer server(
        [](const Received& /*request*/, Connection& connection) {
          connection.send(reply(200, "must not be read"));
        },
        {.tls = bad.identity});
    http::Client client;
    const http::TransportError error =
        failure_of([&] { client.send(secret_request(server.url(""))); });
    EXPECT_EQ(error.kind(), FailureKind::connect_failed) << error.what();
    EXPECT_TRUE(mentions(error, "TLS certificate of " + std::string(server_host) +
                                    " port " + std::to_string(server.port()) + " " +
                                    bad.says))
        << error.what();
    expect_no_secrets(error);
    EXPECT_TRUE(server.received().empty());
  }
}

TEST(HttpConnectFailure, ProxyThatRefusesTheTunnel) {
  TestServer proxy = refusing_proxy();
  const ScopedVariable variable("https_proxy", proxy.url(""));
  http::Client client;
  http::Request request = secret_request("https://127.0.0.1:9");
  request.proxy = http::proxy_variables();
  const http::TransportError error = failure_of([&] { client.send(request); });
  EXPECT_EQ(error.kind(), FailureKind::connect_failed) << error.what();
  EXPECT_TRUE(mentions(error, "407")) << error.what();
  expect_no_secrets(error);
  EXPECT_EQ(proxy.received().size(), 1U);
}

// libcurl 8 no longer names the proxy's port in its message; the refusal
// still names the proxy, from the request's own.
TEST(HttpConnectFailure, RefusingProxyNamedInLibcurl8sWords) {
  http::detail::FailedTransfer failure;
  failure.code = CURLE_COULDNT_CONNECT;
  failure.detail =
      "Failed to connect to 127.0.0.1:9 over proxy 127.0.0.1 after 0 ms: "
      "Could not connect to server";
#ifdef _WIN32
  failure.os_error = 10061;  // WSAECONNREFUSED
#else
  failure.os_error = ECONNREFUSED;
#endif
  failure.target = {"127.0.0.1", 9};
  failure.proxy = http::detail::Endpoint{"127.0.0.1", 3128};
  const http::TransportError error = http::detail::classify(failure);
  EXPECT_EQ(error.kind(), FailureKind::connect_failed);
  EXPECT_EQ(std::string(error.what()),
            "connection refused by the proxy at 127.0.0.1 port 3128 (the proxy for "
            "127.0.0.1 port 9)");
}

TEST(HttpConnectFailure, UnreadableExtraCaBundle) {
  http::Client client;
  http::Request request = get("https://127.0.0.1:9/");
  request.ca_bundle = "/nonexistent/ca.pem";
  const http::TransportError error = failure_of([&] { client.send(request); });
  EXPECT_EQ(error.kind(), FailureKind::connect_failed) << error.what();
  EXPECT_TRUE(mentions(error, "KOLVAREN_CA_BUNDLE (/nonexistent/ca.pem)"))
      << error.what();
}

}  // namespace
}  // namespace tvlib::test
