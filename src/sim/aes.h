#pragma once
// AES-128 encryption (FIPS-197) as the simulated target device computes it: the
// key schedule once per key, then one block at a time, byte by byte. An observer
// sees every intermediate byte in the order a byte-serial implementation on a
// microcontroller produces it, which is what the target's power draw follows.
//
// Pure functions over values; safe to call from any thread.
#include <array>
#include <cstdint>

namespace sim::aes {

using Block = std::array<std::uint8_t, 16>;  // state bytes in FIPS order: s[r][c] = b[r + 4c]
using Key = std::array<std::uint8_t, 16>;
using RoundKeys = std::array<Block, 11>;

constexpr unsigned ROUNDS = 10;

// The round operations, in the order they run within a round.
enum class Step : std::uint8_t { SubBytes, ShiftRows, MixColumns, AddRoundKey };

class Observer {
 public:
  virtual ~Observer() = default;
  // The state byte `index` (0..15) after `step` of round `round` (0 for the initial
  // AddRoundKey, 1..10 after) has become `value`. Called in computation order.
  virtual void on_byte(Step step, unsigned round, unsigned index, std::uint8_t value) = 0;
};

// The S-box, computed from the multiplicative inverse in GF(2^8) and the affine map.
const std::array<std::uint8_t, 256>& sbox();

RoundKeys expand_key(const Key& key);
Block encrypt(const RoundKeys& round_keys, const Block& plaintext, Observer* observer = nullptr);

}  // namespace sim::aes
