// A change of the extra CA bundle takes effect with the next request: no TLS
// session verified under the old trust is resumed under the new one.
#include <filesystem>
#include <fstream>

#include "core/files/path_text.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

namespace fs = std::filesystem;

class HttpTrustChange : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("tvlib-trust-" + std::to_string(process_id()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string bundle(const std::string& name, const std::string& pem) const {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << pem;
    return files::utf8_of(path);
  }

  // Sends to `server` trusting `ca_bundle`; the request's error text, or ""
  // when it succeeded.
  static std::string outcome(http::Client& client, const TestServer& server,
                             const std::string& ca_bundle) {
    http::Request request = get(server.url("/token"));
    request.method = "POST";
    request.body = "credentials";
    request.ca_bundle = ca_bundle;
    try {
      return client.send(request).body == "ok" ? "" : "wrong body";
    } catch (const http::TransportError& error) {
      return error.what();
    }
  }

  static bool untrusted(const std::string& text) {
    return text.find("is not trusted") != std::string::npos;
  }

  fs::path folder_;
};

Responder answer_ok() {
  return [](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, "ok"));
  };
}

TEST_F(HttpTrustChange, AnotherBundleIsNotServedBySessionsOfTheFirst) {
  TestServer server(answer_ok());
  const std::string ours = bundle("ours.pem", pki().trusted.pem());
  const std::string theirs = bundle("theirs.pem", pki().stranger.pem());
  http::Client client;
  ASSERT_EQ(outcome(client, server, ours), "");
  const std::string text = outcome(client, server, theirs);
  EXPECT_TRUE(untrusted(text)) << text;
  // Only the request under the first trust reached the server.
  EXPECT_EQ(server.received().size(), 1U);
}

TEST_F(HttpTrustChange, ABundleChangedInPlaceIsReadAgain) {
  TestServer server(answer_ok());
  const std::string path = bundle("ca.pem", pki().trusted.pem());
  http::Client client;
  ASSERT_EQ(outcome(client, server, path), "");
  bundle("ca.pem", pki().stranger.pem());
  const std::string text = outcome(client, server, path);
  EXPECT_TRUE(untrusted(text)) << text;
  EXPECT_EQ(server.received().size(), 1U);
}

TEST_F(HttpTrustChange, AnUnsetBundleIsNotServedBySessionsOfTheSetOne) {
  // Wine's Schannel checks no certificate when libcurl leaves the check to
  // it (no extra bundle): there is nothing to tell then.
  static const bool checks_without_bundle = [] {
    TestServer stranger(answer_ok(), {.tls = &pki().untrusted});
    http::Client client;
    return !outcome(client, stranger, "").empty();
  }();
  if (!checks_without_bundle) {
    GTEST_SKIP() << "this TLS library accepts an unknown root without an extra bundle";
  }
  TestServer server(answer_ok());
  const std::string path = bundle("ca.pem", pki().trusted.pem());
  // A client of another thread's making shares the process's sessions too.
  http::Client first;
  http::Client second;
  ASSERT_EQ(outcome(first, server, path), "");
  const std::string text = outcome(second, server, "");
  EXPECT_TRUE(untrusted(text)) << text;
  EXPECT_EQ(server.received().size(), 1U);
}

TEST_F(HttpTrustChange, UnchangedTrustStillResumes) {
  TestServer server(answer_ok());
  const std::string path = bundle("ca.pem", pki().trusted.pem());
  http::Client client;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(outcome(client, server, path), "");
  }
  if (!running_under_wine()) {
    EXPECT_EQ(server.resumed_connections(), 2);
  }
}

}  // namespace
}  // namespace tvlib::test
