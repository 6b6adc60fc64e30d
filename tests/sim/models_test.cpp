// The block models of the programmable logic as the drivers and host programs see
// them: clock generators, the power block's latches and controller ranges, and the
// capture core with its sample memories.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>

#include "driver/core/hal.h"

#include "driver/core/axi.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/power_bus.h"
#include "sim/spi_ctrl.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"

namespace {

using sim::CaptureCore;
using sim::ClockGen;
using sim::PowerBus;
using sim::SampleMemory;

class ModelsTest : public support::SimTest {
 protected:
  ClockGen& sample_clock() { return *sim().model_at<ClockGen>(0x43C00000); }
  ClockGen& target_clock() { return *sim().model_at<ClockGen>(0x43C30000); }
  PowerBus& power() { return *sim().model_at<PowerBus>(0x43C10000); }
  CaptureCore& capture() { return *sim().model_at<CaptureCore>(0x43C20000); }
  SampleMemory& memory(int channel) {
    return *sim().model_at<SampleMemory>(channel == 1 ? 0x10000000 : 0x20000000);
  }

  void SetUp() override {
    SimTest::SetUp();
    support::power_target(sim());
  }

  void arm(std::size_t n) {
    capture().write(CaptureCore::SAMPLE_LENGTH_OFFSET, static_cast<std::uint32_t>(n));
    capture().write(CaptureCore::SINGLE_OFFSET, 0xFFFFFFFF);
    capture().write(CaptureCore::SINGLE_OFFSET, 0);
  }
  // Arms, triggers, waits and reads `n` samples of both channels back through a
  // window; the target draws for each of `target_bytes`.
  std::pair<std::vector<std::int16_t>, std::vector<std::int16_t>> run_capture(
      std::size_t n, std::span<const std::uint8_t> target_bytes = {}) {
    arm(n);
    std::vector<sim::Draw> draws;
    sim::append_byte_draws(target_bytes, draws);
    EXPECT_TRUE(capture().trigger(draws));
    EXPECT_TRUE(support::wait_complete(capture()));
    return {samples(1, n), samples(2, n)};
  }
  std::vector<std::int16_t> samples(int channel, std::size_t n) {
    auto axi = driver::core::Axi::create(channel == 1 ? 0x10000000 : 0x20000000, SampleMemory::SIZE);
    EXPECT_TRUE(axi);
    auto bytes = axi->read_u8_buffer(0, 2 * n);
    EXPECT_TRUE(bytes);
    std::vector<std::int16_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
      out[i] = static_cast<std::int16_t>((*bytes)[2 * i] | ((*bytes)[2 * i + 1] << 8));
    return out;
  }
  void load_gains(std::uint8_t a, std::uint8_t b) {
    power().write(PowerBus::SETPOINT_OFFSET, a);
    power().write(PowerBus::SETPOINT_OFFSET, a | PowerBus::SETPOINT_SEL_GAIN_A);
    power().write(PowerBus::SETPOINT_OFFSET, b);
    power().write(PowerBus::SETPOINT_OFFSET, b | PowerBus::SETPOINT_SEL_GAIN_B);
  }
};

TEST_F(ModelsTest, ClockGeneratorAppliesItsRegistersOnlyOnLoad) {
  EXPECT_EQ(sample_clock().frequency_hz(), 48'000'000u);
  EXPECT_EQ(target_clock().frequency_hz(), 4'000'000u);
  EXPECT_EQ(sample_clock().read(ClockGen::CFG0_OFFSET), 0x3005u);

  sample_clock().write(ClockGen::CFG0_OFFSET, 0x2705);
  sample_clock().write(ClockGen::D0_OFFSET, 6);
  sample_clock().write(ClockGen::P0_OFFSET, 45000);
  EXPECT_EQ(sample_clock().frequency_hz(), 48'000'000u);
  sample_clock().write(ClockGen::LOAD_OFFSET, 1);  // both bits are needed
  EXPECT_EQ(sample_clock().frequency_hz(), 48'000'000u);
  sample_clock().write(ClockGen::LOAD_OFFSET, 3);
  EXPECT_EQ(sample_clock().frequency_hz(), 65'000'000u);
  EXPECT_EQ(sample_clock().phase_millideg(), 45000u);
  EXPECT_EQ(sample_clock().read(ClockGen::LOAD_OFFSET), 0u);
  EXPECT_EQ(target_clock().frequency_hz(), 4'000'000u);

  sample_clock().write(ClockGen::D0_OFFSET, 0);
  sample_clock().write(ClockGen::LOAD_OFFSET, 3);
  EXPECT_EQ(sample_clock().frequency_hz(), 0u);
}

TEST_F(ModelsTest, PowerBlockLatchesASetpointOnTheRisingSelectBit) {
  EXPECT_EQ(power().gain_a(), PowerBus::POWER_ON_GAIN);
  power().write(PowerBus::VOLTAGE_EN_OFFSET, 1);
  power().write(PowerBus::NUT_CLK_EN_OFFSET, 2);
  EXPECT_TRUE(power().supply_on());
  EXPECT_EQ(power().clock_gate(), 2u);

  power().write(PowerBus::SETPOINT_OFFSET, 213);
  EXPECT_EQ(power().voltage_setpoint(), 0);  // the bare value loads nothing
  power().write(PowerBus::SETPOINT_OFFSET, 213 | PowerBus::SETPOINT_SEL_VOLTAGE);
  EXPECT_EQ(power().voltage_setpoint(), 213);
  // A select bit that stays set does not load again.
  power().write(PowerBus::SETPOINT_OFFSET, 7 | PowerBus::SETPOINT_SEL_VOLTAGE);
  EXPECT_EQ(power().voltage_setpoint(), 213);

  load_gains(10, 20);
  EXPECT_EQ(power().gain_a(), 10);
  EXPECT_EQ(power().gain_b(), 20);
  EXPECT_EQ(power().voltage_setpoint(), 213);
  EXPECT_EQ(power().torn_loads(), 0u);

  // Two loads interleaved: the gain's select write follows the voltage's bare write.
  power().write(PowerBus::SETPOINT_OFFSET, 50);
  power().write(PowerBus::SETPOINT_OFFSET, 60);
  power().write(PowerBus::SETPOINT_OFFSET, 50 | PowerBus::SETPOINT_SEL_GAIN_A);
  EXPECT_EQ(power().torn_loads(), 1u);
  EXPECT_EQ(power().read(PowerBus::SETPOINT_OFFSET), 50u | PowerBus::SETPOINT_SEL_GAIN_A);
}

struct RecordingController : sim::BusController {
  std::uint32_t read(std::size_t offset) override { return 0xC0000000u | static_cast<std::uint32_t>(offset); }
  void write(std::size_t offset, std::uint32_t value) override { seen.emplace_back(offset, value); }
  std::vector<std::pair<std::size_t, std::uint32_t>> seen;
};

TEST_F(ModelsTest, ControllerRangesArePlainRegistersUntilAControllerIsAttached) {
  PowerBus bare;  // the instrument's block comes with its controllers attached
  bare.write(0x80, 5);
  EXPECT_EQ(bare.read(0x80), 5u);
  auto spi = std::make_shared<RecordingController>();
  bare.attach(PowerBus::SPI_FIRST, PowerBus::SPI_END, spi);
  bare.write(0x80, 6);
  bare.write(0xBC, 7);
  bare.write(0xC0, 8);  // the I2C range, still plain
  EXPECT_EQ(bare.read(0x84), 0xC0000084u);
  EXPECT_EQ(bare.read(0xC0), 8u);
  EXPECT_EQ(spi->seen, (std::vector<std::pair<std::size_t, std::uint32_t>>{{0x80, 6}, {0xBC, 7}}));
}

TEST_F(ModelsTest, CaptureArmsOnSingleAndCompletesOnForceAfterItsTime) {
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0u);
  capture().write(CaptureCore::FORCE_OFFSET, 0xFFFFFFFF);  // nothing armed: ignored
  capture().write(CaptureCore::FORCE_OFFSET, 0);
  EXPECT_EQ(capture().captures(), 0u);
  EXPECT_FALSE(capture().trigger());

  // 1 Mi samples at 4 MHz: about a quarter of a second of running.
  sample_clock().write(ClockGen::D0_OFFSET, 120);
  sample_clock().write(ClockGen::LOAD_OFFSET, 3);
  arm(1 << 20);
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0x001u);
  const auto forced = std::chrono::steady_clock::now();
  capture().write(CaptureCore::FORCE_OFFSET, 0xFFFFFFFF);
  capture().write(CaptureCore::FORCE_OFFSET, 0);
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0x002u);
  ASSERT_TRUE(support::wait_complete(capture()));
  EXPECT_GE(std::chrono::steady_clock::now() - forced, std::chrono::microseconds((1 << 20) / 4));
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0x102u);
  EXPECT_EQ(capture().captures(), 1u);
  EXPECT_FALSE(capture().trigger());  // complete, no longer armed

  capture().write(CaptureCore::SINGLE_OFFSET, 1);  // re-arming clears the old result
  EXPECT_EQ(capture().status(), 0x001u);
  capture().write(CaptureCore::STATUS_OFFSET, 0);  // read-only
  EXPECT_EQ(capture().status(), 0x001u);
}

// The triggers that the wire tests do not reach: a channel B level inside the quiet
// band fires at once, one below it never (whatever draws, with or without a trigger
// bit), one above it on a draw; a transfer queued behind another triggers when it
// starts; a trigger bit means nothing to sources A, B and P; and a channel A level
// fires as soon as a later setting brings it into range.
TEST_F(ModelsTest, LevelTriggersFireAtOnceInRangeAndNeverBelowTheQuietBand) {
  load_gains(255, 255);
  auto set_trigger = [&](std::uint32_t source, std::uint32_t edge, std::int16_t level) {
    capture().write(CaptureCore::TRIGGER_SOURCE_OFFSET, source);
    capture().write(CaptureCore::TRIGGER_EDGE_OFFSET, edge);
    capture().write(CaptureCore::TRIGGER_LEVEL_OFFSET, static_cast<std::uint16_t>(level));
    arm(1024);
  };
  std::vector<sim::Draw> draws;
  sim::append_byte_draws(std::vector<std::uint8_t>{0xFF, 0x00, 0x0F}, draws);
  const auto now = std::chrono::steady_clock::now();

  for (std::uint32_t edge : {CaptureCore::EDGE_RISING, CaptureCore::EDGE_FALLING, CaptureCore::EDGE_EITHER}) {
    SCOPED_TRACE(edge);
    set_trigger(CaptureCore::SOURCE_B, edge, CaptureCore::B_BASELINE);
    EXPECT_EQ(capture().status() & 0xFF, CaptureCore::STATUS_TRIGGERED);
    set_trigger(CaptureCore::SOURCE_B, edge, CaptureCore::B_BASELINE - CaptureCore::B_NOISE - 1);
    EXPECT_FALSE(capture().bus_transfer(draws, true, now));
    EXPECT_FALSE(capture().bus_transfer(draws, false, now));
    EXPECT_EQ(capture().status(), CaptureCore::STATUS_ARMED);
  }
  // Just above the band, the first draw fires it, trigger bit or not, on either edge too.
  for (std::uint32_t edge : {CaptureCore::EDGE_RISING, CaptureCore::EDGE_EITHER}) {
    set_trigger(CaptureCore::SOURCE_B, edge, CaptureCore::B_BASELINE + CaptureCore::B_NOISE);
    EXPECT_EQ(capture().status(), CaptureCore::STATUS_ARMED);
    EXPECT_TRUE(capture().bus_transfer(draws, false, now));
  }

  // A transfer queued behind a running one triggers when it starts: the capture runs
  // its 1024 samples only after the first transfer's 10.5 ms (one byte at psc 65535).
  capture().write(CaptureCore::TRIGGER_SOURCE_OFFSET, CaptureCore::SOURCE_NONE);
  arm(1024);
  power().write(sim::SpiCtrl::ENABLE_OFFSET, 1);
  power().write(sim::SpiCtrl::CONFIG_OFFSET, 0xFFFF << 8);
  power().write(sim::SpiCtrl::TX_LEN_OFFSET, 1);
  const auto started = std::chrono::steady_clock::now();
  for (std::uint32_t control : {1u, 3u}) {  // the second with the trigger bit
    power().write(sim::SpiCtrl::TX_OFFSET, 0xFF);
    power().write(sim::SpiCtrl::CTL_OFFSET, control);
  }
  EXPECT_EQ(capture().status(), CaptureCore::STATUS_TRIGGERED);
  ASSERT_TRUE(support::wait_complete(capture()));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::microseconds(8 * 65536 * 20 / 1000));

  capture().write(CaptureCore::TRIGGER_SOURCE_OFFSET, CaptureCore::SOURCE_POWER);
  arm(1024);
  EXPECT_FALSE(capture().bus_transfer(draws, true, now));
  EXPECT_EQ(capture().status(), CaptureCore::STATUS_ARMED);

  // Channel A with the gate closed is noise of +-64: a level of 10000 waits until the
  // gate opens and the target clock's sine reaches it.
  power().write(PowerBus::NUT_CLK_EN_OFFSET, 0);
  set_trigger(CaptureCore::SOURCE_A, CaptureCore::EDGE_RISING, 10000);
  EXPECT_FALSE(capture().bus_transfer(draws, true, now));
  EXPECT_EQ(capture().status(), CaptureCore::STATUS_ARMED);
  power().write(PowerBus::NUT_CLK_EN_OFFSET, 1);
  EXPECT_EQ(capture().status() & 0xFF, CaptureCore::STATUS_TRIGGERED);
}

TEST_F(ModelsTest, SampleMemoriesAreCommittedOnlyWhenWritten) {
  EXPECT_FALSE(memory(1).committed());
  EXPECT_FALSE(memory(2).committed());
  EXPECT_EQ(samples(1, 4), (std::vector<std::int16_t>{0, 0, 0, 0}));
  EXPECT_FALSE(memory(1).committed());  // reading does not commit

  memory(2).write(0x0FFFFFFC, 0xBEEF1234);  // the last word
  EXPECT_TRUE(memory(2).committed());
  EXPECT_EQ(memory(2).read(0x0FFFFFFC), 0xBEEF1234u);
  EXPECT_FALSE(memory(1).committed());
}

TEST_F(ModelsTest, ChannelAIsTheTargetClockSampledAtTheSampleClock) {
  load_gains(255, 255);
  const std::size_t n = 4096;
  constexpr int NOISE = CaptureCore::A_NOISE;
  auto [a, b] = run_capture(n);
  // 48 MHz samples of 4 MHz: a period of twelve samples, a quarter in three.
  EXPECT_NEAR(a[0], 0, NOISE);
  EXPECT_NEAR(a[3], 30000, NOISE);
  EXPECT_NEAR(a[9], -30000, NOISE);
  for (std::size_t i = 0; i + 12 < n; ++i) ASSERT_NEAR(a[i], a[i + 12], 2 * NOISE) << i;

  // Exactly sample_length samples: a marker just past them survives the capture.
  memory(1).write(2 * n, 0x7777);
  run_capture(n);
  EXPECT_EQ(memory(1).read(2 * n), 0x7777u);

  // Half the gain, half the amplitude and half the noise.
  load_gains(127, 255);
  auto half = run_capture(n).first;
  EXPECT_NEAR(half[3], std::lround(30000.0 * 127 / 255), NOISE / 2);
  load_gains(0, 0);
  auto [silent_a, silent_b] = run_capture(n);
  EXPECT_EQ(silent_a, std::vector<std::int16_t>(n, 0));
  EXPECT_EQ(silent_b, std::vector<std::int16_t>(n, 0));

  // A closed gate: no clock on channel A, only noise.
  load_gains(255, 255);
  power().write(PowerBus::NUT_CLK_EN_OFFSET, 0);
  for (auto v : run_capture(n).first) ASSERT_LT(std::abs(v), NOISE + 1);
}

TEST_F(ModelsTest, DelayShiftsBothChannelsAndPhaseShiftsTheSamplingInstants) {
  load_gains(255, 255);
  constexpr int NOISE = CaptureCore::A_NOISE;
  const std::vector<std::uint8_t> bytes{0xFF};  // a draw from sample 96 to 144
  const auto [reference, reference_b] = run_capture(1024, bytes);
  capture().write(CaptureCore::SAMPLE_DELAY_OFFSET, 3);
  const auto [delayed, delayed_b] = run_capture(1024, bytes);
  for (std::size_t i = 0; i + 3 < 1024; ++i) ASSERT_NEAR(delayed[i], reference[i + 3], 2 * NOISE) << i;
  const int pulse = 8 * CaptureCore::B_PULSE_PER_BIT;
  EXPECT_GT(reference_b[96], CaptureCore::B_BASELINE + pulse / 2);
  EXPECT_LT(reference_b[95], CaptureCore::B_BASELINE + pulse / 2);
  EXPECT_GT(delayed_b[93], CaptureCore::B_BASELINE + pulse / 2);
  EXPECT_LT(delayed_b[92], CaptureCore::B_BASELINE + pulse / 2);

  // A phase of 360 degrees is one whole sample period.
  capture().write(CaptureCore::SAMPLE_DELAY_OFFSET, 0);
  sample_clock().write(ClockGen::P0_OFFSET, 360000);
  sample_clock().write(ClockGen::LOAD_OFFSET, 3);
  const auto shifted = run_capture(1024).first;
  for (std::size_t i = 0; i + 1 < 1024; ++i) ASSERT_NEAR(shifted[i], reference[i + 1], 2 * NOISE) << i;
}

TEST_F(ModelsTest, ChannelBIsPowerDrawWithFreshNoiseThatAverages) {
  load_gains(255, 255);
  const std::size_t n = 2048;
  auto stats = [](const std::vector<double>& v) {
    double mean = 0, var = 0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(v.size());
    for (double x : v) var += (x - mean) * (x - mean);
    return std::pair{mean, std::sqrt(var / static_cast<double>(v.size()))};
  };
  const auto first = run_capture(n).second;
  std::vector<double> sum(first.begin(), first.end());
  for (auto v : first) {
    ASSERT_GE(v, CaptureCore::B_BASELINE - CaptureCore::B_NOISE);
    ASSERT_LT(v, CaptureCore::B_BASELINE + CaptureCore::B_NOISE);
  }
  const auto [mean, single_sd] = stats(sum);
  EXPECT_NEAR(mean, CaptureCore::B_BASELINE, 32);
  constexpr int TRACES = 64;
  for (int t = 1; t < TRACES; ++t) {
    const auto next = run_capture(n).second;
    ASSERT_NE(next, first);
    for (std::size_t i = 0; i < n; ++i) sum[i] += next[i];
  }
  for (auto& x : sum) x /= TRACES;
  EXPECT_LT(stats(sum).second, single_sd / 6);  // sqrt(64) = 8

  // Eight target cycles a byte at twelve samples a cycle: byte k draws from sample
  // 96 (k + 1) for 48 samples, as high as the byte has bits set. The same seed gives
  // the same noise to the same capture of another instrument.
  const std::vector<std::uint8_t> bytes{0xFF, 0x00, 0x0F};
  auto twin = sim::Instrument::create();
  support::power_target(*twin);
  driver::core::install_platform(twin);
  auto& twin_core = *twin->model_at<CaptureCore>(CaptureCore::BASE);
  twin->model_at<PowerBus>(PowerBus::BASE)->write(PowerBus::SETPOINT_OFFSET, 255);
  twin->model_at<PowerBus>(PowerBus::BASE)->write(PowerBus::SETPOINT_OFFSET, 255 | PowerBus::SETPOINT_SEL_GAIN_B);
  twin_core.write(CaptureCore::SAMPLE_LENGTH_OFFSET, n);
  twin_core.write(CaptureCore::SINGLE_OFFSET, 1);
  std::vector<sim::Draw> draws;
  sim::append_byte_draws(bytes, draws);
  ASSERT_TRUE(twin_core.trigger(draws));
  ASSERT_TRUE(support::wait_complete(twin_core));
  const auto busy = samples(2, n);
  driver::core::install_platform(sim_);
  for (std::size_t i = 0; i < n; ++i) {
    int expected = 0;
    if (i >= 96 && i < 4 * 96 && i % 96 < 48)
      expected = CaptureCore::B_PULSE_PER_BIT * std::popcount(bytes[i / 96 - 1]);
    ASSERT_EQ(busy[i] - first[i], expected) << i;
  }

  // An unpowered target draws nothing: noise around 0.
  power().write(PowerBus::VOLTAGE_EN_OFFSET, 0);
  for (auto v : run_capture(n, bytes).second) ASSERT_LT(std::abs(v), CaptureCore::B_NOISE + 1);
}

// A bus controller triggers the capture core with the power block's lock held
// while other threads arm captures, load gains and reload clocks: the models'
// lock order must not let this deadlock.
TEST_F(ModelsTest, CrossModelCallsDoNotDeadlock) {
  struct TriggeringController : sim::BusController {
    explicit TriggeringController(CaptureCore& core) : core(core) {}
    std::uint32_t read(std::size_t) override { return 0; }
    void write(std::size_t, std::uint32_t value) override {
      const sim::Draw draw{0, 4, static_cast<std::uint8_t>(value & 7)};
      core.trigger(std::span(&draw, 1));
    }
    CaptureCore& core;
  };
  power().attach(PowerBus::SPI_FIRST, PowerBus::SPI_END, std::make_shared<TriggeringController>(capture()));
  capture().write(CaptureCore::SAMPLE_LENGTH_OFFSET, 256);

  constexpr int ROUNDS = 300;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < ROUNDS; ++i) power().write(0x80, static_cast<std::uint32_t>(i));
  });
  threads.emplace_back([&] {
    for (int i = 0; i < ROUNDS; ++i) {
      capture().write(CaptureCore::SINGLE_OFFSET, 1);
      capture().write(CaptureCore::SINGLE_OFFSET, 0);
      capture().write(CaptureCore::FORCE_OFFSET, 1);
      capture().write(CaptureCore::FORCE_OFFSET, 0);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < ROUNDS; ++i) load_gains(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i));
  });
  threads.emplace_back([&] {
    for (int i = 0; i < ROUNDS; ++i) {
      sample_clock().write(ClockGen::D0_OFFSET, 10 + i % 3);
      sample_clock().write(ClockGen::LOAD_OFFSET, 3);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_GE(capture().captures(), static_cast<std::uint32_t>(ROUNDS));
  EXPECT_EQ(power().gain_b(), static_cast<std::uint8_t>(ROUNDS - 1));
}

}  // namespace
