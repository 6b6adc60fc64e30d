#pragma once
// A target device on the SPI bus that encrypts: the firmware of a microcontroller
// running AES-128 one byte at a time, the classic subject of a power analysis.
//
// A transfer that clocks in 16 bytes and reads 16 back answers the encryption of
// those 16 bytes (one block, no chaining) under the device's key; any other
// transfer reads 0xFF and draws nothing. While it encrypts, the device draws power
// once per intermediate byte, in proportion to the byte's Hamming weight:
//
//   cycle_of(step, round, i) = START_CYCLES + INTERVAL_CYCLES x n, where n counts the
//   bytes computed so far: the initial AddRoundKey's 16 (n = i), then per round 16
//   each for SubBytes, ShiftRows, MixColumns (not in round 10) and AddRoundKey.
//
// Every draw lasts DRAW_CYCLES, so one S-box output never overlaps another. The key
// schedule is computed once, when the device gets its key, and draws nothing.
//
// An AesProfile makes the firmware harder to attack, the way real targets are: a
// random start (jitter), first-order Boolean masking, shuffled S-box look-ups,
// unrelated activity alongside the cipher (background), and the capture core adds
// Gaussian noise (noise). All randomness comes from the device's seed and the count
// of blocks it has encrypted, so the same seed and requests give the same draws.
//
// Not thread-safe, like every SpiTarget: the SPI controller calls it under its lock.
#include <optional>
#include <span>
#include <string_view>

#include "sim/aes.h"
#include "sim/target.h"

namespace sim {

// valdrixd-sim's --aes-* knobs; --aes-profile names sets of them.
struct AesProfile {
  // Gaussian noise on channel B, standard deviation in sample units at full gain
  // (the capture core adds it to every sample, on top of the uniform noise).
  std::uint32_t noise = 0;
  // Draws of random bytes every 2 target cycles from the transfer's start to the
  // cipher's end, over and between the cipher's own: other work of the firmware.
  bool background = false;
  // The cipher starts a further 0..jitter target cycles (uniform) after the lead-in.
  std::uint32_t jitter = 0;
  // First-order Boolean masking: plaintext and key arrive masked, every draw is of a
  // masked value, and the 16 masks of round 1's S-box outputs are loaded (drawn)
  // before the cipher starts, 16 slots ahead of everything else.
  bool mask = false;
  // Each round's SubBytes and ShiftRows visit the 16 bytes in a random order.
  bool shuffle = false;
  bool operator==(const AesProfile&) const = default;
};

struct AesProfileInfo {
  std::string_view name;
  AesProfile profile;
  std::string_view knobs;  // the same as options, for --help
};
// classroom (the default, every knob off), noisy, desync, masked, shuffled.
std::span<const AesProfileInfo> aes_profiles();
std::optional<AesProfile> aes_profile_named(std::string_view name);

// One draw of the first round in the ground truth a learner checks an attack
// against: the intermediate of state byte `byte`, from target cycle `cycle` on for
// `cycles` (for a shuffled step: the whole stretch the byte may fall in).
struct LeakageEntry {
  unsigned byte;
  std::string_view intermediate;
  std::uint32_t cycle;
  std::uint32_t cycles;
};

class AesTarget : public SpiTarget {
 public:
  // FIPS-197's example key 000102030405060708090a0b0c0d0e0f.
  static constexpr aes::Key DEFAULT_KEY = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                           0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
  static constexpr std::size_t BLOCK = 16;
  // Cycles from the trigger to the first draw: taking the block off the SPI
  // receive buffer and entering the cipher.
  static constexpr std::uint32_t START_CYCLES = 64;
  // Cycles per computed byte (load, look-up or arithmetic, store) and the part of
  // them that draws.
  static constexpr std::uint32_t INTERVAL_CYCLES = 4;
  static constexpr std::uint16_t DRAW_CYCLES = 2;
  // Per block: the initial AddRoundKey, four steps in rounds 1 to 9, three in round 10.
  static constexpr std::size_t DRAWS = 16 * (1 + 4 * (aes::ROUNDS - 1) + 3);

  // Masked: the masks of round 1's S-box outputs come first, one slot each.
  static constexpr std::size_t MASK_SLOTS = 16;

  explicit AesTarget(const aes::Key& key = DEFAULT_KEY, const AesProfile& profile = {}, std::uint64_t seed = 0);

  std::vector<std::uint8_t> transfer(std::span<const std::uint8_t> received, std::size_t rx_len,
                                     std::vector<Draw>& draws) override;

  const aes::Key& key() const { return key_; }
  const AesProfile& profile() const { return profile_; }

  // Every key-dependent draw of the first round (the initial AddRoundKey included)
  // and, masked, the masks of its S-box outputs, by cycle; the jitter left out.
  static std::vector<LeakageEntry> leakage_map(const AesProfile& profile);

  // Target-clock cycle after the trigger at which the draw of state byte `index`
  // after `step` of `round` starts (round 0: the initial AddRoundKey), unmasked and
  // unshuffled, before any jitter.
  static constexpr std::uint32_t cycle_of(aes::Step step, unsigned round, unsigned index) {
    std::uint32_t n = index;
    if (round > 0) {
      n += 16 + 64 * (round - 1);
      const auto slot = static_cast<std::uint32_t>(step);
      // The last round has no MixColumns; its AddRoundKey moves up into that slot.
      n += 16 * ((round == aes::ROUNDS && step == aes::Step::AddRoundKey) ? slot - 1 : slot);
    }
    return START_CYCLES + INTERVAL_CYCLES * n;
  }

 private:
  aes::Key key_;
  aes::RoundKeys round_keys_;
  AesProfile profile_;
  std::uint64_t seed_;
  std::uint64_t blocks_ = 0;  // encrypted so far: the position in the random stream
};

// A key as 32 hexadecimal digits (either case, nothing else), or nullopt.
std::optional<aes::Key> parse_aes_key(std::string_view hex);

}  // namespace sim
