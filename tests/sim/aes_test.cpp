// The target device that encrypts: the cipher against the FIPS-197 examples, the
// device's answers and the draws it leaks, what channel B shows of them, and
// valdrixd-sim's options that install it.
#include <gtest/gtest.h>

#include <bit>
#include <string_view>

#include "sim/aes.h"
#include "sim/aes_target.h"
#include "sim/capture.h"
#include "sim/config.h"
#include "sim/power_bus.h"
#include "sim/spi_ctrl.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/target_power.h"
#include "protocol/commands.h"

namespace cmd = protocol::command;

namespace {

using sim::AesTarget;
using sim::aes::Block;
using sim::aes::Step;

Block hex_block(std::string_view hex) {
  auto parsed = sim::parse_aes_key(hex);
  EXPECT_TRUE(parsed) << hex;
  return parsed.value_or(Block{});
}

struct Recorded {
  Step step;
  unsigned round, index;
  std::uint8_t value;
};

class Recorder : public sim::aes::Observer {
 public:
  void on_byte(Step step, unsigned round, unsigned index, std::uint8_t value) override {
    bytes.push_back({step, round, index, value});
  }
  Block state(Step step, unsigned round) const {
    Block b{};
    for (const auto& r : bytes)
      if (r.step == step && r.round == round) b[r.index] = r.value;
    return b;
  }
  std::vector<Recorded> bytes;
};

TEST(Aes, MatchesTheFipsExamplesStepByStep) {
  const auto& sbox = sim::aes::sbox();
  EXPECT_EQ(sbox[0x00], 0x63);
  EXPECT_EQ(sbox[0x53], 0xED);
  EXPECT_EQ(sbox[0xFF], 0x16);

  // Appendix B, with the round-1 states and the last round key of appendix A.1.
  const auto keys = sim::aes::expand_key(hex_block("2b7e151628aed2a6abf7158809cf4f3c"));
  EXPECT_EQ(keys[1], hex_block("a0fafe1788542cb123a339392a6c7605"));
  EXPECT_EQ(keys[10], hex_block("d014f9a8c9ee2589e13f0cc8b6630ca6"));
  Recorder recorder;
  EXPECT_EQ(sim::aes::encrypt(keys, hex_block("3243f6a8885a308d313198a2e0370734"), &recorder),
            hex_block("3925841d02dc09fbdc118597196a0b32"));
  EXPECT_EQ(recorder.state(Step::AddRoundKey, 0), hex_block("193de3bea0f4e22b9ac68d2ae9f84808"));
  EXPECT_EQ(recorder.state(Step::SubBytes, 1), hex_block("d42711aee0bf98f1b8b45de51e415230"));
  EXPECT_EQ(recorder.state(Step::ShiftRows, 1), hex_block("d4bf5d30e0b452aeb84111f11e2798e5"));
  EXPECT_EQ(recorder.state(Step::MixColumns, 1), hex_block("046681e5e0cb199a48f8d37a2806264c"));

  // Appendix C.1.
  EXPECT_EQ(sim::aes::encrypt(sim::aes::expand_key(hex_block("000102030405060708090a0b0c0d0e0f")),
                              hex_block("00112233445566778899aabbccddeeff")),
            hex_block("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(AesTarget, AnswersABlockWithItsCiphertextAndAnythingElseWithFf) {
  AesTarget target;  // the default key is C.1's
  std::vector<sim::Draw> draws;
  const Block pt = hex_block("00112233445566778899aabbccddeeff");
  const Block ct = hex_block("69c4e0d86a7b0430d8cdb78070b4c55a");
  EXPECT_EQ(target.transfer(pt, 16, draws), std::vector<std::uint8_t>(ct.begin(), ct.end()));
  EXPECT_EQ(draws.size(), AesTarget::DRAWS);

  draws.clear();
  EXPECT_EQ(target.transfer(std::span(pt).first(15), 16, draws), std::vector<std::uint8_t>(16, 0xFF));
  EXPECT_EQ(target.transfer(pt, 4, draws), std::vector<std::uint8_t>(4, 0xFF));
  EXPECT_EQ(target.transfer({}, 0, draws), std::vector<std::uint8_t>{});
  EXPECT_TRUE(draws.empty());
}

TEST(AesTarget, DrawsEachIntermediateByteInTurnWithItsHammingWeight) {
  const auto key = hex_block("2b7e151628aed2a6abf7158809cf4f3c");
  const auto pt = hex_block("3243f6a8885a308d313198a2e0370734");
  AesTarget target(key);
  std::vector<sim::Draw> draws;
  target.transfer(pt, 16, draws);
  Recorder recorder;
  sim::aes::encrypt(sim::aes::expand_key(key), pt, &recorder);
  ASSERT_EQ(draws.size(), recorder.bytes.size());
  for (std::size_t n = 0; n < draws.size(); ++n) {
    const auto& r = recorder.bytes[n];
    EXPECT_EQ(draws[n].at, AesTarget::cycle_of(r.step, r.round, r.index)) << n;
    EXPECT_EQ(draws[n].at, AesTarget::START_CYCLES + AesTarget::INTERVAL_CYCLES * n);
    EXPECT_EQ(draws[n].cycles, AesTarget::DRAW_CYCLES);
    EXPECT_EQ(draws[n].weight, std::popcount(r.value)) << n;
  }
  // The first round's S-box outputs, the usual point of attack, one after another.
  for (unsigned i = 0; i < 16; ++i) {
    const auto& d = draws[16 + i];
    EXPECT_EQ(d.at, AesTarget::START_CYCLES + AesTarget::INTERVAL_CYCLES * (16 + i));
    EXPECT_EQ(d.weight, std::popcount(sim::aes::sbox()[pt[i] ^ key[i]]));
  }
  EXPECT_EQ(draws.back().at, AesTarget::cycle_of(Step::AddRoundKey, 10, 15));
}

TEST(AesTarget, TakesAKeyAsThirtyTwoHexDigits) {
  EXPECT_EQ(sim::parse_aes_key("000102030405060708090A0B0C0D0E0F"), AesTarget::DEFAULT_KEY);
  EXPECT_EQ(sim::parse_aes_key("000102030405060708090a0b0c0d0e0f"), AesTarget::DEFAULT_KEY);
  EXPECT_FALSE(sim::parse_aes_key("000102030405060708090a0b0c0d0e"));
  EXPECT_FALSE(sim::parse_aes_key("000102030405060708090a0b0c0d0e0f00"));
  EXPECT_FALSE(sim::parse_aes_key("0x0102030405060708090a0b0c0d0e0f"));
  EXPECT_FALSE(sim::parse_aes_key("000102030405060708090a0b0c0d0e0g"));
  EXPECT_FALSE(sim::parse_aes_key(""));
}

// Two instruments with the same seed draw the same noise for their first capture,
// so the difference of a block's capture and a forced one is the leakage alone.
TEST(AesTarget, ChannelBShowsEachDrawAtItsCycleAsHighAsItsWeight) {
  sim::Config config;
  config.spi_target = sim::Config::SpiDevice::Aes;
  config.aes_key = hex_block("2b7e151628aed2a6abf7158809cf4f3c");
  const Block pt = hex_block("3243f6a8885a308d313198a2e0370734");
  constexpr std::size_t N = 4096;
  std::vector<std::int16_t> wave[2];
  for (int encrypting = 0; encrypting < 2; ++encrypting) {
    auto instrument = sim::Instrument::create(config);
    support::power_target(*instrument);
    auto& power = *instrument->model_at<sim::PowerBus>(sim::PowerBus::BASE);
    power.write(sim::PowerBus::SETPOINT_OFFSET, 255);
    power.write(sim::PowerBus::SETPOINT_OFFSET, 255 | sim::PowerBus::SETPOINT_SEL_GAIN_B);
    auto& core = *instrument->model_at<sim::CaptureCore>(sim::CaptureCore::BASE);
    core.write(sim::CaptureCore::SAMPLE_LENGTH_OFFSET, N);
    core.write(sim::CaptureCore::SINGLE_OFFSET, 1);
    if (encrypting) {
      power.write(sim::SpiCtrl::ENABLE_OFFSET, 1);
      power.write(sim::SpiCtrl::TX_LEN_OFFSET, 16);
      power.write(sim::SpiCtrl::RX_LEN_OFFSET, 16);
      for (auto b : pt) power.write(sim::SpiCtrl::TX_OFFSET, b);
      power.write(sim::SpiCtrl::CTL_OFFSET, 3);  // start, trigger
    } else {
      core.write(sim::CaptureCore::FORCE_OFFSET, 1);
    }
    ASSERT_TRUE(support::wait_complete(core));
    wave[encrypting].resize(N);
    instrument->model_at<sim::SampleMemory>(sim::SampleMemory::B_BASE)
        ->copy_out(0, reinterpret_cast<std::uint8_t*>(wave[encrypting].data()), 2 * N);
  }

  // At power-on the target clock is 4 MHz against 48 MHz sampling: 12 samples a cycle.
  std::vector<int> expected(N, 0);
  std::vector<sim::Draw> draws;
  AesTarget(config.aes_key).transfer(pt, 16, draws);
  for (const auto& d : draws)
    for (std::size_t i = 12 * d.at; i < 12 * (d.at + d.cycles) && i < N; ++i)
      expected[i] = sim::CaptureCore::B_PULSE_PER_BIT * d.weight;
  for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(wave[1][i] - wave[0][i], expected[i]) << i;
  for (unsigned i = 0; i < 16; ++i) {
    const std::size_t at = 12 * AesTarget::cycle_of(Step::SubBytes, 1, i);
    EXPECT_EQ(wave[1][at] - wave[0][at],
              sim::CaptureCore::B_PULSE_PER_BIT * std::popcount(sim::aes::sbox()[pt[i] ^ config.aes_key[i]]));
  }
}

TEST(AesTarget, ValdrixdSimInstallsItWithItsKeyAndRefusesBadOptions) {
  const std::string exe = support::bin_dir() + "/valdrixd-sim";
  auto answer = [&](const std::vector<std::string>& options, const Block& pt) {
    const std::uint16_t port = support::free_port();
    std::vector<std::string> args{"--port", std::to_string(port)};
    args.insert(args.end(), options.begin(), options.end());
    support::Process p(exe, args, {"NO_COLOR=1"});
    EXPECT_TRUE(support::Process::wait_for_port(port));
    support::Client c(port);
    EXPECT_EQ(c.call(cmd::nut_set_voltage_enable, {1}).status, 0);  // supply on
    EXPECT_EQ(c.call(cmd::nut_clock_enable, {1}).status, 0);  // clock gate open
    EXPECT_EQ(c.call(cmd::spi_enable, {1}).status, 0);  // SPI enabled
    support::ByteVec payload(8 + pt.size(), 0);  // no delay, rx_len 16, no trigger, the block
    payload[6] = 16;
    std::copy(pt.begin(), pt.end(), payload.begin() + 8);
    auto reply = c.call(cmd::spi_transceive, payload);
    EXPECT_EQ(reply.status, 0);
    return reply.payload;
  };
  auto bytes = [](const Block& b) { return support::ByteVec(b.begin(), b.end()); };
  const Block c1 = hex_block("00112233445566778899aabbccddeeff");
  EXPECT_EQ(answer({"--spi-target", "aes"}, c1), bytes(hex_block("69c4e0d86a7b0430d8cdb78070b4c55a")));
  EXPECT_EQ(answer({"--aes-key", "2B7E151628AED2A6ABF7158809CF4F3C", "--spi-target", "aes"},
                   hex_block("3243f6a8885a308d313198a2e0370734")),
            bytes(hex_block("3925841d02dc09fbdc118597196a0b32")));
  EXPECT_EQ(answer({"--spi-target", "echo"}, c1), bytes(c1));

  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--spi-target", "rsa"}, "valdrixd-sim: --spi-target needs echo or aes\n"},
           {{"--spi-target"}, "valdrixd-sim: --spi-target needs echo or aes\n"},
           {{"--aes-key", "0011"}, "valdrixd-sim: --aes-key needs 32 hexadecimal digits\n"},
           {{"--aes-key"}, "valdrixd-sim: --aes-key needs 32 hexadecimal digits\n"}}) {
    support::Process bad(exe, args);
    EXPECT_EQ(bad.wait(10000), 2) << args[0];
    EXPECT_EQ(bad.err().substr(0, message.size()), message);
  }
}

}  // namespace
