#include "driver/core/gpio.h"

#include <cerrno>

#include "base/format.h"
#include "base/log.h"

namespace driver::core {

base::Result<Gpio> Gpio::create() {
  auto chip = current_platform()->open_gpio_chip();
  if (!chip)
    return base::fail(base::format("Failed to open GPIO chip:{}", base::errno_description(chip.error())));
  return Gpio(std::move(*chip));
}

Gpio::~Gpio() {
  if (chip_ && chip_->close() != 0) base::log::error("driver::core::gpio", "Failed to close gpio fd");
}

base::Result<int> Gpio::set_output(std::uint32_t line) const {
  auto handle = chip_->request_output(line);
  if (!handle)
    return base::fail(
        base::format("Failed to set GPIO as output:{}", base::errno_description(handle.error())));
  return *handle;
}

base::Result<void> Gpio::write(int handle, std::uint8_t value) const {
  auto done = chip_->set_value(handle, value);
  if (!done)
    return base::fail(base::format("Failed to write GPIO for pin_fd {}:{}", handle,
                                   base::errno_description(done.error())));
  return {};
}

int Gpio::close_handle(int handle) const { return chip_ ? chip_->close_handle(handle) : EBADF; }

}  // namespace driver::core
