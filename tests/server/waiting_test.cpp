// Answers and the hardware waits of one connection: a batch of answers leaves in
// one piece, nothing is held back while a transfer waits, and a waiting transfer
// ends with its client.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "support/loopback.h"
#include "support/server_fixture.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Client;
using support::Reply;
using Level = base::log::Level;

ByteVec uart_transfer(std::uint16_t rx_len, std::uint32_t timeout_ms, const ByteVec& tx) {
  ByteVec p(7 + tx.size());
  p[0] = static_cast<std::uint8_t>(rx_len >> 8);
  p[1] = static_cast<std::uint8_t>(rx_len);
  p[2] = 0;  // no trigger
  for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<std::uint8_t>(timeout_ms >> (24 - 8 * i));
  std::copy(tx.begin(), tx.end(), p.begin() + 7);
  return p;
}

class Waiting : public support::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    // A powered, clocked target echoes what the UART sends, at 115200 baud.
    expect_ok(cmd::nut_set_voltage_enable, {1});
    expect_ok(cmd::nut_set_clock, {0, 0, 0x0F, 0xA0});
    expect_ok(cmd::nut_clock_enable, {1});
    expect_ok(cmd::uart_config, {0, 0, 8, 0, 0x01, 0xC2, 0x00});
    expect_ok(cmd::uart_enable, {1});
  }

  static ByteVec batch(std::initializer_list<ByteVec> frames) {
    ByteVec out;
    for (const auto& f : frames) out.insert(out.end(), f.begin(), f.end());
    return out;
  }

  base::log::Capture cap_;
};

TEST_F(Waiting, ABatchOfAnswersLeavesTogetherButNotBehindAWaitingTransfer) {
  // Three requests in one write: their answers come in one piece.
  const ByteVec id = support::request_frame(cmd::get_id);
  client_->send(batch({id, id, id}));
  std::uint8_t buf[4096];
  pollfd p{client_->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  const ssize_t n = ::read(client_->fd(), buf, sizeof buf);
  EXPECT_EQ(n, 3 * (13 + 17)) << "the answers left one by one";

  // An answer ahead of a transfer that waits 3 s goes out before the wait ends.
  client_->send(batch({id, support::request_frame(cmd::uart_transceive, uart_transfer(200, 3000, {'h', 'i'}))}));
  Reply first;
  ASSERT_TRUE(client_->read_reply(first));
  EXPECT_EQ(first.text(), "VALDRIX-M4-123456");
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "held until the transfer ended";
  Reply timed_out;
  ASSERT_TRUE(client_->read_reply(timed_out));
  EXPECT_EQ(timed_out.status, 0x0002);
}

TEST_F(Waiting, AWaitingUartTransferEndsWhenItsClientResetsOrCloses) {
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    cap_.clear();
    auto gone = std::make_unique<Client>(server_->port());
    // 200 bytes of which the target echoes 2: this waits out its minute.
    gone->send(support::request_frame(cmd::uart_transceive, uart_transfer(200, 60000, {'h', 'i'})));
    ASSERT_TRUE(support::eventually(cap_, Level::Debug, "driver::module::hw::uart", "Starting to read uart data"));
    if (reset) {
      const linger abort_on_close{1, 0};
      ::setsockopt(gone->fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    gone.reset();
    expect_ok(cmd::uart_receive_fifo_clear);  // the echo of "hi" waits there
    const auto start = std::chrono::steady_clock::now();
    Reply echo = call(cmd::uart_transceive, uart_transfer(5, 10000, support::bytes_of("hello")));
    EXPECT_EQ(echo.text(), "hello");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "waited for the time-out";
    EXPECT_TRUE(support::eventually(cap_, Level::Debug, "driver::module::hw::uart", "Client gone, UART transfer abandoned"));
    EXPECT_TRUE(support::eventually(cap_, Level::Debug, "protocol",
                                    "Client gone while its request waited, dropping the answer"));
  }
}

}  // namespace
