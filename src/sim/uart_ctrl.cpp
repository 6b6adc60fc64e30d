#include "sim/uart_ctrl.h"

#include <algorithm>

namespace sim {

UartCtrl::UartCtrl(CaptureCore* capture, const PowerBus* power)
    : BusCtrl({STATUS_OFFSET, ENABLE_OFFSET, RESET_OFFSET, CONFIG_OFFSET, CTL_OFFSET, TX_DATA_OFFSET,
               RX_DATA_OFFSET},
              capture, power) {}

UartCtrl::Frame UartCtrl::frame(std::uint32_t config) {
  Frame f;
  const std::uint32_t size = (config >> 8) & 0xF;
  f.data_bits = size >= 5 && size <= 8 ? size : 8;
  const std::uint32_t parity = (config >> 12) & 0xF;
  const std::uint32_t stop = (config >> 16) & 0xFF;
  // Start bit, data bits, a parity bit unless parity is off, then 1, 1.5 or 2 stop bits.
  f.half_bits = 2 * (1 + f.data_bits + (parity >= 1 && parity <= 4 ? 1 : 0)) + (stop == 1 ? 3 : stop == 2 ? 4 : 2);
  return f;
}

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
  const std::uint32_t config = reg(CONFIG_OFFSET);
  const Frame f = frame(config);
  const auto byte_time = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      std::int64_t{f.half_bits} * 1'000'000'000 / (2 * std::int64_t{baud(config & 0xFF)})));
  const auto mask = static_cast<std::uint8_t>((1u << f.data_bits) - 1);
  const bool listening = target_running();

  Run run;
  std::size_t sent = 0;
  for (; sent < tx_len; ++sent) {
    const auto byte = pop_tx();
    if (!byte) break;
    if (!listening) continue;  // the line toggles, nobody hears it
    // Only the low data bits go on the line; the device echoes what it heard.
    const auto heard = static_cast<std::uint8_t>(*byte & mask);
    run.target_received.push_back(heard);
    deliver(at + byte_time * static_cast<std::int64_t>(sent + 2), heard);
  }
  run.duration = byte_time * static_cast<std::int64_t>(sent);
  append_byte_draws(run.target_received, run.draws);
  return run;
}

std::uint32_t UartCtrl::status_word(bool busy) const {
  const auto waiting = static_cast<std::uint32_t>(std::min<std::size_t>(rx_count(), 0xFFFF));
  return (waiting << 16) | (busy ? 1 : 0);
}

}  // namespace sim
