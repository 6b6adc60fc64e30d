#pragma once
// The setpoint register of the power and bus block, shared by the two channel gains
// (Osc, through its own mapping of the block) and the target supply voltage (Hw).
// A load is two writes, the bare value and then the value with one select bit;
// every load in the process goes through load_setpoint, which holds one
// process-wide lock across both writes so that a gain load and a voltage load
// never interleave. A torn pair could hand a gain value to the supply, which can
// damage the target.
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "driver/core/axi.h"

namespace driver::module {

inline constexpr std::size_t SETPOINT_OFFSET = 0x04;
inline constexpr std::uint32_t SETPOINT_SEL_GAIN_B = 0x100;
inline constexpr std::uint32_t SETPOINT_SEL_GAIN_A = 0x200;
inline constexpr std::uint32_t SETPOINT_SEL_VOLTAGE = 0x400;

// `axi` maps the power and bus block from its base. A failed first write ends the
// load without the second.
base::Result<void> load_setpoint(const core::Axi& axi, std::uint8_t value, std::uint32_t select);

}  // namespace driver::module
