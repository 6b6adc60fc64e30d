#pragma once
// Model of the UART at 0x40..0x7F of the power block, wired to a device that echoes
// every byte it receives.
//
// The configuration word's baud code (bits 0 to 7: 9600, 19200, 38400, 57600,
// 115200) sets the pace: ten bit times a byte. A transfer sends TX_LEN bytes, or
// as many as the transmit FIFO holds; the status reads busy (bits 0 to 15) while it
// sends, and the echo of byte i enters the receive FIFO two byte times after that
// byte started (one to reach the device, one to come back), so the last bytes
// arrive after the UART went idle. Bits 16 to 31 of the status count the bytes
// waiting. A control word with bit 1 clear (1) triggers the capture core with the
// bytes sent. Reset empties both FIFOs and forgets bytes still on their way.
#include "sim/bus_ctrl.h"

namespace sim {

class UartCtrl : public BusCtrl {
 public:
  static constexpr std::size_t STATUS_OFFSET = 0x40;
  static constexpr std::size_t ENABLE_OFFSET = 0x44;
  static constexpr std::size_t RESET_OFFSET = 0x48;
  static constexpr std::size_t CONFIG_OFFSET = 0x4C;
  static constexpr std::size_t CTL_OFFSET = 0x50;
  static constexpr std::size_t TX_LEN_OFFSET = 0x54;
  static constexpr std::size_t RX_LEN_OFFSET = 0x58;
  static constexpr std::size_t TX_DATA_OFFSET = 0x5C;
  static constexpr std::size_t RX_DATA_OFFSET = 0x60;
  static constexpr std::uint32_t BITS_PER_BYTE = 10;

  explicit UartCtrl(CaptureCore* capture);

  // Baud rate of a baud code; unknown codes run at 9600.
  static std::uint32_t baud(std::uint32_t code);

 protected:
  Run start(std::uint32_t control, Clock::time_point at) override;
  bool trigger_requested(std::uint32_t control) const override { return !(control & 2); }
  std::uint32_t status_word(bool busy) const override;
};

}  // namespace sim
