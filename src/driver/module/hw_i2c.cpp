// The I2C master of the power and bus block. A transaction is described by a table
// of eight segments (length and direction) grouped into a first and a second
// transfer; the bytes to read back are the lengths of the read segments. Polled
// like the SPI master, under i2c_lock.
#include <chrono>
#include <string_view>
#include <thread>

#include "base/log.h"
#include "driver/module/hw.h"

namespace driver::module::hw {
namespace {

constexpr std::string_view LOG_TARGET = "driver::module::hw::i2c";
constexpr auto TRANSFER_LIMIT = std::chrono::seconds(1);
constexpr auto ENABLE_SETTLE = std::chrono::milliseconds(5);

std::unexpected<protocol::ProtocolError> internal(base::Error error) {
  return std::unexpected(protocol::ProtocolError::internal(std::move(error)));
}

// A sum, not an or: counts above 15 carry into the next field, and the controller
// sees exactly that.
std::uint32_t layout_word(const protocol::packet::server::I2cTransceive& request) {
  return std::uint32_t{request.is_delay} + (std::uint32_t{request.tsf1_count} << 4) +
         (std::uint32_t{request.tsf2_count} << 8) + (std::uint32_t{request.tsf_rw} << 12);
}

std::uint32_t read_length(const protocol::packet::server::I2cTransceive& request) {
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < request.tsf_lens.size(); ++i)
    if ((request.tsf_rw >> i) & 1) total += request.tsf_lens[i];
  return total;
}

}  // namespace

base::Result<void> Hw::i2c_enable(std::uint8_t enable) const {
  base::log::debug(LOG_TARGET, "Starting i2c_enable with enable: {}", enable);
  if (enable == 1) {
    base::log::debug(LOG_TARGET, "Enabling I2C");
    if (auto w = axi_.write_register(I2C_ENABLE_OFFSET, 1); !w) return w;
    auto back = axi_.read_register(I2C_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 1) return base::fail("Failed to enable i2c");
  } else {
    base::log::debug(LOG_TARGET, "Disabling I2C");
    if (auto w = axi_.write_register(I2C_ENABLE_OFFSET, 0); !w) return w;
    auto back = axi_.read_register(I2C_ENABLE_OFFSET);
    if (!back) return std::unexpected(back.error());
    if (*back != 0) return base::fail("Failed to disable i2c");
  }
  std::this_thread::sleep_for(ENABLE_SETTLE);
  if (auto w = axi_.write_register(I2C_RESET_OFFSET, 1); !w) return w;
  base::log::debug(LOG_TARGET, "I2C reset");
  return {};
}

base::Result<void> Hw::i2c_config(const protocol::packet::server::I2cConfig& config) const {
  base::log::debug(LOG_TARGET, "Configuring I2C with: {}", config.debug_text());
  const std::uint32_t word = (std::uint32_t{config.addr} << 8) | std::uint32_t{config.speed};
  if (auto w = axi_.write_register(I2C_CONFIG_OFFSET, word); !w) return w;
  auto back = axi_.read_register(I2C_CONFIG_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != word) return base::fail("Failed to configure i2c");
  return {};
}

base::Result<void> Hw::i2c_reset() const {
  base::log::debug(LOG_TARGET, "Resetting I2C");
  if (auto w = axi_.write_register(I2C_RESET_OFFSET, 1); !w) return w;
  auto back = axi_.read_register(I2C_RESET_OFFSET);
  if (!back) return std::unexpected(back.error());
  if (*back != 0) return base::fail("Failed to reset i2c");
  return {};
}

BusResult Hw::i2c_transceive(const protocol::packet::server::I2cTransceive& request, const Polling& polling) const {
  base::log::debug(LOG_TARGET, "Waiting for i2c lock");
  // Held until return on every path; an exception unwinding past it breaks the lock.
  const auto guard = i2c_lock_.acquire();
  if (!guard) return std::unexpected(protocol::ProtocolError::busy());

  if (request.is_delay == 1) {
    if (auto w = axi_.write_register(I2C_DELAY_OFFSET, request.delay); !w) return internal(std::move(w.error()));
    base::log::debug(LOG_TARGET, "Wrote I2C_DELAY_OFFSET with value: {}", request.delay);
  }
  if (auto w = axi_.write_register(I2C_TSF_OFFSET, layout_word(request)); !w) return internal(std::move(w.error()));
  for (std::size_t i = 0; i < request.tsf_lens.size(); ++i)
    if (auto w = axi_.write_register(I2C_TSF_LEN_OFFSET + 4 * i, request.tsf_lens[i]); !w)
      return internal(std::move(w.error()));
  for (std::uint8_t byte : request.tx_data)
    if (auto w = axi_.write_register(I2C_TX_OFFSET, byte); !w) return internal(std::move(w.error()));

  const auto control = static_cast<std::uint8_t>(1 | (request.is_trigger << 1));
  base::log::debug(LOG_TARGET, "Calculated I2C control value: {}", control);
  if (auto w = axi_.write_register(I2C_CTL_OFFSET, control); !w) return internal(std::move(w.error()));
  base::log::debug(LOG_TARGET, "Wrote I2C_CTL_OFFSET with value: {}", control);

  // Nothing to read back: the transaction is left to finish on its own.
  const std::uint32_t length = read_length(request);
  if (length == 0) return base::Bytes{};

  const auto start = std::chrono::steady_clock::now();
  base::log::debug(LOG_TARGET, "Starting I2C transfer");
  auto end = poll_until(start, {.limit = TRANSFER_LIMIT}, polling, [&]() -> base::Result<bool> {
    auto status = axi_.read_register(I2C_STATUS_OFFSET);
    if (!status) return std::unexpected(status.error());
    return *status == 0;
  });
  if (!end) return internal(std::move(end.error()));
  if (*end == WaitEnd::timed_out) {
    base::log::debug(LOG_TARGET, "I2C transfer timed out");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  if (*end == WaitEnd::cancelled) {
    // Nobody is left to take the answer: give the bus back now, not at the time-out.
    base::log::debug(LOG_TARGET, "Client gone, I2C transfer abandoned");
    return std::unexpected(protocol::ProtocolError::time_out());
  }
  base::log::debug(LOG_TARGET, "I2C transfer completed");

  base::Bytes received;
  received.reserve(length);
  for (std::uint32_t i = 0; i < length; ++i) {
    auto word = axi_.read_register(I2C_RX_OFFSET);
    if (!word) return internal(std::move(word.error()));
    received.push_back(static_cast<std::uint8_t>(*word));
  }
  return received;
}

}  // namespace driver::module::hw
