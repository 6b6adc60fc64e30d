// Hw against the simulated power block: the power and clock writes, the voltage
// table's edges, the bus locks, and the setpoint loads that Osc and Hw share.
#include "driver/module/hw.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "driver/module/bus_lock.h"
#include "driver/module/osc.h"
#include "sim/power_bus.h"
#include "support/sim_fixture.h"

namespace {

using driver::module::BusLock;
using driver::module::hw::Hw;
using sim::wr;
using Accesses = std::vector<sim::Access>;
using Lines = std::vector<std::string>;

constexpr std::string_view TARGET = "driver::module::hw";

class HwTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    saved_ = base::log::threshold();
    base::log::set_threshold(base::log::Level::Trace);
    auto hw = Hw::create();
    ASSERT_TRUE(hw) << hw.error().describe();
    hw_.emplace(std::move(*hw));
  }
  void TearDown() override { base::log::set_threshold(saved_); }

  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(0x43C10000); }

  std::optional<Hw> hw_;
  base::log::Level saved_{};
};

TEST_F(HwTest, VoltageLoadsTheTableSetpointThenSelectsTheSupply) {
  base::log::Capture log;
  ASSERT_TRUE(hw_->set_voltage(3300));
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x04, 213), wr(0x04, 0x4D5)}));
  EXPECT_EQ(power().voltage_setpoint(), 213);
  EXPECT_EQ(log.messages(TARGET), (Lines{"Starting set_voltage with voltage: 3300",
                                         "Calculated register value for voltage: 213"}));

  const std::vector<std::pair<std::uint32_t, std::uint8_t>> cases{
      {2000, 0},   {2050, 0},   {2099, 0},   {2100, 39},  {3199, 199}, {3200, 206},
      {3250, 206}, {3299, 206}, {3999, 241}, {4000, 245}, {4100, 245}};
  for (auto [mv, setpoint] : cases) {
    SCOPED_TRACE(mv);
    power().clear_accesses();
    ASSERT_TRUE(hw_->set_voltage(mv));
    EXPECT_EQ(power().accesses(), (Accesses{wr(0x04, setpoint), wr(0x04, setpoint | 0x400u)}));
    EXPECT_EQ(power().voltage_setpoint(), setpoint);
  }
  EXPECT_EQ(power().torn_loads(), 0u);
}

TEST_F(HwTest, VoltageOutsideTheTableWritesNothing) {
  power().clear_accesses();
  for (std::uint32_t bad : {1999u, 4101u, 0u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(bad);
    auto r = hw_->set_voltage(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid voltage value");
  }
  EXPECT_TRUE(power().accesses().empty());
}

TEST_F(HwTest, RawVoltageEnableAndClockGate) {
  base::log::Capture log;
  ASSERT_TRUE(hw_->set_voltage_raw(255));
  ASSERT_TRUE(hw_->voltage_enable(7));
  EXPECT_TRUE(power().supply_on());
  ASSERT_TRUE(hw_->voltage_enable(0));
  EXPECT_FALSE(power().supply_on());
  ASSERT_TRUE(hw_->nut_clock_enable(7));
  EXPECT_EQ(power().accesses(),
            (Accesses{wr(0x04, 255), wr(0x04, 0x4FF), wr(0x00, 1), wr(0x00, 0), wr(0x08, 7)}));
  EXPECT_EQ(power().voltage_setpoint(), 255);
  EXPECT_EQ(power().clock_gate(), 7u);
  EXPECT_EQ(log.messages(TARGET),
            (Lines{"Starting set_voltage_raw with raw: 255", "Starting voltage_enable with enable: 7",
                   "Starting voltage_enable with enable: 0", "Starting nut_clock_enable with enable: 7"}));
}

TEST_F(HwTest, CreationFailsWithTheWindowError) {
  sim().refuse_map(0x43C10000, EACCES);
  auto hw = Hw::create();
  ASSERT_FALSE(hw);
  EXPECT_EQ(hw.error().message(), "Failed to mmap AXI: EACCES: Permission denied");
}

// Gain loads through Osc's mapping and voltage loads through Hw's, from several
// threads at once: every select write must follow the bare write of its own value.
TEST_F(HwTest, GainAndVoltageLoadsNeverInterleave) {
  auto osc = driver::module::osc::Osc::create();
  ASSERT_TRUE(osc);
  power().clear_accesses();
  constexpr int ROUNDS = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < ROUNDS; ++i)
        ASSERT_TRUE(osc->set_channel_gain_raw({.channel = static_cast<std::uint8_t>(1 + t),
                                               .gain = static_cast<std::uint8_t>(i)}));
    });
    threads.emplace_back([&, t] {
      for (int i = 0; i < ROUNDS; ++i)
        ASSERT_TRUE(t == 0 ? hw_->set_voltage_raw(static_cast<std::uint8_t>(i + 1))
                           : hw_->set_voltage(2000 + static_cast<std::uint32_t>(i) % 2101));
    });
  }
  for (auto& t : threads) t.join();

  const auto writes = power().writes();
  ASSERT_EQ(writes.size(), 4u * 2 * ROUNDS);
  for (std::size_t i = 0; i < writes.size(); i += 2) {
    ASSERT_EQ(writes[i].value & 0x700u, 0u) << "write " << i;
    ASSERT_EQ(writes[i + 1].value & 0xFFu, writes[i].value) << "write " << i + 1;
    ASSERT_NE(writes[i + 1].value & 0x700u, 0u) << "write " << i + 1;
  }
  EXPECT_EQ(power().torn_loads(), 0u);
}

TEST(BusLockTest, ExceptionWhileHeldBreaksTheLockForGood) {
  BusLock lock;
  {
    auto guard = lock.acquire();
    ASSERT_TRUE(guard);
  }
  {
    auto again = lock.acquire();  // released on a normal exit
    ASSERT_TRUE(again);
  }
  EXPECT_FALSE(lock.broken());

  EXPECT_THROW(
      {
        auto guard = lock.acquire();
        throw std::runtime_error("holder failed");
      },
      std::runtime_error);
  EXPECT_TRUE(lock.broken());
  // Every later acquisition reports it and leaves the lock free for the next.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(lock.acquire());

  // Moving the lock keeps its state.
  BusLock moved = std::move(lock);
  EXPECT_TRUE(moved.broken());
}

TEST(BusLockTest, ReleasingNormallyDuringAnEarlierUnwindDoesNotBreakIt) {
  BusLock lock;
  struct UsesLockWhileUnwinding {
    BusLock& lock;
    ~UsesLockWhileUnwinding() {
      auto guard = lock.acquire();  // taken and released while an exception is in flight
    }
  };
  try {
    UsesLockWhileUnwinding user{lock};
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(lock.broken());
  EXPECT_TRUE(lock.acquire());
}

}  // namespace
