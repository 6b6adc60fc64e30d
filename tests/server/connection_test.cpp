// The connection server and the router, black-box over loopback.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "protocol/base_server.h"
#include "protocol/connection.h"
#include "server/command.h"
#include "support/loopback.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Client;
using support::request_frame;
using support::TestServer;
using Level = base::log::Level;

ByteVec frame_with(std::string_view magic, std::uint8_t direction, std::uint16_t command,
                   std::uint32_t length) {
  ByteVec f(magic.begin(), magic.end());
  f.insert(f.end(), {0x00, 0x01, direction, static_cast<std::uint8_t>(command >> 8),
                     static_cast<std::uint8_t>(command), 0x00, 0x00,
                     static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                     static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
  return f;
}

ByteVec error_frame(std::string_view text) {
  ByteVec f{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', 0x80, 0x00, 0, 0, 0,
            static_cast<std::uint8_t>(text.size())};
  for (char ch : text) f.push_back(static_cast<std::uint8_t>(ch));
  return f;
}

using support::eventually;

class Connection : public ::testing::Test {
 protected:
  base::log::Capture cap;
  TestServer server;
};

TEST_F(Connection, IdentificationCommands) {
  Client c(server.port());
  auto id = c.call(cmd::get_id, {0xDE, 0xAD});  // payload ignored
  EXPECT_EQ(id.status, 0);
  EXPECT_EQ(id.text(), "VALDRIX-M4-123456");
  EXPECT_EQ(c.call(cmd::get_name).text(), "Valdrix-M4");
  EXPECT_EQ(c.call(cmd::get_version).text(), "0.0.1");
  // The exact bytes of one answer.
  c.send(request_frame(cmd::get_version));
  ByteVec expected{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                   '0', '.', '0', '.', '1'};
  c.shutdown_write();
  EXPECT_EQ(c.read_until_close(), expected);
}

TEST_F(Connection, ClientThatSendsNothingGetsNoAnswer) {
  {
    Client c(server.port());
    c.shutdown_write();
    EXPECT_TRUE(c.read_until_close().empty());
  }
  EXPECT_TRUE(eventually(cap, Level::Info, "protocol", "No header received, Disconnecting"));
  auto msgs = cap.messages("protocol");
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].rfind("Connected by 127.0.0.1:", 0), 0u);

  Client partial(server.port());
  ByteVec whole = request_frame(cmd::get_id);
  partial.send(std::span(whole).first(14));
  partial.shutdown_write();
  EXPECT_TRUE(partial.read_until_close().empty());
}

TEST_F(Connection, MalformedFramesGetOneErrorFrameThenClose) {
  struct Case {
    ByteVec bytes;
    std::string_view answer;
    std::string_view log;
  };
  std::vector<Case> cases = {
      {frame_with("VLDY", 'S', 1, 0), "Invalid magic code", "Invalid magic code"},
      {frame_with("vldx", 'S', 1, 0), "Invalid magic code", "Invalid magic code"},
      {frame_with("VLDX", 'R', 1, 0), "Invalid direction", "Invalid direction"},
      {frame_with("ABCD", 'R', 1, 0), "Invalid magic code", "Invalid magic code"},
      {frame_with("VLDX", 'S', 1, 0x01000001), "Payload too large",
       "Payload length 16777217 exceeds limit 16777216"},
      {frame_with("VLDX", 'S', 1, 0xFFFFFFFF), "Payload too large",
       "Payload length 4294967295 exceeds limit 16777216"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.answer));
    cap.clear();
    Client client(server.port());
    ByteVec stream = c.bytes;
    // A payload and a valid request follow in the same stream; neither is read.
    ByteVec more = request_frame(cmd::get_id);
    stream.insert(stream.end(), {1, 2, 3, 4});
    stream.insert(stream.end(), more.begin(), more.end());
    client.send(stream);
    EXPECT_EQ(client.read_until_close(), error_frame(c.answer));
    EXPECT_TRUE(eventually(cap, Level::Error, "protocol", c.log));
    EXPECT_TRUE(cap.messages("protocol::error").empty());
  }
  EXPECT_EQ(error_frame("Invalid magic code").size(), 13u + 18u);
  EXPECT_EQ(error_frame("Invalid direction").size(), 13u + 17u);
}

TEST_F(Connection, ShortPayloadIsAReadError) {
  Client c(server.port());
  ByteVec f = frame_with("VLDX", 'S', 1, 10);
  f.insert(f.end(), {1, 2, 3, 4});
  c.send(f);
  c.shutdown_write();
  EXPECT_EQ(c.read_until_close(), error_frame("Read payload error"));
  EXPECT_TRUE(eventually(cap, Level::Error, "protocol", "Failed to read payload"));
}

TEST_F(Connection, PipelinedRequestsAreAnsweredInOrderAndUnknownCodesKeepTheConnection) {
  Client c(server.port());
  ByteVec stream;
  std::vector<std::uint16_t> codes;
  for (int i = 0; i < 100; ++i) codes.push_back(static_cast<std::uint16_t>(i % 4));  // 0 unknown
  for (auto code : codes) {
    ByteVec f = request_frame(code, ByteVec{0x01, 0x02});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  c.send(stream);  // one write with all of them
  const char* answers[] = {"", "VALDRIX-M4-123456", "Valdrix-M4", "0.0.1"};
  for (auto code : codes) {
    support::Reply r;
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.status, code == 0 ? 0x8001 : 0);
    EXPECT_EQ(r.text(), answers[code]);
  }
  EXPECT_EQ(c.call(cmd::get_id).text(), "VALDRIX-M4-123456");
}

TEST_F(Connection, VersionAndReservedAreIgnored) {
  Client c(server.port());
  ByteVec f = request_frame(cmd::get_name);
  f[4] = 0xFF;
  f[5] = 0x7E;
  f[9] = 0xAA;
  f[10] = 0x55;
  c.send(f);
  support::Reply r;
  ASSERT_TRUE(c.read_reply(r));  // read_reply checks the answer's version is 1
  EXPECT_EQ(r.text(), "Valdrix-M4");
}

TEST_F(Connection, CodesWithoutHandlerAnswerUnsupport) {
  Client c(server.port());
  std::vector<std::uint16_t> gaps = {0, 7, 8, 255, 257, 259, 262, 263, 265, 291, 298, 303, 305,
                                     335, 340, 511, 517, 571, 576, 585, 590, 607, 615, 0x0EFF,
                                     0x0F02, 0x0F10, 0x0FFF, 0x1000, 0xFFFF};
  for (auto code : gaps) {
    SCOPED_TRACE(code);
    cap.clear();
    auto r = c.call(code, ByteVec{0x42, 0x42, 0x42});
    EXPECT_EQ(r.status, 0x8001);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_TRUE(eventually(cap, Level::Error, "protocol::error", "Unsupported operation"));
  }
}

TEST_F(Connection, LargestPayloadIsRead) {
  Client c(server.port());
  ByteVec payload(protocol::MAX_PAYLOAD_LENGTH, 0x11);
  EXPECT_EQ(c.call(cmd::get_id, payload).text(), "VALDRIX-M4-123456");
  EXPECT_EQ(c.call(cmd::get_version).text(), "0.0.1");
}

TEST_F(Connection, ManyClientsAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 16; ++t)
    threads.emplace_back([&] {
      Client c(server.port());
      for (int i = 0; i < 50; ++i)
        if (c.call(cmd::get_id).text() == "VALDRIX-M4-123456") ++ok;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 16 * 50);
}

// A handler that throws must not end the connection or the process.
protocol::HandlerResult throwing_handler(protocol::Request request) {
  if (request.header.command == 1) throw std::runtime_error("out of sample memory");
  if (request.header.command == 2) throw 42;
  return base::Bytes{0x07};
}

TEST(ConnectionFaults, EscapingExceptionBecomesInternalError) {
  base::log::Capture cap;
  auto server = protocol::BaseServer::create(0, throwing_handler, "127.0.0.1");
  ASSERT_TRUE(server);
  std::thread loop([&] { (void)(*server)->run(*protocol::Runtime::build()); });
  {
    Client c((*server)->local_port());
    auto r = c.call(1);
    EXPECT_EQ(r.status, 0x8000);
    EXPECT_EQ(r.text(), "Request failed");
    EXPECT_TRUE(eventually(cap, Level::Error, "protocol::error", "Caused by: out of sample memory"));
    EXPECT_EQ(c.call(2).text(), "Request failed");
    auto after = c.call(3);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.payload, ByteVec{0x07});
  }
  (*server)->stop();
  loop.join();
}

// Fails while its answer streams: the frame cannot be finished, so the connection
// ends; the service goes on.
protocol::HandlerResult failing_stream_handler(protocol::Request request) {
  if (request.header.command == 1) {
    auto sent = protocol::Connection::current()->stream_answer(
        64u << 20, [](std::uint8_t*, std::size_t) -> std::size_t { throw std::bad_alloc(); });
    if (!sent) return std::unexpected(protocol::ProtocolError::internal(sent.error()));
  }
  return base::Bytes{0x07};
}

TEST(ConnectionFaults, AnExceptionWhileAnAnswerStreamsEndsOnlyThatConnection) {
  base::log::Capture cap;
  auto server = protocol::BaseServer::create(0, failing_stream_handler, "127.0.0.1");
  ASSERT_TRUE(server);
  std::thread loop([&] { (void)(*server)->run(*protocol::Runtime::build()); });
  {
    Client c((*server)->local_port());
    c.send(request_frame(1));
    EXPECT_LT(c.read_until_close().size(), protocol::RESPONSE_HEADER_SIZE + (64u << 20));
    EXPECT_TRUE(eventually(cap, Level::Error, "protocol", "Failed to write response: Request failed"));
    Client next((*server)->local_port());
    EXPECT_EQ(next.call(2).payload, ByteVec{0x07});
  }
  (*server)->stop();
  loop.join();
}

TEST(ConnectionFaults, TheSoftDescriptorLimitIsRaisedToTheHardOne) {
  ASSERT_TRUE(protocol::Runtime::build());
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  EXPECT_EQ(files.rlim_cur, files.rlim_max);
}

TEST(ConnectionFaults, BindErrorNamesTheCall) {
  auto first = protocol::BaseServer::create(0, throwing_handler, "127.0.0.1");
  ASSERT_TRUE(first);
  auto second = protocol::BaseServer::create((*first)->local_port(), throwing_handler, "127.0.0.1");
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(),
            "bind 127.0.0.1:" + std::to_string((*first)->local_port()) + ": Address already in use");
  auto bad = protocol::BaseServer::create(0, throwing_handler, "not-an-address");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "could not resolve to any address");
}

TEST(ConnectionFaults, DescriptorsAndThreadsReturnAfterClients) {
  TestServer server;
  Client warm(server.port());
  EXPECT_EQ(warm.call(1).status, 0);
  ASSERT_TRUE(support::connections_ended(5000, 1));
  int fds = support::count_open_fds();
  // The warm-up connection's thread stays; any other connection thread is on its way out.
  support::ThreadCensus threads{1, support::thread_census().other};
  for (int i = 0; i < 200; ++i) {
    Client c(server.port());
    if (i % 2 == 0) {
      EXPECT_EQ(c.call(3).text(), "0.0.1");
    }
  }
  {
    // Clients that closed at once may still wait in the listen backlog; an answer
    // on a fresh connection means the accept loop has taken every earlier one.
    Client last(server.port());
    EXPECT_EQ(last.call(3).text(), "0.0.1");
  }
  ASSERT_TRUE(support::connections_ended(5000, 1));
  for (int i = 0; i < 500 && (support::count_open_fds() != fds || support::thread_census() != threads); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(support::count_open_fds(), fds);
  EXPECT_EQ(support::thread_census(), threads);
}

}  // namespace
