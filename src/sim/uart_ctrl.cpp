#include "sim/uart_ctrl.h"

#include <algorithm>

namespace sim {

UartCtrl::UartCtrl(CaptureCore* capture)
    : BusCtrl({STATUS_OFFSET, ENABLE_OFFSET, RESET_OFFSET, CONFIG_OFFSET, CTL_OFFSET, TX_DATA_OFFSET,
               RX_DATA_OFFSET},
              capture) {}

std::uint32_t UartCtrl::baud(std::uint32_t code) {
  switch (code) {
    case 1: return 19200;
    case 2: return 38400;
    case 3: return 57600;
    case 4: return 115200;
    default: return 9600;
  }
}

BusCtrl::Run UartCtrl::start(std::uint32_t, Clock::time_point at) {
  const std::size_t tx_len = std::min<std::size_t>(reg(TX_LEN_OFFSET), FIFO_DEPTH);
  const auto byte_time = std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(std::int64_t{BITS_PER_BYTE} * 1'000'000'000 / baud(reg(CONFIG_OFFSET) & 0xFF)));

  Run run;
  for (std::size_t i = 0; i < tx_len; ++i) {
    const auto byte = pop_tx();
    if (!byte) break;
    run.target_received.push_back(*byte);
    deliver(at + byte_time * static_cast<std::int64_t>(i + 2), *byte);
  }
  run.duration = byte_time * static_cast<std::int64_t>(run.target_received.size());
  return run;
}

std::uint32_t UartCtrl::status_word(bool busy) const {
  const auto waiting = static_cast<std::uint32_t>(std::min<std::size_t>(rx_count(), 0xFFFF));
  return (waiting << 16) | (busy ? 1 : 0);
}

}  // namespace sim
