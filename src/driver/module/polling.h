#pragma once
// How a driver operation waits on the hardware it started: the first status read
// comes `first` after the start (zero: straight away), then one read every
// `interval` until the operation's limit. The single commands poll in 1 ms steps
// from the start; a batch of captures waits out what the previous trace took and
// then polls in steps of microseconds, which a short transfer or fill needs.
#include <chrono>

namespace driver::module {

struct Polling {
  std::chrono::microseconds first{0};
  std::chrono::microseconds interval{std::chrono::milliseconds(1)};
};

// Waits shorter than this spin on the monotonic clock: waking from a sleep of tens
// of microseconds takes about as long as the wait itself, and longer on a busy
// processor. Longer waits, the single commands' 1 ms steps among them, sleep.
inline constexpr std::chrono::microseconds SPIN_LIMIT{200};

// Waits `d` as a poll loop does between two reads.
void pause(std::chrono::microseconds d);

}  // namespace driver::module
