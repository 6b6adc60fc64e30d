// The SPI master of the power and bus block. A transfer loads both byte counts and
// the transmit FIFO, starts with the control word, polls the status (every 1 ms for
// a single command) for up to a second and unloads the receive FIFO, all under
// spi_lock.
#include <chrono>
#include <string_view>
#include <thread>

#include "base/log.h"
#include "driver/module/hw.h"

namespace driver::module::hw {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::hw::spi";
constexpr std::chrono::microseconds TRANSFER_LIMIT = std::chrono::seconds(1);
constexpr auto ENABLE_SETTLE = std::chrono::milliseconds(5);

std::unexpected<protocol::ProtocolError> internal(base::Error error) {
  return std::unexpected(protocol::ProtocolError::internal(std::move(error)));
}

}  // namespace

base::Result<void> Hw::spi_enable(std::uint8_t enable) const {
  base::log::debug(LOG_TARGET, "Starting spi_enable with enable: {}", enable);
  if (enable == 1) {
    base::log::debug(LOG_TARGET, "Enabling SPI");
    if (auto w = axi_.write_register(SPI_ENABLE_OFFSET, 1); !w) return w;
    auto back = axi_.read_register(SPI_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 1) return base::fail("Failed to enable spi");
  } else {
    base::log::debug(LOG_TARGET, "Disabling SPI");
    if (auto w = axi_.write_register(SPI_ENABLE_OFFSET, 0); !w) return w;
    auto back = axi_.read_register(SPI_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 0) return base::fail("Failed to disable spi");
  }
  std::this_thread::sleep_for(ENABLE_SETTLE);
  if (auto w = axi_.write_register(SPI_RESET_OFFSET, 1); !w) return w;
  base::log::debug(LOG_TARGET, "SPI reset");
  return {};
}

base::Result<void> Hw::spi_config(const protocol::packet::server::SpiConfig& config) const {
  base::log::debug(LOG_TARGET, "Configuring SPI with config: {}", config.debug_text());
  const std::uint32_t word = (std::uint32_t{config.psc} << 8) |
                             (std::uint32_t{config.cpol} << 1) | std::uint32_t{config.cpha};
  if (auto w = axi_.write_register(SPI_CONFIG_OFFSET, word); !w) return w;
  auto back = axi_.read_register(SPI_CONFIG_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != word) return base::fail("Failed to configure SPI");
  return {};
}

base::Result<void> Hw::spi_reset() const {
  base::log::debug(LOG_TARGET, "Resetting SPI");
  if (auto w = axi_.write_register(SPI_RESET_OFFSET, 1); !w) return w;
  auto back = axi_.read_register(SPI_RESET_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != 0) return base::fail("Failed to reset spi");
  return {};
}

BusResult Hw::spi_transceive(protocol::packet::server::SpiTransceive request, const Polling& polling) const {
  base::log::debug(LOG_TARGET, "Waiting for spi lock");
  // Held until return on every path; an exception unwinding past it breaks the lock.
  const auto guard = spi_lock_.acquire();
  if (!guard) return std::unexpected(protocol::ProtocolError::busy());

  if (auto w = axi_.write_register(SPI_TX_LEN_OFFSET, static_cast<std::uint32_t>(request.tx_data.size())); !w)
    return internal(std::move(w.error()));
  if (auto w = axi_.write_register(SPI_RX_LEN_OFFSET, request.rx_len); !w) return internal(std::move(w.error()));
  base::log::debug(LOG_TARGET, "Starting to write data to SPI_TX_OFFSET");
  for (std::uint8_t byte : request.tx_data)
    if (auto w = axi_.write_register(SPI_TX_OFFSET, byte); !w) return internal(std::move(w.error()));
  base::Bytes().swap(request.tx_data);
  base::log::debug(LOG_TARGET, "Finished writing data to SPI_TX_OFFSET");

  if (request.is_delay == 1) {
    if (auto w = axi_.write_register(SPI_DELAY_OFFSET, request.delay); !w) return internal(std::move(w.error()));
    base::log::debug(LOG_TARGET, "Wrote SPI_DELAY_OFFSET with value: {}", request.delay);
  }
  const auto control = static_cast<std::uint8_t>(1 | (request.is_trigger << 1) | (request.is_delay == 1 ? 4 : 0));
  base::log::debug(LOG_TARGET, "Calculated SPI control value: {}", control);
  if (auto w = axi_.write_register(SPI_CTL_OFFSET, control); !w) return internal(std::move(w.error()));

  // A write-only transfer does not wait for the controller to finish sending.
  if (request.rx_len == 0) return base::Bytes{};

  const auto start = std::chrono::steady_clock::now();
  base::log::debug(LOG_TARGET, "Starting SPI transfer");
  auto end = poll_until(start, {.limit = TRANSFER_LIMIT}, polling, [&]() -> base::Result<bool> {
    auto status = axi_.read_register(SPI_STATUS_OFFSET);
    if (!status) return std::unexpected(status.error());
    return *status == 0;
  });
  if (!end) return internal(std::move(end.error()));
  if (*end == WaitEnd::timed_out) {
    base::log::debug(LOG_TARGET, "SPI transfer timed out");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  if (*end == WaitEnd::cancelled) {
    // Nobody is left to take the answer: give the bus back now, not at the time-out.
    base::log::debug(LOG_TARGET, "Client gone, SPI transfer abandoned");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  base::log::debug(LOG_TARGET, "SPI transfer completed");

  base::Bytes received;
  received.reserve(request.rx_len);
  for (std::uint16_t i = 0; i < request.rx_len; ++i) {
    auto word = axi_.read_register(SPI_RX_OFFSET);
    if (!word) return internal(std::move(word.error()));
    received.push_back(static_cast<std::uint8_t>(*word));
  }
  return received;
}

}  // namespace driver::module::hw
