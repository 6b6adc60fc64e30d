#pragma once
// How a simulated instrument is built: the seed of its noise and the faults that
// are switched on from the start (valdrixd-sim's --seed and --fault).
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/aes_target.h"

namespace sim {

enum class Fault : std::uint8_t {
  SpiHang,
  I2cHang,
  UartHang,
  SpiReadback,
  I2cReadback,
  UartReadback,
  SpiBrokenLock,
  I2cBrokenLock,
  UartBrokenLock,
  DisplayBusy,
  MapRefused,
};

struct FaultInfo {
  Fault fault;
  std::string_view name;     // as given to --fault
  std::string_view effect;   // for --help: what happens, then what a host sees
};

// Every fault, in the order --help lists them.
std::span<const FaultInfo> faults();
std::optional<Fault> fault_named(std::string_view name);

struct Config {
  static constexpr std::uint64_t DEFAULT_SEED = 0x5EED;
  std::uint64_t seed = DEFAULT_SEED;
  std::vector<Fault> faults;
  // The device on the SPI bus (--spi-target): the echo device, or the AES-128
  // target with `aes_key` (--aes-key; FIPS-197's example key unless given).
  enum class SpiDevice : std::uint8_t { Echo, Aes };
  SpiDevice spi_target = SpiDevice::Echo;
  aes::Key aes_key = AesTarget::DEFAULT_KEY;
  // What makes that target harder (--aes-profile and the --aes-* knobs). Its noise
  // is the capture core's, on channel B, whatever the device.
  AesProfile aes_profile;
};

}  // namespace sim
