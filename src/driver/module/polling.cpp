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

base::Result<WaitEnd> poll_until(std::chrono::steady_clock::time_point start, WaitLimit limit,
                                 const Polling& polling, const std::function<base::Result<bool>()>& done) {
  using std::chrono::microseconds;
  const auto elapsed = [start] {
    return std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start);
  };
  // A transfer of known length is not asked about before it can have ended.
  if (polling.first.count() > 0) pause(polling.first);
  for (bool first = true;; first = false) {
    if ((!first || !limit.read_at_least_once) && elapsed() >= limit.limit) return WaitEnd::timed_out;
    auto finished = done();
    if (!finished) return std::unexpected(std::move(finished.error()));
    if (*finished) {
      if (polling.took) *polling.took = elapsed();
      return WaitEnd::done;
    }
    if (polling.cancelled && polling.cancelled()) return WaitEnd::cancelled;
    pause(elapsed() < polling.fine_for ? polling.interval : polling.late_interval);
  }
}

}  // namespace driver::module
