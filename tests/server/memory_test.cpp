// What clients can make the service hold: stalled uploads, an answer nobody reads,
// payloads past the memory budget. Loopback only; the process size is checked
// where it means something (not under the emulator or the sanitizers).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "protocol/memory_budget.h"
#include "server/driver_set.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;
using support::Client;

constexpr long MIB_IN_KIB = 1024;

bool emulated() { return std::getenv("VALDRIX_EMULATOR") != nullptr; }

// A header announcing `length` payload bytes, followed by `sent` of them.
ByteVec upload(std::uint32_t length, std::size_t sent) {
  ByteVec f = support::request_frame(cmd::spi_transceive);
  f[11] = static_cast<std::uint8_t>(length >> 24);
  f[12] = static_cast<std::uint8_t>(length >> 16);
  f[13] = static_cast<std::uint8_t>(length >> 8);
  f[14] = static_cast<std::uint8_t>(length);
  f.resize(f.size() + sent, 0x5A);
  return f;
}

class Memory : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    server::testing::reset_driver();
  }
  void TearDown() override { server::testing::reset_driver(); }
};

// Exit status 0 when `count` stalled 16 MiB uploads leave the service answering
// and its memory near idle; the failing step otherwise.
int flood_of_stalled_uploads(int count, bool limit_address_space) {
  if (limit_address_space) {
    const rlimit two_gib{rlim_t{2} << 30, rlim_t{2} << 30};
    if (::setrlimit(RLIMIT_AS, &two_gib) != 0) return 10;
  }
  support::TestServer server;
  {
    Client warm(server.port());
    if (warm.call(cmd::get_id).status != 0) return 11;
  }
  if (!support::connections_ended()) return 14;
  const long idle = support::rss_kib();
  const ByteVec stalled = upload(16u << 20, 16);
  std::vector<Client> clients;
  clients.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    clients.emplace_back(server.port());
    clients.back().send(stalled);
  }
  // One accept loop takes connections in order: this answer comes after every
  // stalled connection has its thread.
  Client fresh(server.port());
  if (fresh.call(cmd::get_id).text() != "VALDRIX-M4-123456") return 12;
  if (support::sizes_mean_something() && support::rss_kib() >= idle + 100 * MIB_IN_KIB) return 13;
  return 0;
}

TEST_F(Memory, StalledUploadsNeitherEndTheServiceNorPinItsMemory) {
  if (!support::sizes_mean_something()) {
    // qemu-user ignores RLIMIT_AS and cannot re-run this binary for a death test;
    // the sanitizers reserve terabytes of shadow memory.
    EXPECT_EQ(flood_of_stalled_uploads(emulated() ? 400 : 500, false), 0);
    return;
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(flood_of_stalled_uploads(500, true)), ::testing::ExitedWithCode(0), "");
}

TEST_F(Memory, AClientThatDoesNotReadItsWaveHoldsOneChunk) {
  support::TestServer server;
  {
    Client warm(server.port());
    ASSERT_EQ(warm.call(cmd::get_id).status, 0);
  }
  ASSERT_TRUE(support::connections_ended());
  const long idle = support::rss_kib();
  constexpr std::uint32_t samples = 32u << 20;  // 64 MiB
  Client reader(server.port());
  reader.send(support::request_frame(cmd::osc_get_channel_wave, ByteVec{1, 0, 0, 0, 0, 0x02, 0, 0, 0}));
  pollfd p{reader.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the answer never started";
  // The socket buffers fill; the connection waits for the client with what it has.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (support::sizes_mean_something()) {
    EXPECT_LT(support::rss_kib(), idle + 16 * MIB_IN_KIB) << "idle " << idle << " KiB";
  }
  Client other(server.port());
  EXPECT_EQ(other.call(cmd::get_id).text(), "VALDRIX-M4-123456");
  support::Reply wave;
  ASSERT_TRUE(reader.read_reply(wave));
  EXPECT_EQ(wave.status, 0);
  EXPECT_EQ(wave.payload.size(), std::size_t{samples} * 2);
}

TEST_F(Memory, APayloadPastTheBudgetIsRefusedWithOutOfMemory) {
  base::log::Capture cap;
  auto& budget = protocol::MemoryBudget::shared();
  const std::size_t saved = budget.set_limit(256 * 1024);
  {
    support::TestServer server;
    Client bystander(server.port());
    ASSERT_EQ(bystander.call(cmd::get_id).status, 0);
    Client uploader(server.port());
    std::thread sender([&] { uploader.send(upload(4u << 20, 1u << 20)); });
    const ByteVec answer = uploader.read_until_close();
    sender.join();
    const std::string text = "Out of memory";
    ByteVec expected{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', 0x80, 0x00, 0, 0, 0, static_cast<std::uint8_t>(text.size())};
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(answer, expected);
    EXPECT_TRUE(support::eventually(cap, base::log::Level::Error, "protocol",
                                    "Out of memory: no room for a payload of 4194304 bytes"));
    // The other connections go on, and what the refused one held is back.
    EXPECT_EQ(bystander.call(cmd::get_id).text(), "VALDRIX-M4-123456");
    EXPECT_TRUE(support::connections_ended(10000, 1));
    EXPECT_EQ(budget.in_use(), 0u);
  }
  budget.set_limit(saved);
}

}  // namespace
