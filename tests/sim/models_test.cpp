// The block models of the programmable logic as the drivers and host programs see
// them: clock generators, the power block's latches and controller ranges, and the
// capture core with its sample memories.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>

#include "driver/core/axi.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/power_bus.h"
#include "support/sim_fixture.h"

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

  // Arms, triggers and reads `n` samples of both channels back through a window.
  std::pair<std::vector<std::int16_t>, std::vector<std::int16_t>> run_capture(
      std::size_t n, std::span<const std::uint8_t> target_bytes = {}) {
    capture().write(CaptureCore::SAMPLE_LENGTH_OFFSET, static_cast<std::uint32_t>(n));
    capture().write(CaptureCore::SINGLE_OFFSET, 0xFFFFFFFF);
    capture().write(CaptureCore::SINGLE_OFFSET, 0);
    EXPECT_TRUE(capture().trigger(target_bytes));
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

TEST_F(ModelsTest, CaptureArmsOnSingleAndCompletesOnForce) {
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0u);
  capture().write(CaptureCore::FORCE_OFFSET, 0xFFFFFFFF);  // nothing armed: ignored
  capture().write(CaptureCore::FORCE_OFFSET, 0);
  EXPECT_EQ(capture().captures(), 0u);
  EXPECT_FALSE(capture().trigger());

  capture().write(CaptureCore::SAMPLE_LENGTH_OFFSET, 1024);
  capture().write(CaptureCore::SINGLE_OFFSET, 0xFFFFFFFF);
  capture().write(CaptureCore::SINGLE_OFFSET, 0);
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0x001u);
  capture().write(CaptureCore::FORCE_OFFSET, 0xFFFFFFFF);
  capture().write(CaptureCore::FORCE_OFFSET, 0);
  EXPECT_EQ(capture().read(CaptureCore::STATUS_OFFSET), 0x102u);
  EXPECT_EQ(capture().captures(), 1u);
  EXPECT_FALSE(capture().trigger());  // complete, no longer armed

  capture().write(CaptureCore::SINGLE_OFFSET, 1);  // re-arming clears the old result
  EXPECT_EQ(capture().status(), 0x001u);
  capture().write(CaptureCore::STATUS_OFFSET, 0);  // read-only
  EXPECT_EQ(capture().status(), 0x001u);
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
  auto [a, b] = run_capture(n);
  // 48 MHz samples of 4 MHz: a period of twelve samples, a quarter in three.
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(a[3], 30000);
  EXPECT_EQ(a[9], -30000);
  for (std::size_t i = 0; i + 12 < n; ++i) ASSERT_NEAR(a[i], a[i + 12], 1) << i;

  // Exactly sample_length samples: a marker just past them survives the capture.
  memory(1).write(2 * n, 0x7777);
  run_capture(n);
  EXPECT_EQ(memory(1).read(2 * n), 0x7777u);

  // Half the gain, half the amplitude.
  load_gains(127, 255);
  auto half = run_capture(n).first;
  EXPECT_EQ(half[3], static_cast<std::int16_t>(std::lround(30000.0 * 127 / 255)));
  load_gains(0, 0);
  auto [silent_a, silent_b] = run_capture(n);
  EXPECT_EQ(silent_a, std::vector<std::int16_t>(n, 0));
  EXPECT_EQ(silent_b, std::vector<std::int16_t>(n, 0));
}

TEST_F(ModelsTest, DelayAndPhaseShiftTheSamplingInstants) {
  load_gains(255, 255);
  const auto reference = run_capture(64).first;
  capture().write(CaptureCore::SAMPLE_DELAY_OFFSET, 3);
  const auto delayed = run_capture(60).first;
  for (std::size_t i = 0; i < 60; ++i) ASSERT_NEAR(delayed[i], reference[i + 3], 1) << i;

  // A phase of 360 degrees is one whole sample period.
  capture().write(CaptureCore::SAMPLE_DELAY_OFFSET, 0);
  sample_clock().write(ClockGen::P0_OFFSET, 360000);
  sample_clock().write(ClockGen::LOAD_OFFSET, 3);
  const auto shifted = run_capture(60).first;
  for (std::size_t i = 0; i < 60; ++i) ASSERT_NEAR(shifted[i], reference[i + 1], 1) << i;
}

TEST_F(ModelsTest, ChannelBIsPowerDrawWithAPulsePerReceivedByte) {
  load_gains(255, 255);
  const std::size_t n = 2048;
  const auto quiet = run_capture(n).second;
  EXPECT_EQ(run_capture(n).second, quiet);  // same settings, same noise
  long sum = 0;
  for (auto v : quiet) {
    ASSERT_GE(v, CaptureCore::B_BASELINE - CaptureCore::B_NOISE);
    ASSERT_LT(v, CaptureCore::B_BASELINE + CaptureCore::B_NOISE);
    sum += v;
  }
  EXPECT_NEAR(static_cast<double>(sum) / n, CaptureCore::B_BASELINE, 32);

  // Eight target cycles per byte at twelve samples a cycle: a byte every 96
  // samples, its pulse 48 samples long, as high as the byte has bits set.
  const std::vector<std::uint8_t> bytes{0xFF, 0x00, 0x0F};
  const auto busy = run_capture(n, bytes).second;
  for (std::size_t i = 0; i < n; ++i) {
    int expected = 0;
    if (i >= 64 && i < 64 + 3 * 96 && (i - 64) % 96 < 48)
      expected = CaptureCore::B_PULSE_PER_BIT * std::popcount(bytes[(i - 64) / 96]);
    ASSERT_EQ(busy[i] - quiet[i], expected) << i;
  }
}

// A bus controller triggers the capture core with the power block's lock held
// while other threads arm captures, load gains and reload clocks: the models'
// lock order must not let this deadlock.
TEST_F(ModelsTest, CrossModelCallsDoNotDeadlock) {
  struct TriggeringController : sim::BusController {
    explicit TriggeringController(CaptureCore& core) : core(core) {}
    std::uint32_t read(std::size_t) override { return 0; }
    void write(std::size_t, std::uint32_t value) override {
      const std::uint8_t byte = static_cast<std::uint8_t>(value);
      core.trigger(std::span(&byte, 1));
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
