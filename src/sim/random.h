#pragma once
// The simulator's randomness: a counter-based generator (splitmix64's mixer), so
// every random value is a pure function of the --seed and a position, and the same
// seed and the same requests give the same bytes whatever else ran in between.
//
// Values only; safe to use from any thread.
#include <cstdint>

namespace sim {

constexpr std::uint64_t mix64(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// 64 random bits at a time from one key; two streams of different keys are
// independent for every purpose here.
class RandomStream {
 public:
  explicit constexpr RandomStream(std::uint64_t key) : key_(key) {}
  std::uint64_t next() { return mix64(key_ + n_++); }
  // Uniform in 0..bound (inclusive); the bias of a 64-bit remainder is negligible.
  std::uint32_t up_to(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % (std::uint64_t{bound} + 1)); }

 private:
  std::uint64_t key_;
  std::uint64_t n_ = 0;
};

// Standard normal deviates from 16 random bits: the quantile of (u + 0.5) / 65536,
// in units of 1/4096 (so about -4.3 to 4.3 standard deviations). The table of all
// 65536 is computed once, on first use; loops index it directly.
const std::int16_t* normal_q12_table();
inline std::int32_t normal_q12(std::uint32_t bits16) { return normal_q12_table()[bits16 & 0xFFFF]; }
// The largest deviate, normal_q12(0xFFFF); the smallest is its negative.
std::int32_t normal_q12_max();

}  // namespace sim
