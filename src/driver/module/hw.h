#pragma once
// The power and bus block: the target's supply switch and voltage, the gate of the
// target clock, and the SPI, I2C and UART controllers that talk to the target.
// The bus operations are members of Hw too, defined in hw_spi.cpp, hw_i2c.cpp
// and hw_uart.cpp.
//
// Shared without a lock of its own. The power and clock operations take no lock
// (the supply voltage load shares load_setpoint's lock with the gain loads); a bus
// transfer holds its bus's lock for the whole transfer, so transfers on one bus
// never overlap while the three buses run in parallel.
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "driver/core/axi.h"
#include "driver/module/bus_lock.h"

namespace driver::module::hw {

inline constexpr std::uint32_t HW_BASE = 0x43C10000;
inline constexpr std::size_t HW_SIZE = 0x10000;

inline constexpr std::size_t VOLTAGE_EN_OFFSET = 0x00;
inline constexpr std::size_t NUT_CLK_EN_OFFSET = 0x08;

class Hw {
 public:
  // Opens the window; the three bus locks start unlocked and usable.
  static base::Result<Hw> create();

  // 0 switches the supply off, any other value on.
  base::Result<void> voltage_enable(std::uint8_t enable) const;
  // Millivolts, 2000 to 4100, loaded as the setpoint of the voltage table.
  base::Result<void> set_voltage(std::uint32_t voltage) const;
  base::Result<void> set_voltage_raw(std::uint8_t raw) const;
  // Written to the gate unchanged.
  base::Result<void> nut_clock_enable(std::uint8_t enable) const;

 private:
  explicit Hw(core::Axi axi) : axi_(std::move(axi)) {}

  core::Axi axi_;
  BusLock spi_lock_;
  BusLock i2c_lock_;
  BusLock uart_lock_;
};

}  // namespace driver::module::hw
