#include "driver/module/polling.h"

#include <thread>

namespace driver::module {

void pause(std::chrono::microseconds d) {
  if (d >= SPIN_LIMIT) {
    std::this_thread::sleep_for(d);
    return;
  }
  const auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) {
  }
}

}  // namespace driver::module
