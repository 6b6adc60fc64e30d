#include "sim/i2c_ctrl.h"

#include <algorithm>

namespace sim {

I2cCtrl::I2cCtrl(CaptureCore* capture, const PowerBus* power)
    : BusCtrl({STATUS_OFFSET, ENABLE_OFFSET, RESET_OFFSET, CONFIG_OFFSET, CTL_OFFSET, TX_OFFSET, RX_OFFSET},
              capture, power) {}

std::uint32_t I2cCtrl::bus_hz(std::uint32_t speed_code) {
  switch (speed_code) {
    case 1: return 400'000;
    case 2: return 1'000'000;
    case 3: return 3'400'000;
    case 4: return 5'000'000;
    default: return 100'000;
  }
}

std::array<std::uint8_t, 256> I2cCtrl::device_memory() const {
  std::lock_guard lock(mu_);
  return memory_;
}

std::uint8_t I2cCtrl::device_pointer() const {
  std::lock_guard lock(mu_);
  return pointer_;
}

BusCtrl::Run I2cCtrl::start(std::uint32_t, Clock::time_point at) {
  const std::uint32_t layout = reg(TSF_OFFSET);
  const std::uint32_t config = reg(CONFIG_OFFSET);
  const std::size_t segments = std::min<std::size_t>(((layout >> 4) & 0xF) + ((layout >> 8) & 0xF), 8);
  const std::uint32_t directions = (layout >> 12) & 0xFF;
  // An unpowered device does not acknowledge: it is absent from the bus.
  const bool present = ((config >> 8) & 0xFF) == DEVICE_ADDRESS && target_running();

  Run run;
  std::vector<std::uint8_t> read_back;
  bool pointer_set = false;
  std::uint64_t bits = 1;  // the stop
  for (std::size_t s = 0; s < segments; ++s) {
    const std::size_t len = std::min<std::size_t>(reg(TSF_LEN_OFFSET + 4 * s), FIFO_DEPTH);
    bits += 1 + 9 + 9 * len;  // start, address, data
    if ((directions >> s) & 1) {
      for (std::size_t i = 0; i < len; ++i) read_back.push_back(present ? memory_[pointer_++] : 0xFF);
      continue;
    }
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint8_t byte = pop_tx().value_or(0xFF);
      if (!present) continue;
      run.target_received.push_back(byte);
      if (!pointer_set) {
        pointer_ = byte;
        pointer_set = true;
      } else {
        memory_[pointer_++] = byte;
      }
    }
  }

  const std::uint64_t hz = bus_hz(config & 0xFF);
  run.duration = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      static_cast<std::int64_t>(bits * 1'000'000'000 / hz)));
  if (layout & 1) run.duration += CYCLE * static_cast<std::int64_t>(reg(DELAY_OFFSET));
  for (std::uint8_t byte : read_back) deliver(at + run.duration, byte);
  append_byte_draws(run.target_received, run.draws);
  return run;
}

}  // namespace sim
