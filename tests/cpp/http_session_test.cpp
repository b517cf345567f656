// TLS session resumption: every request has a connection of its own, but only
// the first handshake with a server is a full one; later connections resume
// its session, whichever client and thread make them.

#include <atomic>
#include <thread>
#include <vector>

#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

Responder answer_ok() {
  return [](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, "ok"));
  };
}

// Wine's Schannel (GnuTLS underneath) may resume no session at all, where
// Windows' own does; the cases then say so instead of failing.
class HttpTlsSessions : public testing::Test {
 protected:
  void SetUp() override {
    static const bool resumes = !running_under_wine() || [] {
      TestServer server(answer_ok());
      http::Client client;
      client.send(get(server.url("/probe")));
      client.send(get(server.url("/probe")));
      return server.resumed_connections() == 1;
    }();
    if (!resumes) {
      GTEST_SKIP() << "this Schannel (Wine's, on GnuTLS) resumes no TLS session";
    }
  }
};

TEST_F(HttpTlsSessions, LaterRequestsOfOneClientResumeItsSession) {
  TestServer server(answer_ok());
  http::Client client;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client.send(get(server.url("/one"))).body, "ok");
  }
  EXPECT_EQ(server.connections(), 3);  // still one connection per request
  EXPECT_EQ(server.resumed_connections(), 2);
}

TEST_F(HttpTlsSessions, AClientOnAnotherThreadResumesTheSessionOfAnEarlierOne) {
  // As in an update run: health check, check worker and download worker each
  // have a client of their own, on threads of their own.
  TestServer server(answer_ok());
  for (int i = 0; i < 3; ++i) {
    std::thread([&server] {
      http::Client client;
      EXPECT_EQ(client.send(get(server.url("/run"))).body, "ok");
    }).join();
  }
  EXPECT_EQ(server.connections(), 3);
  EXPECT_EQ(server.resumed_connections(), 2);
}

TEST_F(HttpTlsSessions, ClientsOnManyThreadsAtOnceShareTheCacheSafely) {
  TestServer server(answer_ok());
  EXPECT_EQ(http::Client().send(get(server.url("/first"))).body, "ok");
  constexpr int threads = 6;
  constexpr int requests = 8;
  std::atomic<int> answered{0};
  std::atomic<int> first_requests_done{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      http::Client client;
      // The threads' first requests go one after the other, each resuming the
      // session the previous one left; then all threads send at once.
      const auto wait_for = [&](int turn) {
        while (first_requests_done.load() < turn) {
          std::this_thread::yield();
        }
      };
      wait_for(t);
      for (int i = 0; i < requests; ++i) {
        if (client.send(get(server.url("/many"))).body == "ok") {
          ++answered;
        }
        if (i == 0) {
          EXPECT_EQ(server.resumed_connections(), t + 1)
              << "first request of thread " << t;
          ++first_requests_done;
          wait_for(threads);
        }
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  EXPECT_EQ(answered, threads * requests);
  EXPECT_EQ(server.connections(), 1 + threads * requests);
  // How many of the concurrent ones resume depends on timing: OpenSSL spends a
  // TLS 1.3 ticket on one resumption, and a connection that picks up a ticket
  // another one has just used makes a full handshake.
}

TEST_F(HttpTlsSessions, ASessionIsOfferedOnlyToTheServerThatIssuedIt) {
  TestServer first(answer_ok());
  TestServer second(answer_ok());
  http::Client client;
  client.send(get(first.url("/a")));
  client.send(get(second.url("/b")));
  client.send(get(second.url("/b")));
  EXPECT_EQ(first.resumed_connections(), 0);
  EXPECT_EQ(second.resumed_connections(), 1);
}

}  // namespace
}  // namespace tvlib::test
