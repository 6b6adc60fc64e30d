#pragma once
// The simulated target device (the nut) as the bus controllers and the capture core
// see it: what it answers over a bus, and what it draws from its supply while it
// works, which channel B shows.
//
// A device only computes; whether it is powered and clocked is the power block's
// business, which asks the device only while both hold. Not thread-safe: the SPI
// controller calls its device with its own lock held.
#include <bit>
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

// The simple devices take a byte in BYTE_CYCLES target cycles and then work on it
// for DRAW_CYCLES: byte k of a transfer draws from cycle BYTE_CYCLES x (k + 1) on.
inline constexpr std::uint32_t BYTE_CYCLES = 8;
inline constexpr std::uint16_t DRAW_CYCLES = 4;

inline void append_byte_draws(std::span<const std::uint8_t> bytes, std::vector<Draw>& draws) {
  for (std::size_t k = 0; k < bytes.size(); ++k)
    draws.push_back({static_cast<std::uint32_t>(BYTE_CYCLES * (k + 1)), DRAW_CYCLES,
                     static_cast<std::uint8_t>(std::popcount(bytes[k]))});
}

// The SPI device the instrument comes with: it answers with the bytes it received
// in the same transfer, in order, repeated from the start when more are read than
// were sent, and 0xFF when nothing was sent.
class EchoTarget final : public SpiTarget {
 public:
  std::vector<std::uint8_t> transfer(std::span<const std::uint8_t> received, std::size_t rx_len,
                                     std::vector<Draw>& draws) override {
    std::vector<std::uint8_t> out;
    out.reserve(rx_len);
    for (std::size_t i = 0; i < rx_len; ++i) out.push_back(received.empty() ? 0xFF : received[i % received.size()]);
    append_byte_draws(received, draws);
    return out;
  }
};

}  // namespace sim
