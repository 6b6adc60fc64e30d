#pragma once
// The simulated instrument: a Platform whose physical memory is a map of block
// models at their addresses, with sparse plain RAM everywhere else, and a GPIO chip
// whose lines are reserved while a handle holds them. Deterministic: the same
// requests give the same register values, samples and screen.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "driver/core/hal.h"
#include "sim/block.h"
#include "sim/config.h"

namespace sim {

// Sees every value change on the simulated GPIO lines (the display decoder does).
class LineListener {
 public:
  virtual ~LineListener() = default;
  virtual void on_line(std::uint32_t line, std::uint8_t value) = 0;
};

class Instrument : public driver::core::Platform, public std::enable_shared_from_this<Instrument> {
 public:
  // Builds every block model at its physical address (build_models below) and
  // switches the configured faults on.
  static std::shared_ptr<Instrument> create(const Config& config);
  static std::shared_ptr<Instrument> create() { return create(Config{}); }
  ~Instrument() override;

  std::expected<std::unique_ptr<driver::core::MemoryWindow>, driver::core::MapError> map(
      std::uint64_t base, std::size_t size) override;
  std::expected<std::unique_ptr<driver::core::GpioChip>, int> open_gpio_chip() override;

  void add_block(std::shared_ptr<Block> block);
  // The block whose base is exactly `base`, or null.
  Block* block_at(std::uint64_t base) const;
  template <class T>
  T* model_at(std::uint64_t base) const {
    return dynamic_cast<T*>(block_at(base));
  }
  // Turns the access log of every block on or off.
  void set_recording(bool on);

  // Plain memory outside the blocks, as the raw register commands see it.
  std::uint32_t ram_read(std::uint64_t addr) const;
  void ram_write(std::uint64_t addr, std::uint32_t value);

  // GPIO lines: current level of a line (0 while never driven).
  std::uint8_t line_level(std::uint32_t line) const;
  bool line_held(std::uint32_t line) const;
  void add_line_listener(std::shared_ptr<LineListener> listener);
  // GPIO value changes seen since creation (every set_value call counts).
  std::uint64_t gpio_writes() const;

  // Fault knobs.
  void refuse_map(std::uint64_t base, int err);  // map() of this base fails with err (0: off)
  void hold_line(std::uint32_t line);            // another user holds the line
  void release_line(std::uint32_t line);
  void refuse_gpio_chip(int err);                // open_gpio_chip() fails with err (0: off)

 private:
  Instrument();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class SimWindow;
  friend class SimGpioChip;
};

// Adds the block models of the programmable logic (clock generators, power and bus
// block, capture core, sample memories) and the display to a new instrument.
void build_models(Instrument& instrument, const Config& config);
// Switches a fault on, as --fault does at start-up.
void switch_on(Instrument& instrument, Fault fault);

}  // namespace sim
