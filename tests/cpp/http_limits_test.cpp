// What a hostile or broken service cannot do to the client: fill the disk by
// announcing a length, or hold a transfer open with a trickle of bytes.
#include <filesystem>

#include "core/download/package_download.hpp"
#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

bool mentions(const http::TransportError& error, const std::string& text) {
  return std::string(error.what()).find(text) != std::string::npos;
}

TEST(HttpBodyLimit, AnAnnouncedLengthAboveTheLimitIsRefusedFromTheHead) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, std::string(5000, 'x')));
  });
  http::Client client;
  http::Request request = get(server.url("/big"));
  request.max_body = 1000;
  Recorder recorder;
  const http::TransportError error =
      failure_of([&] { client.stream(request, recorder); });
  EXPECT_TRUE(mentions(error, "announces 5000 bytes")) << error.what();
  EXPECT_TRUE(mentions(error, "limit of 1000 bytes")) << error.what();
  // Refused before a single body byte reached the handler.
  EXPECT_TRUE(recorder.body.empty()) << recorder.body.size();
}

TEST(HttpBodyLimit, BodiesUpToTheLimitPassAnnouncedOrNot) {
  TestServer server([](const Received& request, Connection& connection) {
    if (request.target == "/announced") {
      connection.send(reply(200, std::string(1000, 'a')));
    } else {
      connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" +
                      std::string(1000, 'u') + "\r\n0\r\n\r\n");
    }
  });
  http::Client client;
  for (const char* path : {"/announced", "/unannounced"}) {
    http::Request request = get(server.url(path));
    request.max_body = 1000;
    EXPECT_EQ(client.send(request).body.size(), 1000U) << path;
  }
}

// A body that trickles: 20 bytes every 100 ms against 1 KiB/s over 1 s. The
// server would go on for 10 s; the transfer must stop after about one period.
TEST(HttpSlowBody, ATrickleSlowerThanTheRateIsStoppedAfterOnePeriod) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send("HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n");
    for (int i = 0; i < 100; ++i) {
      if (!connection.send(std::string(20, 't'))) {
        return;
      }
      connection.pause(100ms);
    }
  });
  http::Client client;
  http::Request request = get(server.url("/slow"));
  request.min_body_rate = 1024;
  request.min_body_period = 1s;
  Recorder recorder;
  const auto start = std::chrono::steady_clock::now();
  const http::TransportError error =
      failure_of([&] { client.stream(request, recorder); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error.kind(), FailureKind::read_timeout) << error.what();
  EXPECT_TRUE(mentions(error, "port " + std::to_string(server.port()) +
                                  " sends its reply slower than 1024 bytes per "
                                  "second over 1 second"))
      << error.what();
  EXPECT_LT(took, 4s);
  EXPECT_GT(recorder.body.size(), 0U);
  EXPECT_LT(recorder.body.size(), 2000U);
}

// A server that sends nothing more at all is caught as well, between pieces,
// and a fast body is untouched by the bound.
TEST(HttpSlowBody, SilenceIsSlowAndAFastBodyPasses) {
  TestServer server([](const Received& request, Connection& connection) {
    if (request.target == "/silent") {
      connection.send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
      connection.pause(5s);
    } else {
      connection.send(reply(200, std::string(100000, 'f')));
    }
  });
  http::Client client;
  http::Request silent = get(server.url("/silent"));
  silent.min_body_rate = 1024;
  silent.min_body_period = 1s;
  const auto start = std::chrono::steady_clock::now();
  const http::TransportError error = failure_of([&] { client.send(silent); });
  EXPECT_TRUE(mentions(error, "slower than 1024 bytes per second")) << error.what();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  http::Request fast = get(server.url("/fast"));
  fast.min_body_rate = 1024;
  fast.min_body_period = 1s;
  EXPECT_EQ(client.send(fast).body.size(), 100000U);
}

class Quiet final : public download::ProgressSink {
 public:
  void on_percentage(int /*pct*/) override {}
};

// A download takes both bounds from its request: the size limit refuses the
// announced length before the package file is made, and the rate stops a
// trickle; neither leaves a file behind.
TEST(PackageDownloadBounds, NeitherALargeAnnouncementNorATrickleLeavesAFile) {
  TestServer server([](const Received& request, Connection& connection) {
    if (request.target.starts_with("/large")) {
      connection.send(reply(200, std::string(3000, 'l')));
      return;
    }
    connection.send("HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n");
    for (int i = 0; i < 100 && connection.send(std::string(10, 't')); ++i) {
      connection.pause(100ms);
    }
  });
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("tvlib-bounds-" + std::to_string(process_id()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  http::Client client;
  Quiet progress;
  for (const char* path : {"/large", "/trickle"}) {
    download::PackageRequest request{server.url(path), "pkg.ms", folder / "pkg.ms"};
    request.ca_bundle = ca_bundle();
    request.max_size = 2000;
    request.min_rate_period = 1s;
    const http::TransportError error = failure_of([&] {
      static_cast<void>(download::download_package(client, request, progress));
    });
    EXPECT_TRUE(
        mentions(error, path == std::string("/large")
                            ? "announces 3000 bytes, more than the limit of 2000"
                            : "slower than 1024 bytes per second over 1 second"))
        << error.what();
    EXPECT_TRUE(fs::is_empty(folder)) << path;
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace tvlib::test
