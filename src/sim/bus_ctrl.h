#pragma once
// What the SPI, I2C and UART controller models of the power block share: enable,
// reset and configuration registers that read back, FIFOs, a timeline of transfers
// on the monotonic clock, the trigger into the capture core, and the fault knobs.
//
// A start (bit 0 of the control word, while enabled) fixes the transfer's end at
// once from the byte counts and the configured speed; the status reads busy until
// then and received bytes enter the receive FIFO at the times the model gives them.
// A start while busy queues behind the running transfer (and is counted).
//
// Every transfer hands the capture core what the target drew while it ran and
// whether the trigger bit was set; the core decides whether that triggers.
//
// Thread-safe. read() and write() run with the power block's lock held and take
// this model's lock; the capture core's entry then takes the core's. Accessors and
// knobs take only this model's lock. Nothing here calls back into the power block
// beyond its atomics (target_running()).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/instrument.h"
#include "sim/power_bus.h"
#include "sim/target.h"

namespace sim {

class CaptureCore;

class BusCtrl : public BusController {
 public:
  using Clock = std::chrono::steady_clock;

  struct Transfer {
    Clock::time_point start;  // later than the control word when it queued
    Clock::time_point end;
    std::vector<std::uint8_t> target_received;
    bool triggered;  // trigger requested; whether a capture was armed is the core's
  };

  // Each FIFO holds this many bytes; counts written beyond it are clamped and
  // bytes pushed into a full FIFO are dropped.
  static constexpr std::size_t FIFO_DEPTH = 65535;
  // Set in every receive-FIFO read that pops a byte; the driver keeps bits 0 to 7.
  static constexpr std::uint32_t RX_VALID = 0x100;
  static constexpr std::size_t HISTORY = 256;  // transfers kept for transfers()

  std::uint32_t read(std::size_t offset) final;
  void write(std::size_t offset, std::uint32_t value) final;

  bool enabled() const;
  bool busy() const;
  std::uint32_t config() const;
  std::uint32_t resets() const;
  std::size_t rx_waiting() const;  // bytes in the receive FIFO now
  std::size_t tx_waiting() const;  // bytes pushed and not yet sent
  std::vector<Transfer> transfers() const;
  std::uint32_t starts_while_busy() const;

  // Fault knobs. A hung controller reads busy forever; a stuck register reads
  // `value` whatever is written (the write still acts), nullopt frees it; with
  // garbled read-back the enable and configuration registers read the complement
  // of what was written and the reset register reads 1; the next control word with
  // the start bit after fail_next_start() throws from inside the register write,
  // as if the access had faulted (enabled or not).
  void set_hang(bool on);
  void stick(std::size_t offset, std::optional<std::uint32_t> value);
  void set_garbled_readback(bool on);
  void fail_next_start();

 protected:
  struct Registers {
    std::size_t status, enable, reset, config, ctl, tx, rx;
  };
  struct Run {
    Clock::duration duration;
    std::vector<std::uint8_t> target_received;
    std::vector<Draw> draws;  // the target's, from the transfer's start on
  };

  // `power` is the block the controller sits in; null for a target that is always
  // powered and clocked.
  BusCtrl(Registers registers, CaptureCore* capture, const PowerBus* power);

  // Whether the target on the bus is powered and clocked, so that it can answer.
  bool target_running() const;

  // With mu_ held. start() takes the bytes it sends out of the transmit FIFO
  // (pop_tx) and schedules what comes back (deliver).
  virtual Run start(std::uint32_t control, Clock::time_point at) = 0;
  virtual bool trigger_requested(std::uint32_t control) const = 0;
  virtual std::uint32_t status_word(bool busy) const { return busy ? 1 : 0; }

  std::uint32_t reg(std::size_t offset) const;
  std::optional<std::uint8_t> pop_tx();
  void deliver(Clock::time_point at, std::uint8_t byte);
  std::size_t rx_count() const { return rx_fifo_.size(); }

  mutable std::mutex mu_;

 private:
  void settle(Clock::time_point now);  // moves arrived bytes into the receive FIFO
  void reset_state(Clock::time_point now);
  void begin(std::uint32_t control, Clock::time_point now);

  const Registers registers_;
  CaptureCore* const capture_;
  const PowerBus* const power_;
  std::map<std::size_t, std::uint32_t> regs_;
  std::map<std::size_t, std::uint32_t> stuck_;
  std::deque<std::uint8_t> tx_fifo_;
  std::deque<std::uint8_t> rx_fifo_;
  std::deque<std::pair<Clock::time_point, std::uint8_t>> arriving_;  // in time order
  Clock::time_point busy_until_{};
  std::deque<Transfer> history_;
  std::uint32_t starts_while_busy_ = 0;
  std::uint32_t resets_ = 0;
  bool hang_ = false;
  bool garbled_ = false;
  bool fail_next_start_ = false;
};

// The controller model attached at `offset` of the instrument's power block, or null.
template <class T>
T* bus_controller(const Instrument& instrument, std::size_t offset) {
  auto* power = instrument.model_at<PowerBus>(PowerBus::BASE);
  return power ? dynamic_cast<T*>(power->controller_at(offset)) : nullptr;
}

}  // namespace sim
