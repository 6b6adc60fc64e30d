#include "support/target_power.h"

#include <thread>

#include "sim/power_bus.h"

namespace support {

void power_target(sim::Instrument& instrument) {
  auto* power = instrument.model_at<sim::PowerBus>(sim::PowerBus::BASE);
  power->write(sim::PowerBus::VOLTAGE_EN_OFFSET, 1);
  power->write(sim::PowerBus::NUT_CLK_EN_OFFSET, 1);
}

bool wait_complete(sim::CaptureCore& core, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (core.status() != (sim::CaptureCore::STATUS_TRIGGERED | sim::CaptureCore::STATUS_COMPLETE)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace support
