#include "driver/module/clock.h"

#include <array>

#include "base/log.h"

namespace driver::module::clock {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::clock";

struct Setting {
  std::uint32_t clk;
  std::uint32_t mul;
  std::uint32_t div1;
  std::uint32_t div2;
};

// 50 MHz reference: 50 MHz x mul / div1 is the internal oscillator (480 or 390 MHz),
// divided by div2 it gives the requested kHz on output 0.
constexpr std::array<Setting, 6> CLOCK_TABLE{{
    {4000, 48, 5, 120},
    {8000, 48, 5, 60},
    {12000, 48, 5, 40},
    {24000, 48, 5, 20},
    {48000, 48, 5, 10},
    {65000, 39, 5, 6},
}};

base::Result<void> program(const core::Axi& gen, std::uint32_t clk) {
  const Setting* setting = nullptr;
  for (const auto& row : CLOCK_TABLE)
    if (row.clk == clk) setting = &row;
  if (!setting) return base::fail("Invalid clock");
  base::log::debug(LOG_TARGET, "Calculated mul: {}, div1: {}, div2: {} for clk: {}", setting->mul,
                   setting->div1, setting->div2, clk);
  if (auto r = gen.write_register(CFG0_OFFSET, setting->mul * 256 + setting->div1); !r) return r;
  if (auto r = gen.write_register(D0_OFFSET, setting->div2); !r) return r;
  return gen.write_register(LOAD_OFFSET, LOAD_APPLY);
}

}  // namespace

base::Result<Clock> Clock::create() {
  auto osc_gen = core::Axi::create(OSC_GEN_BASE, GEN_SIZE);
  if (!osc_gen) return std::unexpected(osc_gen.error());
  auto nut_gen = core::Axi::create(NUT_GEN_BASE, GEN_SIZE);
  if (!nut_gen) return std::unexpected(nut_gen.error());
  return Clock(std::move(*osc_gen), std::move(*nut_gen));
}

base::Result<void> Clock::set_osc_clock(std::uint32_t clk) const {
  base::log::debug(LOG_TARGET, "Starting set_osc_clock with clk: {}", clk);
  return program(osc_gen_, clk);
}

base::Result<void> Clock::set_nut_clock(std::uint32_t clk) const {
  base::log::debug(LOG_TARGET, "Starting set_nut_clock with clk: {}", clk);
  return program(nut_gen_, clk);
}

base::Result<void> Clock::set_osc_phase_shift(std::uint32_t deg) const {
  base::log::debug(LOG_TARGET, "Starting set_osc_phase_shift with deg: {}", deg);
  if (deg > MAX_PHASE_DEG) return base::fail("Invalid phase");
  const std::uint32_t value = deg * 1000;
  if (auto r = osc_gen_.write_register(P0_OFFSET, value); !r) return r;
  base::log::debug(LOG_TARGET, "Wrote P0_OFFSET with value: {}", value);
  return osc_gen_.write_register(LOAD_OFFSET, LOAD_APPLY);
}

}  // namespace driver::module::clock
