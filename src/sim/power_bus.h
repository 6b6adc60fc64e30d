#pragma once
// Model of the power and bus block at 0x43C10000: the target's supply switch, the
// gate of its clock, and the setpoint latch that hands an 8-bit value to the supply
// voltage, the gain of channel A or the gain of channel B.
//
// The SPI, I2C and UART controllers live in this block too. They are separate
// models plugged in with attach(): a controller owns a range of offsets and sees
// every access to it, at the block's offset, with the block's lock held. Until one
// is attached its range behaves as plain registers.
//
// The target runs while its supply is on, bit 0 of its clock gate is set and its
// clock generator runs; only then do its bus devices answer and does it draw
// power. When it comes up the capture core hears of it (trigger source P).
//
// Latched values are published through atomics. Lock order: this block and its
// controllers may call into the capture core while this block's lock is held;
// nothing ever calls into this block while holding another model's lock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/block.h"

namespace sim {

class CaptureCore;
class ClockGen;

class BusController {
 public:
  virtual ~BusController() = default;
  // Called with the power block's lock held.
  virtual std::uint32_t read(std::size_t offset) = 0;
  virtual void write(std::size_t offset, std::uint32_t value) = 0;
};

class PowerBus : public Block {
 public:
  static constexpr std::uint64_t BASE = 0x43C10000;
  static constexpr std::size_t SIZE = 0x10000;
  static constexpr std::size_t VOLTAGE_EN_OFFSET = 0x00;
  static constexpr std::size_t SETPOINT_OFFSET = 0x04;
  static constexpr std::size_t NUT_CLK_EN_OFFSET = 0x08;
  static constexpr std::uint32_t SETPOINT_SEL_GAIN_B = 0x100;
  static constexpr std::uint32_t SETPOINT_SEL_GAIN_A = 0x200;
  static constexpr std::uint32_t SETPOINT_SEL_VOLTAGE = 0x400;
  // Controller ranges, [first, end).
  static constexpr std::size_t UART_FIRST = 0x40, UART_END = 0x80;
  static constexpr std::size_t SPI_FIRST = 0x80, SPI_END = 0xC0;
  static constexpr std::size_t I2C_FIRST = 0xC0, I2C_END = 0x104;
  // What the latches hold at power-on: no supply setpoint, mid-scale gains.
  static constexpr std::uint8_t POWER_ON_GAIN = 128;

  // Without a target clock (a bare block for tests) the clock counts as running.
  explicit PowerBus(const ClockGen* target_clock = nullptr);
  // Who hears the target come up; set while the instrument is built, before any access.
  void set_capture(CaptureCore* capture) { capture_ = capture; }

  void attach(std::size_t first, std::size_t end, std::shared_ptr<BusController> controller);
  // The controller that owns `offset`, or null; for tests and tools that reach its
  // state and knobs.
  BusController* controller_at(std::size_t offset) const {
    std::lock_guard lock(mu_);
    return controller_for(offset);
  }

  bool supply_on() const { return supply_on_.load(); }
  std::uint32_t clock_gate() const { return clock_gate_.load(); }
  std::uint8_t voltage_setpoint() const { return voltage_.load(); }
  std::uint8_t gain_a() const { return gain_a_.load(); }
  std::uint8_t gain_b() const { return gain_b_.load(); }
  bool target_running() const;
  // Loads whose select write did not directly follow the bare write of the same
  // value: two loads interleaved, and the latch may have taken a foreign value.
  std::uint32_t torn_loads() const { return torn_loads_.load(); }

 protected:
  std::uint32_t on_read(std::size_t offset) override;
  void on_write(std::size_t offset, std::uint32_t value) override;

 private:
  struct Attached {
    std::size_t first;
    std::size_t end;
    std::shared_ptr<BusController> controller;
  };
  BusController* controller_for(std::size_t offset) const;
  void write_setpoint(std::uint32_t value);

  const ClockGen* const target_clock_;
  CaptureCore* capture_ = nullptr;
  std::vector<Attached> controllers_;  // guarded by mu_
  std::uint32_t last_setpoint_write_ = 0;
  bool last_write_was_bare_ = false;

  std::atomic<bool> supply_on_{false};
  std::atomic<std::uint32_t> clock_gate_{0};
  std::atomic<std::uint8_t> voltage_{0};
  std::atomic<std::uint8_t> gain_a_{POWER_ON_GAIN};
  std::atomic<std::uint8_t> gain_b_{POWER_ON_GAIN};
  std::atomic<std::uint32_t> torn_loads_{0};
};

}  // namespace sim
