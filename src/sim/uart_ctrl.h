#pragma once
// Model of the UART at 0x40..0x7F of the power block, wired to a device that echoes
// every byte it receives.
//
// The configuration word sets the frame: baud code (bits 0 to 7: 9600, 19200,
// 38400, 57600, 115200), data bits (8 to 11: 5 to 8, anything else counts as 8),
// parity (12 to 15: 0 none, 1 odd, 2 even, 3 mark, 4 space; 1 to 4 add a parity
// bit) and stop bits (16 to 23: 0 one, 1 one and a half, 2 two). A byte takes a
// start bit, its data bits, the parity bit and the stop bits; only its low data
// bits reach the device, so a 5-bit UART echoes 0xFF as 0x1F. The power-on word 0
// is 9600 baud, 8 data bits, no parity, one stop bit. A transfer sends TX_LEN bytes, or
// as many as the transmit FIFO holds; the status reads busy (bits 0 to 15) while it
// sends, and the echo of byte i enters the receive FIFO two byte times after that
// byte started (one to reach the device, one to come back), so the last bytes
// arrive after the UART went idle. Bits 16 to 31 of the status count the bytes
// waiting. An unpowered or unclocked device hears nothing and answers nothing. A
// control word with bit 1 clear (1) is the trigger into the capture core. Reset
// empties both FIFOs and forgets bytes still on their way.
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

  UartCtrl(CaptureCore* capture, const PowerBus* power);

  // Baud rate of a baud code; unknown codes run at 9600.
  static std::uint32_t baud(std::uint32_t code);
  struct Frame {
    std::uint32_t data_bits;
    std::uint32_t half_bits;  // length of a byte on the line, in half bit times
  };
  static Frame frame(std::uint32_t config);

 protected:
  Run start(std::uint32_t control, Clock::time_point at) override;
  bool trigger_requested(std::uint32_t control) const override { return !(control & 2); }
  std::uint32_t status_word(bool busy) const override;
};

}  // namespace sim
