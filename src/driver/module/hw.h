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
#include <expected>

#include "base/bytes.h"
#include "base/error.h"
#include "driver/core/axi.h"
#include "driver/module/bus_lock.h"
#include "driver/module/polling.h"
#include "protocol/error.h"
#include "protocol/packet_server.h"

namespace driver::module::hw {

inline constexpr std::uint32_t HW_BASE = 0x43C10000;
inline constexpr std::size_t HW_SIZE = 0x10000;

inline constexpr std::size_t VOLTAGE_EN_OFFSET = 0x00;
inline constexpr std::size_t NUT_CLK_EN_OFFSET = 0x08;

// Bus controllers. Status registers read non-zero while a transfer runs (the
// UART's upper half counts the bytes waiting in its receive FIFO); reset registers
// read 0 once the reset has been taken; each FIFO access moves one byte.
inline constexpr std::size_t UART_STATUS_OFFSET = 0x40;
inline constexpr std::size_t UART_ENABLE_OFFSET = 0x44;
inline constexpr std::size_t UART_RESET_OFFSET = 0x48;
inline constexpr std::size_t UART_CONFIG_OFFSET = 0x4C;
inline constexpr std::size_t UART_CTL_OFFSET = 0x50;
inline constexpr std::size_t UART_TX_LEN_OFFSET = 0x54;
inline constexpr std::size_t UART_RX_LEN_OFFSET = 0x58;
inline constexpr std::size_t UART_TX_DATA_OFFSET = 0x5C;
inline constexpr std::size_t UART_RX_DATA_OFFSET = 0x60;

inline constexpr std::size_t SPI_STATUS_OFFSET = 0x80;
inline constexpr std::size_t SPI_ENABLE_OFFSET = 0x84;
inline constexpr std::size_t SPI_RESET_OFFSET = 0x88;
inline constexpr std::size_t SPI_CONFIG_OFFSET = 0x8C;
inline constexpr std::size_t SPI_CTL_OFFSET = 0x90;
inline constexpr std::size_t SPI_TX_LEN_OFFSET = 0x94;
inline constexpr std::size_t SPI_RX_LEN_OFFSET = 0x98;
inline constexpr std::size_t SPI_TX_OFFSET = 0x9C;
inline constexpr std::size_t SPI_RX_OFFSET = 0xA0;
inline constexpr std::size_t SPI_DELAY_OFFSET = 0xA4;

inline constexpr std::size_t I2C_STATUS_OFFSET = 0xC0;
inline constexpr std::size_t I2C_ENABLE_OFFSET = 0xC4;
inline constexpr std::size_t I2C_RESET_OFFSET = 0xC8;
inline constexpr std::size_t I2C_CONFIG_OFFSET = 0xCC;
inline constexpr std::size_t I2C_CTL_OFFSET = 0xD0;
inline constexpr std::size_t I2C_TSF_OFFSET = 0xD4;
inline constexpr std::size_t I2C_TSF_LEN_OFFSET = 0xD8;  // eight segment lengths, 4 bytes apart
inline constexpr std::size_t I2C_TX_OFFSET = 0xF8;
inline constexpr std::size_t I2C_RX_OFFSET = 0xFC;
inline constexpr std::size_t I2C_DELAY_OFFSET = 0x100;

using BusResult = std::expected<base::Bytes, protocol::ProtocolError>;

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

  // Bus operations (hw_spi.cpp, hw_i2c.cpp, hw_uart.cpp). Only the transfers take
  // their bus's lock; they answer Busy once it is broken. Enable, reset, config and
  // the receive-FIFO operations run unlocked, also while a transfer waits.
  base::Result<void> spi_enable(std::uint8_t enable) const;
  base::Result<void> spi_config(const protocol::packet::server::SpiConfig& config) const;
  base::Result<void> spi_reset() const;
  // Takes the request over: tx_data is released once it is in the transmit FIFO.
  // The transfers wait for their controller as `polling` says; the default is the
  // single commands' 1 ms step from the start, with nothing that cancels it.
  BusResult spi_transceive(protocol::packet::server::SpiTransceive request, const Polling& polling = {}) const;

  base::Result<void> i2c_enable(std::uint8_t enable) const;
  base::Result<void> i2c_config(const protocol::packet::server::I2cConfig& config) const;
  base::Result<void> i2c_reset() const;
  BusResult i2c_transceive(const protocol::packet::server::I2cTransceive& request, const Polling& polling = {}) const;

  base::Result<void> uart_enable(std::uint8_t enable) const;
  base::Result<void> uart_reset() const;
  base::Result<void> uart_config(const protocol::packet::server::UartConfig& config) const;
  BusResult uart_transceive(const protocol::packet::server::UartTransceive& request, const Polling& polling = {}) const;
  base::Result<std::uint16_t> uart_receive_fifo_remained() const;
  base::Result<base::Bytes> uart_receive_fifo_dump() const;
  base::Result<void> uart_receive_fifo_clear() const;

 private:
  explicit Hw(core::Axi axi) : axi_(std::move(axi)) {}

  core::Axi axi_;
  BusLock spi_lock_;
  BusLock i2c_lock_;
  BusLock uart_lock_;
};

}  // namespace driver::module::hw
