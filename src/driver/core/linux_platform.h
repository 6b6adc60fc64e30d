#pragma once
// The hardware seam on a real instrument: physical memory through a shared mapping
// of /dev/mem and GPIO lines through the chip's v1 line-handle ioctls. The paths are
// parameters so tests can map a sparse regular file at the real physical offsets.
// This is the only code that touches `volatile` and the memory barrier.
#include <string>

#include "driver/core/hal.h"

namespace driver::core {

class LinuxPlatform : public Platform {
 public:
  explicit LinuxPlatform(std::string mem_path = "/dev/mem",
                         std::string gpio_chip_path = "/dev/gpiochip0");

  std::expected<std::unique_ptr<MemoryWindow>, MapError> map(std::uint64_t base,
                                                             std::size_t size) override;
  std::expected<std::unique_ptr<GpioChip>, int> open_gpio_chip() override;

 private:
  std::string mem_path_;
  std::string gpio_chip_path_;
};

}  // namespace driver::core
