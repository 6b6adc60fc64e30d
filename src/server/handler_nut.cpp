// Target power and clock commands: supply switch and voltage and the clock gate
// through Hw, the target clock through Clock. The supply voltage is shown on line 1
// of the status display.
#include <cstdio>
#include <string>
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "driver/module/oled.h"
#include "protocol/packet.h"
#include "server/driver_set.h"
#include "server/handler.h"
#include "server/handler_support.h"

namespace server::handler {
namespace {

using protocol::ProtocolError;
using protocol::packet::U32Wrapper;
using protocol::packet::U8Wrapper;
namespace oled = driver::module::oled;

constexpr std::string_view LOG_TARGET = "server::handler";
constexpr std::uint8_t VOLTAGE_LINE = 1;

using support::decode;
using support::drivers;
using support::internal;

// "V:" and the volts with one decimal. The division is in single precision and the
// float's exact value is rounded to the nearest tenth, ties to even, which is what
// printf does with it: 3250 mV shows V:3.2, 2150 mV (2.1500001f) V:2.2.
std::string voltage_text(std::uint32_t millivolts) {
  const float volts = static_cast<float>(millivolts) / 1000.0f;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.1f", static_cast<double>(volts));
  return std::string("V:") + digits;
}

}  // namespace

HandlerResult nut_set_voltage_enable(Request request) {
  base::log::debug(LOG_TARGET, "Handling nut_set_voltage_enable command");
  auto value = decode<U8Wrapper>("parse u8 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t enable = value->self_0;
  base::log::debug(LOG_TARGET, "Setting voltage enable to: {}", enable);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.voltage_enable(enable); !r)
    return internal(r.error().context("Enabling/Disabling voltage"));
  base::log::debug(LOG_TARGET, "Voltage enable set to: {}", enable);
  return base::Bytes{};
}

HandlerResult nut_set_voltage_value(Request request) {
  base::log::debug(LOG_TARGET, "Handling nut_set_voltage_value command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t voltage = value->self_0;
  base::log::debug(LOG_TARGET, "Setting voltage value to: {}", voltage);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.set_voltage(voltage); !r)
    return internal(r.error().context(base::format("Setting voltage to {}", voltage)));
  // The supply is already set; a display failure is reported but not undone.
  if (auto shown = oled::clear_line_and_display(VOLTAGE_LINE, voltage_text(voltage)); !shown)
    return internal(shown.error());
  base::log::debug(LOG_TARGET, "Voltage set to: {}", voltage);
  return base::Bytes{};
}

HandlerResult nut_set_clock(Request request) {
  base::log::debug(LOG_TARGET, "Handling nut_set_clock command");
  auto value = decode<U32Wrapper>("parse u32 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint32_t clk = value->self_0;
  base::log::debug(LOG_TARGET, "Setting clock to: {}", clk);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->clock.set_nut_clock(clk); !r) return internal(std::move(r.error()));
  base::log::debug(LOG_TARGET, "Clock set to: {}", clk);
  return base::Bytes{};
}

HandlerResult nut_set_voltage_raw_value(Request request) {
  base::log::debug(LOG_TARGET, "Handling nut_set_voltage_raw_value command");
  auto value = decode<U8Wrapper>("parse u8 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t raw = value->self_0;
  base::log::debug(LOG_TARGET, "Setting voltage raw value to: {}", raw);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.set_voltage_raw(raw); !r)
    return internal(r.error().context(base::format("Setting voltage raw value to {}", raw)));
  base::log::debug(LOG_TARGET, "Voltage raw value set to: {}", raw);
  return base::Bytes{};
}

HandlerResult nut_clock_enable(Request request) {
  base::log::debug(LOG_TARGET, "Handling nut_clock_enable command");
  auto value = decode<U8Wrapper>("parse u8 error:", request.payload);
  if (!value) return std::unexpected(std::move(value.error()));
  const std::uint8_t enable = value->self_0;
  base::log::debug(LOG_TARGET, "Setting nut clock enable to: {}", enable);
  auto set = drivers();
  if (!set) return std::unexpected(std::move(set.error()));
  if (auto r = (*set)->hw.nut_clock_enable(enable); !r) return internal(std::move(r.error()));
  return base::Bytes{};
}

}  // namespace server::handler
