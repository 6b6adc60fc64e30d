// Osc against the simulated capture core, sample memories and power block: the
// register sequences, the bounds of the read-out and the refusals.
#include "driver/module/osc.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/log.h"
#include "sim/capture.h"
#include "sim/power_bus.h"
#include "support/sim_fixture.h"

namespace {

using driver::module::osc::ChannelGain;
using driver::module::osc::ChannelWave;
using driver::module::osc::Osc;
using sim::rd;
using sim::wr;
using Accesses = std::vector<sim::Access>;
using Lines = std::vector<std::string>;

constexpr std::string_view TARGET = "driver::module::osc";

class OscTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    saved_ = base::log::threshold();
    base::log::set_threshold(base::log::Level::Trace);
    auto osc = Osc::create();
    ASSERT_TRUE(osc) << osc.error().describe();
    osc_.emplace(std::move(*osc));
  }
  void TearDown() override { base::log::set_threshold(saved_); }

  sim::CaptureCore& ctl() { return *sim().model_at<sim::CaptureCore>(0x43C20000); }
  sim::PowerBus& power() { return *sim().model_at<sim::PowerBus>(0x43C10000); }
  sim::Block& memory(std::uint64_t base) { return *sim().block_at(base); }

  std::optional<Osc> osc_;
  base::log::Level saved_{};
};

TEST_F(OscTest, SampleLengthIsRoundedUpToWholeKibiSamples) {
  base::log::Capture log;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases{
      {0, 0}, {1, 1024}, {1024, 1024}, {1025, 2048}, {4294966272u, 4294966272u}};
  for (auto [requested, written] : cases) {
    SCOPED_TRACE(requested);
    ctl().clear_accesses();
    ASSERT_TRUE(osc_->set_sample_length(requested));
    EXPECT_EQ(ctl().accesses(), (Accesses{wr(0x14, written)}));
  }
  EXPECT_EQ(log.messages(TARGET)[2], "Starting set_sample_length with sample_length: 1");
  EXPECT_EQ(log.messages(TARGET)[3], "Calculated actual sample length: 1024");
}

TEST_F(OscTest, SampleLengthBeyondTheLastMultipleIsRefused) {
  base::log::Capture log;
  for (std::uint32_t bad : {4294966273u, 0xFFFFFFFFu}) {
    auto r = osc_->set_sample_length(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid sample length");
  }
  EXPECT_TRUE(ctl().accesses().empty());
  EXPECT_EQ(log.messages(TARGET), (Lines{"Starting set_sample_length with sample_length: 4294966273",
                                         "Starting set_sample_length with sample_length: 4294967295"}));
}

TEST_F(OscTest, SingleAndForcePulseEveryBitAndTheStatusIsReadRaw) {
  base::log::Capture log;
  ASSERT_TRUE(osc_->single());
  EXPECT_EQ(ctl().status(), sim::CaptureCore::STATUS_ARMED);
  ASSERT_TRUE(osc_->force());
  auto status = osc_->get_trigger_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0x102u);
  EXPECT_EQ(ctl().accesses(), (Accesses{wr(0x08, 0xFFFFFFFF), wr(0x08, 0), wr(0x0C, 0xFFFFFFFF),
                                        wr(0x0C, 0), rd(0x00, 0x102)}));
  EXPECT_EQ(log.messages(TARGET), (Lines{"Starting single", "Starting force", "Starting get_trigger_status",
                                         "Read OSC_CTL_OFFSET_STATUS with value: 258"}));
}

TEST_F(OscTest, TriggerSettingsAreSingleWritesOfTheValue) {
  base::log::Capture log;
  ASSERT_TRUE(osc_->set_sample_delay(0xFFFFFFFF));
  ASSERT_TRUE(osc_->set_trigger_source(3));
  ASSERT_TRUE(osc_->set_trigger_mode(1));
  ASSERT_TRUE(osc_->set_trigger_edge(2));
  ASSERT_TRUE(osc_->set_trigger_edge_level(65535));
  // The records keep these in range; the driver passes whatever byte it gets.
  ASSERT_TRUE(osc_->set_trigger_edge(200));
  EXPECT_EQ(ctl().accesses(), (Accesses{wr(0x18, 0xFFFFFFFF), wr(0x1C, 3), wr(0x20, 1), wr(0x24, 2),
                                        wr(0x28, 0x0000FFFF), wr(0x24, 200)}));
  EXPECT_EQ(log.messages(TARGET),
            (Lines{"Starting set_sample_delay with delay: 4294967295", "Starting set_trigger_source with source: 3",
                   "Starting set_trigger_mode with mode: 1", "Starting set_trigger_edge with edge: 2",
                   "Starting set_trigger_edge_level with level: 65535",
                   "Starting set_trigger_edge with edge: 200"}));
}

TEST_F(OscTest, WaveIsCopiedFromTheChannelsMemoryAsItLies) {
  // Bytes 0x14..0x1B of memory B: 14 15 16 17 18 19 1A 1B.
  memory(0x20000000).write(0x14, 0x17161514);
  memory(0x20000000).write(0x18, 0x1B1A1918);
  memory(0x10000000).write(0x0, 0x04030201);
  memory(0x10000000).write(0x4, 0x08070605);
  base::log::Capture log;

  auto b = osc_->get_wave(ChannelWave{.channel = 2, .offset = 10, .length = 3});
  ASSERT_TRUE(b) << b.error().describe();
  EXPECT_EQ(*b, (base::Bytes{0x14, 0x15, 0x16, 0x17, 0x18, 0x19}));
  auto a = osc_->get_wave(ChannelWave{.channel = 1, .offset = 0, .length = 4});
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, (base::Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  auto empty = osc_->get_wave(ChannelWave{.channel = 1, .offset = 5, .length = 0});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  // The last sample of the memory is still inside.
  auto last = osc_->get_wave(ChannelWave{.channel = 2, .offset = 0x7FFFFFF, .length = 1});
  ASSERT_TRUE(last);
  EXPECT_EQ(last->size(), 2u);
  EXPECT_EQ(log.messages(TARGET)[0], "Starting get_wave with channel: 2, offset: 10, length: 3");
  EXPECT_TRUE(ctl().accesses().empty());
}

TEST_F(OscTest, WaveOutsideTheMemoryOrChannelIsRefused) {
  for (std::uint8_t channel : {0, 3}) {
    auto r = osc_->get_wave(ChannelWave{.channel = channel, .offset = 0, .length = 1});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid channel");
  }
  auto past_end = osc_->get_wave(ChannelWave{.channel = 1, .offset = 0x8000000, .length = 0});
  ASSERT_FALSE(past_end);
  EXPECT_EQ(past_end.error().message(),
            "AXI invalid offset 268435456 and size 0 , total size: 268435456");
  auto too_long = osc_->get_wave(ChannelWave{.channel = 1, .offset = 2, .length = 0x7FFFFFF});
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().message(),
            "AXI invalid offset 4 and size 268435454 , total size: 268435456");
  // Twice these values needs 33 bits; nothing may wrap into a valid range.
  auto huge = osc_->get_wave(ChannelWave{.channel = 2, .offset = 0xFFFFFFFF, .length = 0xFFFFFFFF});
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message(),
            "AXI invalid offset 8589934590 and size 8589934590 , total size: 268435456");
  auto wraps = osc_->get_wave(ChannelWave{.channel = 2, .offset = 0x80000000, .length = 1});
  ASSERT_FALSE(wraps);
}

std::size_t address_space_in_use() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    std::size_t kib = 0;
    if (key == "VmSize:" && status >> kib) return kib * 1024;
  }
  return 0;
}

// Room for the process as it is, not for a 256 MiB buffer; 0 when the read-out
// fails with the allocation error.
int read_whole_memory_without_room(const Osc& osc) {
  const rlim_t limit = address_space_in_use() + 64 * 1024 * 1024;
  const rlimit rl{limit, limit};
  ::setrlimit(RLIMIT_AS, &rl);
  auto r = osc.get_wave(ChannelWave{.channel = 1, .offset = 0, .length = 0x8000000});
  return !r && r.error().message() == "Failed to allocate 268435456 bytes" ? 0 : 1;
}

TEST_F(OscTest, WaveWhoseBufferCannotBeAllocatedFailsWithoutCrashing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators abort instead of failing the allocation";
#endif
  if (std::getenv("VALDRIX_EMULATOR") != nullptr)
    GTEST_SKIP() << "qemu-user accepts RLIMIT_AS but never applies it, so nothing makes the allocation fail";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(read_whole_memory_without_room(*osc_)), ::testing::ExitedWithCode(0), "");
}

TEST_F(OscTest, GainInPercentIsLoadedAsSinglePrecisionRawSetpoint) {
  base::log::Capture log;
  ASSERT_TRUE(osc_->set_channel_gain(ChannelGain{.channel = 1, .gain = 100}));
  ASSERT_TRUE(osc_->set_channel_gain(ChannelGain{.channel = 2, .gain = 50}));
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x04, 255), wr(0x04, 0x2FF), wr(0x04, 127), wr(0x04, 0x17F)}));
  EXPECT_EQ(power().gain_a(), 255);
  EXPECT_EQ(power().gain_b(), 127);
  EXPECT_EQ(log.messages(TARGET),
            (Lines{"Starting set_channel_gain with channel: 1, gain: 100", "Calculated raw gain: 255",
                   "Starting set_channel_gain_raw with channel: 1, gain: 255",
                   "Starting set_channel_gain with channel: 2, gain: 50", "Calculated raw gain: 127",
                   "Starting set_channel_gain_raw with channel: 2, gain: 127"}));

  // 20 % is 51 in single precision (50 in exact arithmetic); 30 % is 76.
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> cases{{20, 51}, {1, 2}, {30, 76}, {0, 0}};
  for (auto [percent, raw] : cases) {
    SCOPED_TRACE(int{percent});
    power().clear_accesses();
    ASSERT_TRUE(osc_->set_channel_gain(ChannelGain{.channel = 2, .gain = percent}));
    EXPECT_EQ(power().accesses(), (Accesses{wr(0x04, raw), wr(0x04, raw | 0x100u)}));
    EXPECT_EQ(power().gain_b(), raw);
  }
}

TEST_F(OscTest, GainAboveHundredIsRefusedBeforeTheChannelIsLookedAt) {
  for (std::uint8_t channel : {1, 2, 7}) {
    auto r = osc_->set_channel_gain(ChannelGain{.channel = channel, .gain = 101});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid gain value");
  }
  auto bad_channel = osc_->set_channel_gain(ChannelGain{.channel = 3, .gain = 10});
  ASSERT_FALSE(bad_channel);
  EXPECT_EQ(bad_channel.error().message(), "Invalid channel");
  EXPECT_TRUE(power().accesses().empty());
}

TEST_F(OscTest, RawGainSelectsTheChannelLatch) {
  ASSERT_TRUE(osc_->set_channel_gain_raw(ChannelGain{.channel = 1, .gain = 0}));
  EXPECT_EQ(power().accesses(), (Accesses{wr(0x04, 0), wr(0x04, 0x200)}));
  EXPECT_EQ(power().gain_a(), 0);
  for (std::uint8_t channel : {0, 3}) {
    auto r = osc_->set_channel_gain_raw(ChannelGain{.channel = channel, .gain = 9});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Invalid channel");
  }
  EXPECT_EQ(power().accesses().size(), 2u);
}

}  // namespace

namespace {

std::size_t status_reads(const Accesses& accesses) {
  return static_cast<std::size_t>(std::count(accesses.begin(), accesses.end(), rd(0x00, 0x001)));
}

TEST_F(OscTest, CaptureWaitReadsOnceAtAZeroLimitAndStopsWhenItsCallerCancels) {
  using std::chrono::microseconds;
  // A capture already complete counts even with no time to wait.
  ASSERT_TRUE(osc_->single());
  ASSERT_TRUE(osc_->force());
  ctl().clear_accesses();
  microseconds took{-1};
  auto done = osc_->wait_for_capture(microseconds{0}, {.took = &took});
  ASSERT_TRUE(done);
  EXPECT_TRUE(done->complete);
  EXPECT_EQ(done->status, 0x102u);
  EXPECT_GE(took.count(), 0);
  EXPECT_EQ(ctl().accesses(), (Accesses{rd(0x00, 0x102)}));

  // Armed without a trigger: the caller's check, asked after each read, ends it.
  ASSERT_TRUE(osc_->single());
  ctl().clear_accesses();
  int asked = 0;
  took = microseconds{-1};
  auto cancelled = osc_->wait_for_capture(std::chrono::seconds(10),
                                          {.interval = microseconds{10}, .cancelled = [&] { return ++asked == 3; },
                                           .took = &took});
  ASSERT_TRUE(cancelled);
  EXPECT_FALSE(cancelled->complete);
  EXPECT_EQ(cancelled->status, 0x001u);
  EXPECT_EQ(ctl().accesses(), (Accesses(3, rd(0x00, 0x001))));
  EXPECT_EQ(took.count(), -1) << "a wait that did not end done teaches nothing";
}

TEST_F(OscTest, CaptureWaitPollsFinelyOnlyForItsFineWindow) {
  using std::chrono::microseconds;
  ASSERT_TRUE(osc_->single());
  auto count_for = [&](driver::module::Polling polling) {
    ctl().clear_accesses();
    auto wait = osc_->wait_for_capture(std::chrono::milliseconds(40), polling);
    EXPECT_TRUE(wait && !wait->complete);
    return status_reads(ctl().accesses());
  };
  // 10 us steps for 40 ms would be thousands of reads; a 1 ms window of them, then
  // the 1 ms step, is about 140.
  const std::size_t windowed = count_for({.interval = microseconds{10}, .fine_for = microseconds{1000}});
  const std::size_t single = count_for({});
  EXPECT_LE(single, 41u);
  EXPECT_GE(single, 10u);
  EXPECT_LE(windowed, 400u);
}

}  // namespace
