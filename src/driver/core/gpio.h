#pragma once
// Output-only GPIO lines of chip 0. The chip descriptor is owned by Gpio; line
// handles are plain descriptors owned by the caller, closed with close_handle().
// No lock: exclusive use of a line comes from the kernel (or the simulated chip),
// which grants a line to one handle at a time.
#include <cstdint>
#include <memory>

#include "base/error.h"
#include "driver/core/hal.h"

namespace driver::core {

class Gpio {
 public:
  // "Failed to open GPIO chip:{}"
  static base::Result<Gpio> create();
  Gpio(Gpio&&) noexcept = default;
  Gpio& operator=(Gpio&&) = delete;
  ~Gpio();

  // Requests `line` as an output; "Failed to set GPIO as output:{}".
  base::Result<int> set_output(std::uint32_t line) const;
  // "Failed to write GPIO for pin_fd {}:{}"
  base::Result<void> write(int handle, std::uint8_t value) const;
  // Closes a line handle; 0 or an errno value.
  int close_handle(int handle) const;

 private:
  explicit Gpio(std::unique_ptr<GpioChip> chip) : chip_(std::move(chip)) {}
  std::unique_ptr<GpioChip> chip_;
};

}  // namespace driver::core
