#include "driver/core/hal.h"

#include <mutex>

#include "driver/core/linux_platform.h"

namespace driver::core {
namespace {

std::mutex g_mu;
std::shared_ptr<Platform> g_platform;

}  // namespace

std::shared_ptr<Platform> current_platform() {
  std::lock_guard lock(g_mu);
  // Nothing installed means a real instrument: the Linux seam on /dev/mem.
  if (!g_platform) g_platform = std::make_shared<LinuxPlatform>();
  return g_platform;
}

Platform& platform() { return *current_platform(); }

void install_platform(std::shared_ptr<Platform> platform) {
  std::lock_guard lock(g_mu);
  g_platform = std::move(platform);
}

}  // namespace driver::core
