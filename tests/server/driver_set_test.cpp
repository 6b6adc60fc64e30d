// DRIVER: one creation whatever the number of first users, its windows in member
// order, and a failed creation that releases what it made, reports once per use
// and leaves the commands that need no driver working.
#include "server/driver_set.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <latch>
#include <map>
#include <mutex>
#include <thread>

#include "base/bytes.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using support::ByteVec;

// Records every mapping (base and size, in order) and which are still open.
class CountingPlatform : public driver::core::Platform {
 public:
  explicit CountingPlatform(std::shared_ptr<sim::Instrument> sim) : sim_(std::move(sim)) {}

  std::expected<std::unique_ptr<driver::core::MemoryWindow>, driver::core::MapError> map(
      std::uint64_t base, std::size_t size) override {
    auto window = sim_->map(base, size);
    std::lock_guard lock(mu_);
    maps_.emplace_back(base, size);
    if (!window) return window;
    ++open_[base];
    return std::make_unique<Window>(std::move(*window), this, base);
  }
  std::expected<std::unique_ptr<driver::core::GpioChip>, int> open_gpio_chip() override {
    return sim_->open_gpio_chip();
  }
  std::vector<std::pair<std::uint64_t, std::size_t>> maps() {
    std::lock_guard lock(mu_);
    return maps_;
  }
  int open(std::uint64_t base) {
    std::lock_guard lock(mu_);
    return open_[base];
  }

 private:
  struct Window : driver::core::MemoryWindow {
    Window(std::unique_ptr<driver::core::MemoryWindow> inner, CountingPlatform* owner, std::uint64_t base)
        : inner(std::move(inner)), owner(owner), base(base) {}
    std::uint32_t load32(std::size_t offset) override { return inner->load32(offset); }
    void store32(std::size_t offset, std::uint32_t value) override { inner->store32(offset, value); }
    void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) override {
      inner->copy_out(offset, dst, len);
    }
    int unmap() override {
      std::lock_guard lock(owner->mu_);
      --owner->open_[base];
      return inner->unmap();
    }
    std::unique_ptr<driver::core::MemoryWindow> inner;
    CountingPlatform* owner;
    std::uint64_t base;
  };
  std::shared_ptr<sim::Instrument> sim_;
  std::mutex mu_;
  std::vector<std::pair<std::uint64_t, std::size_t>> maps_;
  std::map<std::uint64_t, int> open_;
};

const std::vector<std::pair<std::uint64_t, std::size_t>> DRIVER_WINDOWS{
    {0x43C10000, 0x10000},     // hw
    {0x43C20000, 0x1000},      // osc: ctl
    {0x10000000, 0x10000000},  //      wave_a
    {0x20000000, 0x10000000},  //      wave_b
    {0x43C10000, 0x1000},      //      gain_axi
    {0x43C00000, 0x10000},     // clock: osc_gen
    {0x43C30000, 0x10000},     //        nut_gen
};

class DriverSetTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    counting_ = std::make_shared<CountingPlatform>(sim_);
    driver::core::install_platform(counting_);
    server::testing::reset_driver();
  }
  void TearDown() override {
    server::testing::reset_driver();
    driver::core::install_platform(sim_);
  }

  std::shared_ptr<CountingPlatform> counting_;
};

TEST_F(DriverSetTest, CreatedOnFirstUseInMemberOrderAndThenReused) {
  EXPECT_TRUE(counting_->maps().empty());
  auto first = server::DRIVER.get();
  ASSERT_TRUE(first) << first.error().describe();
  EXPECT_EQ(counting_->maps(), DRIVER_WINDOWS);
  auto again = server::DRIVER.get();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);
  EXPECT_EQ(counting_->maps().size(), DRIVER_WINDOWS.size());
}

TEST_F(DriverSetTest, RacingFirstUsersShareOneCreation) {
  constexpr int USERS = 8;
  std::latch start(USERS);
  std::vector<const server::DriverSet*> seen(USERS);
  std::vector<std::thread> threads;
  for (int i = 0; i < USERS; ++i)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      auto set = server::DRIVER.get();
      seen[i] = set ? *set : nullptr;
    });
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(counting_->maps(), DRIVER_WINDOWS);
}

TEST_F(DriverSetTest, FailedCreationReleasesTheMembersAndIsFinal) {
  sim().refuse_map(0x43C20000, ENOMEM);
  ::testing::internal::CaptureStderr();
  auto failed = server::DRIVER.get();
  auto again = server::DRIVER.get();
  sim().refuse_map(0x43C20000, 0);
  auto later = server::DRIVER.get();
  const std::string report = ::testing::internal::GetCapturedStderr();

  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "Unable to init driver");
  EXPECT_EQ(failed.error().chain(), (std::vector<std::string>{
                                        "Unable to init driver",
                                        "Failed to mmap AXI: ENOMEM: Cannot allocate memory"}));
  // Hw's window was made and unmapped again; Osc's first window was refused.
  EXPECT_EQ(counting_->maps(), (std::vector<std::pair<std::uint64_t, std::size_t>>{
                                   {0x43C10000, 0x10000}, {0x43C20000, 0x1000}}));
  EXPECT_EQ(counting_->open(0x43C10000), 0);

  // Never attempted again, even once the window could be mapped.
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().chain(), failed.error().chain());
  EXPECT_FALSE(later);
  EXPECT_EQ(counting_->maps().size(), 2u);
  const std::string line = "Unable to init driver: Failed to mmap AXI: ENOMEM: Cannot allocate memory\n";
  EXPECT_EQ(report, line + line + line);
}

TEST_F(DriverSetTest, WithoutDriversTheRequestIsAnsweredAndOtherCommandsWork) {
  sim().refuse_map(0x43C20000, ENOMEM);
  ASSERT_TRUE(support::connections_ended());
  const int fds_before = support::count_open_fds();
  {
    support::TestServer server;
    support::Client client(server.port());
    support::Client other(server.port());
    ::testing::internal::CaptureStderr();
    auto length = client.call(cmd::osc_set_sample_length, {0, 0, 0x10, 0});
    auto single = other.call(cmd::osc_set_single);
    auto power = client.call(cmd::nut_set_voltage_enable, {1});
    const std::string report = ::testing::internal::GetCapturedStderr();
    for (const auto* reply : {&length, &single, &power}) {
      EXPECT_EQ(reply->status, 0x8000);
      EXPECT_EQ(reply->text(), "Unable to init driver");
    }
    EXPECT_NE(report.find("Unable to init driver: Failed to mmap AXI"), std::string::npos);

    // The same connections go on; the commands that need no driver answer.
    EXPECT_EQ(client.call(cmd::get_id).status, 0);
    EXPECT_EQ(other.call(cmd::get_version).text(), "0.0.1");
    auto reg = client.call(cmd::read_register, {0x43, 0xC1, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(reg.status, 0);
    EXPECT_EQ(reg.payload, (ByteVec{0, 0, 0, 0}));
    auto enable = other.call(cmd::osc_set_channel_enable);
    EXPECT_EQ(enable.payload, ByteVec{0x01});
  }
  EXPECT_EQ(counting_->open(0x43C10000), 0);
  // Connection threads close their sockets on their own time.
  EXPECT_TRUE(support::connections_ended());
  EXPECT_EQ(support::count_open_fds(), fds_before);
}

}  // namespace
