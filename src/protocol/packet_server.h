#pragma once
// Payload records of the commands that take structured arguments. The bus records
// also have a one-line debug text that the bus handlers log before a transfer.
#include <array>
#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/error.h"

namespace protocol::packet::server {

struct I2cConfig {
  std::uint8_t addr = 0;
  std::uint8_t speed = 0;  // 0..4

  static base::Result<I2cConfig> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const I2cConfig&) const = default;
};

struct SpiConfig {
  std::uint16_t psc = 0;
  std::uint8_t cpol = 0;  // 0 or 1
  std::uint8_t cpha = 0;  // 0 or 1

  static base::Result<SpiConfig> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const SpiConfig&) const = default;
};

struct UartConfig {
  std::uint8_t stop_bits = 0;  // 0..2
  std::uint8_t parity = 0;     // 0..4
  std::uint8_t bytesize = 8;   // 5..8
  std::uint32_t baudrate = 0;

  static base::Result<UartConfig> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const UartConfig&) const = default;
};

struct ChannelGain {
  std::uint8_t channel = 1;  // 1 or 2
  std::uint8_t gain = 0;

  static base::Result<ChannelGain> decode(base::ByteView payload);
  bool operator==(const ChannelGain&) const = default;
};

struct ChannelWave {
  std::uint8_t channel = 1;  // 1 or 2
  std::uint32_t offset = 0;
  std::uint32_t length = 0;

  static base::Result<ChannelWave> decode(base::ByteView payload);
  bool operator==(const ChannelWave&) const = default;
};

struct ReadRegister {
  std::uint32_t base_addr = 0;
  std::uint32_t offset = 0;

  static base::Result<ReadRegister> decode(base::ByteView payload);
  bool operator==(const ReadRegister&) const = default;
};

struct WriteRegister {
  std::uint32_t base_addr = 0;
  std::uint32_t offset = 0;
  std::uint32_t value = 0;

  static base::Result<WriteRegister> decode(base::ByteView payload);
  bool operator==(const WriteRegister&) const = default;
};

// tx_data takes whatever follows the fixed fields, so these decoders size it from
// the payload they are given.
struct SpiTransceive {
  std::uint8_t is_delay = 0;  // 0 or 1
  std::uint32_t delay = 0;
  std::uint16_t rx_len = 0;
  std::uint8_t is_trigger = 0;  // 0 or 1
  base::Bytes tx_data;

  static base::Result<SpiTransceive> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const SpiTransceive&) const = default;
};

struct I2cTransceive {
  std::uint8_t is_delay = 0;  // 0 or 1
  std::uint32_t delay = 0;
  std::uint8_t tsf1_count = 0;
  std::uint8_t tsf2_count = 0;
  std::uint8_t tsf_rw = 0;
  std::array<std::uint16_t, 8> tsf_lens{};
  std::uint8_t is_trigger = 0;  // 0 or 1
  base::Bytes tx_data;

  static base::Result<I2cTransceive> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const I2cTransceive&) const = default;
};

struct UartTransceive {
  std::uint16_t rx_len = 0;
  std::uint8_t is_trigger = 0;  // 0 or 1
  std::uint32_t timeout = 0;
  base::Bytes tx_data;

  static base::Result<UartTransceive> decode(base::ByteView payload);
  std::string debug_text() const;
  bool operator==(const UartTransceive&) const = default;
};

}  // namespace protocol::packet::server
