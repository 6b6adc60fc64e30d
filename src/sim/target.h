#pragma once
// The simulated target device (the nut) as the bus controllers and the capture core
// see it: what it answers over a bus, and what it draws from its supply while it
// works, which channel B shows.
//
// A device only computes; whether it is powered and clocked is the power block's
// business, which asks the device only while both hold. Not thread-safe: the SPI
// controller calls its device with its own lock held.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

// One burst of the target's power draw, timed on the target's own clock: it starts
// `at` target-clock cycles after the trigger, lasts `cycles` cycles and draws in
// proportion to `weight`, the number of set bits of the value the device handles
// then (0 to 8 for a byte).
struct Draw {
  std::uint32_t at;
  std::uint16_t cycles;
  std::uint8_t weight;
};

// The device on the SPI bus.
class SpiTarget {
 public:
  virtual ~SpiTarget() = default;
  // One transfer: the device received `received` and is clocked for `rx_len` bytes
  // back. Returns those bytes and appends what it draws while it works to `draws`.
  virtual std::vector<std::uint8_t> transfer(std::span<const std::uint8_t> received, std::size_t rx_len,
                                             std::vector<Draw>& draws) = 0;
};

}  // namespace sim
