// Streamed replies: order of the calls, piece sizes, handler exceptions,
// bodies cut short, and bodies without a length that go on too long.

#include "http_test_support.hpp"

namespace tvlib::test {
namespace {

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>((i * 7 + i / 251) % 256);
  }
  return text;
}

TEST(HttpStream, LargeBodyArrivesInBoundedPiecesInOrder) {
  const std::string body = pattern(1 << 20);
  TestServer server([&](const Received& /*request*/, Connection& connection) {
    // Written in odd-sized bursts so that pieces do not line up with writes.
    const std::string whole = reply(200, body);
    for (std::size_t at = 0; at < whole.size(); at += 30001) {
      connection.send(std::string_view(whole).substr(at, 30001));
    }
  });
  http::Client client;
  Recorder recorder;
  client.stream(get(server.url("/big")), recorder);

  EXPECT_EQ(recorder.events, (std::vector<std::string>{"head", "piece", "end"}));
  EXPECT_EQ(recorder.head.status, 200);
  EXPECT_TRUE(recorder.body == body) << "body differs; size " << recorder.body.size();
  for (const std::size_t size : recorder.sizes) {
    ASSERT_GE(size, 1U);
    ASSERT_LE(size, http::max_piece_size);
  }
}

TEST(HttpStream, EmptyBodyStillGetsHeadThenEnd) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send(reply(204));
  });
  http::Client client;
  Recorder recorder;
  client.stream(get(server.url("/empty")), recorder);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"head", "end"}));
  EXPECT_EQ(recorder.head.status, 204);
}

struct HandlerFault {
  int code;
};

class FailingRecorder : public Recorder {
 public:
  explicit FailingRecorder(bool in_head) : in_head_(in_head) {}
  void on_head(const http::Head& head) override {
    Recorder::on_head(head);
    if (in_head_) {
      throw HandlerFault{1};
    }
  }
  void on_piece(std::span<const std::byte> piece) override {
    Recorder::on_piece(piece);
    throw HandlerFault{2};
  }

 private:
  bool in_head_;
};

TEST(HttpStream, HandlerExceptionStopsTheTransferAndPropagatesUnchanged) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send(reply(200, pattern(300000)));
  });
  http::Client client;
  for (const bool in_head : {true, false}) {
    FailingRecorder recorder(in_head);
    try {
      client.stream(get(server.url("/fail")), recorder);
      ADD_FAILURE() << "no exception";
    } catch (const HandlerFault& fault) {
      EXPECT_EQ(fault.code, in_head ? 1 : 2);
    }
    EXPECT_EQ(recorder.sizes.size(), in_head ? 0U : 1U);
    EXPECT_NE(recorder.events.back(), "end");
  }
  // The handle is fit for the next request.
  EXPECT_EQ(client.send(get(server.url("/after"))).body.size(), 300000U);
}

TEST(HttpStream, BodyCutShortOfItsLengthFailsBothWays) {
  TestServer server([](const Received& /*request*/, Connection& connection) {
    connection.send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + pattern(1234));
    connection.close_after_reply();
  });
  http::Client client;
  Recorder recorder;
  const http::TransportError streamed =
      failure_of([&] { client.stream(secret_request(server.url("")), recorder); });
  const http::TransportError sent =
      failure_of([&] { client.send(secret_request(server.url(""))); });
  for (const http::TransportError& error : {streamed, sent}) {
    EXPECT_EQ(error.kind(), FailureKind::other) << error.what();
    EXPECT_NE(std::string(error.what()).find("after 1234 of 5000 bytes"),
              std::string::npos)
        << error.what();
    EXPECT_NE(std::string(error.what()).find(std::to_string(server.port())),
              std::string::npos)
        << error.what();
    expect_no_secrets(error);
  }
  EXPECT_EQ(recorder.body.size(), 1234U);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"head", "piece"}));
}

// 2 MiB in every framing: chunked (with a Content-Length that chunking makes
// meaningless), ended by the connection's close, and announced.
TEST(HttpStream, ABodyWithoutALengthStopsAtItsLimit) {
  const std::string body = pattern(2 << 20);
  TestServer server([&](const Received& request, Connection& connection) {
    if (request.target == "/chunked") {
      connection.send(
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: "
          "10\r\n\r\n");
      for (std::size_t at = 0; at < body.size(); at += 0x4000) {
        if (!connection.send("4000\r\n" + body.substr(at, 0x4000) + "\r\n")) {
          return;
        }
      }
      connection.send("0\r\n\r\n");
    } else if (request.target == "/closed") {
      connection.send("HTTP/1.1 200 OK\r\n\r\n" + body);
      connection.close_after_reply();
    } else {
      connection.send(reply(200, body));
    }
  });
  constexpr std::uint64_t limit = 1 << 20;
  for (const std::string path : {"/chunked", "/closed"}) {
    SCOPED_TRACE(path);
    http::Client client;
    http::Request request = get(server.url(path));
    request.max_body = limit;
    Recorder recorder;
    const http::TransportError error =
        failure_of([&] { client.stream(request, recorder); });
    EXPECT_EQ(error.kind(), FailureKind::other);
    EXPECT_EQ(std::string(error.what()),
              "the reply from " + std::string(server_host) + " port " +
                  std::to_string(server.port()) +
                  " announces no length and goes on past 1048576 bytes; it was "
                  "stopped there");
    EXPECT_LE(recorder.body.size(), limit);
    EXPECT_GT(recorder.body.size(), limit / 2);
  }
  // An announced length within the limit passes whole.
  http::Client client;
  http::Request request = get(server.url("/announced"));
  request.max_body = body.size();
  EXPECT_EQ(client.send(request).body.size(), body.size());
}

}  // namespace
}  // namespace tvlib::test
