// Load and abuse over loopback: many clients, slow clients, clients that vanish,
// absurd lengths. After each, descriptors, threads and memory return to idle.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "server/driver_set.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Client;
using support::Reply;

ByteVec be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}
ByteVec cat(std::initializer_list<ByteVec> parts) {
  ByteVec out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Abuse : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    server::testing::reset_driver();
    server_ = std::make_unique<support::TestServer>();
    EXPECT_TRUE(support::connections_ended());
    idle_fds_ = support::count_open_fds();
    // Connection threads of earlier tests may still be on their way out.
    idle_threads_ = {0, support::thread_census().other};
    {
      // Warm up: the driver set exists before memory is measured.
      Client c(port());
      EXPECT_EQ(c.call(cmd::osc_get_trigger_status).status, 0);
    }
    idle_rss_ = support::rss_kib();
  }
  void TearDown() override {
    server_.reset();
    server::testing::reset_driver();
  }

  // Connection threads end a little after their clients; wait for them (bounded).
  void expect_back_to_idle() {
    {
      // Clients that closed at once may still wait in the listen backlog; one
      // accept loop takes connections in order, so an answer on a fresh one means
      // every earlier connection has been accepted and no thread is still to come.
      Client last(port());
      EXPECT_EQ(last.call(cmd::get_name).text(), "Valdrix-M4");
    }
    EXPECT_TRUE(support::connections_ended(30000));
    for (int i = 0; i < 3000; ++i) {
      if (support::count_open_fds() == idle_fds_ && support::thread_census() == idle_threads_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(support::count_open_fds(), idle_fds_);
    EXPECT_EQ(support::thread_census(), idle_threads_);
    if (support::sizes_mean_something()) {
      EXPECT_LT(support::rss_kib(), idle_rss_ + 16 * 1024) << "idle " << idle_rss_ << " KiB";
    }
  }

  std::uint16_t port() const { return server_->port(); }

  std::unique_ptr<support::TestServer> server_;
  int idle_fds_ = 0;
  support::ThreadCensus idle_threads_;
  long idle_rss_ = 0;
};

TEST_F(Abuse, TwoHundredConcurrentConnectionsGetCorrectAnswers) {
  constexpr int kClients = 200;
  constexpr int kRounds = 25;
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t)
    threads.emplace_back([&, t] {
      Client c(port());
      // Plain memory outside the blocks, a page of its own per client.
      std::uint32_t base = 0x50000000u + static_cast<std::uint32_t>(t) * 0x10000u;
      for (int i = 0; i < kRounds; ++i) {
        auto value = static_cast<std::uint32_t>(t * 1000 + i);
        auto offset = static_cast<std::uint32_t>(4 * i);
        auto w = c.call(cmd::write_register, cat({be32(base), be32(offset), be32(value)}));
        auto r = c.call(cmd::read_register, cat({be32(base), be32(offset)}));
        auto id = c.call(cmd::get_id);
        auto status = c.call(cmd::osc_get_trigger_status);
        auto unknown = c.call(0x0999);
        bool ok = w.status == 0 && w.payload.empty() && r.status == 0 && r.payload == be32(value) &&
                  id.text() == "VALDRIX-M4-123456" && status.status == 0 &&
                  status.payload.size() == 4 && unknown.status == 0x8001;
        if (!ok) ++wrong;
        answered += 5;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kClients * kRounds * 5);
  expect_back_to_idle();
}

TEST_F(Abuse, OneByteAtATime) {
  {
    Client c(port());
    ByteVec frame = support::request_frame(cmd::read_register, cat({be32(0x43C20000), be32(0x14)}));
    for (int round = 0; round < 3; ++round) {
      for (std::uint8_t b : frame) {
        c.send(ByteVec{b});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      support::Reply r;
      ASSERT_TRUE(c.read_reply(r));
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.payload.size(), 4u);
    }
  }
  expect_back_to_idle();
}

TEST_F(Abuse, ClientsThatVanishMidPayloadOrMidAnswer) {
  for (int i = 0; i < 20; ++i) {
    Client c(port());
    ByteVec f = support::request_frame(cmd::write_register, ByteVec(12, 0));
    f[14] = 100;  // claims 100 payload bytes, sends 12
    c.send(f);
  }
  // A 64 MiB wave whose reader reads 1 MiB of it and goes away.
  for (int i = 0; i < 3; ++i) {
    Client c(port());
    c.send(support::request_frame(cmd::osc_get_channel_wave, cat({ByteVec{1}, be32(0), be32(32u * 1024 * 1024)})));
    std::vector<std::uint8_t> buf(1 << 20);
    std::size_t got = 0;
    while (got < buf.size()) {
      ssize_t n = ::read(c.fd(), buf.data() + got, buf.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, buf.size());
  }
  expect_back_to_idle();
  Client after(port());
  EXPECT_EQ(after.call(cmd::get_version).text(), "0.0.1");
}

TEST_F(Abuse, FiveThousandConnectAndCloseCycles) {
  for (int i = 0; i < 5000; ++i) {
    Client c(port());
    if (i % 500 == 0) {
      EXPECT_EQ(c.call(cmd::get_name).text(), "Valdrix-M4");
    }
  }
  expect_back_to_idle();
}

TEST_F(Abuse, AbsurdLengthIsRefusedWithoutAllocating) {
  for (int i = 0; i < 50; ++i) {
    Client c(port());
    ByteVec f = support::request_frame(cmd::get_id);
    f[11] = f[12] = f[13] = f[14] = 0xFF;
    c.send(f);
    ByteVec answer = c.read_until_close();
    std::string text(answer.begin() + std::min<std::size_t>(13, answer.size()), answer.end());
    EXPECT_EQ(text, "Payload too large");
  }
  expect_back_to_idle();
}

TEST_F(Abuse, BlockedUartTransferDoesNotHoldUpOtherConnections) {
  support::power_target(sim());
  auto uart_owner = std::make_unique<Client>(port());
  Client& uart = *uart_owner;
  ASSERT_EQ(uart.call(cmd::uart_config, cat({ByteVec{0, 0, 8}, be32(9600)})).status, 0);
  ASSERT_EQ(uart.call(cmd::uart_enable, ByteVec{1}).status, 0);
  // Waits for 200 bytes of which the target only ever echoes 2: a 5 s time-out.
  std::atomic<bool> uart_done{false};
  support::Reply uart_reply;
  std::thread blocked([&] {
    uart_reply = uart.call(cmd::uart_transceive, cat({ByteVec{0x00, 200, 0}, be32(5000), ByteVec{'h', 'i'}}));
    uart_done = true;
  });
  int served = 0;
  {
    Client other(port());
    EXPECT_EQ(other.call(cmd::spi_enable, ByteVec{1}).status, 0);
    for (int i = 0; i < 50; ++i) {
      if (other.call(cmd::get_id).text() == "VALDRIX-M4-123456") ++served;
      auto spi = other.call(cmd::spi_transceive, cat({ByteVec{0}, be32(0), ByteVec{0x00, 0x02, 0}, ByteVec{0xAB, 0xCD}}));
      if (spi.status == 0 && spi.payload == ByteVec({0xAB, 0xCD})) ++served;
    }
    // Another UART transfer queues behind the lock; the FIFO count is read without it.
    auto count = other.call(cmd::uart_receive_fifo_remained);
    EXPECT_EQ(count.status, 0);
    EXPECT_EQ(count.payload.size(), 2u);
  }
  EXPECT_EQ(served, 100);
  EXPECT_FALSE(uart_done.load()) << "the other connection should not have waited 5 s";
  blocked.join();
  EXPECT_EQ(uart_reply.status, 2);
  uart_owner.reset();
  expect_back_to_idle();
}

}  // namespace
