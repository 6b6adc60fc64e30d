#pragma once
// Model of the oscilloscope: the capture core's control block at 0x43C20000 and the
// two 256 MiB sample memories of channel A (0x10000000) and B (0x20000000).
//
// SINGLE (bit 0 rising) arms a capture; a trigger while armed, FORCE (bit 0
// rising) or a bus transfer that calls trigger(), captures SAMPLE_LENGTH samples
// into both memories at once and completes. Status word: bit 0 armed and waiting,
// bit 1 triggered, bit 8 capture complete, so a completed capture reads 0x102.
//
// Samples are signed 16-bit little-endian and depend only on the settings:
//   A: a sine at the target clock, sampled at the sample clock; the trigger delay
//      (in sample clock cycles) and the sample clock's phase shift the instants;
//   B: the target's power draw, a baseline plus noise from a fixed-seed generator,
//      with one pulse per byte the target received in the triggering transfer,
//      as high as the byte has bits set;
// each scaled by its channel's gain latch in the power block (255 is full scale).
//
// The core reads the clocks and gains through the other models' atomics and
// writes the memories under their own locks; neither ever calls back into the
// core, so a bus controller may trigger it while holding the power block's lock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "sim/block.h"

namespace sim {

class ClockGen;
class PowerBus;

class SampleMemory : public Block {
 public:
  static constexpr std::uint64_t A_BASE = 0x10000000;
  static constexpr std::uint64_t B_BASE = 0x20000000;
  static constexpr std::size_t SIZE = 0x10000000;
  static constexpr std::size_t CAPACITY = SIZE / 2;  // samples

  SampleMemory(std::string name, std::uint64_t base);
  ~SampleMemory() override;

  void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) override;
  // Stores samples from sample number `first` on; what does not fit is dropped.
  void write_samples(std::size_t first, std::span<const std::int16_t> samples);
  // The backing memory is mapped on the first write only; until then every byte
  // reads 0 and the idle simulator holds none of it.
  bool committed() const;

 protected:
  std::uint32_t on_read(std::size_t offset) override;
  void on_write(std::size_t offset, std::uint32_t value) override;

 private:
  bool commit();  // with mu_ held

  std::uint8_t* memory_ = nullptr;
};

class CaptureCore : public Block {
 public:
  static constexpr std::uint64_t BASE = 0x43C20000;
  static constexpr std::size_t SIZE = 0x1000;
  static constexpr std::size_t STATUS_OFFSET = 0x00;
  static constexpr std::size_t SINGLE_OFFSET = 0x08;
  static constexpr std::size_t FORCE_OFFSET = 0x0C;
  static constexpr std::size_t SAMPLE_LENGTH_OFFSET = 0x14;
  static constexpr std::size_t SAMPLE_DELAY_OFFSET = 0x18;
  static constexpr std::uint32_t STATUS_ARMED = 0x001;
  static constexpr std::uint32_t STATUS_TRIGGERED = 0x002;
  static constexpr std::uint32_t STATUS_COMPLETE = 0x100;

  static constexpr double A_AMPLITUDE = 30000.0;
  static constexpr int B_BASELINE = 4000;
  static constexpr int B_NOISE = 256;        // noise spans [-B_NOISE, B_NOISE)
  static constexpr int B_PULSE_PER_BIT = 2000;
  static constexpr std::size_t B_FIRST_PULSE = 64;  // samples after the trigger
  static constexpr std::uint32_t NOISE_SEED = 0x2545F491;

  // The models it reads; all are owned by the same instrument and outlive it.
  struct Inputs {
    const ClockGen* sample_clock;
    const ClockGen* target_clock;
    const PowerBus* power;
    SampleMemory* memory_a;
    SampleMemory* memory_b;
  };
  explicit CaptureCore(Inputs inputs);

  // A trigger from outside the core. `target_bytes` are the bytes the target
  // received in the transfer that triggered. Ignored unless a capture is armed;
  // returns whether it completed one.
  bool trigger(std::span<const std::uint8_t> target_bytes = {});

  std::uint32_t status() const;
  std::uint32_t captures() const { return captures_.load(); }

 protected:
  std::uint32_t on_read(std::size_t offset) override;
  void on_write(std::size_t offset, std::uint32_t value) override;

 private:
  bool capture(std::span<const std::uint8_t> target_bytes);  // with mu_ held

  Inputs inputs_;
  std::uint32_t status_ = 0;
  std::atomic<std::uint32_t> captures_{0};
};

}  // namespace sim
