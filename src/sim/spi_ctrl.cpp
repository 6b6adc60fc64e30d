#include "sim/spi_ctrl.h"

#include <algorithm>

namespace sim {

SpiCtrl::SpiCtrl(CaptureCore* capture)
    : BusCtrl({STATUS_OFFSET, ENABLE_OFFSET, RESET_OFFSET, CONFIG_OFFSET, CTL_OFFSET, TX_OFFSET, RX_OFFSET},
              capture) {}

BusCtrl::Run SpiCtrl::start(std::uint32_t control, Clock::time_point at) {
  const std::size_t tx_len = std::min<std::size_t>(reg(TX_LEN_OFFSET), FIFO_DEPTH);
  const std::size_t rx_len = std::min<std::size_t>(reg(RX_LEN_OFFSET), FIFO_DEPTH);
  const std::uint64_t psc = (reg(CONFIG_OFFSET) >> 8) & 0xFFFF;

  Run run;
  run.target_received.reserve(tx_len);
  for (std::size_t i = 0; i < tx_len; ++i) run.target_received.push_back(pop_tx().value_or(0xFF));

  std::uint64_t cycles = (tx_len + rx_len) * 8 * (psc + 1);
  if (control & 4) cycles += reg(DELAY_OFFSET);
  run.duration = std::chrono::duration_cast<Clock::duration>(CYCLE * static_cast<std::int64_t>(cycles));

  const auto& sent = run.target_received;
  for (std::size_t i = 0; i < rx_len; ++i)
    deliver(at + run.duration, sent.empty() ? 0xFF : sent[i % sent.size()]);
  return run;
}

}  // namespace sim
