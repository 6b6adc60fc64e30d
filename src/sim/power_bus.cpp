#include "sim/power_bus.h"

#include "sim/capture.h"
#include "sim/clock_gen.h"

namespace sim {

PowerBus::PowerBus(const ClockGen* target_clock) : Block("power_bus", BASE, SIZE), target_clock_(target_clock) {}

bool PowerBus::target_running() const {
  return supply_on_.load() && (clock_gate_.load() & 1) && (!target_clock_ || target_clock_->frequency_hz() != 0);
}

void PowerBus::attach(std::size_t first, std::size_t end, std::shared_ptr<BusController> controller) {
  std::lock_guard lock(mu_);
  controllers_.push_back({first, end, std::move(controller)});
}

BusController* PowerBus::controller_for(std::size_t offset) const {
  for (const auto& a : controllers_)
    if (offset >= a.first && offset < a.end) return a.controller.get();
  return nullptr;
}

std::uint32_t PowerBus::on_read(std::size_t offset) {
  if (BusController* c = controller_for(offset)) return c->read(offset);
  return reg(offset);
}

void PowerBus::on_write(std::size_t offset, std::uint32_t value) {
  if (BusController* c = controller_for(offset)) {
    c->write(offset, value);
    return;
  }
  set_reg(offset, value);
  const bool was_running = target_running();
  if (offset == VOLTAGE_EN_OFFSET)
    supply_on_.store(value != 0);
  else if (offset == NUT_CLK_EN_OFFSET)
    clock_gate_.store(value);
  else if (offset == SETPOINT_OFFSET)
    write_setpoint(value);
  if (capture_ && !was_running && target_running()) capture_->target_came_up();
}

// A select bit takes the setpoint over when it rises; a select bit that stays set
// across writes does not load again.
void PowerBus::write_setpoint(std::uint32_t value) {
  const auto setpoint = static_cast<std::uint8_t>(value);
  const std::uint32_t rising = value & ~last_setpoint_write_;
  if (rising & (SETPOINT_SEL_GAIN_B | SETPOINT_SEL_GAIN_A | SETPOINT_SEL_VOLTAGE)) {
    if (!last_write_was_bare_ || (last_setpoint_write_ & 0xFF) != setpoint) torn_loads_.fetch_add(1);
  }
  if (rising & SETPOINT_SEL_GAIN_B) gain_b_.store(setpoint);
  if (rising & SETPOINT_SEL_GAIN_A) gain_a_.store(setpoint);
  if (rising & SETPOINT_SEL_VOLTAGE) voltage_.store(setpoint);
  last_write_was_bare_ = (value & 0x700) == 0;
  last_setpoint_write_ = value;
}

}  // namespace sim
