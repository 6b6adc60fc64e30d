#pragma once
// Model of the oscilloscope: the capture core's control block at 0x43C20000 and the
// two 256 MiB sample memories of channel A (0x10000000) and B (0x20000000).
//
// SINGLE (bit 0 rising) arms a capture. The trigger source decides what triggers
// it; FORCE (bit 0 rising) always does. A triggered capture takes real time: it
// completes (delay + SAMPLE_LENGTH - pre-trigger samples) / f_sample after the
// trigger, on the monotonic clock. Status word, computed when read: 0x001 armed and
// waiting, 0x002 triggered and running, 0x102 complete; 0 before the first SINGLE.
//
// The samples are materialised into the memories by a thread of the core's own,
// from a snapshot of the settings taken at the trigger, so neither a register
// access nor any lock waits for them; the status reads complete only once the
// modelled time has passed and every sample is in place. docs/simulator.md gives
// the signal models and what each trigger setting does.
//
// Lock order: the power block and the bus controllers call into the core with
// their locks held; the core reads the clocks and the power block only through
// their atomics, and the worker takes no lock but the core's and a memory's, one
// at a time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/block.h"
#include "sim/target.h"

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
  using Clock = std::chrono::steady_clock;

  static constexpr std::uint64_t BASE = 0x43C20000;
  static constexpr std::size_t SIZE = 0x1000;
  static constexpr std::size_t STATUS_OFFSET = 0x00;
  static constexpr std::size_t SINGLE_OFFSET = 0x08;
  static constexpr std::size_t FORCE_OFFSET = 0x0C;
  static constexpr std::size_t SAMPLE_LENGTH_OFFSET = 0x14;
  static constexpr std::size_t SAMPLE_DELAY_OFFSET = 0x18;
  static constexpr std::size_t TRIGGER_SOURCE_OFFSET = 0x1C;
  static constexpr std::size_t TRIGGER_MODE_OFFSET = 0x20;
  static constexpr std::size_t TRIGGER_EDGE_OFFSET = 0x24;
  static constexpr std::size_t TRIGGER_LEVEL_OFFSET = 0x28;
  static constexpr std::uint32_t STATUS_ARMED = 0x001;
  static constexpr std::uint32_t STATUS_TRIGGERED = 0x002;
  static constexpr std::uint32_t STATUS_COMPLETE = 0x100;

  // Trigger settings as the core reads them; other values act as the first.
  enum Source : std::uint32_t { SOURCE_NONE = 0, SOURCE_A = 1, SOURCE_B = 2, SOURCE_POWER = 3 };
  enum Mode : std::uint32_t { MODE_EDGE = 0, MODE_PRE_TRIGGER = 1 };
  enum Edge : std::uint32_t { EDGE_RISING = 0, EDGE_FALLING = 1, EDGE_EITHER = 2 };

  // Signal model, in sample units at full gain (255); a gain g scales every term
  // by g / 255. Noise is uniform in [-NOISE, NOISE), plus on channel B Gaussian
  // noise of Inputs::gauss_b when set.
  static constexpr int A_AMPLITUDE = 30000;
  static constexpr int A_NOISE = 64;
  static constexpr int B_BASELINE = 4000;  // while the target is powered and clocked
  static constexpr int B_NOISE = 256;
  static constexpr int B_PULSE_PER_BIT = 2000;  // per unit of a draw's weight

  // The models it reads; all are owned by the same instrument.
  struct Inputs {
    const ClockGen* sample_clock;
    const ClockGen* target_clock;
    const PowerBus* power;
    std::shared_ptr<SampleMemory> memory_a;
    std::shared_ptr<SampleMemory> memory_b;
    std::uint64_t seed = 0;
    // Gaussian noise added to channel B, standard deviation at full gain; 0: none.
    std::uint32_t gauss_b = 0;
  };
  explicit CaptureCore(Inputs inputs);
  ~CaptureCore() override;

  // A bus transfer that started at `at`: what the target drew (timed from `at`)
  // and whether the controller's trigger bit was set. Returns whether it
  // triggered the armed capture.
  bool bus_transfer(std::span<const Draw> draws, bool trigger_bit, Clock::time_point at);
  // A transfer with its trigger bit set, starting now.
  bool trigger(std::span<const Draw> draws = {}) { return bus_transfer(draws, true, Clock::now()); }
  // The power block saw the target come up (powered and clocked).
  void target_came_up();

  std::uint32_t status();
  std::uint32_t captures() const { return captures_.load(); }

 protected:
  std::uint32_t on_read(std::size_t offset) override;
  void on_write(std::size_t offset, std::uint32_t value) override;

 private:
  struct Table;
  struct Job;

  // All with mu_ held.
  std::uint32_t status_at(Clock::time_point now) const;
  void poll(Clock::time_point now);  // triggers on a level the signal keeps crossing
  bool crossing_now(std::uint32_t source, std::shared_ptr<const Table>& table) const;
  std::pair<std::int32_t, std::int32_t> quiet_band_b() const;  // lowest and highest sample
  void fire(Clock::time_point at, std::int64_t origin_samples, std::vector<Draw> draws, int align,
            std::shared_ptr<const Table> table);
  std::shared_ptr<const Table> table_a() const;

  void work();
  void synthesise(const Job& job);

  Inputs inputs_;
  bool armed_ = false;
  bool triggered_ = false;
  bool written_ = true;
  Clock::time_point done_at_{};
  mutable std::shared_ptr<const Table> table_cache_;
  std::atomic<std::uint32_t> captures_{0};
  std::atomic<std::uint64_t> generation_{0};

  // Worker, guarded by mu_.
  std::unique_ptr<Job> pending_;
  bool stop_ = false;
  std::condition_variable cv_;
  std::thread worker_;
};

}  // namespace sim
