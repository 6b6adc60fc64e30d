#include "sim/spi_ctrl.h"

#include <algorithm>

namespace sim {

SpiCtrl::SpiCtrl(CaptureCore* capture, const PowerBus* power)
    : BusCtrl({STATUS_OFFSET, ENABLE_OFFSET, RESET_OFFSET, CONFIG_OFFSET, CTL_OFFSET, TX_OFFSET, RX_OFFSET},
              capture, power),
      target_(std::make_unique<EchoTarget>()) {}

void SpiCtrl::set_target(std::unique_ptr<SpiTarget> target) {
  std::lock_guard lock(mu_);
  target_ = target ? std::move(target) : std::make_unique<EchoTarget>();
}

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

  std::vector<std::uint8_t> answer;
  if (target_running())
    answer = target_->transfer(run.target_received, rx_len, run.draws);
  answer.resize(rx_len, 0xFF);  // a device that answers short leaves the line floating high
  for (std::uint8_t byte : answer) deliver(at + run.duration, byte);
  return run;
}

}  // namespace sim
