#pragma once
// How a driver operation waits on the hardware it started, and the one loop that
// does it for the bus transfers and the capture core.
//
// The first status read comes `first` after the start (zero: straight away), then
// one read every `interval`; from `fine_for` after the start on, every
// `late_interval`. The single commands poll in 1 ms steps from the start. A batch
// of captures waits out most of what the work took before and polls in steps of
// microseconds only around that expected end: a wait that runs past it sleeps in
// the single commands' step, so a trigger that never comes costs no spinning.
//
// The driver knows nothing of who asked: `cancelled`, when set, is the caller's
// test for "nobody is left to take the answer" (the server passes its client-gone
// check), asked after every read that did not end the wait.
#include <chrono>
#include <functional>

#include "base/error.h"

namespace driver::module {

struct Polling {
  std::chrono::microseconds first{0};
  std::chrono::microseconds interval{std::chrono::milliseconds(1)};
  std::chrono::microseconds fine_for{std::chrono::microseconds::max()};
  std::chrono::microseconds late_interval{std::chrono::milliseconds(1)};
  std::function<bool()> cancelled{};
  // When set, a wait that ends done stores there how long the work took: from the
  // start of the work (after its lock was taken and its registers loaded) to the
  // read that saw it done.
  std::chrono::microseconds* took = nullptr;
};

// Waits shorter than this spin on the monotonic clock: waking from a sleep of tens
// of microseconds takes about as long as the wait itself, and longer on a busy
// processor. Longer waits, the single commands' 1 ms steps among them, sleep.
inline constexpr std::chrono::microseconds SPIN_LIMIT{200};

// Waits `d` as a poll loop does between two reads.
void pause(std::chrono::microseconds d);

// What tells the waits apart besides their status test.
struct WaitLimit {
  std::chrono::microseconds limit;
  // The capture core is read once even at a zero limit, so a capture that is
  // already complete counts; a bus transfer tests its time-out before every read,
  // so a controller still busy when its time is over times out even if it would
  // finish a moment later.
  bool read_at_least_once = false;
};

enum class WaitEnd { done, timed_out, cancelled };

// Calls `done` as `polling` says until it answers true, the limit has passed or
// the caller cancels; a failed read ends the wait with its error. `start` is when
// the work began (the limit and `first` count from it).
base::Result<WaitEnd> poll_until(std::chrono::steady_clock::time_point start, WaitLimit limit,
                                 const Polling& polling, const std::function<base::Result<bool>()>& done);

}  // namespace driver::module
