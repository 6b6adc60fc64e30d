// The oscilloscope and target commands over a real socket against the simulated
// instrument: register writes seen by the models, the screen, the log lines and
// the error texts the host receives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "base/bytes.h"
#include "base/log.h"
#include "driver/module/oled.h"
#include "server/driver_set.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/display.h"
#include "sim/power_bus.h"
#include "support/loopback.h"
#include "support/server_fixture.h"
#include "support/sim_fixture.h"
#include "support/target_power.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using sim::rd;
using sim::wr;
using support::ByteVec;
using support::Reply;
using Accesses = std::vector<sim::Access>;
using Lines = std::vector<std::string>;

constexpr std::uint16_t OK = 0x0000;
constexpr std::uint16_t INTERNAL_ERROR = 0x8000;
constexpr std::string_view HANDLER = "server::handler";

ByteVec u32(std::uint32_t v) {
  ByteVec out(4);
  base::store_be32(out.data(), v);
  return out;
}
ByteVec u16(std::uint16_t v) {
  ByteVec out(2);
  base::store_be16(out.data(), v);
  return out;
}
ByteVec wave(std::uint8_t channel, std::uint32_t offset, std::uint32_t length) {
  ByteVec out{channel};
  for (auto v : {offset, length}) {
    auto b = u32(v);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

class OscNutTest : public support::ServerTest {
 protected:

  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(0x43C10000); }
  sim::CaptureCore& capture() { return *sim().model_at<sim::CaptureCore>(0x43C20000); }
  sim::ClockGen& osc_gen() { return *sim().model_at<sim::ClockGen>(0x43C00000); }
  sim::ClockGen& nut_gen() { return *sim().model_at<sim::ClockGen>(0x43C30000); }
  sim::Display& display() { return *sim::display_of(sim()); }

  // The screen shows `text` in the region exactly as the display functions draw
  // it: drawing it again changes no pixel.
  void expect_shows(std::uint8_t line, std::uint8_t start, std::uint8_t end, std::string_view text) {
    const sim::Screen before = display().screen();
    ASSERT_TRUE(driver::module::oled::clear_partial_line_and_display(line, start, end, text));
    const sim::Screen after = display().screen();
    const sim::Screen::Rect region{start, line * 16, end, line * 16 + 16};
    EXPECT_GT(before.lit_count(region), 0u) << text;
    EXPECT_TRUE(after.same(before, sim::Screen::WHOLE))
        << "expected " << text << ", screen was\n" << before.picture(region);
  }
  void expect_line_shows(std::uint8_t line, std::string_view text) {
    const sim::Screen before = display().screen();
    ASSERT_TRUE(driver::module::oled::clear_line_and_display(line, text));
    EXPECT_TRUE(display().screen().same(before, sim::Screen::WHOLE))
        << "expected " << text << ", screen was\n" << before.picture({0, line * 16, 128, line * 16 + 16});
  }

  base::log::Capture log_;
};

TEST_F(OscNutTest, SampleLengthIsRoundedButLoggedAsRequested) {
  expect_ok(cmd::osc_set_sample_length, u32(1000));
  EXPECT_EQ(capture().writes(), (Accesses{wr(0x14, 1024)}));
  EXPECT_EQ(log_.messages(HANDLER), (Lines{"Handling osc_set_sample_length command",
                                           "Setting sample length to: 1000", "Sample length set to: 1000"}));

  auto refused = call(cmd::osc_set_sample_length, u32(4294966273u));
  EXPECT_EQ(refused.status, INTERNAL_ERROR);
  EXPECT_EQ(refused.text(), "Setting sample length 4294966273");
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Caused by: Invalid sample length"));
  EXPECT_EQ(capture().writes().size(), 1u);

  auto short_payload = call(cmd::osc_set_sample_length, {0, 1});
  EXPECT_EQ(short_payload.status, INTERNAL_ERROR);
  EXPECT_EQ(short_payload.text().rfind("parse u32 error:", 0), 0u) << short_payload.text();
  EXPECT_NE(short_payload.text().find("'self_0' in U32Wrapper"), std::string::npos) << short_payload.text();
}

TEST_F(OscNutTest, CaptureAndReadOutAreRepeatable) {
  expect_ok(cmd::osc_set_sample_length, u32(4096));
  expect_ok(cmd::osc_set_single, {0xAA, 0xBB});  // the payload is ignored
  EXPECT_EQ(capture().status(), 0x001u);
  expect_ok(cmd::osc_set_force);
  ASSERT_TRUE(support::wait_complete(capture()));
  auto status = call(cmd::osc_get_trigger_status);
  EXPECT_EQ(status.status, OK);
  EXPECT_EQ(status.payload, (ByteVec{0x00, 0x00, 0x01, 0x02}));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Trigger status retrieved: 258"));

  auto a = call(cmd::osc_get_channel_wave, wave(1, 0, 4096));
  auto b = call(cmd::osc_get_channel_wave, wave(2, 0, 4096));
  ASSERT_EQ(a.status, OK) << a.text();
  ASSERT_EQ(a.payload.size(), 8192u);
  ASSERT_EQ(b.payload.size(), 8192u);
  EXPECT_NE(a.payload, ByteVec(8192, 0));
  EXPECT_NE(a.payload, b.payload);

  // The same settings captured again give the same signal under fresh noise.
  expect_ok(cmd::osc_set_single);
  expect_ok(cmd::osc_set_force);
  ASSERT_TRUE(support::wait_complete(capture()));
  EXPECT_EQ(capture().captures(), 2u);
  const auto again = call(cmd::osc_get_channel_wave, wave(1, 0, 4096)).payload;
  EXPECT_NE(again, a.payload);
  EXPECT_NE(call(cmd::osc_get_channel_wave, wave(2, 0, 4096)).payload, b.payload);

  // The first four samples are the first eight bytes of channel A's memory.
  auto head = call(cmd::osc_get_channel_wave, wave(1, 0, 4));
  auto* memory = sim().block_at(0x10000000);
  ByteVec expected;
  for (std::size_t off : {0u, 4u})
    for (int i = 0; i < 4; ++i) expected.push_back(static_cast<std::uint8_t>(memory->read(off) >> (8 * i)));
  EXPECT_EQ(head.payload, expected);
  EXPECT_EQ(ByteVec(again.begin(), again.begin() + 8), expected);

  auto empty = call(cmd::osc_get_channel_wave, wave(2, 7, 0));
  EXPECT_EQ(empty.status, OK);
  EXPECT_TRUE(empty.payload.empty());
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Channel: 2, Offset: 7, Sample Length: 0"));
}

TEST_F(OscNutTest, WaveRequestsThatCannotBeServed) {
  auto outside = call(cmd::osc_get_channel_wave, wave(1, 0x8000000, 1));
  EXPECT_EQ(outside.status, INTERNAL_ERROR);
  EXPECT_EQ(outside.text(), "Getting osc wave data on channel 1");
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error",
                            "Caused by: AXI invalid offset 268435456 and size 2 , total size: 268435456"));
  auto bad_channel = call(cmd::osc_get_channel_wave, wave(3, 0, 1));
  EXPECT_EQ(bad_channel.text(), "parse channel_wave error:Channel must be 1 or 2 at 0x0");
  auto short_payload = call(cmd::osc_get_channel_wave, {1, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(short_payload.text().rfind("parse channel_wave error:", 0), 0u);
  EXPECT_NE(short_payload.text().find("'length' in ChannelWave"), std::string::npos) << short_payload.text();
}

TEST_F(OscNutTest, GainsLoadTheSetpointAndShowThePercentage) {
  expect_ok(cmd::osc_set_channel_gain, {2, 30});
  EXPECT_EQ(power().writes(), (Accesses{wr(0x04, 76), wr(0x04, 0x14C)}));
  EXPECT_EQ(power().gain_b(), 76);
  expect_shows(2, 64, 128, "GB:30");
  EXPECT_EQ(log_.messages(HANDLER), (Lines{"Handling osc_set_channel_gain command", "Channel: 2, Gain value: 30",
                                           "Gain set for channel 2: 30"}));
  expect_ok(cmd::osc_set_channel_gain, {1, 75});
  EXPECT_EQ(power().gain_a(), 191);
  expect_shows(2, 0, 64, "GA:75");
  expect_shows(2, 64, 128, "GB:30");

  const sim::Screen screen = display().screen();
  const std::uint64_t gpio_writes = sim().gpio_writes();
  power().clear_accesses();
  auto refused = call(cmd::osc_set_channel_gain, {2, 101});
  EXPECT_EQ(refused.status, INTERNAL_ERROR);
  EXPECT_EQ(refused.text(), "Setting osc gain 101 on channel 2");
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Caused by: Invalid gain value"));

  // The raw form loads without showing anything.
  expect_ok(cmd::osc_set_channel_gain_raw, {1, 200});
  EXPECT_EQ(power().writes(), (Accesses{wr(0x04, 200), wr(0x04, 0x2C8)}));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Raw gain set for channel 1: 200"));
  EXPECT_EQ(sim().gpio_writes(), gpio_writes);
  EXPECT_TRUE(display().screen().same(screen, sim::Screen::WHOLE));

  auto raw_refused = call(cmd::osc_set_channel_gain_raw, {0, 1});
  EXPECT_EQ(raw_refused.text(), "parse channel_gain_raw error:Channel must be 1 or 2 at 0x0");
}

TEST_F(OscNutTest, TriggerSettingsAndTheirLabels) {
  expect_ok(cmd::osc_set_trigger_source, {1});
  expect_ok(cmd::osc_set_trigger_mode, {0});
  expect_ok(cmd::osc_set_trigger_edge, {2});
  expect_ok(cmd::osc_set_trigger_edge_level, u16(65535));
  expect_ok(cmd::osc_set_trigger_delay, u32(500));
  EXPECT_EQ(capture().writes(),
            (Accesses{wr(0x1C, 1), wr(0x20, 0), wr(0x24, 2), wr(0x28, 0xFFFF), wr(0x18, 500)}));
  expect_shows(3, 0, 42, "SR:A");
  expect_shows(3, 42, 84, "MD:E");
  expect_shows(3, 84, 128, "EG:E");
  for (const char* line : {"Trigger source set to: 1", "Trigger mode set to: 0", "Trigger edge set to: 2",
                           "Trigger edge level set to: 65535", "Setting trigger delay to: 500",
                           "Trigger delay set to: 500"})
    EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, line)) << line;

  capture().clear_accesses();
  const std::uint64_t gpio_writes = sim().gpio_writes();
  auto refused = call(cmd::osc_set_trigger_source, {4});
  EXPECT_EQ(refused.status, INTERNAL_ERROR);
  EXPECT_EQ(refused.text(), "parse u8 range error:Value must be between 0 and 3 at 0x0");
  EXPECT_EQ(call(cmd::osc_set_trigger_mode, {2}).text(), "parse u8 range error:Value must be between 0 and 1 at 0x0");
  EXPECT_EQ(call(cmd::osc_set_trigger_edge, {3}).text(), "parse u8 range error:Value must be between 0 and 2 at 0x0");
  EXPECT_EQ(call(cmd::osc_set_trigger_edge_level, {1}).text().rfind("parse u16 error:", 0), 0u);
  EXPECT_TRUE(capture().accesses().empty());
  EXPECT_EQ(sim().gpio_writes(), gpio_writes);
}

TEST_F(OscNutTest, SampleClockRateAndPhase) {
  expect_ok(cmd::osc_set_sample_clock_phase, u32(45));
  EXPECT_EQ(osc_gen().writes(), (Accesses{wr(0x20C, 45000), wr(0x25C, 3)}));
  expect_ok(cmd::osc_set_sample_rate, u32(12000));
  EXPECT_EQ(osc_gen().frequency_hz(), 12'000'000u);
  EXPECT_EQ(osc_gen().phase_millideg(), 45000u);
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Sample clock phase set to: 45"));
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Sample rate set to: 12000"));

  osc_gen().clear_accesses();
  auto rate = call(cmd::osc_set_sample_rate, u32(50000));
  EXPECT_EQ(rate.status, INTERNAL_ERROR);
  EXPECT_EQ(rate.text(), "Invalid clock");
  auto phase = call(cmd::osc_set_sample_clock_phase, u32(4294968));
  EXPECT_EQ(phase.text(), "Set sample clock phase");
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Caused by: Invalid phase"));
  EXPECT_TRUE(osc_gen().accesses().empty());
  // "Invalid clock" is answered as the driver's own error: no cause follows it.
  const auto errors = log_.messages("protocol::error");
  const auto at = std::find(errors.begin(), errors.end(), "Invalid clock");
  ASSERT_NE(at, errors.end());
  EXPECT_EQ(*(at + 1), "Set sample clock phase");
}

TEST_F(OscNutTest, ChannelEnableAnswersOneAndNeedsNoDriver) {
  sim().refuse_map(0x43C10000, ENOMEM);
  ::testing::internal::CaptureStderr();
  auto empty = call(cmd::osc_set_channel_enable);
  auto with_payload = call(cmd::osc_set_channel_enable, {9, 9, 9});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(empty.status, OK);
  EXPECT_EQ(empty.payload, ByteVec{0x01});
  EXPECT_EQ(with_payload.payload, ByteVec{0x01});
  EXPECT_EQ(log_.messages(HANDLER), (Lines{"Handling osc_set_channel_enable command", "Channel enable not implemented",
                                           "Handling osc_set_channel_enable command", "Channel enable not implemented"}));
  // No creation was attempted (a failed one is never retried), so the drivers come
  // up now that the block can be mapped.
  sim().refuse_map(0x43C10000, 0);
  expect_ok(cmd::osc_set_single);
}

TEST_F(OscNutTest, SupplyVoltageIsLoadedAndShown) {
  expect_ok(cmd::nut_set_voltage_value, u32(3300));
  EXPECT_EQ(power().writes(), (Accesses{wr(0x04, 213), wr(0x04, 0x4D5)}));
  EXPECT_EQ(power().voltage_setpoint(), 213);
  expect_line_shows(1, "V:3.3");
  EXPECT_EQ(log_.messages(HANDLER), (Lines{"Handling nut_set_voltage_value command",
                                           "Setting voltage value to: 3300", "Voltage set to: 3300"}));

  // Single-precision volts rounded half to even at the tenth.
  const std::vector<std::tuple<std::uint32_t, std::uint8_t, const char*>> cases{
      {2000, 0, "V:2.0"}, {4100, 245, "V:4.1"}, {3250, 206, "V:3.2"}, {2150, 39, "V:2.2"}, {2999, 182, "V:3.0"}};
  for (auto [mv, setpoint, text] : cases) {
    SCOPED_TRACE(mv);
    expect_ok(cmd::nut_set_voltage_value, u32(mv));
    EXPECT_EQ(power().voltage_setpoint(), setpoint);
    expect_line_shows(1, text);
  }

  const sim::Screen screen = display().screen();
  const std::uint64_t gpio_writes = sim().gpio_writes();
  power().clear_accesses();
  auto refused = call(cmd::nut_set_voltage_value, u32(1800));
  EXPECT_EQ(refused.status, INTERNAL_ERROR);
  EXPECT_EQ(refused.text(), "Setting voltage to 1800");
  EXPECT_TRUE(log_.contains(base::log::Level::Error, "protocol::error", "Caused by: Invalid voltage value"));
  expect_ok(cmd::nut_set_voltage_raw_value, {0});
  EXPECT_EQ(power().writes(), (Accesses{wr(0x04, 0), wr(0x04, 0x400)}));
  EXPECT_EQ(power().voltage_setpoint(), 0);
  EXPECT_TRUE(log_.contains(base::log::Level::Debug, HANDLER, "Voltage raw value set to: 0"));
  EXPECT_EQ(sim().gpio_writes(), gpio_writes);
  EXPECT_TRUE(display().screen().same(screen, sim::Screen::WHOLE));
}

TEST_F(OscNutTest, SupplySwitchClockGateAndTargetClock) {
  expect_ok(cmd::nut_set_voltage_enable, {2});
  expect_ok(cmd::nut_clock_enable, {2});
  EXPECT_EQ(power().writes(), (Accesses{wr(0x00, 1), wr(0x08, 2)}));
  EXPECT_TRUE(power().supply_on());
  EXPECT_EQ(power().clock_gate(), 2u);
  expect_ok(cmd::nut_set_clock, u32(24000));
  EXPECT_EQ(nut_gen().writes(), (Accesses{wr(0x200, 48 * 256 + 5), wr(0x208, 20), wr(0x25C, 3)}));
  EXPECT_EQ(nut_gen().frequency_hz(), 24'000'000u);
  EXPECT_EQ(log_.messages(HANDLER),
            (Lines{"Handling nut_set_voltage_enable command", "Setting voltage enable to: 2", "Voltage enable set to: 2",
                   "Handling nut_clock_enable command", "Setting nut clock enable to: 2",
                   "Handling nut_set_clock command", "Setting clock to: 24000", "Clock set to: 24000"}));

  nut_gen().clear_accesses();
  auto bad_clock = call(cmd::nut_set_clock, u32(4001));
  EXPECT_EQ(bad_clock.status, INTERNAL_ERROR);
  EXPECT_EQ(bad_clock.text(), "Invalid clock");
  EXPECT_TRUE(nut_gen().accesses().empty());
  auto short_u32 = call(cmd::nut_set_clock, {0x5D, 0xC0});
  EXPECT_EQ(short_u32.text().rfind("parse u32 error:", 0), 0u);
  EXPECT_NE(short_u32.text().find("'self_0' in U32Wrapper"), std::string::npos) << short_u32.text();
  for (std::uint16_t command : {cmd::nut_set_voltage_enable, cmd::nut_clock_enable, cmd::nut_set_voltage_raw_value}) {
    auto empty = call(command);
    EXPECT_EQ(empty.status, INTERNAL_ERROR);
    EXPECT_EQ(empty.text().rfind("parse u8 error:", 0), 0u) << empty.text();
  }
}

TEST_F(OscNutTest, DisplayFailureIsReportedAfterTheSettingIsApplied) {
  sim().hold_line(13);
  auto voltage = call(cmd::nut_set_voltage_value, u32(3300));
  EXPECT_EQ(voltage.status, INTERNAL_ERROR);
  EXPECT_EQ(voltage.text(), "Initializing OLED");
  EXPECT_EQ(power().voltage_setpoint(), 213);
  auto gain = call(cmd::osc_set_channel_gain, {1, 50});
  EXPECT_EQ(gain.text(), "Initializing OLED");
  EXPECT_EQ(power().gain_a(), 127);
  auto edge = call(cmd::osc_set_trigger_edge, {1});
  EXPECT_EQ(edge.text(), "Initializing OLED");
  EXPECT_EQ(capture().writes(), (Accesses{wr(0x24, 1)}));
  for (const char* line : {"Voltage set to: 3300", "Gain set for channel 1: 50", "Trigger edge set to: 1"})
    EXPECT_FALSE(log_.contains(base::log::Level::Debug, HANDLER, line)) << line;
  EXPECT_FALSE(sim().line_held(12));

  sim().release_line(13);
  expect_ok(cmd::nut_set_voltage_value, u32(3300));
  expect_line_shows(1, "V:3.3");
}

// Several hosts change gains, voltage and trigger settings at once. Each owns its
// settings, so the last command of each is known: the latches and the screen must
// show exactly those, and no setpoint load may have been torn.
TEST_F(OscNutTest, ConcurrentSettingsAllSucceedAndTheLastOnesStay) {
  constexpr int ROUNDS = 12;
  std::vector<std::thread> hosts;
  std::atomic<int> failures{0};
  auto host = [&](auto&& each_round) {
    hosts.emplace_back([&, each_round] {
      support::Client client(server_->port());
      for (int i = 0; i < ROUNDS; ++i)
        for (auto& [command, payload] : each_round(i))
          if (client.call(command, payload).status != OK) ++failures;
    });
  };
  using Calls = std::vector<std::pair<std::uint16_t, ByteVec>>;
  host([](int i) { return Calls{{cmd::osc_set_channel_gain, {1, static_cast<std::uint8_t>(40 + i)}}}; });
  host([](int i) { return Calls{{cmd::osc_set_channel_gain, {2, static_cast<std::uint8_t>(90 - i)}}}; });
  host([](int i) { return Calls{{cmd::nut_set_voltage_value, u32(2000 + 100 * static_cast<std::uint32_t>(i))}}; });
  host([](int i) {
    return Calls{{cmd::osc_set_trigger_source, {static_cast<std::uint8_t>(i % 4)}},
                 {cmd::osc_set_trigger_mode, {static_cast<std::uint8_t>(i % 2)}},
                 {cmd::osc_set_trigger_edge, {static_cast<std::uint8_t>(i % 3)}},
                 {cmd::osc_set_trigger_edge_level, u16(static_cast<std::uint16_t>(1000 * i))}};
  });
  host([](int i) {
    return Calls{{cmd::osc_set_trigger_delay, u32(static_cast<std::uint32_t>(i))}, {cmd::osc_get_trigger_status, {}}};
  });
  for (auto& t : hosts) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(power().torn_loads(), 0u);

  EXPECT_EQ(power().gain_a(), 130);            // 51 % in single precision
  EXPECT_EQ(power().gain_b(), 201);            // 79 %
  EXPECT_EQ(power().voltage_setpoint(), 199);  // 3100 mV
  expect_shows(2, 0, 64, "GA:51");
  expect_shows(2, 64, 128, "GB:79");
  expect_line_shows(1, "V:3.1");
  expect_shows(3, 0, 42, "SR:P");    // 11 % 4
  expect_shows(3, 42, 84, "MD:P");   // 11 % 2
  expect_shows(3, 84, 128, "EG:E");  // 11 % 3
  EXPECT_EQ(capture().read(0x28), 11000u);
  EXPECT_EQ(capture().read(0x18), 11u);
}

}  // namespace
