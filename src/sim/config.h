#pragma once
// How a simulated instrument is built: the seed of its noise and the faults that
// are switched on from the start (valdrixd-sim's --seed and --fault).
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

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
  std::string_view effect;   // one line for --help
};

// Every fault, in the order --help lists them.
std::span<const FaultInfo> faults();
std::optional<Fault> fault_named(std::string_view name);

struct Config {
  static constexpr std::uint64_t DEFAULT_SEED = 0x5EED;
  std::uint64_t seed = DEFAULT_SEED;
  std::vector<Fault> faults;
};

}  // namespace sim
