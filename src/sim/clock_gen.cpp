#include "sim/clock_gen.h"

namespace sim {

ClockGen::ClockGen(std::string name, std::uint64_t base, std::uint32_t mul, std::uint32_t div1,
                   std::uint32_t div2)
    : Block(std::move(name), base, SIZE) {
  std::lock_guard lock(mu_);
  set_reg(CFG0_OFFSET, (mul << 8) | div1);
  set_reg(D0_OFFSET, div2);
  apply();
  loads_.store(0);
}

// LOAD is a pulse register: the block clears it once the values are taken over.
std::uint32_t ClockGen::on_read(std::size_t offset) {
  if (offset == LOAD_OFFSET) return 0;
  return reg(offset);
}

void ClockGen::on_write(std::size_t offset, std::uint32_t value) {
  if (offset == LOAD_OFFSET) {
    if ((value & 3) == 3) apply();
    return;
  }
  set_reg(offset, value);
}

void ClockGen::apply() {
  const std::uint32_t cfg0 = reg(CFG0_OFFSET);
  const std::uint64_t mul = (cfg0 >> 8) & 0xFF;
  const std::uint64_t div1 = cfg0 & 0xFF;
  const std::uint64_t div2 = reg(D0_OFFSET);
  frequency_hz_.store(div1 == 0 || div2 == 0 ? 0 : REFERENCE_HZ * mul / div1 / div2);
  phase_millideg_.store(reg(P0_OFFSET));
  loads_.fetch_add(1);
}

}  // namespace sim
