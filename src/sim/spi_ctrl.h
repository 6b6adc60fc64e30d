#pragma once
// Model of the SPI master at 0x80..0xBF of the power block, wired to a replaceable
// device (sim::SpiTarget; an EchoTarget unless set_target() installs another).
//
// A transfer clocks TX_LEN bytes out (0xFF once the transmit FIFO runs dry) and
// RX_LEN bytes in, eight clocks a byte at 20 ns x (psc + 1) a clock, plus DELAY
// cycles of 20 ns when control bit 2 is set. The device is asked only while the
// target is powered and clocked; otherwise nothing drives the data line, every
// byte clocked in reads 0xFF and the target draws nothing. Control bit 1 is the
// trigger into the capture core, which also sees the device's draws. Received
// bytes enter the FIFO when the transfer ends.
#include <memory>

#include "sim/bus_ctrl.h"
#include "sim/target.h"

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

  SpiCtrl(CaptureCore* capture, const PowerBus* power);

  // Replaces the device on the bus; it is called with this controller's lock held.
  void set_target(std::unique_ptr<SpiTarget> target);

 protected:
  Run start(std::uint32_t control, Clock::time_point at) override;
  bool trigger_requested(std::uint32_t control) const override { return control & 2; }

 private:
  std::unique_ptr<SpiTarget> target_;
};

}  // namespace sim
