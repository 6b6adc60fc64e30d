// The UART of the power and bus block. Unlike the SPI and I2C masters a transfer is
// complete when the UART is idle and enough bytes wait in its receive FIFO, within
// the caller's time-out. Bytes beyond what a transfer takes stay in the FIFO for
// the three receive-FIFO operations, which, like enable, reset and config, run
// without uart_lock.
#include <array>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "base/log.h"
#include "driver/module/hw.h"

namespace driver::module::hw {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::hw::uart";
constexpr auto ENABLE_SETTLE = std::chrono::milliseconds(5);

// The control word's bit 1 is set when no trigger is wanted, the opposite of SPI
// and I2C.
constexpr std::uint32_t CTL_START_TRIGGER = 1;
constexpr std::uint32_t CTL_START_NO_TRIGGER = 3;

constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 5> BAUD_CODES{{
    {9600, 0}, {19200, 1}, {38400, 2}, {57600, 3}, {115200, 4},
}};

std::optional<std::uint32_t> baud_code(std::uint32_t baudrate) {
  for (auto [rate, code] : BAUD_CODES)
    if (rate == baudrate) return code;
  return std::nullopt;
}

std::uint16_t busy_bits(std::uint32_t status) { return static_cast<std::uint16_t>(status); }
std::uint16_t waiting_count(std::uint32_t status) { return static_cast<std::uint16_t>(status >> 16); }

std::unexpected<protocol::ProtocolError> internal(base::Error error) {
  return std::unexpected(protocol::ProtocolError::internal(std::move(error)));
}

}  // namespace

base::Result<void> Hw::uart_enable(std::uint8_t enable) const {
  base::log::debug(LOG_TARGET, "Starting uart_enable with enable: {}", enable);
  if (enable == 1) {
    base::log::debug(LOG_TARGET, "Enabling UART");
    if (auto w = axi_.write_register(UART_ENABLE_OFFSET, 1); !w) return w;
    auto back = axi_.read_register(UART_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 1) return base::fail("Failed to enable uart");
  } else {
    base::log::debug(LOG_TARGET, "Disabling UART");
    if (auto w = axi_.write_register(UART_ENABLE_OFFSET, 0); !w) return w;
    auto back = axi_.read_register(UART_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 0) return base::fail("Failed to disable uart");
  }
  std::this_thread::sleep_for(ENABLE_SETTLE);
  if (auto w = axi_.write_register(UART_RESET_OFFSET, 1); !w) return w;
  base::log::debug(LOG_TARGET, "Uart reset");
  return {};
}

base::Result<void> Hw::uart_reset() const {
  base::log::debug(LOG_TARGET, "Resetting UART");
  if (auto w = axi_.write_register(UART_RESET_OFFSET, 1); !w) return w;
  auto back = axi_.read_register(UART_RESET_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != 0) return base::fail("Failed to reset uart");
  return {};
}

base::Result<void> Hw::uart_config(const protocol::packet::server::UartConfig& config) const {
  base::log::debug(LOG_TARGET, "Configuring UART");
  const auto code = baud_code(config.baudrate);
  if (!code) return base::fail(base::format("Unsupported baudrate: {}", config.baudrate));
  const std::uint32_t word = *code | (std::uint32_t{config.bytesize} << 8) |
                             (std::uint32_t{config.parity} << 12) | (std::uint32_t{config.stop_bits} << 16);
  base::log::debug(LOG_TARGET, "Caculated register value: {}", word);
  if (auto w = axi_.write_register(UART_CONFIG_OFFSET, word); !w) return w;
  auto back = axi_.read_register(UART_CONFIG_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != word) return base::fail("Failed to configure UART");
  return {};
}

BusResult Hw::uart_transceive(const protocol::packet::server::UartTransceive& request, const Polling& polling) const {
  base::log::debug(LOG_TARGET, "Waiting for uart lock");
  // Held until return on every path; an exception unwinding past it breaks the lock.
  const auto guard = uart_lock_.acquire();
  if (!guard) return std::unexpected(protocol::ProtocolError::busy());

  if (auto w = axi_.write_register(UART_TX_LEN_OFFSET, static_cast<std::uint32_t>(request.tx_data.size())); !w)
    return internal(std::move(w.error()));
  if (auto w = axi_.write_register(UART_RX_LEN_OFFSET, request.rx_len); !w) return internal(std::move(w.error()));
  base::log::debug(LOG_TARGET, "Starting to write data to UART_TX_DATA_OFFSET");
  for (std::uint8_t byte : request.tx_data)
    if (auto w = axi_.write_register(UART_TX_DATA_OFFSET, byte); !w) return internal(std::move(w.error()));
  base::log::debug(LOG_TARGET, "Finished writing data to UART_TX_DATA_OFFSET");
  const std::uint32_t control = request.is_trigger == 1 ? CTL_START_TRIGGER : CTL_START_NO_TRIGGER;
  if (auto w = axi_.write_register(UART_CTL_OFFSET, control); !w) return internal(std::move(w.error()));

  if (request.rx_len == 0) return base::Bytes{};

  const auto start = std::chrono::steady_clock::now();
  const std::chrono::microseconds limit = std::chrono::milliseconds(request.timeout);
  base::log::debug(LOG_TARGET, "Starting to read uart data");
  auto end = poll_until(start, {.limit = limit}, polling, [&]() -> base::Result<bool> {
    auto status = axi_.read_register(UART_STATUS_OFFSET);
    if (!status) return std::unexpected(status.error());
    // Bytes that were already waiting when the transfer started count too.
    return busy_bits(*status) == 0 && waiting_count(*status) >= request.rx_len;
  });
  if (!end) return internal(std::move(end.error()));
  if (*end == WaitEnd::timed_out) {
    base::log::debug(LOG_TARGET, "Uart timeout");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  if (*end == WaitEnd::cancelled) {
    // Nobody is left to take the answer: give the bus back now, not at the time-out.
    base::log::debug(LOG_TARGET, "Client gone, UART transfer abandoned");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  base::log::debug(LOG_TARGET, "Uart transfer completed");

  base::Bytes received;
  received.reserve(request.rx_len);
  for (std::uint16_t i = 0; i < request.rx_len; ++i) {
    auto word = axi_.read_register(UART_RX_DATA_OFFSET);
    if (!word) return internal(std::move(word.error()));
    received.push_back(static_cast<std::uint8_t>(*word));
  }
  return received;
}

base::Result<std::uint16_t> Hw::uart_receive_fifo_remained() const {
  base::log::debug(LOG_TARGET, "Starting uart_receive_fifo_remained");
  auto status = axi_.read_register(UART_STATUS_OFFSET);
  if (!status) return std::unexpected(status.error());
  return waiting_count(*status);
}

base::Result<base::Bytes> Hw::uart_receive_fifo_dump() const {
  base::log::debug(LOG_TARGET, "Starting uart_receive_fifo_dump");
  auto status = axi_.read_register(UART_STATUS_OFFSET);
  if (!status) return std::unexpected(status.error());
  // Sampled once: bytes that arrive during the dump wait for the next one.
  const std::uint16_t count = waiting_count(*status);
  base::log::debug(LOG_TARGET, "Staring dump with count:{}", count);
  base::Bytes bytes;
  bytes.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    auto word = axi_.read_register(UART_RX_DATA_OFFSET);
    if (!word) return std::unexpected(word.error());
    bytes.push_back(static_cast<std::uint8_t>(*word));
  }
  base::log::debug(LOG_TARGET, "Finished dump");
  return bytes;
}

// The same register action as the first half of uart_reset, so it resets the UART
// as well; nothing is read back.
base::Result<void> Hw::uart_receive_fifo_clear() const {
  base::log::debug(LOG_TARGET, "Starting uart_receive_fifo_clear");
  return axi_.write_register(UART_RESET_OFFSET, 1);
}

}  // namespace driver::module::hw
