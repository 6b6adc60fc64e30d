#pragma once
// Model of the SPI master at 0x80..0xBF of the power block, wired to an echo
// device: the bytes clocked in are the bytes the device received in the same
// transfer, in order, repeated from the start when more are read than were sent;
// 0xFF when nothing was sent.
//
// A transfer clocks TX_LEN bytes out (0xFF once the transmit FIFO runs dry) and
// RX_LEN bytes in, eight clocks a byte at 20 ns x (psc + 1) a clock, plus DELAY
// cycles of 20 ns when control bit 2 is set; control bit 1 triggers the capture
// core with the bytes sent. Received bytes enter the FIFO when the transfer ends.
#include "sim/bus_ctrl.h"

namespace sim {

class SpiCtrl : public BusCtrl {
 public:
  static constexpr std::size_t STATUS_OFFSET = 0x80;
  static constexpr std::size_t ENABLE_OFFSET = 0x84;
  static constexpr std::size_t RESET_OFFSET = 0x88;
  static constexpr std::size_t CONFIG_OFFSET = 0x8C;
  static constexpr std::size_t CTL_OFFSET = 0x90;
  static constexpr std::size_t TX_LEN_OFFSET = 0x94;
  static constexpr std::size_t RX_LEN_OFFSET = 0x98;
  static constexpr std::size_t TX_OFFSET = 0x9C;
  static constexpr std::size_t RX_OFFSET = 0xA0;
  static constexpr std::size_t DELAY_OFFSET = 0xA4;
  static constexpr std::chrono::nanoseconds CYCLE{20};

  explicit SpiCtrl(CaptureCore* capture);

 protected:
  Run start(std::uint32_t control, Clock::time_point at) override;
  bool trigger_requested(std::uint32_t control) const override { return control & 2; }
};

}  // namespace sim
