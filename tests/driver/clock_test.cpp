// Clock against the simulated generators: the exact writes of each operation, what
// the generator applies on LOAD, and the refusals that must leave the block alone.
#include "driver/module/clock.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/log.h"
#include "sim/clock_gen.h"
#include "support/sim_fixture.h"

namespace {

using driver::module::clock::Clock;
using sim::wr;
using Writes = std::vector<sim::Access>;

constexpr std::string_view TARGET = "driver::module::clock";

class ClockTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    saved_ = base::log::threshold();
    base::log::set_threshold(base::log::Level::Trace);
    auto clock = Clock::create();
    ASSERT_TRUE(clock) << clock.error().describe();
    clock_.emplace(std::move(*clock));
  }
  void TearDown() override { base::log::set_threshold(saved_); }

  sim::ClockGen& osc_gen() { return *sim().model_at<sim::ClockGen>(0x43C00000); }
  sim::ClockGen& nut_gen() { return *sim().model_at<sim::ClockGen>(0x43C30000); }

  std::optional<Clock> clock_;
  base::log::Level saved_{};
};

TEST_F(ClockTest, FrequencyIsThreeWritesEndingInLoad) {
  base::log::Capture log;
  ASSERT_TRUE(clock_->set_osc_clock(4000));
  EXPECT_EQ(osc_gen().accesses(), (Writes{wr(0x200, 0x3005), wr(0x208, 120), wr(0x25C, 3)}));
  EXPECT_TRUE(nut_gen().accesses().empty());
  EXPECT_EQ(osc_gen().frequency_hz(), 4'000'000u);
  EXPECT_EQ(log.messages(TARGET), (std::vector<std::string>{
                                      "Starting set_osc_clock with clk: 4000",
                                      "Calculated mul: 48, div1: 5, div2: 120 for clk: 4000"}));

  log.clear();
  ASSERT_TRUE(clock_->set_nut_clock(65000));
  EXPECT_EQ(nut_gen().accesses(), (Writes{wr(0x200, 0x2705), wr(0x208, 6), wr(0x25C, 3)}));
  EXPECT_EQ(nut_gen().frequency_hz(), 65'000'000u);
  EXPECT_EQ(osc_gen().accesses().size(), 3u);
  EXPECT_EQ(log.messages(TARGET), (std::vector<std::string>{
                                      "Starting set_nut_clock with clk: 65000",
                                      "Calculated mul: 39, div1: 5, div2: 6 for clk: 65000"}));
}

TEST_F(ClockTest, EveryTableKeyProducesItsFrequencyOnBothGenerators) {
  for (std::uint32_t khz : {4000u, 8000u, 12000u, 24000u, 48000u, 65000u}) {
    SCOPED_TRACE(khz);
    ASSERT_TRUE(clock_->set_osc_clock(khz));
    ASSERT_TRUE(clock_->set_nut_clock(khz));
    EXPECT_EQ(osc_gen().frequency_hz(), std::uint64_t{khz} * 1000);
    EXPECT_EQ(nut_gen().frequency_hz(), std::uint64_t{khz} * 1000);
  }
  EXPECT_EQ(osc_gen().loads(), 6u);
  EXPECT_EQ(nut_gen().loads(), 6u);
}

TEST_F(ClockTest, ValuesOutsideTheTableWriteNothing) {
  base::log::Capture log;
  for (std::uint32_t bad : {0u, 50000u, 4001u, 3999u}) {
    SCOPED_TRACE(bad);
    auto osc = clock_->set_osc_clock(bad);
    ASSERT_FALSE(osc);
    EXPECT_EQ(osc.error().message(), "Invalid clock");
    EXPECT_EQ(osc.error().cause(), nullptr);
    auto nut = clock_->set_nut_clock(bad);
    ASSERT_FALSE(nut);
    EXPECT_EQ(nut.error().message(), "Invalid clock");
  }
  EXPECT_TRUE(osc_gen().accesses().empty());
  EXPECT_TRUE(nut_gen().accesses().empty());
  const auto lines = log.messages(TARGET);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Starting set_osc_clock with clk: 0");
  EXPECT_EQ(lines[7], "Starting set_nut_clock with clk: 3999");
}

TEST_F(ClockTest, PhaseIsWrittenInThousandthsWithoutReduction) {
  base::log::Capture log;
  ASSERT_TRUE(clock_->set_osc_phase_shift(90));
  EXPECT_EQ(osc_gen().accesses(), (Writes{wr(0x20C, 90000), wr(0x25C, 3)}));
  EXPECT_EQ(osc_gen().phase_millideg(), 90000u);
  EXPECT_EQ(log.messages(TARGET),
            (std::vector<std::string>{"Starting set_osc_phase_shift with deg: 90",
                                      "Wrote P0_OFFSET with value: 90000"}));

  for (std::uint32_t deg : {0u, 720u, 4294967u}) {
    SCOPED_TRACE(deg);
    osc_gen().clear_accesses();
    ASSERT_TRUE(clock_->set_osc_phase_shift(deg));
    EXPECT_EQ(osc_gen().accesses(), (Writes{wr(0x20C, deg * 1000), wr(0x25C, 3)}));
  }
  EXPECT_EQ(osc_gen().phase_millideg(), 4294967000u);
  EXPECT_TRUE(nut_gen().accesses().empty());
}

TEST_F(ClockTest, PhaseWhoseThousandthsOverflowIsRefused) {
  osc_gen().clear_accesses();
  for (std::uint32_t deg : {4294968u, 0xFFFFFFFFu}) {
    auto r = clock_->set_osc_phase_shift(deg);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid phase");
  }
  EXPECT_TRUE(osc_gen().accesses().empty());
}

TEST_F(ClockTest, PhaseAndFrequencyLeaveEachOthersRegistersAlone) {
  ASSERT_TRUE(clock_->set_osc_phase_shift(45));
  ASSERT_TRUE(clock_->set_osc_clock(24000));
  EXPECT_EQ(osc_gen().writes(), (Writes{wr(0x20C, 45000), wr(0x25C, 3), wr(0x200, 0x3005),
                                        wr(0x208, 20), wr(0x25C, 3)}));
  // The second load applied the phase that P0 still holds.
  EXPECT_EQ(osc_gen().phase_millideg(), 45000u);
  EXPECT_EQ(osc_gen().frequency_hz(), 24'000'000u);
  ASSERT_TRUE(clock_->set_osc_phase_shift(10));
  EXPECT_EQ(osc_gen().frequency_hz(), 24'000'000u);
}

TEST_F(ClockTest, CreationFailsWithTheWindowError) {
  sim().refuse_map(0x43C30000, EACCES);
  auto clock = Clock::create();
  ASSERT_FALSE(clock);
  EXPECT_EQ(clock.error().message(), "Failed to mmap AXI: EACCES: Permission denied");

  sim().refuse_map(0x43C30000, 0);
  sim().refuse_map(0x43C00000, ENOMEM);
  clock = Clock::create();
  ASSERT_FALSE(clock);
  EXPECT_EQ(clock.error().message(), "Failed to mmap AXI: ENOMEM: Cannot allocate memory");
}

}  // namespace
