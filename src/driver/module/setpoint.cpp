#include "driver/module/setpoint.h"

#include <mutex>

namespace driver::module {
namespace {

std::mutex& setpoint_mutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

base::Result<void> load_setpoint(const core::Axi& axi, std::uint8_t value, std::uint32_t select) {
  std::lock_guard lock(setpoint_mutex());
  if (auto r = axi.write_register(SETPOINT_OFFSET, value); !r) return r;
  return axi.write_register(SETPOINT_OFFSET, value | select);
}

}  // namespace driver::module
