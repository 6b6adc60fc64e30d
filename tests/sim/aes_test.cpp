// The target device that encrypts: the cipher against the FIPS-197 examples, the
// device's answers on the bus and the draws it leaks, and its key option.
#include <gtest/gtest.h>

#include <bit>
#include <string_view>

#include "sim/aes.h"
#include "sim/aes_target.h"

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

}  // namespace
