// valdrixd: the control service on the instrument, reaching the programmable logic
// through /dev/mem and the display through /dev/gpiochip0. Takes no arguments.
#include <memory>

#include "driver/core/hal.h"
#include "driver/core/linux_platform.h"
#include "server/service.h"

int main() {
  driver::core::install_platform(std::make_shared<driver::core::LinuxPlatform>());
  return server::service_main(server::SERVER_PORT);
}
