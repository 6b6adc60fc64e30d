#pragma once
// The two programmable clock generators: the oscilloscope's sample clock and the
// clock fed to the target. Only six frequencies are supported, each a fixed set of
// multiplier and dividers that the block applies on LOAD.
//
// Shared without a lock: the driver keeps nothing but its two windows, so
// sequences from different connections on the same block may interleave.
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "driver/core/axi.h"

namespace driver::module::clock {

inline constexpr std::uint32_t OSC_GEN_BASE = 0x43C00000;
inline constexpr std::uint32_t NUT_GEN_BASE = 0x43C30000;
inline constexpr std::size_t GEN_SIZE = 0x10000;

inline constexpr std::size_t CFG0_OFFSET = 0x200;
inline constexpr std::size_t D0_OFFSET = 0x208;
inline constexpr std::size_t P0_OFFSET = 0x20C;
inline constexpr std::size_t LOAD_OFFSET = 0x25C;
inline constexpr std::uint32_t LOAD_APPLY = 3;

// Phases whose thousandths of a degree still fit the 32-bit phase register.
inline constexpr std::uint32_t MAX_PHASE_DEG = 4294967;

class Clock {
 public:
  // Opens osc_gen, then nut_gen.
  static base::Result<Clock> create();

  // `clk` is a table key in kHz: 4000, 8000, 12000, 24000, 48000 or 65000.
  base::Result<void> set_osc_clock(std::uint32_t clk) const;
  base::Result<void> set_nut_clock(std::uint32_t clk) const;
  // Phase of the sample clock in whole degrees, not reduced modulo 360.
  base::Result<void> set_osc_phase_shift(std::uint32_t deg) const;

 private:
  Clock(core::Axi osc_gen, core::Axi nut_gen)
      : osc_gen_(std::move(osc_gen)), nut_gen_(std::move(nut_gen)) {}

  core::Axi osc_gen_;
  core::Axi nut_gen_;
};

}  // namespace driver::module::clock
