#pragma once
// Model of a programmable clock generator (the sample clock at 0x43C00000, the
// target clock at 0x43C30000). CFG0, D0 and P0 are plain registers until LOAD is
// written with its two low bits set; then the block takes them over:
//   output 0 = 50 MHz x mul / div1 / div2, with mul = CFG0 bits 15..8,
//   div1 = CFG0 bits 7..0, div2 = D0; phase = P0 in thousandths of a degree.
// A zero divider stops the output (0 Hz). The applied values are published
// through atomics, so other models (the capture core) read them without taking
// this block's lock.
#include <atomic>
#include <cstdint>
#include <string>

#include "sim/block.h"

namespace sim {

class ClockGen : public Block {
 public:
  static constexpr std::uint64_t OSC_GEN_BASE = 0x43C00000;
  static constexpr std::uint64_t NUT_GEN_BASE = 0x43C30000;
  static constexpr std::size_t SIZE = 0x10000;
  static constexpr std::size_t CFG0_OFFSET = 0x200;
  static constexpr std::size_t D0_OFFSET = 0x208;
  static constexpr std::size_t P0_OFFSET = 0x20C;
  static constexpr std::size_t LOAD_OFFSET = 0x25C;
  static constexpr std::uint64_t REFERENCE_HZ = 50'000'000;

  // Comes up applying `mul`, `div1`, `div2` and phase 0, as its registers show.
  ClockGen(std::string name, std::uint64_t base, std::uint32_t mul, std::uint32_t div1,
           std::uint32_t div2);

  // Output 0 as last applied, in hertz (fractions dropped).
  std::uint64_t frequency_hz() const { return frequency_hz_.load(); }
  std::uint32_t phase_millideg() const { return phase_millideg_.load(); }
  std::uint32_t loads() const { return loads_.load(); }

 protected:
  std::uint32_t on_read(std::size_t offset) override;
  void on_write(std::size_t offset, std::uint32_t value) override;

 private:
  void apply();

  std::atomic<std::uint64_t> frequency_hz_{0};
  std::atomic<std::uint32_t> phase_millideg_{0};
  std::atomic<std::uint32_t> loads_{0};
};

}  // namespace sim
