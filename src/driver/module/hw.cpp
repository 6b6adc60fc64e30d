#include "driver/module/hw.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/log.h"
#include "driver/module/setpoint.h"

namespace driver::module::hw {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::hw";

// Setpoints of the supply for each 100 mV band from 2000 mV; the last band also
// takes 4100 mV.
constexpr std::array<std::uint8_t, 21> VOLTAGE_TABLE{
    0, 39, 70, 95, 116, 134, 148, 161, 172, 182, 191,
    199, 206, 213, 218, 224, 229, 233, 237, 241, 245,
};
constexpr std::uint32_t MIN_VOLTAGE = 2000;
constexpr std::uint32_t MAX_VOLTAGE = 4100;

std::optional<std::uint8_t> voltage_setpoint(std::uint32_t voltage) {
  if (voltage < MIN_VOLTAGE || voltage > MAX_VOLTAGE) return std::nullopt;
  const std::size_t band =
      std::min<std::size_t>((voltage - MIN_VOLTAGE) / 100, VOLTAGE_TABLE.size() - 1);
  return VOLTAGE_TABLE[band];
}

}  // namespace

base::Result<Hw> Hw::create() {
  auto axi = core::Axi::create(HW_BASE, HW_SIZE);
  if (!axi) return std::unexpected(axi.error());
  return Hw(std::move(*axi));
}

base::Result<void> Hw::voltage_enable(std::uint8_t enable) const {
  base::log::debug(LOG_TARGET, "Starting voltage_enable with enable: {}", enable);
  return axi_.write_register(VOLTAGE_EN_OFFSET, enable != 0 ? 1 : 0);
}

base::Result<void> Hw::set_voltage(std::uint32_t voltage) const {
  base::log::debug(LOG_TARGET, "Starting set_voltage with voltage: {}", voltage);
  const auto setpoint = voltage_setpoint(voltage);
  if (!setpoint) return base::fail("Invalid voltage value");
  base::log::debug(LOG_TARGET, "Calculated register value for voltage: {}", *setpoint);
  return load_setpoint(axi_, *setpoint, SETPOINT_SEL_VOLTAGE);
}

base::Result<void> Hw::set_voltage_raw(std::uint8_t raw) const {
  base::log::debug(LOG_TARGET, "Starting set_voltage_raw with raw: {}", raw);
  return load_setpoint(axi_, raw, SETPOINT_SEL_VOLTAGE);
}

base::Result<void> Hw::nut_clock_enable(std::uint8_t enable) const {
  base::log::debug(LOG_TARGET, "Starting nut_clock_enable with enable: {}", enable);
  return axi_.write_register(NUT_CLK_EN_OFFSET, enable);
}

}  // namespace driver::module::hw
