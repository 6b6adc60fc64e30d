#pragma once
// Model of the I2C master at 0xC0..0x103 of the power block, with a 256-byte memory
// device at 7-bit address DEVICE_ADDRESS on its bus.
//
// The layout word holds the delay flag (bit 0), the number of segments of the
// first and of the second transfer (bits 4 to 7 and 8 to 11) and the direction of
// each segment (bits 12 to 19, 1 = read); the first tsf1 + tsf2 segments of the
// length table run, in order. The configuration word holds the speed code (bits 0
// to 7: 100 kHz, 400 kHz, 1 MHz, 3.4 MHz, 5 MHz) and the target address (bits 8 to
// 15). Each segment costs a start, the address and nine clocks a byte; the delay
// flag adds DELAY cycles of 20 ns. Control bit 1 triggers the capture core with the
// bytes the device received.
//
// The device: in a transaction the first byte written sets its pointer, further
// written bytes are stored at the pointer, read segments return bytes from it; the
// pointer auto-increments, wraps at 256 and persists between transactions. With no
// device at the address, or the target unpowered or unclocked, nothing
// acknowledges: written bytes go nowhere and read bytes are 0xFF. The device draws
// for every byte it takes in, as sim::append_byte_draws() lays out.
#include <array>

#include "sim/bus_ctrl.h"

namespace sim {

class I2cCtrl : public BusCtrl {
 public:
  static constexpr std::size_t STATUS_OFFSET = 0xC0;
  static constexpr std::size_t ENABLE_OFFSET = 0xC4;
  static constexpr std::size_t RESET_OFFSET = 0xC8;
  static constexpr std::size_t CONFIG_OFFSET = 0xCC;
  static constexpr std::size_t CTL_OFFSET = 0xD0;
  static constexpr std::size_t TSF_OFFSET = 0xD4;
  static constexpr std::size_t TSF_LEN_OFFSET = 0xD8;
  static constexpr std::size_t TX_OFFSET = 0xF8;
  static constexpr std::size_t RX_OFFSET = 0xFC;
  static constexpr std::size_t DELAY_OFFSET = 0x100;
  static constexpr std::uint8_t DEVICE_ADDRESS = 0x50;
  static constexpr std::chrono::nanoseconds CYCLE{20};

  I2cCtrl(CaptureCore* capture, const PowerBus* power);

  std::array<std::uint8_t, 256> device_memory() const;
  std::uint8_t device_pointer() const;

  // Bus clock of a speed code.
  static std::uint32_t bus_hz(std::uint32_t speed_code);

 protected:
  Run start(std::uint32_t control, Clock::time_point at) override;
  bool trigger_requested(std::uint32_t control) const override { return control & 2; }

 private:
  std::array<std::uint8_t, 256> memory_{};
  std::uint8_t pointer_ = 0;
};

}  // namespace sim
