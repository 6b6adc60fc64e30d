#include "sim/bus_ctrl.h"

#include <algorithm>
#include <stdexcept>

#include "sim/capture.h"

namespace sim {

BusCtrl::BusCtrl(Registers registers, CaptureCore* capture, const PowerBus* power)
    : registers_(registers), capture_(capture), power_(power) {}

bool BusCtrl::target_running() const { return !power_ || power_->target_running(); }

std::uint32_t BusCtrl::read(std::size_t offset) {
  std::lock_guard lock(mu_);
  const auto now = Clock::now();
  settle(now);
  if (auto it = stuck_.find(offset); it != stuck_.end()) return it->second;
  if (garbled_) {
    if (offset == registers_.enable || offset == registers_.config) return ~reg(offset);
    if (offset == registers_.reset) return 1;
  }
  if (offset == registers_.status) return status_word(hang_ || now < busy_until_);
  if (offset == registers_.rx) {
    if (rx_fifo_.empty()) return 0;
    const std::uint8_t byte = rx_fifo_.front();
    rx_fifo_.pop_front();
    return RX_VALID | byte;
  }
  return reg(offset);
}

void BusCtrl::write(std::size_t offset, std::uint32_t value) {
  std::lock_guard lock(mu_);
  const auto now = Clock::now();
  settle(now);
  if (offset == registers_.status || offset == registers_.rx) return;  // read-only
  if (offset == registers_.tx) {
    if (tx_fifo_.size() < FIFO_DEPTH) tx_fifo_.push_back(static_cast<std::uint8_t>(value));
    return;
  }
  if (offset == registers_.reset) {
    // Taken at once, so the register never reads anything but 0.
    if (value & 1) reset_state(now);
    regs_[offset] = 0;
    return;
  }
  regs_[offset] = value;
  if (offset != registers_.ctl || !(value & 1)) return;
  if (fail_next_start_) {
    fail_next_start_ = false;
    throw std::runtime_error("simulated bus fault");
  }
  if (reg(registers_.enable) & 1) begin(value, now);
}

void BusCtrl::settle(Clock::time_point now) {
  while (!arriving_.empty() && arriving_.front().first <= now) {
    if (rx_fifo_.size() < FIFO_DEPTH) rx_fifo_.push_back(arriving_.front().second);
    arriving_.pop_front();
  }
}

// Aborts whatever runs and empties both FIFOs; enable and configuration stay.
void BusCtrl::reset_state(Clock::time_point now) {
  tx_fifo_.clear();
  rx_fifo_.clear();
  arriving_.clear();
  busy_until_ = std::min(busy_until_, now);
  ++resets_;
}

void BusCtrl::begin(std::uint32_t control, Clock::time_point now) {
  Clock::time_point at = now;
  if (busy_until_ > now) {
    at = busy_until_;
    ++starts_while_busy_;
  }
  Run run = start(control, at);
  busy_until_ = at + run.duration;
  const bool triggered = trigger_requested(control);
  if (capture_) capture_->bus_transfer(run.draws, triggered, at);
  history_.push_back({at, busy_until_, std::move(run.target_received), triggered});
  if (history_.size() > HISTORY) history_.pop_front();
}

std::uint32_t BusCtrl::reg(std::size_t offset) const {
  auto it = regs_.find(offset);
  return it == regs_.end() ? 0 : it->second;
}

std::optional<std::uint8_t> BusCtrl::pop_tx() {
  if (tx_fifo_.empty()) return std::nullopt;
  const std::uint8_t byte = tx_fifo_.front();
  tx_fifo_.pop_front();
  return byte;
}

void BusCtrl::deliver(Clock::time_point at, std::uint8_t byte) { arriving_.emplace_back(at, byte); }

bool BusCtrl::enabled() const {
  std::lock_guard lock(mu_);
  return reg(registers_.enable) & 1;
}

bool BusCtrl::busy() const {
  std::lock_guard lock(mu_);
  return hang_ || Clock::now() < busy_until_;
}

std::uint32_t BusCtrl::config() const {
  std::lock_guard lock(mu_);
  return reg(registers_.config);
}

std::uint32_t BusCtrl::resets() const {
  std::lock_guard lock(mu_);
  return resets_;
}

std::size_t BusCtrl::rx_waiting() const {
  std::lock_guard lock(mu_);
  const auto now = Clock::now();
  std::size_t arrived = 0;
  for (const auto& [at, byte] : arriving_)
    if (at <= now) ++arrived;
  return std::min(rx_fifo_.size() + arrived, FIFO_DEPTH);
}

std::size_t BusCtrl::tx_waiting() const {
  std::lock_guard lock(mu_);
  return tx_fifo_.size();
}

std::vector<BusCtrl::Transfer> BusCtrl::transfers() const {
  std::lock_guard lock(mu_);
  return {history_.begin(), history_.end()};
}

std::uint32_t BusCtrl::starts_while_busy() const {
  std::lock_guard lock(mu_);
  return starts_while_busy_;
}

void BusCtrl::set_hang(bool on) {
  std::lock_guard lock(mu_);
  hang_ = on;
}

void BusCtrl::stick(std::size_t offset, std::optional<std::uint32_t> value) {
  std::lock_guard lock(mu_);
  if (value)
    stuck_[offset] = *value;
  else
    stuck_.erase(offset);
}

void BusCtrl::set_garbled_readback(bool on) {
  std::lock_guard lock(mu_);
  garbled_ = on;
}

void BusCtrl::fail_next_start() {
  std::lock_guard lock(mu_);
  fail_next_start_ = true;
}

}  // namespace sim
